// The camera without a window: input snapshots in, pose and matrices out. Covers drags (first click,
// pitch limits, the GUI holding the input), the key rows and the pan; the wheel, the orbit and Home
// are driven under Xvfb by tests/e2e/test_window.sh.
#include "view/view.h"

#include "app/app.h"

#include <gtest/gtest.h>

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
    }
    void TearDown() override {
        appState.windowWidth = appState.windowHeight = 0.0f;
        appState.panelFocused = appState.inputCaptured = false;
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

}  // namespace

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
        EXPECT_NEAR(glm::distance(plotter.position - before, row.move), 0.0f, 4e-3f) << row.move.x << row.move.y << row.move.z;
    }
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
