// 3-D view: the view settings, the Plotter (window, GL resources, scene objects, camera), the scene
// drawing and the named colour table. Used by the frame loop and the view settings panel.
// Everything here runs on the GUI thread.
#pragma once

#include "link/link.h"

#include <glm/glm.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct GLFWwindow;

// View settings: written by the view settings panel, read when the next frame is drawn. GUI thread only.
extern float backgroundColor[4];        // (0.14, 0.14, 0.15, 1.0)
extern float gridColor[4];              // (0.32, 0.32, 0.32, 1.0); alpha unused
extern float pointSize;                 // pixels, 2.0
extern int32_t gridSpacing;             // centimetres, 100
extern const char* viewRequest;         // one-shot camera preset request: an entry of viewNames, by pointer
constexpr int viewCount = 7;
extern const char* const viewNames[viewCount];  // "FIRST PERSON VIEW", "TOP VIEW", ... "RIGHT VIEW"
extern const char* const viewAnswered;  // "ALTERNATE VIEWS": what viewRequest holds once a preset is applied

// How the points are coloured: white, the one chosen colour, or through the colour map by height (z)
// or by range from the sensor (distance to the origin).
enum PointColorMode : int32_t { colorWhite, colorChosen, colorByHeight, colorByRange, pointColorModeCount };
extern int32_t pointColorMode;          // colorWhite
extern float pointColor[4];             // the chosen colour, RGBA; alpha unused
extern bool colorRangeAuto;             // true: the map spans the shown frame's values
extern float colorRangeLow;             // metres, the fixed range of the map when not automatic
extern float colorRangeHigh;            // metres, above colorRangeLow
extern bool roundPoints;                // false: square points

// Grows each time the start-view key (Home or R) puts the camera back where it starts. Written by the
// camera, read by the view settings panel, whose combo then reads as at the start.
extern uint32_t startViewsTaken;

// The least OpenGL version the viewer runs on, as epoxy_gl_version reports it (major × 10 + minor).
constexpr int leastGlVersion = 33;

// Shader version text for the GUI's OpenGL 3 back-end; set by initGraphics.
extern const char* glslVersion;
extern const char* vertexShaderSource;
extern const char* fragmentShaderSource;
// The fragment shader of round points: the plain one, with the corners of each point discarded.
extern const char* roundPointShaderSource;
// The text of GLFW's latest error, kept so a failed start can say what went wrong.
extern char lastGlfwError[256];

// ---- Named colours --------------------------------------------------------------------------------
struct NamedColor {
    int32_t red8, green8, blue8;  // as the X11 colour database gives them
    float red, green, blue;       // 8-bit value / 255, rounded to five decimals
    const char* name;             // lower case, no white space
};

constexpr int namedColorCount = 500;
constexpr int colorNameLimit = 128;  // input positions beyond this are not part of a look-up key
extern const NamedColor namedColors[namedColorCount];

// The look-up key: the lower-cased non-blank characters at input positions 0..limit.
std::string normalizeColorName(const char* name, int limit);

// ---- Plotter and its drawable objects ------------------------------------------------------------
constexpr int objectSlots = 8;
constexpr int maxObjects = 7;  // one slot stays unused

struct SceneObject {
    int32_t id = 0;                // creation number from 1; 0 marks an unused slot
    uint32_t mode = 0;             // GL primitive: GL_POINTS, GL_LINES, GL_LINE_LOOP, GL_LINE_STRIP
    std::vector<float> vertices;   // capacity × vertexSize
    std::vector<float> colors;     // capacity × colorSize
    int32_t vertexSize = 0;
    int32_t colorSize = 0;
    int32_t capacity = 0;          // holds at most capacity − 1 vertices
    std::vector<float> color;      // given to every vertex added from now on
    int32_t count = 0;
    uint32_t vertexBuffer = 0;
    uint32_t colorBuffer = 0;
};

struct Plotter {
    const NamedColor* colorTable = nullptr;
    int32_t objectCount = 0;
    SceneObject objects[objectSlots];
    GLFWwindow* window = nullptr;  // null when the window or its context could not be made
    uint32_t program = 0;
    int32_t mvpLocation = 0;
    uint32_t roundPointProgram = 0;  // draws the cloud when roundPoints is on
    int32_t roundPointMvpLocation = 0;
    uint32_t vertexArray = 0;
    bool buffersPending = true;    // the first render generates the objects' GL buffers

    // Camera (see camera.cpp).
    glm::vec3 position{0.0f};
    float horizontalAngle = 0.0f;
    float verticalAngle = 0.0f;
    float fieldOfView = 0.0f;
    float speed = 0.0f;
    float mouseSpeed = 0.0f;
    double lastCursorX = 0.0, lastCursorY = 0.0;
    bool firstClick = false;
    bool clockStarted = false;     // lastTime holds a reading
    double lastTime = 0.0;         // seconds, the time read by the previous camera update
    glm::mat4 viewMatrix{0.0f};
    glm::mat4 projectionMatrix{0.0f};
    // Orbit (right button) and pan (middle button, or Shift with the left) drags.
    int32_t navigationDrag = 0;    // a NavigationDrag of camera.cpp; 0 while none is under way
    glm::vec3 dragAnchor{0.0f};    // the orbit centre, or the point a pan holds under the cursor
    double dragLastX = 0.0, dragLastY = 0.0;
};

Plotter& configure(Plotter& plotter);
int initGraphics(Plotter& plotter);
uint32_t loadShaders();
SceneObject* createObject(Plotter& plotter, uint32_t mode, int32_t vertexSize, std::vector<float> color,
                          int32_t colorSize, int32_t capacity);
int setObjectColor(Plotter& plotter, SceneObject* object, const std::vector<float>& color);
void clearObject(Plotter& plotter, SceneObject* object);
int addVertices(Plotter& plotter, SceneObject* object, const float* data, int n);
std::array<float, 3> makePoint(double x, double y, double z);
std::array<float, 6> makeSegment(double x1, double y1, double z1, double x2, double y2, double z2);
bool shouldClose(Plotter& plotter);
void teardown(Plotter& plotter);

// Colour look-up through the Plotter's table: the first row matching the key of name, or null.
const NamedColor* findColor(const Plotter& plotter, const char* name);
// The row's red, green and blue, or an empty list for an unknown name.
std::vector<float> colorByName(const Plotter& plotter, const char* name);

// Set every camera field to its start pose (the "TOP VIEW").
void resetCamera(Plotter& plotter);

// ---- Camera ---------------------------------------------------------------------------------------
// What the camera reads from the user in one frame, taken from GLFW in the viewer and filled by hand
// in tests.
enum CameraKey {
    keySpace, keyE, keyLeftControl, keyRightControl, keyQ, keyUp, keyW, keyDown, keyS,
    keyRight, keyD, keyLeft, keyA, keyHome, keyR, keyLeftShift, keyRightShift, cameraKeyCount
};

struct CameraInput {
    double time = 0.0;             // seconds
    double cursorX = 0.0, cursorY = 0.0;  // window coordinates
    bool leftButton = false;
    bool rightButton = false;
    bool middleButton = false;
    float wheel = 0.0f;            // wheel notches turned since the previous frame; > 0 away from the user
    bool keys[cameraKeyCount] = {};
    bool guiWantsMouse = false;    // the cursor is over a window or pop-up, or a widget is held
    bool guiWantsKeys = false;     // a text field or pop-up takes the keyboard
    // The points drawn this frame (x, y, z each), which the cursor can pick; none in a bare test.
    const float* cloudPoints = nullptr;
    int cloudPointCount = 0;
};

CameraInput readCameraInput(Plotter& plotter);
// One camera step from a snapshot: preset request, drag, keys, then both matrices.
void applyCameraInput(Plotter& plotter, const CameraInput& input);
// The world point under the cursor for the current pose: the nearest drawn point within a few
// pixels of it, else where its ray meets the ground (z = 0) within the far plane, else a point a
// fixed distance along the ray.
glm::vec3 pickUnderCursor(const Plotter& plotter, const CameraInput& input);
// What render calls: readCameraInput then applyCameraInput.
void updateCamera(Plotter& plotter);
glm::mat4 getViewMatrix(const Plotter& plotter);
glm::mat4 getProjectionMatrix(const Plotter& plotter);

// ---- Scene ----------------------------------------------------------------------------------------
struct Scene {
    std::vector<float> white, red, green, grey, blue;
    // The values the colour map spans in the latest frame (metres): written by drawPoints in the
    // height and range modes, read by the legend.
    float mapLow = 0.0f, mapHigh = 1.0f;
    SceneObject* rangeArc = nullptr;
    SceneObject* cloud = nullptr;
    SceneObject* grid = nullptr;
    SceneObject* axes = nullptr;
};

extern Scene scene;

// The frame this GUI frame shows: read once from the first link at the start of each GUI frame and
// handed to the scene, the overlay, the recording writer and the exports alike, so a frame published
// between them cannot be recorded in place of the one shown. Written by takeFrameOnShow (frame loop,
// GUI thread), read by the GUI thread.
struct FrameOnShow {
    PointFrame frame;
    uint64_t generation = 0;  // the link's generation when it was read
};
extern FrameOnShow frameOnShow;
void takeFrameOnShow();

void setupScene(Plotter& plotter);
void fillScene(Plotter& plotter);
void drawAxes(Plotter& plotter);
void drawGrid(Plotter& plotter);
void drawPoints(Plotter& plotter);
void drawRangeArc(Plotter& plotter);
void render(Plotter& plotter);  // needs the Plotter's GL context current

// ---- Colour map (colour_map.cpp) -------------------------------------------------------------------
// The perceptual map runs from dark purple through blue and green to yellow. Against a background
// only the part of it that stands out is used (on a dark one it starts at a blue, on a light one it
// ends at a green): `span` is that part, and t (clamped to 0..1) runs along it.
struct MapSpan {
    float from = 0.0f, to = 1.0f;  // on the whole map
};
MapSpan colorMapSpan(const float background[3]);
glm::vec3 colorMapAt(float t, MapSpan span);
// What the scene draws in white, against this background: white, or a dark grey on a light one.
glm::vec3 inkOn(const float background[3]);
// The colour itself when it stands out against the background, else the nearest mix of it with the
// ink that does (a dark blue axis turns light on a dark background, a green one dark on white).
glm::vec3 readableOn(glm::vec3 colour, const float background[3]);
// The WCAG contrast ratio of two sRGB colours, 1 (alike) to 21 (black on white).
float contrastRatio(glm::vec3 a, glm::vec3 b);
// The range the map spans for these values: the fixed range, or (automatic) from the 2nd to the
// 98th percentile. A range narrower than a centimetre is widened around its middle; no values keep
// `previous`.
struct ValueRange {
    float low, high;
};
ValueRange colorMapRange(std::vector<float>& values, bool automatic, ValueRange fixed, ValueRange previous);
// The value a point is coloured by in the height and range modes.
float colorValue(int32_t mode, const float xyz[3]);

// ---- Screenshots (screenshot.cpp) --------------------------------------------------------------
// Reads the current framebuffer (width × height pixels) and writes it as a PNG under a new name
// "quarvis-YYYYMMDD-HHMMSS.png" (or -2, -3 ... when taken) in the working folder; never replaces a
// file. True with `path` set to the file's full path; false with `error` saying why.
bool saveScreenshot(int width, int height, std::string& path, std::string& error);
// Writes `rgb` (rows top to bottom, 3 bytes a pixel) as a PNG to an open file. 0, or an errno value.
int writePng(int file, const unsigned char* rgb, int width, int height);
