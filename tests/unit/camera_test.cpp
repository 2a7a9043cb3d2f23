// The camera without a window: input snapshots in, pose and matrices out. Covers the projection,
// the seven presets, drags (first click, pitch clamp, GUI holding the input) and every key row.
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
