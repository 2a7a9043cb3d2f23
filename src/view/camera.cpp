// The camera: turns mouse drags, the wheel, held keys and the fixed view presets into the view and
// projection matrices. Called by render once per frame on the GUI thread; tests drive
// applyCameraInput directly.
//
// Index: Constants and presets | Fly drag and keys | Orbit, pan and zoom | Picking | The frame
//        step.
#include "view/view.h"

#include "app/app.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include <glm/gtc/matrix_transform.hpp>
#include <glm/gtc/quaternion.hpp>

#include <algorithm>
#include <cmath>

namespace {

// ---- Constants and presets ----------------------------------------------------------------------

constexpr float pitchLimit = 1.570796f;
constexpr float sideAngleOffset = 1.57f;  // the side vector uses this, not π/2
constexpr float presetFieldOfView = 45.0f;
constexpr float keySpeed = 5.0f;     // metres per second
constexpr float dragSpeed = 0.002f;  // radians per pixel
constexpr int topView = 1;           // the start pose
constexpr float nearPlane = 0.1f;
constexpr float farPlane = 100.0f;

constexpr float pickRadiusPixels = 6.0f;  // beyond half the point size: a drawn point this near the cursor is hit
constexpr float missDistance = 5.0f;      // metres along the cursor ray when nothing is under the cursor
constexpr float zoomShare = 0.2f;         // one wheel notch moves the eye this share of the way to the point
constexpr float closestZoom = 0.2f;       // metres: the wheel stops short of the point
constexpr float farthestZoom = 80.0f;     // metres: and does not back away beyond this

enum NavigationDrag : int32_t { dragNone, dragOrbit, dragPan };

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

// ---- Fly drag and keys --------------------------------------------------------------------------

// The fly drag: the left button without Shift (with Shift it pans).
void applyDrag(Plotter& plotter, const CameraInput& input) {
    const bool shift = input.keys[keyLeftShift] || input.keys[keyRightShift];
    if (!input.leftButton || shift) {
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
    GLFW_KEY_SPACE, GLFW_KEY_E,    GLFW_KEY_LEFT_CONTROL, GLFW_KEY_RIGHT_CONTROL, GLFW_KEY_Q,
    GLFW_KEY_UP,    GLFW_KEY_W,    GLFW_KEY_DOWN,         GLFW_KEY_S,            GLFW_KEY_RIGHT,
    GLFW_KEY_D,     GLFW_KEY_LEFT, GLFW_KEY_A,            GLFW_KEY_HOME,         GLFW_KEY_R,
    GLFW_KEY_LEFT_SHIFT, GLFW_KEY_RIGHT_SHIFT};

// The camera's axes for a heading and a pitch: view direction, side vector (to the viewer's left)
// and up vector, as the look-at matrix uses them.
struct CameraAxes {
    glm::vec3 direction, side, up;
};

CameraAxes cameraAxes(float h, float v) {
    const glm::vec3 direction(std::cos(v) * std::sin(h), std::cos(v) * std::cos(h), std::sin(v));
    const glm::vec3 side(std::sin(h - sideAngleOffset), std::cos(h - sideAngleOffset), 0.0f);
    return {direction, side, glm::cross(direction, side)};
}

glm::mat4 poseViewMatrix(const Plotter& plotter) {
    const CameraAxes axes = cameraAxes(plotter.horizontalAngle, plotter.verticalAngle);
    return glm::lookAt(plotter.position, plotter.position + axes.direction, axes.up);
}

// The projection for the window as it is now; the last one while the window is minimised.
glm::mat4 currentProjection(const Plotter& plotter) {
    const float width = appState.windowWidth;
    const float height = appState.windowHeight;
    if (width > 0.0f && height > 0.0f) return glm::perspective(plotter.fieldOfView, width / height, nearPlane, farPlane);
    return plotter.projectionMatrix;
}

// ---- Orbit, pan and zoom ------------------------------------------------------------------------

// Turns the camera rigidly about the anchor by the drag's heading and pitch change, so the anchor
// keeps both its distance and its place on the screen.
void orbit(Plotter& plotter, float dx, float dy) {
    const float h = plotter.horizontalAngle;
    const float v = plotter.verticalAngle;
    const float newH = h + plotter.mouseSpeed * dx;
    const float newV = std::clamp(v - plotter.mouseSpeed * dy, -pitchLimit, pitchLimit);
    // A growing heading turns the view clockwise seen from above; a growing pitch tilts it up about
    // the horizontal axis across the view.
    const glm::vec3 across(std::cos(h), -std::sin(h), 0.0f);
    const glm::quat turn = glm::angleAxis(h - newH, glm::vec3(0.0f, 0.0f, 1.0f)) * glm::angleAxis(newV - v, across);
    plotter.position = plotter.dragAnchor + turn * (plotter.position - plotter.dragAnchor);
    plotter.horizontalAngle = newH;
    plotter.verticalAngle = newV;
}

// Moves the eye across the view so the grabbed point follows the cursor.
void pan(Plotter& plotter, float dx, float dy) {
    const float height = appState.windowHeight;
    if (height <= 0.0f) return;
    const CameraAxes axes = cameraAxes(plotter.horizontalAngle, plotter.verticalAngle);
    const glm::vec3 right = glm::normalize(glm::cross(axes.direction, axes.up));
    const glm::vec3 up = glm::cross(right, axes.direction);
    const float depth = glm::dot(plotter.dragAnchor - plotter.position, axes.direction);
    const float metresPerPixel = 2.0f * depth * std::tan(plotter.fieldOfView / 2.0f) / height;
    plotter.position += (up * dy - right * dx) * metresPerPixel;
}

void zoom(Plotter& plotter, const CameraInput& input) {
    const glm::vec3 point = pickUnderCursor(plotter, input);
    const glm::vec3 fromPoint = plotter.position - point;
    const float distance = glm::length(fromPoint);
    if (distance <= 0.0f) return;
    float wanted = distance * std::pow(1.0f - zoomShare, input.wheel);
    if (input.wheel > 0.0f) wanted = std::max(wanted, std::min(distance, closestZoom));
    else wanted = std::min(wanted, std::max(distance, farthestZoom));
    plotter.position = point + fromPoint * (wanted / distance);
}

// Right drag orbits, middle drag or Shift with the left pans. A drag keeps its kind until its
// button is let go; its first frame only picks the anchor.
void applyNavigationDrag(Plotter& plotter, const CameraInput& input) {
    const bool shift = input.keys[keyLeftShift] || input.keys[keyRightShift];
    const bool panButton = input.middleButton || (input.leftButton && shift);
    if (plotter.navigationDrag == dragOrbit && !input.rightButton) plotter.navigationDrag = dragNone;
    if (plotter.navigationDrag == dragPan && !panButton) plotter.navigationDrag = dragNone;
    if (plotter.navigationDrag == dragNone) {
        if (!input.rightButton && !panButton) return;
        plotter.navigationDrag = input.rightButton ? dragOrbit : dragPan;
        plotter.dragAnchor = pickUnderCursor(plotter, input);
    } else {
        const float dx = static_cast<float>(input.cursorX - plotter.dragLastX);
        const float dy = static_cast<float>(input.cursorY - plotter.dragLastY);
        if (plotter.navigationDrag == dragOrbit) orbit(plotter, dx, dy);
        else pan(plotter, dx, dy);
    }
    plotter.dragLastX = input.cursorX;
    plotter.dragLastY = input.cursorY;
}

void applyStartViewKey(Plotter& plotter) {
    plotter.position = viewPresets[topView].position;
    plotter.horizontalAngle = viewPresets[topView].horizontalAngle;
    plotter.verticalAngle = viewPresets[topView].verticalAngle;
    plotter.fieldOfView = presetFieldOfView;
    startViewsTaken += 1;
}

// ---- Picking ------------------------------------------------------------------------------------

}  // namespace

glm::vec3 pickUnderCursor(const Plotter& plotter, const CameraInput& input) {
    const float width = appState.windowWidth;
    const float height = appState.windowHeight;
    const CameraAxes axes = cameraAxes(plotter.horizontalAngle, plotter.verticalAngle);
    if (width <= 0.0f || height <= 0.0f) return plotter.position + axes.direction * missDistance;
    const glm::mat4 toClip = currentProjection(plotter) * poseViewMatrix(plotter);
    const glm::mat4 toWorld = glm::inverse(toClip);
    const float ndcX = static_cast<float>(2.0 * input.cursorX / width - 1.0);
    const float ndcY = static_cast<float>(1.0 - 2.0 * input.cursorY / height);
    const glm::vec4 nearEnd = toWorld * glm::vec4(ndcX, ndcY, -1.0f, 1.0f);
    const glm::vec4 farEnd = toWorld * glm::vec4(ndcX, ndcY, 1.0f, 1.0f);
    const glm::vec3 ray = glm::normalize(glm::vec3(farEnd) / farEnd.w - glm::vec3(nearEnd) / nearEnd.w);

    float nearest = farPlane;
    glm::vec3 hit = plotter.position + ray * missDistance;
    const float radius = std::max(pickRadiusPixels, pointSize / 2.0f);
    for (int p = 0; p < input.cloudPointCount; ++p) {
        const glm::vec3 point(input.cloudPoints[3 * p], input.cloudPoints[3 * p + 1], input.cloudPoints[3 * p + 2]);
        const glm::vec4 clip = toClip * glm::vec4(point, 1.0f);
        if (clip.w < nearPlane) continue;  // behind the eye or too near to be drawn
        const float pixelX = (clip.x / clip.w + 1.0f) * 0.5f * width;
        const float pixelY = (1.0f - clip.y / clip.w) * 0.5f * height;
        const float dx = pixelX - static_cast<float>(input.cursorX), dy = pixelY - static_cast<float>(input.cursorY);
        const float distance = glm::length(point - plotter.position);
        if (dx * dx + dy * dy <= radius * radius && distance < nearest) {
            nearest = distance;
            hit = point;
        }
    }
    if (std::abs(ray.z) > 0.0f) {
        const float along = -plotter.position.z / ray.z;
        if (along > 0.0f && along < nearest) hit = plotter.position + ray * along;
    }
    return hit;
}

// ---- The frame step -----------------------------------------------------------------------------

void resetCamera(Plotter& plotter) {
    plotter.position = viewPresets[topView].position;
    plotter.horizontalAngle = viewPresets[topView].horizontalAngle;
    plotter.verticalAngle = viewPresets[topView].verticalAngle;
    plotter.fieldOfView = presetFieldOfView;
    plotter.speed = keySpeed;
    plotter.mouseSpeed = dragSpeed;
    plotter.firstClick = true;
    plotter.navigationDrag = dragNone;
}

CameraInput readCameraInput(Plotter& plotter) {
    CameraInput input;
    input.time = glfwGetTime();
    glfwGetCursorPos(plotter.window, &input.cursorX, &input.cursorY);
    input.leftButton = glfwGetMouseButton(plotter.window, GLFW_MOUSE_BUTTON_LEFT) == GLFW_PRESS;
    input.rightButton = glfwGetMouseButton(plotter.window, GLFW_MOUSE_BUTTON_RIGHT) == GLFW_PRESS;
    input.middleButton = glfwGetMouseButton(plotter.window, GLFW_MOUSE_BUTTON_MIDDLE) == GLFW_PRESS;
    for (int k = 0; k < cameraKeyCount; ++k) input.keys[k] = glfwGetKey(plotter.window, cameraKeyCodes[k]) == GLFW_PRESS;
    // Pop-ups drawn outside any panel ("File End!", the recording failures) and the menu bar take
    // input too; the GUI knows from the previous frame which input it is using. The GUI's GLFW
    // back-end gathers the wheel, which the GUI holds until the end of its frame.
    const ImGuiIO& io = ImGui::GetIO();
    input.guiWantsMouse = io.WantCaptureMouse;
    input.guiWantsKeys = io.WantCaptureKeyboard;
    input.wheel = io.MouseWheel;
    if (scene.cloud != nullptr) {
        input.cloudPoints = scene.cloud->vertices.data();
        input.cloudPointCount = scene.cloud->count;
    }
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
    const bool keysFree = !guiHoldsInput && !input.guiWantsKeys;
    if (keysFree && (input.keys[keyHome] || input.keys[keyR])) applyStartViewKey(plotter);
    if (guiHoldsInput || input.guiWantsMouse) {
        plotter.firstClick = true;
        plotter.navigationDrag = dragNone;
    } else {
        applyDrag(plotter, input);
        applyNavigationDrag(plotter, input);
        if (input.wheel != 0.0f) zoom(plotter, input);
    }

    const CameraAxes axes = cameraAxes(plotter.horizontalAngle, plotter.verticalAngle);
    const glm::vec3 ground = glm::cross(glm::vec3(0.0f, 0.0f, 1.0f), axes.side);
    if (keysFree) applyKeys(plotter, input, dt, axes.side, ground);

    // A minimised window reports a zero height: the previous projection stays.
    plotter.projectionMatrix = currentProjection(plotter);
    plotter.viewMatrix = poseViewMatrix(plotter);
    plotter.lastTime = input.time;
}

void updateCamera(Plotter& plotter) { applyCameraInput(plotter, readCameraInput(plotter)); }

glm::mat4 getViewMatrix(const Plotter& plotter) { return plotter.viewMatrix; }
glm::mat4 getProjectionMatrix(const Plotter& plotter) { return plotter.projectionMatrix; }
