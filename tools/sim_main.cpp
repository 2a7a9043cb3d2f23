// quarvis-sim: a stand-in for the sensor. Writes simulator frames, with optional injected faults,
// to a file, a pipe, a pseudo-terminal or standard output, paced as a serial line would carry them.
// Single-threaded.
//
// Index: Options and usage | Output | Pacing | Report | Main.
#include "app/app.h"
#include "app/version.h"
#include "link/sim.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr const char* toolName = "quarvis-sim";
constexpr int exitUsage = 2;
constexpr int exitFailure = 1;
constexpr int64_t pacingChunkMicros = 2000;   // bytes go out in slices of about this much line time
constexpr int64_t lagToleranceMicros = 100000; // further behind than this, the schedule moves on
constexpr int64_t nanosPerMicro = 1000;

// ---- Options and usage ---------------------------------------------------------------------------

struct SimOptions {
    std::string outPath = "-";
    std::string reportPath;        // empty: no report
    int baudRate = 0;              // 0: as fast as the output takes it
    double frameRate = 0.0;        // 0: as fast as the line allows
    bool pace = false;             // --pace: --rate in real time even into a regular file
    uint64_t frames = 0;           // 0: endless
    SimConfig config;
};

void printUsage(FILE* stream) {
    std::fprintf(stream,
        "Usage: %s [OPTIONS]\n"
        "Writes frames of the sensor's wire format (2912 bytes each) showing a floor, a wall and an\n"
        "object moving across, with sequence numbers counting up and time stamps from the sensor's clock.\n"
        "\n"
        "  --out PATH            file, pipe or pseudo-terminal to write to ('-': standard output, default)\n"
        "  --baud N              pace the bytes as an 8N1 line at N baud (7 or more) carries them\n"
        "                        (0: unpaced, default)\n"
        "  --rate R              frames per second, 0.000233 (a frame every 71 minutes) to 1000000\n"
        "                        (0, default: back to back as the line allows); sets the time stamps,\n"
        "                        and paces the output in real time into a pipe, terminal or line\n"
        "  --pace                pace --rate in real time into a regular file too (a regular file is\n"
        "                        otherwise written at once, unless --baud paces it)\n"
        "  --frames N            stop after N frames (0: endless, default); a cut-short frame and the\n"
        "                        frame it swallows count as one\n"
        "  --seed N              seed of the scene's noise and of the fault choices (default 1)\n"
        "  --first-sequence N    sequence number of the first frame, 0..65535 (default 0)\n"
        "  --start-time S        the sensor's clock at the first frame, in seconds (default 0)\n"
        "  --garbage SHARE       share of frames preceded by one byte other than 0x5A\n"
        "  --bad-checksum SHARE  share of frames with a wrong checksum\n"
        "  --bad-size SHARE      share of frames with a size field other than 2904\n"
        "  --cut-short SHARE     share of frames cut short (the frame behind is swallowed and lost)\n"
        "                        shares are 0..1 and add up to at most 1 (default 0 each)\n"
        "  --report PATH         at the end, write what was injected and the link counters a receiver\n"
        "                        must reach to PATH ('-': standard error)\n"
        "  --debug               one line per frame on standard error\n"
        "  --help                this text\n"
        "  --version             the version\n"
        "\n"
        "A terminal named by --out (serial line, pseudo-terminal) is set to raw for the run and given\n"
        "its settings back at the end. Ctrl-C stops after the frame being written, a second one at once.\n"
        "A reader that goes away ends the run quietly. Exit status: 0 done; 1 the output or the report\n"
        "could not be written; 2 bad usage.\n",
        toolName);
}

[[noreturn]] void usageError(const char* message, const char* value) {
    std::fprintf(stderr, "%s: %s '%s'\n", toolName, message, value);
    printUsage(stderr);
    std::exit(exitUsage);
}

// Exits like usageError when stdout cannot take what --help or --version printed.
[[noreturn]] void exitAfterOutput() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) std::exit(0);
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", toolName, std::strerror(errno));
    std::exit(exitFailure);
}

uint64_t parseCount(const char* text, uint64_t maximum) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || !std::isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || value > maximum)
        usageError("invalid number", text);
    return value;
}

double parseReal(const char* text, double minimum, double maximum) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= minimum && value <= maximum))
        usageError("invalid value", text);
    return value;
}

// A frame period (time stamps, pacing) is held in 32 bits of microseconds, about 71 minutes.
uint32_t framePeriodOrExit(double micros, const char* option, const char* text) {
    const double rounded = std::round(micros);
    if (!(rounded >= 1.0 && rounded <= UINT32_MAX)) {
        std::fprintf(stderr, "%s: %s '%s' makes a frame period outside 1 us .. %u us\n", toolName, option, text, UINT32_MAX);
        std::exit(exitUsage);
    }
    return static_cast<uint32_t>(rounded);
}

// The sensor's clock at the first frame; rounded to the microsecond as a whole, so 7.9999999 is 8 s.
void setStartTime(SimConfig& config, double seconds) {
    const uint64_t micros = static_cast<uint64_t>(std::llround(seconds * microsPerSecond));
    config.startSeconds = static_cast<uint32_t>(micros / microsPerSecond);
    config.startMicros = static_cast<uint32_t>(micros % microsPerSecond);
}

SimOptions parseOptions(int argc, char** argv) {
    enum OptionId { optOut = 1, optBaud, optRate, optFrames, optSeed, optFirstSequence, optStartTime,
                    optGarbage, optChecksum, optSize, optCutShort, optReport, optDebug, optHelp, optVersion, optPace };
    static const option longOptions[] = {
        {"out", required_argument, nullptr, optOut},       {"baud", required_argument, nullptr, optBaud},
        {"rate", required_argument, nullptr, optRate},     {"frames", required_argument, nullptr, optFrames},
        {"pace", no_argument, nullptr, optPace},
        {"seed", required_argument, nullptr, optSeed},
        {"first-sequence", required_argument, nullptr, optFirstSequence},
        {"start-time", required_argument, nullptr, optStartTime},
        {"garbage", required_argument, nullptr, optGarbage},
        {"bad-checksum", required_argument, nullptr, optChecksum},
        {"bad-size", required_argument, nullptr, optSize},
        {"cut-short", required_argument, nullptr, optCutShort},
        {"report", required_argument, nullptr, optReport}, {"debug", no_argument, nullptr, optDebug},
        {"help", no_argument, nullptr, optHelp},           {"version", no_argument, nullptr, optVersion},
        {nullptr, 0, nullptr, 0},
    };
    SimOptions options;
    std::string rateText;
    opterr = 0;
    for (int id; (id = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        switch (id) {
        case optOut: options.outPath = optarg; break;
        case optBaud: options.baudRate = static_cast<int>(parseCount(optarg, INT32_MAX)); break;
        case optRate:
            options.frameRate = parseReal(optarg, 0.0, microsPerSecond);
            rateText = optarg;
            break;
        case optPace: options.pace = true; break;
        case optFrames: options.frames = parseCount(optarg, UINT64_MAX); break;
        case optSeed: options.config.seed = static_cast<uint32_t>(parseCount(optarg, UINT32_MAX)); break;
        case optFirstSequence: options.config.firstSequence = static_cast<uint16_t>(parseCount(optarg, UINT16_MAX)); break;
        case optStartTime: setStartTime(options.config, parseReal(optarg, 0.0, UINT32_MAX)); break;
        case optGarbage: options.config.faultShare[simFaultGarbage] = parseReal(optarg, 0.0, 1.0); break;
        case optChecksum: options.config.faultShare[simFaultChecksum] = parseReal(optarg, 0.0, 1.0); break;
        case optSize: options.config.faultShare[simFaultSize] = parseReal(optarg, 0.0, 1.0); break;
        case optCutShort: options.config.faultShare[simFaultCutShort] = parseReal(optarg, 0.0, 1.0); break;
        case optReport: options.reportPath = optarg; break;
        case optDebug: appState.debugPrint = true; break;
        case optHelp: printUsage(stdout); exitAfterOutput();
        case optVersion: std::printf("%s %s\n", toolName, quarvisVersion); exitAfterOutput();
        default: usageError("unknown or incomplete option", argv[optind - 1]);
        }
    }
    if (optind < argc) usageError("unexpected argument", argv[optind]);
    double shares = 0.0;
    for (int kind = simFaultGarbage; kind < simFaultKindCount; ++kind) shares += options.config.faultShare[kind];
    if (shares > 1.0 + 1e-9) usageError("fault shares add up to more than 1:", std::to_string(shares).c_str());
    // Both are checked, as a rate sets the time stamps and a baud rate the pacing.
    const uint32_t ratePeriod = options.frameRate > 0.0
        ? framePeriodOrExit(microsPerSecond / options.frameRate, "--rate", rateText.c_str()) : 0;
    if (options.baudRate > 0) {
        const double lineMicros = static_cast<double>(frameBytes) * lineBitsPerByte * microsPerSecond / options.baudRate;
        framePeriodOrExit(lineMicros, "--baud", std::to_string(options.baudRate).c_str());
    }
    if (options.frameRate > 0.0)
        options.config.framePeriodMicros = ratePeriod;
    else if (options.baudRate > 0)
        options.config.framePeriodMicros = frameLineMicros(options.baudRate);
    return options;
}

// ---- Output --------------------------------------------------------------------------------------

// Process-wide state of the tool: the output, the settings a terminal named by --out had before the
// run (restored at every exit, signal handlers included), and the stop request set by SIGINT/SIGTERM.
int outputFd = STDOUT_FILENO;
termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;
volatile sig_atomic_t stopRequested = 0;

// Safe in a signal handler (tcsetattr is async-signal-safe).
void restoreTerminal() {
    if (terminalSaved) tcsetattr(outputFd, TCSANOW, &savedTerminal);
}

// The first signal stops after the frame being written; a second ends the tool at once, by the
// signal itself, with the terminal's settings given back.
void onStopSignal(int signalNumber) {
    if (!stopRequested) {
        stopRequested = 1;
        return;
    }
    restoreTerminal();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// True when the output is a regular file, which takes the frames at once rather than in real time.
bool outputIsRegularFile() {
    struct stat status {};
    return ::fstat(outputFd, &status) == 0 && S_ISREG(status.st_mode);
}

void openOutput(const std::string& path) {
    if (path == "-") return;  // a terminal there is the user's own: left as it is
    outputFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0644);
    if (outputFd < 0) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", toolName, path.c_str(), std::strerror(errno));
        std::exit(exitFailure);
    }
    // A serial line or pseudo-terminal must pass every byte as it is (no line-end translation, no
    // flow control characters) for the run, and is given its settings back at any exit.
    termios settings;
    if (tcgetattr(outputFd, &settings) != 0) return;
    savedTerminal = settings;
    terminalSaved = 1;
    std::atexit(restoreTerminal);
    cfmakeraw(&settings);
    if (tcsetattr(outputFd, TCSANOW, &settings) != 0)
        std::fprintf(stderr, "%s: cannot make %s raw: %s\n", toolName, path.c_str(), std::strerror(errno));
}

// Writes all of it. A reader that has gone (closed pipe, vanished pseudo-terminal), or a stop request
// while the output is blocked, ends the run.
enum WriteResult { writeDone = 0, writeReaderGone = 1 };

WriteResult writeAll(const std::string& path, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(outputFd, bytes, count);
        if (written > 0) {
            bytes += written;
            count -= static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR && stopRequested) return writeReaderGone;
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EPIPE) return writeReaderGone;
        if (written < 0 && (errno == EIO || errno == ENXIO || errno == EHOSTDOWN)) {
            std::fprintf(stderr, "%s: %s has gone away, stopping\n", toolName, path.c_str());
            return writeReaderGone;
        }
        std::fprintf(stderr, "%s: cannot write %s: %s\n", toolName, path.c_str(), std::strerror(errno));
        std::exit(exitFailure);
    }
    return writeDone;
}

// ---- Pacing --------------------------------------------------------------------------------------

int64_t monotonicMicros() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * microsPerSecond + now.tv_nsec / nanosPerMicro;
}

// Sleeps until the given time; a signal cuts the sleep short (the caller checks stopRequested).
void sleepUntil(int64_t micros) {
    timespec until;
    until.tv_sec = micros / microsPerSecond;
    until.tv_nsec = (micros % microsPerSecond) * nanosPerMicro;
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// Line time of `bytes` at the baud rate, in microseconds.
int64_t lineMicros(int64_t bytes, int baudRate) { return bytes * lineBitsPerByte * microsPerSecond / baudRate; }

struct Pacer {
    int baudRate = 0;
    int64_t framePeriod = 0;      // microseconds between frame starts, 0: back to back
    int64_t nextUnitAt = 0;       // monotonic microseconds
};

// Writes one unit: each slice leaves when the line would have carried it, and the next unit
// starts one frame period later (or when the line is free).
WriteResult writePaced(Pacer& pacer, const std::string& path, const std::vector<uint8_t>& unit) {
    const int64_t now = monotonicMicros();
    if (now > pacer.nextUnitAt + lagToleranceMicros) pacer.nextUnitAt = now;  // a blocked reader: no burst
    const int64_t start = pacer.nextUnitAt;
    const int64_t size = static_cast<int64_t>(unit.size());
    if (pacer.baudRate <= 0) {
        sleepUntil(start);
        if (writeAll(path, unit.data(), unit.size()) != writeDone) return writeReaderGone;
    } else {
        const int64_t slice = std::max<int64_t>(1, pacer.baudRate * pacingChunkMicros / (lineBitsPerByte * int64_t{microsPerSecond}));
        for (int64_t sent = 0; sent < size;) {
            const int64_t count = std::min(slice, size - sent);
            sleepUntil(start + lineMicros(sent + count, pacer.baudRate));
            if (writeAll(path, unit.data() + sent, static_cast<size_t>(count)) != writeDone) return writeReaderGone;
            sent += count;
        }
    }
    const int64_t lineFree = start + (pacer.baudRate > 0 ? lineMicros(size, pacer.baudRate) : 0);
    pacer.nextUnitAt = std::max(lineFree, start + pacer.framePeriod);
    return writeDone;
}

// ---- Report --------------------------------------------------------------------------------------

[[noreturn]] void reportFailure(const std::string& path) {
    std::fprintf(stderr, "%s: cannot write the report %s: %s\n", toolName, path.c_str(), std::strerror(errno));
    std::exit(exitFailure);
}

void writeReport(const std::string& path, const SimReport& report) {
    FILE* stream = stderr;
    if (path != "-") {
        std::string problem;
        const int file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, problem);
        stream = file < 0 ? nullptr : ::fdopen(file, "w");
        if (stream == nullptr) {
            std::fprintf(stderr, "%s: cannot write the report %s: %s\n", toolName, path.c_str(),
                         file < 0 ? problem.c_str() : std::strerror(errno));
            std::exit(exitFailure);
        }
    }
    std::fprintf(stream, "frames encoded: %llu\n", static_cast<unsigned long long>(report.framesEncoded));
    for (int kind = 0; kind < simFaultKindCount; ++kind)
        std::fprintf(stream, "%s: %llu\n", simFaultNames[kind], static_cast<unsigned long long>(report.units[kind]));
    for (int counter = 0; counter < simStreamCounterCount; ++counter)
        std::fprintf(stream, "%s: %llu\n", linkStatisticNames[counter], static_cast<unsigned long long>(report.expected[counter]));
    const bool failed = std::fflush(stream) != 0 || std::ferror(stream);
    const int error = errno;
    if ((stream != stderr && std::fclose(stream) != 0) || failed) {
        if (failed) errno = error;
        reportFailure(path);
    }
}

}  // namespace

// ---- Main ----------------------------------------------------------------------------------------

int main(int argc, char** argv) {
    // A reader that goes away must fail the write (and be noticed), not end the tool.
    std::signal(SIGPIPE, SIG_IGN);
    const SimOptions options = parseOptions(argc, argv);
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;  // no SA_RESTART: a pending stop cuts a pacing sleep short
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    openOutput(options.outPath);

    Simulator sim;
    simInit(sim, options.config);
    Pacer pacer;
    pacer.baudRate = options.baudRate;
    const bool realTime = options.frameRate > 0.0 && (options.pace || !outputIsRegularFile());
    pacer.framePeriod = realTime ? options.config.framePeriodMicros : 0;
    pacer.nextUnitAt = monotonicMicros();
    const std::string shownName = options.outPath == "-" ? "standard output" : options.outPath;
    std::vector<uint8_t> unit;
    unit.reserve(2 * frameBytes + 1);
    for (uint64_t sent = 0; (options.frames == 0 || sent < options.frames) && !stopRequested; ++sent) {
        unit.clear();
        const uint16_t sequence = sim.sequence;
        const SimFault kind = simNextUnit(sim, unit);
        if (appState.debugPrint)
            std::fprintf(stderr, "frame %u: %s, %zu bytes\n", sequence, simFaultNames[kind], unit.size());
        if (writePaced(pacer, shownName, unit) != writeDone) break;
    }
    if (!options.reportPath.empty()) writeReport(options.reportPath, sim.report);
    restoreTerminal();
    terminalSaved = 0;
    if (outputFd != STDOUT_FILENO && ::close(outputFd) != 0 && errno != EINTR) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", toolName, options.outPath.c_str(), std::strerror(errno));
        return exitFailure;
    }
    return 0;
}
