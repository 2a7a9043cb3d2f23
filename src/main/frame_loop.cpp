// The GUI frame loop: brings up the Plotter, Dear ImGui and the fonts, then draws a frame whenever
// something changed (input, a sensor frame, a running replay or recording, a figure that moves)
// and sleeps in between, until the window is to close. Called once by the entry; runs on the main
// (GUI) thread.
//
// Index: Frame timings | Panels and refresh rate | Fonts | Settings and the window | One frame |
//        Waiting for something to draw | The loop.
#include "main/frame_loop.h"

#include "app/app.h"
#include "link/link.h"
#include "main/embedded_fonts.h"
#include "main/settings.h"
#include "record/mcap.h"
#include "record/record.h"
#include "ui/ui.h"
#include "view/view.h"

#include <epoxy/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <deque>
#include <limits>
#include <string>
#include <thread>
#include <vector>

const char* const firstFrameLine = "first frame drawn";

namespace {

// Process-wide state of the loop: raised by SIGUSR1 (handled only with --debug), cleared by the next
// frame, which prints a frame report so scripts can see that frames keep coming and time a stretch.
volatile std::sig_atomic_t frameReportRequested = 0;
// Raised by SIGTERM, SIGHUP and SIGINT, read by the loop: the viewer ends as Escape ends it.
volatile std::sig_atomic_t quitSignalled = 0;
// Posted by the signal handlers for the waker (below); the waker leaves on wakerStop.
sem_t signalPosted;
std::atomic<bool> wakerStop{false};
// Escape went down (GUI thread: the key callback sets it, the next frame takes it), and the frame
// that took it found nothing to close first: the loop ends.
bool escapePressed = false;
bool escapeQuit = false;
// Set by every input and window event GLFW delivers on the GUI thread; taken after each frame.
bool inputSeen = false;
// Keys, characters, mouse buttons and wheel turns not yet handed to the GUI, oldest first (GUI
// thread), and the GUI back-end's own handlers they go to.
struct InputEvent {
    enum Kind { key, character, button, wheel } kind;
    int code = 0;  // the key, the button, or the character's code point
    int scancode = 0, action = 0, mods = 0;
    double x = 0.0, y = 0.0;  // the wheel's offsets
};
std::deque<InputEvent> queuedInput;
GLFWkeyfun guiKeyHandler = nullptr;
GLFWcharfun guiCharHandler = nullptr;
GLFWmousebuttonfun guiButtonHandler = nullptr;
GLFWscrollfun guiWheelHandler = nullptr;

constexpr int assumedRefreshHz = 60;
constexpr double refreshRecheckSeconds = 2.0;  // the window may have moved to another monitor
constexpr float fontPixels = 16.0f;
const ImWchar iconRanges[] = {0xF000, 0xF976, 0};
constexpr size_t frameTimeSamples = 4096;  // the latest frames, for the timing line printed at exit
// Frames drawn after an input, for the GUI to show what it did: a click is seen pressed in one frame
// and released in the next, and what it opens lays itself out in the one after.
constexpr int settleFramesAfterInput = 3;
// A figure that moves by itself may show this much late, so that while a sensor streams its next
// frame (due within this time at 460800 baud and faster) draws the figure, not a frame of its own.
constexpr double figureLatenessSeconds = 0.1;

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

void onFrameReportSignal(int) {
    frameReportRequested = 1;
    sem_post(&signalPosted);  // async-signal-safe, unlike waking GLFW from here
}

void onQuitSignal(int) {
    quitSignalled = 1;
    sem_post(&signalPosted);
}

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
    inputSeen = true;  // a frame notes the place for the settings
    windowGeometry.x = x;
    windowGeometry.y = y;
}

void onWindowResized(GLFWwindow*, int width, int height) {
    inputSeen = true;
    // A minimised window reports 0 × 0: the size to come back to is the one before.
    if (width <= 0 || height <= 0) return;
    windowGeometry.width = width;
    windowGeometry.height = height;
}

// A rectangle of the desktop in screen coordinates: a window's place and size, or a monitor's work
// area (the monitor less the panels and docks of the desktop).
struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
};

// The remembered window as the monitors can show it: on the work area that holds its centre (the
// first one when none does), no larger than that area, and moved wholly onto it. Unchanged without
// work areas.
ScreenRect fitWindow(const ScreenRect& wanted, const std::vector<ScreenRect>& workAreas) {
    if (workAreas.empty()) return wanted;
    const int centreX = wanted.x + wanted.width / 2, centreY = wanted.y + wanted.height / 2;
    ScreenRect area = workAreas.front();
    for (const ScreenRect& candidate : workAreas) {
        if (centreX >= candidate.x && centreX < candidate.x + candidate.width && centreY >= candidate.y &&
            centreY < candidate.y + candidate.height) {
            area = candidate;
            break;
        }
    }
    ScreenRect fitted;
    fitted.width = std::clamp(wanted.width, 1, area.width);
    fitted.height = std::clamp(wanted.height, 1, area.height);
    fitted.x = std::clamp(wanted.x, area.x, area.x + area.width - fitted.width);
    fitted.y = std::clamp(wanted.y, area.y, area.y + area.height - fitted.height);
    return fitted;
}

// The work areas of the monitors attached now (the whole video mode where the desktop reports none).
std::vector<ScreenRect> monitorWorkAreas() {
    std::vector<ScreenRect> areas;
    int count = 0;
    GLFWmonitor** monitors = glfwGetMonitors(&count);
    for (int i = 0; i < count; ++i) {
        ScreenRect area;
        glfwGetMonitorWorkarea(monitors[i], &area.x, &area.y, &area.width, &area.height);
        if (area.width <= 0 || area.height <= 0) {
            const GLFWvidmode* mode = glfwGetVideoMode(monitors[i]);
            if (mode == nullptr) continue;
            glfwGetMonitorPos(monitors[i], &area.x, &area.y);
            area.width = mode->width;
            area.height = mode->height;
        }
        areas.push_back(area);
    }
    return areas;
}

// The remembered place and size as the monitors can show them (a window larger than the screen
// makes the X server refuse it outright); then follows the window.
void placeWindow(GLFWwindow* window, const Settings& settings) {
    if (settings.windowWidth > 0 && settings.windowHeight > 0) {
        const ScreenRect fitted = fitWindow(
            ScreenRect{settings.windowX, settings.windowY, settings.windowWidth, settings.windowHeight},
            monitorWorkAreas());
        glfwSetWindowSize(window, fitted.width, fitted.height);
        glfwSetWindowPos(window, fitted.x, fitted.y);
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
    bool keepable = true;
    loaded = read ? loadSettings(keeper.folder, defaults, warning, &keepable) : defaults;
    if (!keepable) keeper.folder.clear();  // said once by the load; no save will be tried
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
    if (key == GLFW_KEY_ESCAPE) escapePressed = true;
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

// The GUI reads the state of keys and buttons once a frame, not their events: a key pressed and
// released between two frames (a quick tap, a shortcut typed by a tool, a slow frame) would never be
// seen down, and characters typed right after Ctrl was let go would be taken for shortcuts. So the
// queued events go to the GUI in order, each frame up to the first that changes a key or a button
// already changed in it: every press and every release is seen in a frame of its own.
void passQueuedInput(GLFWwindow* window) {
    std::vector<int> changed;  // keys, and buttons as -1 - button
    while (!queuedInput.empty()) {
        const InputEvent& event = queuedInput.front();
        if ((event.kind == InputEvent::key || event.kind == InputEvent::button) && event.action != GLFW_REPEAT) {
            const int id = event.kind == InputEvent::key ? event.code : -1 - event.code;
            if (std::find(changed.begin(), changed.end(), id) != changed.end()) return;
            changed.push_back(id);
        }
        switch (event.kind) {
        case InputEvent::key: guiKeyHandler(window, event.code, event.scancode, event.action, event.mods); break;
        case InputEvent::character: guiCharHandler(window, static_cast<unsigned>(event.code)); break;
        case InputEvent::button: guiButtonHandler(window, event.code, event.action, event.mods); break;
        case InputEvent::wheel: guiWheelHandler(window, event.x, event.y); break;
        }
        queuedInput.pop_front();
    }
}

void drawFrame(Plotter& plotter) {
    glfwPollEvents();
    passQueuedInput(plotter.window);
    glClearColor(backgroundColor[0], backgroundColor[1], backgroundColor[2], backgroundColor[3]);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
    const ImGuiIO& io = ImGui::GetIO();
    appState.windowWidth = io.DisplaySize.x;
    appState.windowHeight = io.DisplaySize.y;
    takeFrameOnShow();
    // Before any window is drawn: the pop-up or the edit that Escape ends is the one on screen.
    if (escapePressed) {
        escapePressed = false;
        if (escapeFromScene()) escapeQuit = true;
    }

    drawPanels(PanelSet{drawConnectionPanel, drawViewPanel, drawRecordPanel});
    drawMainMenuBar();
    checkPortAlive();
    fillScene(plotter);
    render(plotter);
    drawViewOverlays();
    drawOverlay(ImGui::GetTime());
    writeRecordingFrame(frameOnShow.frame);
    pollCapture();
    pollSession();
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

// ---- Waiting for something to draw --------------------------------------------------------------

// Every kind of input and window event marks inputSeen, so that a wait ends in a frame only when
// something happened. Installed before the GUI's back-end, which calls on to the ones it replaces
// with its own (keys, focus, the pointer entering).
void watchForInput(GLFWwindow* window) {
    glfwSetKeyCallback(window, onKey);
    glfwSetCursorPosCallback(window, [](GLFWwindow*, double, double) { inputSeen = true; });
    glfwSetCursorEnterCallback(window, [](GLFWwindow*, int) { inputSeen = true; });
    glfwSetWindowFocusCallback(window, [](GLFWwindow*, int) { inputSeen = true; });
    glfwSetWindowRefreshCallback(window, [](GLFWwindow*) { inputSeen = true; });
    glfwSetWindowIconifyCallback(window, [](GLFWwindow*, int) { inputSeen = true; });
    glfwSetFramebufferSizeCallback(window, [](GLFWwindow*, int, int) { inputSeen = true; });
    glfwSetWindowCloseCallback(window, [](GLFWwindow*) { inputSeen = true; });
}

// Runs on a thread of its own: turns each handled signal into an empty event, so that a loop asleep
// in glfwWaitEvents wakes to print the frame report or to quit.
void wakeForSignals() {
    for (;;) {
        while (sem_wait(&signalPosted) != 0) {
        }
        if (wakerStop) return;
        glfwPostEmptyEvent();
    }
}

void stopSignalWaker(std::thread& waker) {
    if (!waker.joinable()) return;
    wakerStop = true;
    sem_post(&signalPosted);
    waker.join();
}

void handleSignal(int number, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;  // the workers' reads and the disk writes go on undisturbed
    sigaction(number, &action, nullptr);
}

bool quitWanted(Plotter& plotter) { return escapeQuit || quitSignalled || shouldClose(plotter); }

// After the GUI's back-end is set up: its key, character, button and wheel handlers are fed from
// the queue (passQueuedInput) instead of straight from GLFW.
void queueInput(GLFWwindow* window) {
    guiKeyHandler = glfwSetKeyCallback(window, [](GLFWwindow*, int key, int scancode, int action, int mods) {
        inputSeen = true;
        queuedInput.push_back({InputEvent::key, key, scancode, action, mods});
    });
    guiCharHandler = glfwSetCharCallback(window, [](GLFWwindow*, unsigned codepoint) {
        inputSeen = true;
        queuedInput.push_back({InputEvent::character, static_cast<int>(codepoint)});
    });
    guiButtonHandler = glfwSetMouseButtonCallback(window, [](GLFWwindow*, int button, int action, int mods) {
        inputSeen = true;
        queuedInput.push_back({InputEvent::button, button, 0, action, mods});
    });
    guiWheelHandler = glfwSetScrollCallback(window, [](GLFWwindow*, double x, double y) {
        inputSeen = true;
        queuedInput.push_back({InputEvent::wheel, 0, 0, 0, 0, x, y});
    });
}

// Frames published by every link so far: grows with each one, so any link's new frame is news.
uint64_t framesPublished() {
    uint64_t total = 0;
    for (int i = 0; i < linkCount(); ++i) total += linkAt(i).generation();
    return total;
}

// A frame published by any link's handler (or the replay) wakes the loop; links come and go, so the
// hook goes on every link whenever their number changed. Thread-safe.
void wakeOnFrames(int& linksHooked) {
    if (linkCount() == linksHooked) return;
    linksHooked = linkCount();
    for (int i = 0; i < linksHooked; ++i) linkAt(i).setFramePublishedHook([] { glfwPostEmptyEvent(); });
}

void waitForEvents(double seconds) {
    if (std::isinf(seconds)) glfwWaitEvents();
    else glfwWaitEventsTimeout(seconds);
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

double secondsBeforeNextFrame(const FrameNeeds& needs) {
    if (needs.steady || needs.settleFrames > 0 || needs.news) return 0.0;
    return std::max(needs.secondsToDeadline, 0.0);
}

int runFrameLoop(bool resetSettings, const std::function<void()>& atStart) {
    // From the start: a signal while the window is being made still ends the run cleanly.
    sem_init(&signalPosted, 0, 0);
    for (const int number : {SIGTERM, SIGHUP, SIGINT}) handleSignal(number, onQuitSignal);
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
    const std::string iniPath = imguiIniPath(keeper.folder);
    ImGui::GetIO().IniFilename = iniPath.empty() ? nullptr : iniPath.c_str();
    if (resetSettings) ImGui::LoadIniSettingsFromMemory("", 0);
    watchForInput(plotter.window);
    // A key tapped within one frame still reads as pressed once: Escape, Home, a flying key.
    glfwSetInputMode(plotter.window, GLFW_STICKY_KEYS, GLFW_TRUE);
    // A blinking text cursor would need a frame twice a second while a field is being edited.
    ImGui::GetIO().ConfigInputTextCursorBlink = false;
    ImGui_ImplGlfw_InitForOpenGL(plotter.window, true);
    queueInput(plotter.window);
    ImGui_ImplOpenGL3_Init(glslVersion);
    loadFonts();

    // Swap intervals are ignored by some drivers (Xvfb, virtual machines, remote desktops): without
    // a rest after each fast frame the loop would spin, burn a core and record far too many rows.
    int refreshHz = windowRefreshHz(plotter.window);
    double refreshCheckedAt = glfwGetTime();
    bool firstFrame = true;
    FrameTimes times;
    std::thread signalWaker(wakeForSignals);
    if (appState.debugPrint) handleSignal(SIGUSR1, onFrameReportSignal);
    int linksHooked = 0;
    int settleFrames = settleFramesAfterInput;  // the GUI lays itself out in its first frames
    double previousFrameEnd = glfwGetTime();
    for (;;) {
        const double frameStart = glfwGetTime();
        wakeOnFrames(linksHooked);
        const uint64_t drawnGeneration = framesPublished();
        drawFrame(plotter);
        if (firstFrame) {
            firstFrame = false;
            if (appState.debugPrint) logLine(firstFrameLine);
            // Only now: a window that first shows in the frame in which a modal pop-up first shows
            // (the menu bar under a "Connect Error" opened by a panel drawn before it) cannot be put
            // behind it, and ImGui asserts.
            atStart();
        }
        if (frameStart - refreshCheckedAt > refreshRecheckSeconds) {
            refreshHz = windowRefreshHz(plotter.window);
            refreshCheckedAt = frameStart;
        }
        const double drawing = glfwGetTime() - frameStart;
        const double rest = frameRestSeconds(drawing, refreshHz);
        if (rest > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(rest));
        const double frameEnd = glfwGetTime();
        times.add(drawing, frameEnd - previousFrameEnd);
        previousFrameEnd = frameEnd;
        if (frameReportRequested) {
            frameReportRequested = 0;
            printFrameReport(times);
        }
        keepSettings(keeper, settingsNow(), frameEnd);
        if (quitWanted(plotter)) break;

        // Sleep until there is something to draw. Input seen up to this frame's start was drawn by
        // it; the frames it still asks for follow without a wait.
        settleFrames = inputSeen ? settleFramesAfterInput : std::max(settleFrames - 1, 0);
        inputSeen = false;
        const GuiActivity gui = guiActivity(ImGui::GetTime());
        if (gui.settling || !queuedInput.empty()) settleFrames = std::max(settleFrames, 1);
        const double figuresDueAt = frameStart + gui.secondsUntilMove + figureLatenessSeconds;
        bool slept = false;
        for (;;) {
            const double now = glfwGetTime();
            const bool news =
                inputSeen || framesPublished() != drawnGeneration || frameReportRequested || quitSignalled;
            const double wait = secondsBeforeNextFrame(FrameNeeds{gui.steady, settleFrames, news, figuresDueAt - now});
            if (wait <= 0.0) break;
            // The settings wake the loop to be written, without a frame.
            const double settingsDue = settingsSaveDueAt(keeper) - now;
            if (settingsDue > 0.0) {
                waitForEvents(std::min(wait, settingsDue));
                slept = true;
            }
            keepSettings(keeper, settingsNow(), glfwGetTime());
        }
        // Time asleep is no time the camera flew: a key pressed while the loop slept moves it from now on.
        if (slept) plotter.clockStarted = false;
    }
    for (int i = 0; i < linkCount(); ++i) linkAt(i).setFramePublishedHook(nullptr);
    stopSharingLive();
    stopSignalWaker(signalWaker);
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
