// Process entry of the viewer: parses the command line, starts the workers, runs the frame loop (which
// connects the sensors and opens the files named on the command line) and the exit sequence.
#include "app/app.h"
#include "app/version.h"
#include "main/frame_loop.h"
#include "link/link.h"
#include "record/mcap.h"
#include "record/record.h"
#include "ui/ui.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int usageStatus = 2;
constexpr int outputFailedStatus = 1;

constexpr const char* programName = "quarvis";

void printUsage(FILE* stream) {
    std::fprintf(stream,
                 "Usage: %s [OPTION]... [--connect PORT[@BAUD]]... [FILE]...\n"
                 "Shows the live point clouds of Ostrel range sensors on serial ports, records them to\n"
                 "CSV files and replays them, captures the raw byte stream (.%s) and replays captures.\n"
                 "Scenes and exported frames (PLY, PCD) are saved in the working folder.\n"
                 "\n"
                 "  --connect PORT[@BAUD]  connect a sensor on PORT at start, at BAUD (57600, 460800,\n"
                 "                    921600 or 1500000; else the rate chosen last); once per sensor, each\n"
                 "                    on the next sensor free. \"DEMO SENSOR\" is the simulated sensor\n"
                 "  FILE              open at start: a capture (.ostrel) replays as the first sensor, any\n"
                 "                    other file as a CSV recording. Files and ports go in the order given\n"
                 "  --debug           print diagnostic lines on standard output (SIGUSR1: a frame report)\n"
                 "  --demo            offer a simulated sensor (\"DEMO SENSOR\") in the port list\n"
                 "  --reset-settings  start from the default settings (saved over the remembered ones)\n"
                 "  -h, --help        this text\n"
                 "  --version         the version\n"
                 "\n"
                 "Keys: F2 shows or hides the overlay, F12 saves a screenshot, Escape closes the open pop-up\n"
                 "or ends a text edit, and quits from the scene. SIGTERM, SIGHUP and SIGINT quit as Escape\n"
                 "does: recordings and captures under way are completed first.\n"
                 "Settings and the window layout live in $XDG_CONFIG_HOME/quarvis (~/.config/quarvis).\n",
                 programName, captureExtension + 1);
}

// The status after --help or --version: 0 once standard output has taken all of it, or when its
// reader went away (`quarvis --version | true`): nobody is left to tell.
int outputStatus() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    if (errno == EPIPE) return 0;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", programName, std::strerror(errno));
    return outputFailedStatus;
}

// A port to connect, or a file to open, at start, in the order the command line gives them.
struct StartItem {
    bool connect = false;
    std::string name;       // the port, or the file
    int32_t baudRate = 0;   // 0: the rate chosen last
};

// "PORT" or "PORT@BAUD" with an offered rate. False for an empty port or a rate not offered.
bool parseConnect(const std::string& text, StartItem& item) {
    item.connect = true;
    item.name = text;
    const size_t at = text.rfind('@');
    if (at != std::string::npos) {
        const std::string rate = text.substr(at + 1);
        char* end = nullptr;
        const long value = std::strtol(rate.c_str(), &end, 10);
        const bool number = !rate.empty() && *end == '\0' && value == static_cast<int32_t>(value);
        if (!number || !offeredBaudRate(static_cast<int32_t>(value))) return false;
        item.name = text.substr(0, at);
        item.baudRate = static_cast<int32_t>(value);
    }
    return !item.name.empty();
}

// Runs before the first frame: each port connected, each file opened. A port that cannot be opened
// is said on standard error as well, and its panel is shown with "Connect Error"; a file opened
// shows the record panel, where its replay is.
void startItems(const std::vector<StartItem>& items) {
    bool connectFailed = false, fileOpened = false;
    for (const StartItem& item : items) {
        if (!item.connect) {
            openFileAtStart(item.name);
            fileOpened = true;
            continue;
        }
        if (item.name == demoPortName) demoSensorEnabled = true;
        std::string reason;
        if (connectSensorAtStart(item.name, item.baudRate, reason)) continue;
        std::fprintf(stderr, "%s: cannot connect to %s: %s\n", programName, item.name.c_str(), reason.c_str());
        connectFailed = true;
    }
    if (connectFailed) appState.showConnectionPanel = true;
    else if (fileOpened) appState.showRecordPanel = true;
}

void printFailure(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : " ") + line;
    std::fprintf(stderr, "%s: %s\n", programName, text.c_str());
}

// What the viewer was writing when it was told to quit is completed, and named on standard output:
// the recording or scene (its rows are whole), then the capture (every byte the grabber read).
void completeRecordingAtQuit() {
    if (!recordingFileOpen()) return;
    const bool scene = recordingState.sceneRequested;
    const std::string path = scene ? recordingState.sceneFileName : recordingState.recordPath;
    appState.recordingActive = false;
    if (!closeRecording()) {
        printFailure(recordNoticeLines(recordingState.notice));
        return;
    }
    if (scene) std::printf("%s: scene completed: %s\n", programName, path.c_str());
    else std::printf("%s: recording completed: %s (%lld rows)\n", programName, path.c_str(),
                     static_cast<long long>(recordingState.rowsWritten));
}

// Every capture still running: one line each.
void completeCaptureAtQuit() {
    uint64_t serials[maxLinks];
    for (int slot = 0; slot < maxLinks; ++slot) serials[slot] = captures[slot].notice.serial;
    finishCapture();
    for (int slot = 0; slot < maxLinks; ++slot) {
        const CaptureNotice& notice = captures[slot].notice;
        if (notice.serial == serials[slot]) continue;
        if (notice.kind == CaptureEnd::saved)
            std::printf("%s: capture completed: %s (%llu bytes)\n", programName, notice.path.c_str(),
                        static_cast<unsigned long long>(notice.bytesKept));
        else
            printFailure(captureNoticeLines(notice));
    }
}

void completeSessionAtQuit() {
    if (!sessionRunning()) return;
    finishSession();
    const SessionNotice& notice = sessionState.notice;
    if (notice.kind == SessionEnd::saved)
        std::printf("%s: session completed: %s (%llu frames)\n", programName, notice.path.c_str(),
                    static_cast<unsigned long long>(notice.framesKept));
    else
        printFailure(sessionNoticeLines(notice));
}

}  // namespace

int main(int argc, char** argv) {
    // A write to a pipe or socket whose reader went away fails with EPIPE and is reported like any
    // other failed write (or, for the help and version texts, ignored), instead of killing the viewer.
    std::signal(SIGPIPE, SIG_IGN);
    bool resetSettings = false;
    bool optionsEnded = false;  // after "--" every word is a file
    std::vector<StartItem> startList;
    for (int i = 1; i < argc; ++i) {
        const bool option = !optionsEnded && argv[i][0] == '-' && argv[i][1] != '\0';
        if (!option) {
            startList.push_back(StartItem{false, argv[i], 0});
        } else if (std::strcmp(argv[i], "--") == 0) {
            optionsEnded = true;
        } else if (std::strcmp(argv[i], "--connect") == 0 || std::strncmp(argv[i], "--connect=", 10) == 0) {
            const bool joined = argv[i][9] == '=';
            if (!joined && i + 1 == argc) {
                std::fprintf(stderr, "%s: --connect needs a port\n", programName);
                printUsage(stderr);
                return usageStatus;
            }
            const std::string value = joined ? argv[i] + 10 : argv[++i];
            StartItem item;
            if (!parseConnect(value, item)) {
                std::fprintf(stderr, "%s: not a port with an offered baud rate: '%s'\n", programName, value.c_str());
                printUsage(stderr);
                return usageStatus;
            }
            startList.push_back(item);
        } else if (std::strcmp(argv[i], "--debug") == 0) {
            appState.debugPrint = true;
        } else if (std::strcmp(argv[i], "--demo") == 0) {
            demoSensorEnabled = true;
        } else if (std::strcmp(argv[i], "--reset-settings") == 0) {
            resetSettings = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return outputStatus();
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", programName, quarvisVersion);
            return outputStatus();
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", programName, argv[i]);
            printUsage(stderr);
            return usageStatus;
        }
    }
    firstLink().startWorkers();
    const int status = runFrameLoop(resetSettings, [&startList] { startItems(startList); });
    closeReplay();
    completeRecordingAtQuit();
    shutDownLinks();
    completeSessionAtQuit();
    completeCaptureAtQuit();  // the grabbers have stopped: each capture holds every byte its grabber read
    std::fflush(stdout);
    return status;
}
