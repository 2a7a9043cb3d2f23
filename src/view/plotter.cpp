// The Plotter: the window and its OpenGL 3.3 context, the shader program and the drawable objects.
// Created and driven by the frame loop; everything runs on the GUI thread.
#include "view/view.h"

#include "app/app.h"

#include <epoxy/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr int startWidth = 1024;
constexpr int startHeight = 768;
constexpr const char* windowTitle = "Quarvis";

void rememberGlfwError(int, const char* description) {
    std::snprintf(lastGlfwError, sizeof lastGlfwError, "%s", description);
}

// The driver's log of a shader or a program, printed when there is one.
void printInfoLog(GLuint object, PFNGLGETSHADERIVPROC getParameter, PFNGLGETSHADERINFOLOGPROC getLog) {
    GLint length = 0;
    getParameter(object, GL_INFO_LOG_LENGTH, &length);
    if (length > 0) {
        std::vector<char> log(length + 1, '\0');
        getLog(object, length, nullptr, log.data());
        logPrintf("%s\n", log.data());
    }
}

void compileShader(GLuint shader, const char* source) {
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    printInfoLog(shader, glGetShaderiv, glGetShaderInfoLog);
}

// A failed compile or link still gives the program; the driver's log says what went wrong.
GLuint linkProgram(const char* vertexSource, const char* fragmentSource) {
    const GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    const GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    compileShader(vertexShader, vertexSource);
    compileShader(fragmentShader, fragmentSource);

    const GLuint program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    printInfoLog(program, glGetProgramiv, glGetProgramInfoLog);
    glDetachShader(program, vertexShader);
    glDetachShader(program, fragmentShader);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);
    return program;
}

}  // namespace

Plotter& configure(Plotter& plotter) {
    resetCamera(plotter);
    plotter.objectCount = 0;
    for (SceneObject& object : plotter.objects) object = SceneObject{};
    plotter.colorTable = namedColors;
    initGraphics(plotter);
    if (appState.debugPrint) logPrintf("plotter configured\n");
    return plotter;
}

// A failure is reported here, once, on standard error; the window is then null and GLFW is down.
int initGraphics(Plotter& plotter) {
    glfwSetErrorCallback(rememberGlfwError);
    if (!glfwInit()) {
        std::fprintf(stderr, "Quarvis cannot start: no display to open its window on (%s)\n", lastGlfwError);
        return -1;
    }
    glslVersion = "#version 150";
    glfwWindowHint(GLFW_SAMPLES, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    plotter.window = glfwCreateWindow(startWidth, startHeight, windowTitle, nullptr, nullptr);
    if (plotter.window == nullptr) {
        std::fprintf(stderr, "Quarvis cannot start: no OpenGL 3.3 core context for its window (%s)\n", lastGlfwError);
        glfwTerminate();
        return -1;
    }
    glfwMakeContextCurrent(plotter.window);
    glfwSwapInterval(1);
    const int version = epoxy_gl_version();
    if (version < leastGlVersion) {
        std::fprintf(stderr, "Failed to initialize OpenGL loader: the context offers OpenGL %d.%d, 3.3 is needed\n",
                     version / 10, version % 10);
        glfwTerminate();
        plotter.window = nullptr;
        return -1;
    }
    glfwSetInputMode(plotter.window, GLFW_STICKY_KEYS, GLFW_TRUE);
    glfwSetInputMode(plotter.window, GLFW_CURSOR, GLFW_CURSOR_NORMAL);
    glfwPollEvents();
    glfwSetCursorPos(plotter.window, startWidth / 2, startHeight / 2);

    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glEnable(GL_CULL_FACE);
    glGenVertexArrays(1, &plotter.vertexArray);
    glBindVertexArray(plotter.vertexArray);
    plotter.program = loadShaders();
    plotter.mvpLocation = glGetUniformLocation(plotter.program, "MVP");
    plotter.roundPointProgram = linkProgram(vertexShaderSource, roundPointShaderSource);
    plotter.roundPointMvpLocation = glGetUniformLocation(plotter.roundPointProgram, "MVP");
    glfwMakeContextCurrent(nullptr);
    return 0;
}

uint32_t loadShaders() {
    if (vertexShaderSource == nullptr || vertexShaderSource[0] == '\0') {
        logPrintf("Error: there is no vertex shader source code\n");
        return 0;
    }
    if (fragmentShaderSource == nullptr || fragmentShaderSource[0] == '\0') {
        logPrintf("Error: there is no fragment shader source code\n");
        return 0;
    }
    return linkProgram(vertexShaderSource, fragmentShaderSource);
}

SceneObject* createObject(Plotter& plotter, uint32_t mode, int32_t vertexSize, std::vector<float> color,
                          int32_t colorSize, int32_t capacity) {
    if (plotter.objectCount >= maxObjects) return nullptr;
    SceneObject& object = plotter.objects[plotter.objectCount];
    plotter.objectCount += 1;
    object.id = plotter.objectCount;
    object.mode = mode;
    object.vertexSize = vertexSize;
    object.colorSize = colorSize;
    object.capacity = capacity;
    object.vertices.assign(static_cast<size_t>(vertexSize) * capacity, 0.0f);
    object.colors.assign(static_cast<size_t>(colorSize) * capacity, 0.0f);
    object.count = 0;
    object.color = std::move(color);
    return &object;
}

int setObjectColor(Plotter&, SceneObject* object, const std::vector<float>& color) {
    if (object == nullptr) return -1;
    object->color = color;
    return 0;
}

void clearObject(Plotter&, SceneObject* object) {
    if (object != nullptr) object->count = 0;
}

int addVertices(Plotter&, SceneObject* object, const float* data, int n) {
    if (object == nullptr) return -1;
    if (object->count + n >= object->capacity) return -2;
    std::memcpy(object->vertices.data() + static_cast<size_t>(object->count) * object->vertexSize, data,
                sizeof(float) * static_cast<size_t>(n) * object->vertexSize);
    // A colour list shorter than colorSize leaves the missing components at 0.
    const size_t colorValues = static_cast<size_t>(n) * object->colorSize;
    float* colors = object->colors.data() + static_cast<size_t>(object->count) * object->colorSize;
    for (size_t j = 0; j < colorValues; ++j) {
        const size_t component = j % object->colorSize;
        colors[j] = component < object->color.size() ? object->color[component] : 0.0f;
    }
    object->count += n;
    return 0;
}

std::array<float, 3> makePoint(double x, double y, double z) {
    return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
}

std::array<float, 6> makeSegment(double x1, double y1, double z1, double x2, double y2, double z2) {
    return {static_cast<float>(x1), static_cast<float>(y1), static_cast<float>(z1),
            static_cast<float>(x2), static_cast<float>(y2), static_cast<float>(z2)};
}

bool shouldClose(Plotter& plotter) {
    return glfwWindowShouldClose(plotter.window);
}

void teardown(Plotter& plotter) {
    if (plotter.window != nullptr) {
        glDeleteProgram(plotter.program);
        glDeleteProgram(plotter.roundPointProgram);
        glDeleteVertexArrays(1, &plotter.vertexArray);
        glfwTerminate();
        plotter.window = nullptr;
    }
    for (SceneObject& object : plotter.objects) object = SceneObject{};
    plotter.objectCount = 0;
}
