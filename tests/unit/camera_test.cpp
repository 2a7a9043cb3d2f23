// The camera without a window: input snapshots in, pose and matrices out. Covers the projection,
// the seven presets, drags (first click, pitch clamp, GUI holding the input), every key row, and
// the wheel, orbit, pan and start-view key with what they count as moving away from a view.
#include "view/view.h"

#include "app/app.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

namespace {

constexpr float startPitch = -1.570796f;

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetCamera(plotter);
        appState.windowWidth = 1024.0f;
        appState.windowHeight = 768.0f;
        appState.panelFocused = false;
        appState.inputCaptured = false;
        viewRequest = nullptr;
    }
    void TearDown() override {
        appState.windowWidth = 0.0f;
        appState.windowHeight = 0.0f;
        appState.panelFocused = false;
        appState.inputCaptured = false;
        viewRequest = nullptr;
    }
    // One frame at the given time with the given keys held and the button state and cursor given.
    void step(double time, std::initializer_list<CameraKey> keys = {}, bool button = false, double x = 0,
              double y = 0) {
        CameraInput input;
        input.time = time;
        input.leftButton = button;
        input.cursorX = x;
        input.cursorY = y;
        for (CameraKey key : keys) input.keys[key] = true;
        applyCameraInput(plotter, input);
    }
    // One frame of a snapshot at the next tick of the clock.
    void apply(CameraInput input) {
        clock += 0.1;
        input.time = clock;
        applyCameraInput(plotter, input);
    }
    static CameraInput at(double x, double y) {
        CameraInput input;
        input.cursorX = x;
        input.cursorY = y;
        return input;
    }
    // Where a world point shows in the window under the matrices of the last frame.
    glm::vec2 pixelOf(glm::vec3 point) const {
        const glm::vec4 clip = getProjectionMatrix(plotter) * getViewMatrix(plotter) * glm::vec4(point, 1.0f);
        return {(clip.x / clip.w + 1.0f) * 512.0f, (1.0f - clip.y / clip.w) * 384.0f};
    }
    // Holds the keys for half a second after a first frame that starts the clock.
    glm::vec3 moveFor(std::initializer_list<CameraKey> keys) {
        const glm::vec3 before = plotter.position;
        step(clock);
        step(clock + 0.5, keys);
        clock += 1.0;
        return plotter.position - before;
    }
    Plotter plotter;
    double clock = 10.0;
};

void expectVec(glm::vec3 actual, glm::vec3 expected, float tolerance = 1e-5f) {
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

}  // namespace

TEST_F(CameraTest, ProjectionTakesTheFieldOfViewAsRadians) {
    step(1.0);
    const glm::mat4 p = getProjectionMatrix(plotter);
    EXPECT_NEAR(p[1][1], 1.792591f, 1e-5);
    EXPECT_NEAR(p[0][0], 1.792591f / (1024.0f / 768.0f), 1e-5);
    EXPECT_NEAR(p[2][2], -1.002002f, 1e-6);
    EXPECT_NEAR(p[2][3], -1.0f, 1e-7);
    EXPECT_NEAR(p[3][2], -0.2002002f, 1e-6);
    EXPECT_EQ(p[0][1], 0.0f);
    EXPECT_EQ(p[3][3], 0.0f);
}

TEST_F(CameraTest, MinimisedWindowKeepsThePreviousProjection) {
    step(1.0);
    const glm::mat4 before = getProjectionMatrix(plotter);
    appState.windowHeight = 0.0f;
    step(1.1);
    EXPECT_EQ(getProjectionMatrix(plotter), before);
    appState.windowWidth = 0.0f;
    step(1.2);
    EXPECT_EQ(getProjectionMatrix(plotter), before);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) EXPECT_TRUE(std::isfinite(getViewMatrix(plotter)[c][r]));

    // Resized again: the new aspect applies at once.
    appState.windowWidth = 800.0f;
    appState.windowHeight = 800.0f;
    step(1.3);
    EXPECT_NEAR(getProjectionMatrix(plotter)[0][0], 1.792591f, 1e-5);
}

TEST_F(CameraTest, StartPoseLooksStraightDownWithYUpOnScreen) {
    step(1.0);
    const glm::mat4 view = getViewMatrix(plotter);
    const glm::vec4 centre = view * glm::vec4(0.0f, 2.5f, 0.0f, 1.0f);
    EXPECT_NEAR(centre.x, 0.0f, 1e-4);
    EXPECT_NEAR(centre.y, 0.0f, 1e-4);
    EXPECT_NEAR(centre.z, -8.5f, 1e-4);
    EXPECT_GT((view * glm::vec4(0.0f, 3.5f, 0.0f, 1.0f)).y, 0.9f) << "+y points up on the screen";
    EXPECT_GT((view * glm::vec4(1.0f, 2.5f, 0.0f, 1.0f)).x, 0.9f) << "+x points right";
}

TEST_F(CameraTest, EveryPresetSetsItsPoseOnceAndAnswers) {
    struct Pose {
        glm::vec3 position;
        float h, v;
    };
    const Pose poses[7] = {
        {{0, 0, 0.35f}, 0, 0},        {{0, 2.5f, 8.5f}, 0, startPitch}, {{0, -0.85f, -0.5f}, 0, 0.13f},
        {{0, -1.5f, 0.7f}, 0, 0},     {{0, 5.5f, 0.7f}, -3.14f, 0},     {{-5, 2, 2}, 1.54f, -0.5f},
        {{5, 2, 2}, -1.54f, -0.5f},
    };
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(viewNames[i]);
        plotter.position = glm::vec3(9, 9, 9);
        plotter.horizontalAngle = 0.7f;
        plotter.verticalAngle = 0.3f;
        plotter.fieldOfView = 1.0f;
        viewRequest = viewNames[i];
        step(1.0 + i);
        EXPECT_EQ(plotter.position, poses[i].position);
        EXPECT_EQ(plotter.horizontalAngle, poses[i].h);
        EXPECT_EQ(plotter.verticalAngle, poses[i].v);
        EXPECT_EQ(plotter.fieldOfView, 45.0f);
        EXPECT_STREQ(viewRequest, "ALTERNATE VIEWS");
        plotter.position = glm::vec3(1, 1, 1);
        step(1.5 + i);
        EXPECT_EQ(plotter.position, glm::vec3(1, 1, 1)) << "a preset applies once";
    }
    // The side views look across towards the sensor: the origin lies ahead of the eye.
    for (int side : {5, 6}) {
        viewRequest = viewNames[side];
        step(30.0 + side);
        const glm::vec4 origin = getViewMatrix(plotter) * glm::vec4(0.0f, 0.0f, 0.0f, 1.0f);
        EXPECT_LT(origin.z, -4.0f);
    }
}

TEST_F(CameraTest, DragRotatesFromTheSecondFrameOnly) {
    step(1.0, {}, true, 100, 100);  // press and move in one frame: nothing turns
    EXPECT_EQ(plotter.horizontalAngle, 0.0f);
    EXPECT_EQ(plotter.verticalAngle, startPitch);
    EXPECT_FALSE(plotter.firstClick);

    step(1.1, {}, true, 110, 90);  // right 10 and up 10
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.02f);
    EXPECT_FLOAT_EQ(plotter.verticalAngle, startPitch + 0.02f);

    step(1.2, {}, false, 500, 500);  // released and moved away: the next drag does not jump
    EXPECT_TRUE(plotter.firstClick);
    step(1.3, {}, true, 600, 600);
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.02f);
    step(1.4, {}, true, 590, 600);
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.0f);
}

TEST_F(CameraTest, PitchStopsAtTheLimitsEitherWay) {
    step(1.0, {}, true, 0, 0);
    step(1.1, {}, true, 0, -5000);
    EXPECT_EQ(plotter.verticalAngle, 1.570796f);
    step(1.2, {}, true, 0, -9000);
    EXPECT_EQ(plotter.verticalAngle, 1.570796f);
    step(1.3, {}, true, 0, 9000);
    EXPECT_EQ(plotter.verticalAngle, -1.570796f);
}

TEST_F(CameraTest, APresetInTheFrameOfADragTakesTheDragOnTop) {
    step(1.0, {}, true, 0, 0);
    plotter.horizontalAngle = 1.0f;
    viewRequest = viewNames[3];  // front view: h = 0, v = 0
    step(1.1, {}, true, 50, -50);
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.1f);
    EXPECT_FLOAT_EQ(plotter.verticalAngle, 0.1f);
}

TEST_F(CameraTest, WhileTheGuiHoldsTheInputNeitherDragsNorKeysMove) {
    for (std::atomic<bool>* flag : {&appState.panelFocused, &appState.inputCaptured}) {
        resetCamera(plotter);
        step(clock, {}, true, 0, 0);
        *flag = true;
        step(clock + 0.5, {keyW, keySpace, keyD}, true, 300, 300);
        EXPECT_EQ(plotter.position, glm::vec3(0, 2.5f, 8.5f));
        EXPECT_EQ(plotter.horizontalAngle, 0.0f);
        EXPECT_TRUE(plotter.firstClick) << "a drag under way is forgotten";
        *flag = false;
        step(clock + 0.6, {}, true, 400, 400);  // the drag starts afresh: no jump
        EXPECT_EQ(plotter.horizontalAngle, 0.0f);
        clock += 1.0;
    }
}

TEST_F(CameraTest, APopUpOrFieldOutsideThePanelsKeepsItsInputFromTheCamera) {
    // "File End!" and the recording failures are drawn outside any panel: the GUI's own wish for the
    // mouse or the keyboard keeps the camera still, each for its own kind of input.
    CameraInput input;
    input.time = clock;
    input.leftButton = true;
    applyCameraInput(plotter, input);
    input.time = clock + 0.5;
    input.cursorX = input.cursorY = 300;
    input.guiWantsMouse = true;
    input.keys[keyW] = true;
    applyCameraInput(plotter, input);
    EXPECT_EQ(plotter.horizontalAngle, 0.0f);
    EXPECT_TRUE(plotter.firstClick);
    EXPECT_GT(plotter.position.y, 2.5f) << "keys still fly while only the mouse is taken";

    const glm::vec3 before = plotter.position;
    input.time = clock + 1.0;
    input.guiWantsMouse = false;
    input.guiWantsKeys = true;
    input.leftButton = false;
    applyCameraInput(plotter, input);
    EXPECT_EQ(plotter.position, before);
}

TEST_F(CameraTest, EachKeyRowMovesFiveMetresASecond) {
    // Start pose: looking down with h = 0, so forward is +y and right is +x; 0.5 s at 5 m/s.
    const float d = 2.5f, slack = 2e-3f;  // the 1.57 side angle tilts sideways motion a little
    expectVec(moveFor({keySpace}), {0, 0, d});
    expectVec(moveFor({keyE}), {0, 0, d});
    expectVec(moveFor({keyLeftControl}), {0, 0, -d});
    expectVec(moveFor({keyRightControl}), {0, 0, -d});
    expectVec(moveFor({keyQ}), {0, 0, -d});
    expectVec(moveFor({keyUp}), {0, d, 0}, slack);
    expectVec(moveFor({keyW}), {0, d, 0}, slack);
    expectVec(moveFor({keyDown}), {0, -d, 0}, slack);
    expectVec(moveFor({keyS}), {0, -d, 0}, slack);
    expectVec(moveFor({keyRight}), {d, 0, 0}, slack);
    expectVec(moveFor({keyD}), {d, 0, 0}, slack);
    expectVec(moveFor({keyLeft}), {-d, 0, 0}, slack);
    expectVec(moveFor({keyA}), {-d, 0, 0}, slack);
}

TEST_F(CameraTest, KeyRowsCombine) {
    expectVec(moveFor({keyW, keyS}), {0, 0, 0});
    expectVec(moveFor({keyLeftControl, keyW}), {0, 0, -2.5f});  // Ctrl with W only goes down
    expectVec(moveFor({keyRightControl, keyDown}), {0, 0, -2.5f});
    expectVec(moveFor({keySpace, keyQ}), {0, 0, 0});
    const glm::vec3 diagonal = moveFor({keyW, keyD});
    EXPECT_NEAR(diagonal.x, 2.5f, 2e-3f);
    EXPECT_NEAR(diagonal.y, 2.5f, 2e-3f);
}

TEST_F(CameraTest, TheFirstFrameHasNoTimeToMoveIn) {
    step(100.0, {keyW, keySpace});
    EXPECT_EQ(plotter.position, glm::vec3(0, 2.5f, 8.5f));
    step(100.1, {keySpace});
    EXPECT_NEAR(plotter.position.z, 9.0f, 1e-4f);
}

TEST_F(CameraTest, WheelZoomsTowardThePointUnderTheCursor) {
    // The cursor over the ground 4 m out on the y axis; a drawn point halfway down that ray is
    // nearer and wins; one far off the ray is no candidate; over the sky the eye moves 5 m ahead.
    const glm::vec3 start(0, 2.5f, 8.5f), ground(0, 4, 0), halfway = (start + ground) * 0.5f;
    const float stray[3] = {3, 3, 3}, onRay[6] = {3, 3, 3, halfway.x, halfway.y, halfway.z};
    struct Case {
        const float* points;
        int count;
        glm::vec3 target;
    };
    for (const Case& c : {Case{stray, 1, ground}, Case{onRay, 2, halfway}}) {
        resetCamera(plotter);
        CameraInput input = at(512, 262.5);
        input.cloudPoints = c.points;
        input.cloudPointCount = c.count;
        apply(input);
        const glm::vec2 before = pixelOf(c.target);
        input.wheel = 2.0f;  // two notches: 0.8 × 0.8 of the distance is left
        apply(input);
        expectVec(plotter.position, c.target + (start - c.target) * 0.64f, 1e-3f);
        EXPECT_NEAR(glm::distance(pixelOf(c.target), before), 0.0f, 0.5f) << "the point stays under the cursor";
        input.wheel = -2.0f;
        apply(input);
        expectVec(plotter.position, start, 1e-3f);
    }
    viewRequest = viewNames[3];  // front view: level, so the top row of the window sees only sky
    apply(at(512, 0));
    const glm::vec3 eye = plotter.position;
    CameraInput sky = at(512, 0);
    sky.wheel = 1.0f;
    apply(sky);
    EXPECT_NEAR(glm::distance(plotter.position, eye), 1.0f, 1e-4f);
    EXPECT_GT(plotter.position.z, eye.z);
    sky.guiWantsMouse = true;  // over a panel or pop-up the wheel is theirs
    const glm::vec3 held = plotter.position;
    apply(sky);
    EXPECT_EQ(plotter.position, held);
}

TEST_F(CameraTest, RightDragOrbitsAboutThePointUnderTheCursorAtPress) {
    // Pressed over the origin, dragged right and up: the origin keeps its distance and its pixel.
    const glm::vec3 origin(0, 0, 0);
    CameraInput input = at(512, 586);
    input.rightButton = true;
    apply(input);
    const glm::vec2 pixel = pixelOf(origin);
    const float distance = glm::distance(plotter.position, origin);
    for (const auto& [x, y] : {std::pair{562, 586}, std::pair{612, 536}}) {
        input.cursorX = x;
        input.cursorY = y;
        apply(input);
        EXPECT_NEAR(glm::distance(plotter.position, origin), distance, 1e-3f);
        EXPECT_NEAR(glm::distance(pixelOf(origin), pixel), 0.0f, 0.5f);
    }
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.2f);
    EXPECT_FLOAT_EQ(plotter.verticalAngle, startPitch + 0.1f);
    EXPECT_LT(plotter.position.y, 2.5f) << "tilting up swings the eye back over the origin";

    input.rightButton = false;  // let go, moved, pressed again elsewhere: no jump
    input.cursorX = 900;
    apply(input);
    input.rightButton = true;
    const glm::vec3 eye = plotter.position;
    apply(input);
    EXPECT_EQ(plotter.position, eye);
}

TEST_F(CameraTest, MiddleDragOrShiftLeftDragPansWithTheGrabbedPointUnderTheCursor) {
    for (bool middle : {true, false}) {
        SCOPED_TRACE(middle ? "middle" : "shift and left");
        resetCamera(plotter);
        CameraInput input = at(512, 384);  // over (0, 2.5, 0)
        input.middleButton = middle;
        input.leftButton = !middle;
        input.keys[keyLeftShift] = !middle;
        apply(input);
        input.cursorX = 612;
        input.cursorY = 484;
        apply(input);
        EXPECT_NEAR(glm::distance(pixelOf({0, 2.5f, 0}), glm::vec2(612, 484)), 0.0f, 0.5f);
        EXPECT_EQ(plotter.horizontalAngle, 0.0f) << "the view turns not";
        EXPECT_EQ(plotter.verticalAngle, startPitch);
        EXPECT_NEAR(plotter.position.z, 8.5f, 1e-4f) << "the eye moves across the view only";
    }
}

TEST_F(CameraTest, EveryMoveByTheUserCountsAndHomeOrRGoBackToTheStart) {
    // Each row: a button held over two frames while the cursor moves `shift` pixels each way, or a
    // key or a wheel turn in the second frame.
    struct Move {
        const char* name;
        bool CameraInput::*button;
        double shift;
        int key;  // a CameraKey, or -1
        float wheel;
        bool typing, counts, toStart;
    };
    const Move moves[] = {
        {"idle", nullptr, 0, -1, 0, false, false, false},
        {"held button, no motion", &CameraInput::leftButton, 0, -1, 0, false, false, false},
        {"fly key", nullptr, 0, keyW, 0, false, true, false},
        {"fly drag", &CameraInput::leftButton, 40, -1, 0, false, true, false},
        {"orbit", &CameraInput::rightButton, 40, -1, 0, false, true, false},
        {"pan", &CameraInput::middleButton, 40, -1, 0, false, true, false},
        {"wheel", nullptr, 0, -1, 1, false, true, false},
        {"Home", nullptr, 0, keyHome, 0, false, true, true},
        {"R", nullptr, 0, keyR, 0, false, true, true},
        {"R typed into a field", nullptr, 0, keyR, 0, true, false, false},
    };
    for (const Move& move : moves) {
        SCOPED_TRACE(move.name);
        viewRequest = viewNames[5];  // a preset is the camera's own doing, not a move
        const uint32_t before = cameraMoves;
        CameraInput input = at(100, 100);
        if (move.button != nullptr) input.*move.button = true;
        apply(input);
        input.cursorX += move.shift;
        input.cursorY += move.shift;
        if (move.key >= 0) input.keys[move.key] = true;
        input.wheel = move.wheel;
        input.guiWantsKeys = move.typing;
        apply(input);
        EXPECT_EQ(cameraMoves != before, move.counts);
        EXPECT_EQ(plotter.position == glm::vec3(0, 2.5f, 8.5f) && plotter.verticalAngle == startPitch, move.toStart);
        apply(at(100, 100));  // buttons up
    }
}
