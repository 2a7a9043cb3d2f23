// The GUI frame loop: brings up the Plotter, Dear ImGui and the fonts, then draws one frame after the
// other until the window is to close. Called once by the entry; runs on the main (GUI) thread.
//
// Index: Frame timings | Panels and refresh rate | Fonts | Settings and the window | One frame |
//        The loop.
#include "main/frame_loop.h"

#include "app/app.h"
#include "main/embedded_fonts.h"
#include "main/settings.h"
#include "record/record.h"
#include "ui/ui.h"
#include "view/view.h"

#include <epoxy/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

const char* const firstFrameLine = "first frame drawn";

namespace {

// Process-wide state of the loop: raised by SIGUSR1 (handled only with --debug), cleared by the next
// frame, which prints a frame report so scripts can see that frames keep coming and time a stretch.
volatile std::sig_atomic_t frameReportRequested = 0;

constexpr int assumedRefreshHz = 60;
constexpr double refreshRecheckSeconds = 2.0;  // the window may have moved to another monitor
constexpr float fontPixels = 16.0f;
const ImWchar iconRanges[] = {0xF000, 0xF976, 0};
constexpr size_t frameTimeSamples = 4096;  // the latest frames, for the timing line printed at exit

// ---- Frame timings ------------------------------------------------------------------------------

// Frame timings for the --debug summary: a ring of the latest frames, GUI thread only.
struct FrameTimes {
    std::vector<double> drawing, period;  // seconds
    size_t next = 0;
    long frames = 0;
    long framesAtReport = 0;  // frames when the last frame report was printed

    void add(double drawingSeconds, double periodSeconds) {
        if (drawing.size() < frameTimeSamples) {
            drawing.push_back(drawingSeconds);
            period.push_back(periodSeconds);
        } else {
            drawing[next] = drawingSeconds;
            period[next] = periodSeconds;
            next = (next + 1) % frameTimeSamples;
        }
        frames += 1;
    }
};

// The latest `count` samples of one of the rings (all it holds when count is larger).
std::vector<double> latestSamples(const FrameTimes& times, const std::vector<double>& ring, long count) {
    const size_t size = ring.size();
    const size_t taken = std::min(static_cast<size_t>(std::max(count, 0L)), size);
    const size_t end = size < frameTimeSamples ? size : times.next;  // one past the newest, modulo size
    std::vector<double> samples;
    samples.reserve(taken);
    for (size_t i = 0; i < taken; ++i) samples.push_back(ring[(end + size - 1 - i) % size]);
    return samples;
}

double medianMilliseconds(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2] * 1000.0;
}

void onFrameReportSignal(int) { frameReportRequested = 1; }

void printFrameReport(FrameTimes& times) {
    const long since = times.frames - times.framesAtReport;
    logPrintf("frame report: %ld frames drawn, %ld since the last report, median frame time %.2f ms, "
              "median drawing time %.2f ms\n",
              times.frames, since, medianMilliseconds(latestSamples(times, times.period, since)),
              medianMilliseconds(latestSamples(times, times.drawing, since)));
    times.framesAtReport = times.frames;
}

// ---- Panels and refresh rate --------------------------------------------------------------------

void drawPanel(PanelFunction draw, std::atomic<bool>& shown) {
    if (!shown) return;
    bool open = true;
    draw(&open);
    shown = open;
}

// The refresh rate of the monitor that holds the window's centre (the primary one if none does).
int windowRefreshHz(GLFWwindow* window) {
    int x = 0, y = 0, width = 0, height = 0;
    glfwGetWindowPos(window, &x, &y);
    glfwGetWindowSize(window, &width, &height);
    const int centreX = x + width / 2, centreY = y + height / 2;
    int monitorCount = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&monitorCount);
    GLFWmonitor* chosen = glfwGetPrimaryMonitor();
    for (int i = 0; i < monitorCount; ++i) {
        const GLFWvidmode* mode = glfwGetVideoMode(monitors[i]);
        int mx = 0, my = 0;
        glfwGetMonitorPos(monitors[i], &mx, &my);
        if (mode != nullptr && centreX >= mx && centreX < mx + mode->width && centreY >= my && centreY < my + mode->height) {
            chosen = monitors[i];
            break;
        }
    }
    const GLFWvidmode* mode = chosen != nullptr ? glfwGetVideoMode(chosen) : nullptr;
    return mode != nullptr ? mode->refreshRate : 0;
}

// ---- Fonts --------------------------------------------------------------------------------------

// Droid Sans with the Font Awesome icons merged in; ImGui's own font when Droid Sans was not built in.
void loadFonts() {
    ImGuiIO& io = ImGui::GetIO();
    if (droidSansTtfSize == 0) {
        std::fprintf(stderr, "Quarvis was built without the Droid Sans font; using ImGui's built-in font\n");
        io.Fonts->AddFontDefault();
        return;
    }
    ImFontConfig textConfig;
    textConfig.FontDataOwnedByAtlas = false;
    io.Fonts->AddFontFromMemoryTTF(const_cast<unsigned char*>(droidSansTtf), static_cast<int>(droidSansTtfSize),
                                   fontPixels, &textConfig);
    if (fontAwesomeSolidTtfSize == 0) {
        std::fprintf(stderr, "Quarvis was built without the Font Awesome font; icons will not show\n");
        return;
    }
    ImFontConfig iconConfig;
    iconConfig.FontDataOwnedByAtlas = false;
    iconConfig.MergeMode = true;
    iconConfig.PixelSnapH = true;
    io.Fonts->AddFontFromMemoryTTF(const_cast<unsigned char*>(fontAwesomeSolidTtf),
                                   static_cast<int>(fontAwesomeSolidTtfSize), fontPixels, &iconConfig, iconRanges);
}

// ---- Settings and the window --------------------------------------------------------------------

// The window's place and size as the window system last reported them (GUI thread only).
struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;
};
WindowGeometry windowGeometry;

void onWindowMoved(GLFWwindow*, int x, int y) {
    windowGeometry.x = x;
    windowGeometry.y = y;
}

void onWindowResized(GLFWwindow*, int width, int height) {
    // A minimised window reports 0 × 0: the size to come back to is the one before.
    if (width <= 0 || height <= 0) return;
    windowGeometry.width = width;
    windowGeometry.height = height;
}

// True when at least a corner's worth of the rectangle lies on one of the monitors now attached,
// so a window remembered on a monitor since unplugged does not open out of reach.
bool onSomeMonitor(int x, int y, int width, int height) {
    constexpr int reachable = 64;  // pixels of the window that must be on a monitor, each way
    int count = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&count);
    for (int i = 0; i < count; ++i) {
        const GLFWvidmode* mode = glfwGetVideoMode(monitors[i]);
        int mx = 0, my = 0;
        glfwGetMonitorPos(monitors[i], &mx, &my);
        if (mode == nullptr) continue;
        const int overlapX = std::min(x + width, mx + mode->width) - std::max(x, mx);
        const int overlapY = std::min(y + height, my + mode->height) - std::max(y, my);
        if (overlapX >= reachable && overlapY >= reachable) return true;
    }
    return false;
}

// The remembered size, and the remembered place when it is on a monitor; then follows the window.
void placeWindow(GLFWwindow* window, const Settings& settings) {
    if (settings.windowWidth > 0 && settings.windowHeight > 0) {
        glfwSetWindowSize(window, settings.windowWidth, settings.windowHeight);
        if (onSomeMonitor(settings.windowX, settings.windowY, settings.windowWidth, settings.windowHeight))
            glfwSetWindowPos(window, settings.windowX, settings.windowY);
    }
    glfwGetWindowPos(window, &windowGeometry.x, &windowGeometry.y);
    glfwGetWindowSize(window, &windowGeometry.width, &windowGeometry.height);
    glfwSetWindowPosCallback(window, onWindowMoved);
    glfwSetWindowSizeCallback(window, onWindowResized);
}

Settings settingsNow() {
    Settings settings = currentSettings();
    settings.windowX = windowGeometry.x;
    settings.windowY = windowGeometry.y;
    settings.windowWidth = windowGeometry.width;
    settings.windowHeight = windowGeometry.height;
    return settings;
}

// Reads the settings (unless told to start afresh) and applies them; the keeper saves from then on.
SettingsKeeper startSettings(bool reset, Settings& loaded, std::string& warning) {
    SettingsKeeper keeper;
    keeper.folder = settingsFolder();
    const Settings defaults = currentSettings();
    // Without a folder the load only says so: there is nothing to read, and nothing will be kept.
    const bool read = !reset || keeper.folder.empty();
    loaded = read ? loadSettings(keeper.folder, defaults, warning) : defaults;
    keeper.saved = loaded;
    keeper.pending = loaded;
    keeper.fileCurrent = !reset && warning.empty();
    applySettings(loaded);
    return keeper;
}

// ---- One frame ----------------------------------------------------------------------------------

// F12 asks for a screenshot and F2 toggles the overlay, once per press. Taken from the key events
// rather than the key's state, so that a press is not lost when it comes and goes within one slow
// frame (saving one, say). The GUI's back-end installs its own callback after this one and calls it on.
void onKey(GLFWwindow*, int key, int, int action, int) {
    if (action != GLFW_PRESS) return;
    if (key == GLFW_KEY_F12) screenshotRequested = true;
    if (key == GLFW_KEY_F2) overlayToggleRequested = true;
}

// The frame as drawn so far (scene and GUI), before it is shown; says where it went or why not.
void takeScreenshot(int width, int height) {
    screenshotRequested = false;
    std::string path, error;
    if (saveScreenshot(width, height, path, error)) {
        logPrintf("screenshot saved: %s\n", path.c_str());
        showScreenshotNotice("Screenshot saved: " + path);
    } else {
        std::fprintf(stderr, "Cannot save the screenshot %s: %s\n", path.c_str(), error.c_str());
        showScreenshotNotice("Cannot save the screenshot: " + error);
    }
}

void drawFrame(Plotter& plotter) {
    glfwPollEvents();
    glClearColor(backgroundColor[0], backgroundColor[1], backgroundColor[2], backgroundColor[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
    const ImGuiIO& io = ImGui::GetIO();
    appState.windowWidth = io.DisplaySize.x;
    appState.windowHeight = io.DisplaySize.y;

    drawPanels(PanelSet{drawConnectionPanel, drawViewPanel, drawRecordPanel});
    drawMainMenuBar();
    checkPortAlive();
    fillScene(plotter);
    render(plotter);
    drawViewOverlays();
    drawOverlay(ImGui::GetTime());
    writeRecordingFrame();
    pollCapture();
    readReplayFrame();
    stepCaptureReplay();

    ImGui::Render();
    int width = 0, height = 0;
    glfwGetFramebufferSize(plotter.window, &width, &height);
    glViewport(0, 0, width, height);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    if (screenshotRequested) takeScreenshot(width, height);
    glfwSwapBuffers(plotter.window);
}

}  // namespace

// ---- The loop -----------------------------------------------------------------------------------

void drawPanels(const PanelSet& panels) {
    // Only a panel drawn this frame can hold the focus: a panel hidden while focused must not leave
    // the camera deaf.
    appState.panelFocused = false;
    drawPanel(panels.connection, appState.showConnectionPanel);
    drawPanel(panels.view, appState.showViewPanel);
    drawPanel(panels.record, appState.showRecordPanel);
}

double frameRestSeconds(double elapsedSeconds, int refreshHz) {
    const double period = 1.0 / (refreshHz > 0 ? refreshHz : assumedRefreshHz);
    return elapsedSeconds < period ? period - elapsedSeconds : 0.0;
}

int runFrameLoop(bool resetSettings) {
    Settings loaded;
    std::string settingsWarning;
    SettingsKeeper keeper = startSettings(resetSettings, loaded, settingsWarning);
    Plotter plotter;
    configure(plotter);
    if (plotter.window == nullptr) {
        teardown(plotter);
        return 1;
    }
    // Only once the window is up: a viewer that cannot start says just why it cannot.
    if (!settingsWarning.empty()) std::fprintf(stderr, "%s\n", settingsWarning.c_str());
    placeWindow(plotter.window, loaded);
    setupScene(plotter);
    glfwMakeContextCurrent(plotter.window);
    if (epoxy_gl_version() < leastGlVersion) std::fprintf(stderr, "Failed to initialize OpenGL loader!\n");
    IMGUI_CHECKVERSION();
    ImGui::CreateContext();
    ImGui::StyleColorsDark();
    // ImGui keeps its window state beside our settings, never in the working folder.
    const std::string iniPath = keeper.folder.empty() ? std::string() : keeper.folder + "/" + imguiIniFileName;
    ImGui::GetIO().IniFilename = iniPath.empty() ? nullptr : iniPath.c_str();
    if (resetSettings) ImGui::LoadIniSettingsFromMemory("", 0);
    glfwSetKeyCallback(plotter.window, onKey);
    ImGui_ImplGlfw_InitForOpenGL(plotter.window, true);
    ImGui_ImplOpenGL3_Init(glslVersion);
    loadFonts();

    // Swap intervals are ignored by some drivers (Xvfb, virtual machines, remote desktops): without
    // a rest after each fast frame the loop would spin, burn a core and record far too many rows.
    int refreshHz = windowRefreshHz(plotter.window);
    double refreshCheckedAt = glfwGetTime();
    bool firstFrame = true;
    FrameTimes times;
    if (appState.debugPrint) {
        struct sigaction report = {};
        report.sa_handler = onFrameReportSignal;
        sigaction(SIGUSR1, &report, nullptr);
    }
    double frameStart = glfwGetTime();
    for (;;) {
        drawFrame(plotter);
        if (firstFrame) {
            firstFrame = false;
            if (appState.debugPrint) logLine(firstFrameLine);
        }
        if (frameStart - refreshCheckedAt > refreshRecheckSeconds) {
            refreshHz = windowRefreshHz(plotter.window);
            refreshCheckedAt = frameStart;
        }
        const double drawing = glfwGetTime() - frameStart;
        const double rest = frameRestSeconds(drawing, refreshHz);
        if (rest > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(rest));
        const double frameEnd = glfwGetTime();
        times.add(drawing, frameEnd - frameStart);
        if (frameReportRequested) {
            frameReportRequested = 0;
            printFrameReport(times);
        }
        frameStart = frameEnd;
        keepSettings(keeper, settingsNow(), frameEnd);
        if (shouldClose(plotter)) break;
    }
    flushSettings(keeper, settingsNow());
    if (appState.debugPrint)
        logPrintf("frames: %ld, median frame time %.2f ms, median drawing time %.2f ms\n", times.frames,
                  medianMilliseconds(times.period), medianMilliseconds(times.drawing));

    ImGui_ImplOpenGL3_Shutdown();
    ImGui_ImplGlfw_Shutdown();
    ImGui::DestroyContext();
    teardown(plotter);
    return 0;
}
