// The camera without a window: input snapshots in, pose and matrices out. Covers a minimised
// window, the start view, drags (first click, pitch limits, the GUI holding the input), the key
// rows, and the wheel, orbit, pan and start-view key with what they count as moving away from a view.
#include "view/view.h"

#include "app/app.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

namespace {

constexpr float startPitch = -1.570796f;
const glm::vec3 startPosition(0, 2.5f, 8.5f);

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetCamera(plotter);
        appState.windowWidth = 1024.0f;
        appState.windowHeight = 768.0f;
        viewRequest = nullptr;
    }
    void TearDown() override {
        appState.windowWidth = appState.windowHeight = 0.0f;
        appState.panelFocused = appState.inputCaptured = false;
        viewRequest = nullptr;
    }
    // One frame at the next tick of the clock with the cursor at (x, y) and the keys given held.
    void apply(CameraInput input, std::initializer_list<CameraKey> keys = {}) {
        clock += 0.1;
        input.time = clock;
        for (CameraKey key : keys) input.keys[key] = true;
        applyCameraInput(plotter, input);
    }
    // A left-button drag frame at (x, y).
    void drag(double x, double y) {
        CameraInput input = at(x, y);
        input.leftButton = true;
        apply(input);
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
    Plotter plotter;
    double clock = 10.0;
};

void expectVec(glm::vec3 actual, glm::vec3 expected, float tolerance = 4e-3f) {
    EXPECT_NEAR(glm::distance(actual, expected), 0.0f, tolerance) << actual.x << ' ' << actual.y << ' ' << actual.z;
}

}  // namespace

TEST_F(CameraTest, StartViewLooksDownWithYUpAndAMinimisedWindowKeepsTheProjection) {
    apply({});
    EXPECT_NEAR(glm::distance(pixelOf({0, 2.5f, 0}), glm::vec2(512, 384)), 0.0f, 0.5f);
    EXPECT_LT(pixelOf({0, 3.5f, 0}).y, 334.0f) << "+y points up on the screen";
    EXPECT_GT(pixelOf({1, 2.5f, 0}).x, 562.0f) << "+x points right";
    const glm::mat4 before = getProjectionMatrix(plotter);
    appState.windowHeight = 0.0f;
    apply({});
    EXPECT_EQ(getProjectionMatrix(plotter), before);
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) EXPECT_TRUE(std::isfinite(getViewMatrix(plotter)[c][r]));
}

TEST_F(CameraTest, DragTurnsFromItsSecondFrameAndPitchStopsAtTheLimits) {
    drag(100, 100);  // press and move in one frame: nothing turns
    EXPECT_EQ(plotter.verticalAngle, startPitch);
    drag(110, 90);  // right 10 and up 10
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.02f);
    EXPECT_FLOAT_EQ(plotter.verticalAngle, startPitch + 0.02f);
    apply(at(500, 500));  // released and moved away: the next drag does not jump
    drag(600, 600);
    EXPECT_FLOAT_EQ(plotter.horizontalAngle, 0.02f);
    for (const auto& [y, limit] : {std::pair{-5000.0, 1.570796f}, {-9000.0, 1.570796f}, {9000.0, -1.570796f}}) {
        drag(600, y);
        EXPECT_EQ(plotter.verticalAngle, limit) << y;
    }
}

TEST_F(CameraTest, WhileTheGuiHoldsTheInputTheCameraStaysStill) {
    // A focused panel or held widget takes mouse and keys; a pop-up outside the panels takes only
    // the kind of input it wants.
    enum Holder { panel, widget, mouseOnly, keysOnly };
    for (Holder holder : {panel, widget, mouseOnly, keysOnly}) {
        SCOPED_TRACE(holder);
        resetCamera(plotter);
        drag(0, 0);
        appState.panelFocused = holder == panel;
        appState.inputCaptured = holder == widget;
        CameraInput input = at(300, 300);
        input.leftButton = true;
        input.guiWantsMouse = holder == mouseOnly;
        input.guiWantsKeys = holder == keysOnly;
        apply(input, {keyW, keySpace});
        EXPECT_EQ(plotter.horizontalAngle == 0.0f, holder != keysOnly) << "drag";
        EXPECT_EQ(plotter.position == startPosition, holder != mouseOnly) << "keys";
        const float held = plotter.horizontalAngle;
        appState.panelFocused = appState.inputCaptured = false;
        drag(400, 400);  // a drag cut off starts afresh: no jump
        EXPECT_TRUE(holder == keysOnly || plotter.horizontalAngle == held);
    }
}

TEST_F(CameraTest, EachKeyRowMovesFiveMetresASecondAndTheFirstFrameNotAtAll) {
    // Start pose: looking down with h = 0, so forward is +y and right is +x; 0.5 s at 5 m/s.
    const float d = 2.5f;
    const struct {
        std::initializer_list<CameraKey> keys;
        glm::vec3 move;
    } rows[] = {
        {{keySpace}, {0, 0, d}},     {{keyE}, {0, 0, d}},     {{keyLeftControl}, {0, 0, -d}}, {{keyRightControl}, {0, 0, -d}},
        {{keyQ}, {0, 0, -d}},        {{keyUp}, {0, d, 0}},    {{keyW}, {0, d, 0}},            {{keyDown}, {0, -d, 0}},
        {{keyS}, {0, -d, 0}},        {{keyRight}, {d, 0, 0}}, {{keyD}, {d, 0, 0}},            {{keyLeft}, {-d, 0, 0}},
        {{keyA}, {-d, 0, 0}},        {{keyW, keyS}, {0, 0, 0}}, {{keyW, keyD}, {d, d, 0}},
    };
    apply({}, {keyW, keySpace});  // the first frame has no time to move in
    EXPECT_EQ(plotter.position, startPosition);
    for (const auto& row : rows) {
        const glm::vec3 before = plotter.position;
        apply({});
        clock += 0.4;
        apply({}, row.keys);
        expectVec(plotter.position - before, row.move);
    }
}

TEST_F(CameraTest, WheelZoomsTowardThePointUnderTheCursor) {
    // The cursor over the ground 4 m out on the y axis; a drawn point halfway down that ray is
    // nearer and wins; one far off the ray is no candidate; over the sky it zooms toward a point 5 m ahead.
    const glm::vec3 ground(0, 4, 0), halfway = (startPosition + ground) * 0.5f;
    const float stray[3] = {3, 3, 3}, onRay[6] = {3, 3, 3, halfway.x, halfway.y, halfway.z};
    for (const auto& [points, count, target] : {std::tuple{stray, 1, ground}, std::tuple{onRay, 2, halfway}}) {
        resetCamera(plotter);
        CameraInput input = at(512, 262.5);
        input.cloudPoints = points;
        input.cloudPointCount = count;
        apply(input);
        const glm::vec2 before = pixelOf(target);
        input.wheel = 2.0f;  // two notches: 0.8 × 0.8 of the distance is left
        apply(input);
        expectVec(plotter.position, target + (startPosition - target) * 0.64f);
        EXPECT_NEAR(glm::distance(pixelOf(target), before), 0.0f, 0.5f) << "the point stays under the cursor";
    }
    viewRequest = viewNames[3];  // front view: level, so the top row of the window sees only sky
    apply(at(512, 0));
    const glm::vec3 eye = plotter.position;
    CameraInput sky = at(512, 0);
    sky.wheel = 1.0f;
    apply(sky);
    EXPECT_NEAR(glm::distance(plotter.position, eye), 1.0f, 1e-4f);
    EXPECT_GT(plotter.position.z, eye.z);
}

// A right drag turns the eye about the point under the cursor: it keeps its pixel and its distance.
TEST_F(CameraTest, RightDragOrbitsAboutThePointUnderTheCursor) {
    const glm::vec3 anchor(0, 2.5f, 0);
    CameraInput input = at(512, 384);
    input.rightButton = true;
    apply(input);
    const float distance = glm::distance(plotter.position, anchor);
    input.cursorX = 612;
    input.cursorY = 334;
    apply(input);
    EXPECT_GT(plotter.horizontalAngle, 0.0f);
    EXPECT_GT(plotter.verticalAngle, startPitch);
    EXPECT_NEAR(glm::distance(pixelOf(anchor), glm::vec2(512, 384)), 0.0f, 0.5f);
    EXPECT_NEAR(glm::distance(plotter.position, anchor), distance, 1e-3f);
}

TEST_F(CameraTest, MiddleOrShiftLeftDragPansWithTheGrabbedPointUnderTheCursor) {
    for (bool middle : {true, false}) {
        resetCamera(plotter);
        CameraInput input = at(512, 384);  // over (0, 2.5, 0)
        input.middleButton = middle;
        input.leftButton = !middle;
        input.keys[keyLeftShift] = !middle;
        apply(input);
        input.cursorX = 612;
        input.cursorY = 484;
        apply(input);
        EXPECT_NEAR(glm::distance(pixelOf({0, 2.5f, 0}), glm::vec2(612, 484)), 0.0f, 0.5f) << middle;
        EXPECT_EQ(plotter.verticalAngle, startPitch);
        EXPECT_NEAR(plotter.position.z, 8.5f, 1e-4f) << "the eye moves across the view only";
    }
}

TEST_F(CameraTest, EveryMoveByTheUserCountsAndHomeOrRGoBackToTheStart) {
    // Each row: what the user holds in two frames over (100, 100) and does in the second.
    using Act = void (*)(CameraInput& first, CameraInput& second);
    const struct {
        const char* name;
        Act act;
        bool counts, toStart;
    } moves[] = {
        {"held button, no motion", [](CameraInput& a, CameraInput& b) { a.leftButton = b.leftButton = true; }, false, false},
        {"fly key", [](CameraInput&, CameraInput& b) { b.keys[keyW] = true; }, true, false},
        {"orbit", [](CameraInput& a, CameraInput& b) { a.rightButton = b.rightButton = true, b.cursorX = b.cursorY = 140; }, true, false},
        {"wheel", [](CameraInput&, CameraInput& b) { b.wheel = 1.0f; }, true, false},
        {"Home", [](CameraInput&, CameraInput& b) { b.keys[keyHome] = true; }, true, true},
        {"R", [](CameraInput&, CameraInput& b) { b.keys[keyR] = true; }, true, true},
        {"R typed into a field", [](CameraInput&, CameraInput& b) { b.keys[keyR] = b.guiWantsKeys = true; }, false, false},
    };
    for (const auto& move : moves) {
        SCOPED_TRACE(move.name);
        viewRequest = viewNames[5];  // a preset is the camera's own doing, not a move
        const uint32_t before = cameraMoves;
        CameraInput first = at(100, 100), second = first;
        move.act(first, second);
        apply(first);
        apply(second);
        EXPECT_EQ(cameraMoves != before, move.counts);
        EXPECT_EQ(plotter.position == startPosition && plotter.verticalAngle == startPitch, move.toStart);
        apply(at(100, 100));  // buttons up
    }
}
