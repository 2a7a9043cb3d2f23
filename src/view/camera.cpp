// The camera: turns mouse drags, held keys and the fixed view presets into the view and projection
// matrices. Called by render once per frame on the GUI thread; tests drive applyCameraInput directly.
#include "view/view.h"

#include "app/app.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include <glm/gtc/matrix_transform.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr float pitchLimit = 1.570796f;
constexpr float sideAngleOffset = 1.57f;  // the side vector uses this, not π/2
constexpr float presetFieldOfView = 45.0f;
constexpr float keySpeed = 5.0f;     // metres per second
constexpr float dragSpeed = 0.002f;  // radians per pixel
constexpr int topView = 1;           // the start pose
constexpr float nearPlane = 0.1f;
constexpr float farPlane = 100.0f;

struct ViewPreset {
    glm::vec3 position;
    float horizontalAngle;
    float verticalAngle;
};

// In the order of viewNames.
const ViewPreset viewPresets[viewCount] = {
    {{0.0f, 0.0f, 0.35f}, 0.0f, 0.0f},        // first person
    {{0.0f, 2.5f, 8.5f}, 0.0f, -pitchLimit},  // top: straight down
    {{0.0f, -0.85f, -0.5f}, 0.0f, 0.13f},     // bottom
    {{0.0f, -1.5f, 0.7f}, 0.0f, 0.0f},        // front
    {{0.0f, 5.5f, 0.7f}, -3.14f, 0.0f},       // back
    {{-5.0f, 2.0f, 2.0f}, 1.54f, -0.5f},      // left
    {{5.0f, 2.0f, 2.0f}, -1.54f, -0.5f},      // right
};

void applyViewRequest(Plotter& plotter) {
    for (int i = 0; i < viewCount; ++i) {
        if (viewRequest != viewNames[i]) continue;
        plotter.position = viewPresets[i].position;
        plotter.horizontalAngle = viewPresets[i].horizontalAngle;
        plotter.verticalAngle = viewPresets[i].verticalAngle;
        plotter.fieldOfView = presetFieldOfView;
        viewRequest = viewAnswered;
        return;
    }
}

void applyDrag(Plotter& plotter, const CameraInput& input) {
    if (!input.leftButton) {
        plotter.firstClick = true;
        return;
    }
    if (plotter.firstClick) {
        plotter.firstClick = false;
    } else {
        if (input.cursorX != plotter.lastCursorX)
            plotter.horizontalAngle += plotter.mouseSpeed * static_cast<float>(input.cursorX - plotter.lastCursorX);
        if (input.cursorY != plotter.lastCursorY) {
            plotter.verticalAngle -= plotter.mouseSpeed * static_cast<float>(input.cursorY - plotter.lastCursorY);
            plotter.verticalAngle = std::clamp(plotter.verticalAngle, -pitchLimit, pitchLimit);
        }
    }
    plotter.lastCursorX = input.cursorX;
    plotter.lastCursorY = input.cursorY;
}

void applyKeys(Plotter& plotter, const CameraInput& input, float dt, glm::vec3 side, glm::vec3 ground) {
    const bool* key = input.keys;
    const glm::vec3 up(0.0f, 0.0f, 1.0f);
    const bool control = key[keyLeftControl] || key[keyRightControl];
    const float step = plotter.speed;
    if (key[keySpace] || key[keyE]) plotter.position += up * dt * step;
    if (control || key[keyQ]) plotter.position -= up * dt * step;
    if ((key[keyUp] || key[keyW]) && !control) plotter.position -= ground * dt * step;
    if ((key[keyDown] || key[keyS]) && !control) plotter.position += ground * dt * step;
    if (key[keyRight] || key[keyD]) plotter.position -= side * dt * step;
    if (key[keyLeft] || key[keyA]) plotter.position += side * dt * step;
}

// GLFW key codes in CameraKey order.
const int cameraKeyCodes[cameraKeyCount] = {
    GLFW_KEY_SPACE, GLFW_KEY_E,  GLFW_KEY_LEFT_CONTROL, GLFW_KEY_RIGHT_CONTROL, GLFW_KEY_Q,
    GLFW_KEY_UP,    GLFW_KEY_W,  GLFW_KEY_DOWN,         GLFW_KEY_S,            GLFW_KEY_RIGHT,
    GLFW_KEY_D,     GLFW_KEY_LEFT, GLFW_KEY_A};

}  // namespace

void resetCamera(Plotter& plotter) {
    plotter.position = viewPresets[topView].position;
    plotter.horizontalAngle = viewPresets[topView].horizontalAngle;
    plotter.verticalAngle = viewPresets[topView].verticalAngle;
    plotter.fieldOfView = presetFieldOfView;
    plotter.speed = keySpeed;
    plotter.mouseSpeed = dragSpeed;
    plotter.firstClick = true;
}

CameraInput readCameraInput(Plotter& plotter) {
    CameraInput input;
    input.time = glfwGetTime();
    glfwGetCursorPos(plotter.window, &input.cursorX, &input.cursorY);
    input.leftButton = glfwGetMouseButton(plotter.window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
    for (int k = 0; k < cameraKeyCount; ++k) input.keys[k] = glfwGetKey(plotter.window, cameraKeyCodes[k]) == GLFW_PRESS;
    // Pop-ups drawn outside any panel ("File End!", the recording failures) and the menu bar take
    // input too; the GUI knows from the previous frame which input it is using.
    const ImGuiIO& io = ImGui::GetIO();
    input.guiWantsMouse = io.WantCaptureMouse;
    input.guiWantsKeys = io.WantCaptureKeyboard;
    return input;
}

void applyCameraInput(Plotter& plotter, const CameraInput& input) {
    if (!plotter.clockStarted) {
        plotter.lastTime = input.time;
        plotter.clockStarted = true;
    }
    const float dt = static_cast<float>(input.time - plotter.lastTime);

    applyViewRequest(plotter);

    // While a panel or an editor holds the input, a drag in progress is forgotten.
    const bool guiHoldsInput = appState.panelFocused || appState.inputCaptured;
    if (guiHoldsInput || input.guiWantsMouse) plotter.firstClick = true;
    else applyDrag(plotter, input);

    const float h = plotter.horizontalAngle;
    const float v = plotter.verticalAngle;
    const glm::vec3 direction(std::cos(v) * std::sin(h), std::cos(v) * std::cos(h), std::sin(v));
    const glm::vec3 side(std::sin(h - sideAngleOffset), std::cos(h - sideAngleOffset), 0.0f);
    const glm::vec3 ground = glm::cross(glm::vec3(0.0f, 0.0f, 1.0f), side);
    const glm::vec3 up = glm::cross(direction, side);

    if (!guiHoldsInput && !input.guiWantsKeys) applyKeys(plotter, input, dt, side, ground);

    // A minimised window reports a zero height: the previous projection stays.
    const float width = appState.windowWidth;
    const float height = appState.windowHeight;
    if (width > 0.0f && height > 0.0f)
        plotter.projectionMatrix = glm::perspective(plotter.fieldOfView, width / height, nearPlane, farPlane);
    plotter.viewMatrix = glm::lookAt(plotter.position, plotter.position + direction, up);
    plotter.lastTime = input.time;
}

void updateCamera(Plotter& plotter) { applyCameraInput(plotter, readCameraInput(plotter)); }

glm::mat4 getViewMatrix(const Plotter& plotter) { return plotter.viewMatrix; }
glm::mat4 getProjectionMatrix(const Plotter& plotter) { return plotter.projectionMatrix; }
