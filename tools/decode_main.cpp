// quarvis-decode: a byte stream through the viewer's own synchroniser and frame decoding, offline
// from a file or pipe (main thread only) or live from a serial port with the viewer's two workers.
//
// Index: Options and usage | Standard output | Per-frame outputs | Offline decoding | Live decoding
//        | Main.
#include "app/app.h"
#include "app/version.h"
#include "bridge/live_share.h"
#include "link/link.h"
#include "record/mcap.h"
#include "record/record.h"
#include "link/sim.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <libserialport.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* toolName = "quarvis-decode";
constexpr int exitPortFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitInputFailure = 2;
constexpr int exitOutputFailure = 3;
// Longest live run --seconds accepts (about 31 years): any longer is a slip, and stays far inside the
// range of the clock's arithmetic.
constexpr double longestRunSeconds = 1e9;
constexpr int statisticsIntervalMillis = 1000;
constexpr int livePollMillis = 100;         // how often the live loop looks at the clock and the port
constexpr int offlineReadBytes = 1 << 20;   // offline reads are big: a read costs next to nothing per byte
// A converted capture's raw messages: each holds this many bytes of the stream, stamped with the
// latest good frame's time (about six frames, as a replay wants them fed).
constexpr int sessionRawBytes = 16 << 10;
constexpr uint8_t mcapMagic[8] = {0x89, 'M', 'C', 'A', 'P', 0x30, '\r', '\n'};

// ---- Options and usage ---------------------------------------------------------------------------

struct DecodeOptions {
    bool points = false;
    std::string inputPath = "-";    // offline: '-' is standard input
    std::string csvPath;            // offline: the good frames also go to this recording file
    std::string plyFolder;          // offline: one PLY file per good frame in this folder
    std::string pcdFolder;          // offline: one PCD file per good frame in this folder
    std::string mcapPath;           // offline: the capture converted to a session file
    std::vector<std::string> capturePaths;  // live: every byte read from port k also goes to capture k
    std::vector<std::string> portNames;     // live when not empty; up to maxLinks
    std::string foxglove;           // live: share the sensors over the Foxglove WebSocket protocol here
    int baudRate = 0;               // live; 0 takes the viewer's default
    double seconds = 0.0;           // live; 0 runs until Ctrl-C
    bool listPorts = false;         // print the port list the viewer would offer, then stop
};

void printUsage(FILE* stream) {
    std::fprintf(stream,
        "Usage: %s [--points] [--csv OUT] [--ply DIR] [--pcd DIR] [--mcap OUT] [--debug] [FILE]\n"
        "       %s --port NAME [--port NAME]... [--baud N] [--seconds S] [--capture FILE]... [--mcap OUT] [--debug]\n"
        "       %s --port NAME... --foxglove HOST:PORT [--baud N] [--seconds S]\n"
        "       %s --list-ports [--baud N]\n"
        "Runs a sensor byte stream through the viewer's synchroniser and frame decoding.\n"
        "\n"
        "Offline, from FILE or standard input ('-' or no FILE): one line 'frame SEQ SECONDS MICROS'\n"
        "per good frame in stream order, then the ten link statistics as 'NAME: COUNT' lines.\n"
        "  --points        after each frame line, its 480 points in metres: x,y,z of point 0, then 1...\n"
        "  --csv OUT       also write the good frames to OUT as a recording the viewer replays: the\n"
        "                  header, then one row per frame stamped with the local time of writing\n"
        "  --ply DIR       also write each good frame to DIR/frame-NNNNNN.ply (binary PLY 1.0), and\n"
        "  --pcd DIR       to DIR/frame-NNNNNN.pcd (binary PCD 0.7): its 480 points as float x, y, z\n"
        "                  in metres; N counts the good frames from 1; DIR is made when missing, and\n"
        "                  files of those names are replaced\n"
        "  --mcap OUT      also write the stream to OUT as an MCAP session file (zstd chunks, indexed)\n"
        "                  with one sensor under /ostrel/: points (foxglove.PointCloud), raw (every\n"
        "                  byte, in order), link (the statistics as JSON) and transform; the sensor's\n"
        "                  time stamps serve as log times\n"
        "A FILE that is an MCAP session is decoded from each sensor's raw bytes, sensor by sensor; with\n"
        "several sensors each one's lines follow a line 'sensor NAME'.\n"
        "\n"
        "Live, from a serial port with the viewer's own workers: the statistics once a second and at\n"
        "the end, a blank line between rounds. Ctrl-C ends the run cleanly.\n"
        "  --port NAME     the serial port, as the viewer's port list names it; up to %d, each a sensor\n"
        "                  of its own, whose statistics then follow a line '[NAME]'. A lost port ends\n"
        "                  its sensor's run; the others go on\n"
        "  --list-ports    print that list: the ports that open at the baud rate, one a line\n"
        "  --baud N        baud rate (default %d)\n"
        "  --seconds S     stop after S seconds, at most 1e9 (default: run until Ctrl-C)\n"
        "  --foxglove HOST:PORT  also share the sensors live (foxglove.websocket.v1) on this address:\n"
        "                  /<sensor>/points, /<sensor>/link and /<sensor>/transform for each --port\n"
        "                  (given once per sensor); port 0 lets the system pick. The address served\n"
        "                  is printed on standard error. An address other than loopback lets anyone\n"
        "                  on that network watch, and says so\n"
        "  --capture FILE  also write every byte read from the port, in order, to FILE (a regular\n"
        "                  file, replaced once the port has opened): the raw stream, which this tool\n"
        "                  decodes offline with the same frames and stream counters the live run\n"
        "                  counted; one per --port, in the same order\n"
        "  --mcap OUT      also write a session file as above, each sensor under /<its port>/ (one\n"
        "                  sensor: /ostrel/), its log times the host's receive times (nanoseconds since the epoch)\n"
        "\n"
        "  --debug         the viewer's diagnostic lines on standard output\n"
        "  --help          this text\n"
        "  --version       the version\n"
        "A reader that stops early (| head) ends the run quietly.\n"
        "Exit status: 0 done (an input without a good frame says so on standard error); 1 the port could\n"
        "not be opened or was lost (a capture keeps every byte read before); 2 bad usage, unreadable\n"
        "input, or --csv naming the input itself; 3 standard output, the --csv file, a --ply/--pcd\n"
        "file or the capture could not be written or was deleted meanwhile (a recording keeps every complete row, a capture\n"
        "every byte before the failure); an --mcap session that could not be written whole keeps every\n"
        "whole chunk and still opens.\n",
        toolName, toolName, toolName, toolName, maxLinks, static_cast<int>(firstLink().baudRate));
}

// ---- Standard output ------------------------------------------------------------------------------
// Every line goes to stdout, through std::cout or stdio; a failed write (full disk, reader gone) is
// noticed at the next check and ends the run. A reader that closed early (`| head`) is no error, as
// for any filter: the run ends quietly with status 0. Any other failure is exitOutputFailure.

// Process-wide state of the tool's standard output, main thread only: how it failed, once it has.
enum class OutputState { good, readerGone, failed };
OutputState outputState = OutputState::good;

// A pipe whose reader has closed polls as an error on the writing end.
bool readerClosed() {
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    return ::poll(&out, 1, 0) == 1 && (out.revents & POLLERR) != 0;
}

// True once standard output has failed; a failure other than a closed reader is reported on
// standard error, once.
bool standardOutputFailed(bool flush) {
    if (outputState != OutputState::good) return true;
    if (flush) std::cout.flush();
    if (flush && std::fflush(stdout) != 0) std::cout.setstate(std::ios::badbit);
    if (std::cout && !std::ferror(stdout)) return false;
    const int error = errno;
    if (error == EPIPE || readerClosed()) {
        outputState = OutputState::readerGone;
        return true;
    }
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", toolName, std::strerror(error));
    outputState = OutputState::failed;
    return true;
}

// The exit status standard output leaves after a final flush: 0 when it took everything or its
// reader left early.
int outputStatus() {
    standardOutputFailed(true);
    return outputState == OutputState::failed ? exitOutputFailure : 0;
}

[[noreturn]] void exitAfterOutput() {
    std::exit(outputStatus());
}

[[noreturn]] void usageError(const char* message, const char* value) {
    std::fprintf(stderr, "%s: %s '%s'\n", toolName, message, value);
    printUsage(stderr);
    std::exit(exitUsage);
}

const char* nonEmpty(const char* value, const char* option) {
    if (*value == '\0') usageError("empty name for", option);
    return value;
}

DecodeOptions parseOptions(int argc, char** argv) {
    enum OptionId { optPoints = 1, optPort, optListPorts, optBaud, optSeconds, optDebug, optHelp, optCsv, optVersion,
                    optPly, optPcd, optCapture, optMcap, optFoxglove };
    static const option longOptions[] = {
        {"points", no_argument, nullptr, optPoints},       {"port", required_argument, nullptr, optPort},
        {"list-ports", no_argument, nullptr, optListPorts},
        {"baud", required_argument, nullptr, optBaud},     {"seconds", required_argument, nullptr, optSeconds},
        {"debug", no_argument, nullptr, optDebug},         {"help", no_argument, nullptr, optHelp},
        {"csv", required_argument, nullptr, optCsv},       {"version", no_argument, nullptr, optVersion},
        {"ply", required_argument, nullptr, optPly},       {"pcd", required_argument, nullptr, optPcd},
        {"capture", required_argument, nullptr, optCapture}, {"mcap", required_argument, nullptr, optMcap},
        {"foxglove", required_argument, nullptr, optFoxglove},
        {nullptr, 0, nullptr, 0},
    };
    DecodeOptions options;
    opterr = 0;
    for (int id; (id = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
        char* end = nullptr;
        switch (id) {
        case optPoints: options.points = true; break;
        case optCsv:
            if (*optarg == '\0') usageError("empty file name for", "--csv");
            options.csvPath = optarg;
            break;
        case optPly: options.plyFolder = nonEmpty(optarg, "--ply"); break;
        case optPcd: options.pcdFolder = nonEmpty(optarg, "--pcd"); break;
        case optCapture: options.capturePaths.push_back(nonEmpty(optarg, "--capture")); break;
        case optMcap: options.mcapPath = nonEmpty(optarg, "--mcap"); break;
        case optListPorts: options.listPorts = true; break;
        case optPort:
            if (options.portNames.size() == static_cast<size_t>(maxLinks)) usageError("too many ports at", optarg);
            options.portNames.push_back(nonEmpty(optarg, "--port"));
            break;
        case optFoxglove: {
            std::string host;
            uint16_t port = 0;
            if (!parseShareAddress(optarg, host, port)) usageError("--foxglove takes HOST:PORT, not", optarg);
            options.foxglove = optarg;
            break;
        }
        case optBaud: {
            const long rate = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || rate <= 0 || rate > INT32_MAX) usageError("invalid baud rate", optarg);
            options.baudRate = static_cast<int>(rate);
            break;
        }
        case optSeconds:
            options.seconds = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(options.seconds >= 0.0 && options.seconds <= longestRunSeconds))
                usageError("invalid number of seconds", optarg);
            break;
        case optDebug: appState.debugPrint = true; break;
        case optHelp: printUsage(stdout); exitAfterOutput();
        case optVersion: std::cout << toolName << ' ' << quarvisVersion << '\n'; exitAfterOutput();
        default: usageError("unknown or incomplete option", argv[optind - 1]);
        }
    }
    if (optind + 1 < argc) usageError("more than one input", argv[optind + 1]);
    if (optind < argc) options.inputPath = argv[optind];
    const bool live = !options.portNames.empty() || options.listPorts;
    if (options.listPorts && (!options.portNames.empty() || options.seconds != 0.0)) usageError("--list-ports takes only", "--baud");
    if (live && (optind < argc || options.points)) usageError("a live run takes neither FILE nor", "--points");
    if (live && !(options.csvPath.empty() && options.plyFolder.empty() && options.pcdFolder.empty()))
        usageError("a live run takes none of", "--csv/--ply/--pcd");
    if (options.listPorts && !options.mcapPath.empty()) usageError("--list-ports takes only", "--baud");
    if (!options.capturePaths.empty() && options.portNames.empty()) usageError("only a live run takes", "--capture");
    if (!options.capturePaths.empty() && options.capturePaths.size() != options.portNames.size())
        usageError("one --capture for each --port, not", std::to_string(options.capturePaths.size()).c_str());
    if (!options.foxglove.empty() && options.portNames.empty()) usageError("only a live run takes", "--foxglove");
    if (!live && (options.baudRate != 0 || options.seconds != 0.0)) usageError("offline decoding takes no", "--baud/--seconds");
    return options;
}

void printStatistics(const LinkStatistics& statistics) {
    for (int index = 0; index < linkStatisticCount; ++index)
        std::cout << linkStatisticNames[index] << ": " << statistics.get(index) << '\n';
    std::cout.flush();
}

// ---- Per-frame outputs ---------------------------------------------------------------------------
// Every good frame of an offline run goes through emitGoodFrame; each output it feeds is chosen by
// the options and kept here.

struct FrameOutputs {
    Synchroniser synchroniser;      // offline runs decode with their own, no link needed
    bool points = false;
    PointFrame decoded = {};        // scratch for the points of the frame being emitted
    int csvFile = -1;               // --csv: the recording being written, -1 when none or failed
    int csvError = 0;               // errno of the write that failed
    off_t csvCommitted = 0;         // end of the last complete line
    std::string csvLine;
    // --ply and --pcd: the folder of each format, emptied after a failure (no more files are made).
    std::string cloudFolders[2];
    std::string cloudFailure;       // what failed, for the message at the end
    uint64_t goodFrames = 0;        // numbers the files
    std::string cloudBuffer;
    McapSession* session = nullptr; // --mcap: the session being written, null when none or failed
    uint64_t stampTime = 0;         // --mcap: the latest good frame's stamp, the log time of what follows
    uint32_t stampSecond = 0;       // --mcap: the whole seconds of that stamp
    uint32_t countersSecond = 0;    // --mcap: the stamp's second when the link counters were last written
};

constexpr CloudFormat cloudFormats[2] = {CloudFormat::ply, CloudFormat::pcd};

// The folder of --ply or --pcd, made when missing. An empty text, or the reason it cannot serve.
std::string prepareFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0777) == 0) return {};
    struct stat status {};
    if (errno == EEXIST && ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return {};
    return errno == EEXIST ? std::string("It is not a folder.") : systemReason(errno);
}

// One good frame as one file of each chosen format. A file that cannot be written whole is removed,
// and that format makes no more files.
void writeCloudFiles(FrameOutputs& outputs) {
    char name[32];
    for (int format = 0; format < 2; ++format) {
        std::string& folder = outputs.cloudFolders[format];
        if (folder.empty()) continue;
        std::snprintf(name, sizeof name, "frame-%06llu%s", static_cast<unsigned long long>(outputs.goodFrames),
                      cloudExtension(cloudFormats[format]));
        const std::string path = folder + "/" + name;
        std::string problem;
        const int file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, problem);
        if (file >= 0) {
            const int error = writeCloudFile(file, cloudFormats[format], outputs.decoded, outputs.cloudBuffer);
            if (::close(file) != 0 && error == 0) problem = systemReason(errno);
            if (error != 0) problem = systemReason(error);
            if (!problem.empty()) ::unlink(path.c_str());
        }
        if (!problem.empty()) {
            outputs.cloudFailure = path + ": " + problem;
            folder.clear();
        }
    }
}

// One whole line of the --csv recording; on a failure the file is cut back to its last complete line
// and no more is written.
void writeCsvLine(FrameOutputs& outputs) {
    if (!writeWhole(outputs.csvFile, outputs.csvLine.data(), outputs.csvLine.size())) {
        outputs.csvError = errno;
        (void)::ftruncate(outputs.csvFile, outputs.csvCommitted);
        ::close(outputs.csvFile);
        outputs.csvFile = -1;
        return;
    }
    outputs.csvCommitted += static_cast<off_t>(outputs.csvLine.size());
}

// Appends value and then `separator` (room is kept for it), as std::ostream writes them by default
// (a float as "%g").
char* appendNumber(char* at, char* end, uint32_t value, char separator) {
    char* written = std::to_chars(at, end - 1, value).ptr;
    *written = separator;
    return written + 1;
}

char* appendNumber(char* at, char* end, float value, char separator) {
    constexpr int streamPrecision = 6;
    char* written = std::to_chars(at, end - 1, value, std::chars_format::general, streamPrecision).ptr;
    *written = separator;
    return written + 1;
}

// Per-frame lines are formatted by hand and written to stdout in one piece each (std::cout writes
// through the same stdio buffer, so lines keep their order): a big stream has millions of frames.
void printFrameLine(const uint8_t* record) {
    const FrameHeader stamp = readFrameHeader(record);
    static constexpr char prefix[] = "frame ";
    char line[sizeof prefix + 3 * 11];
    char* at = std::copy(prefix, prefix + sizeof prefix - 1, line);
    at = appendNumber(at, std::end(line), uint32_t{stamp.sequence}, ' ');
    at = appendNumber(at, std::end(line), stamp.seconds, ' ');
    at = appendNumber(at, std::end(line), stamp.micros, '\n');
    std::fwrite(line, 1, static_cast<size_t>(at - line), stdout);
}

void printPointsLine(const PointFrame& decoded) {
    constexpr int longestFloat = 16;  // "-1.23457e+38" and a separator, with room to spare
    static char line[pointsPerFrame * 3 * longestFloat + 1];
    char* at = line;
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k) at = appendNumber(at, std::end(line), decoded.xyz[p][k], ',');
    *at++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(at - line), stdout);
}

// --mcap: a capture has no host time, so the frame's stamp is both its log time (the session keeps it
// from going back) and its publish time; the link counters follow each new second of the stamps.
void writeSessionCounters(FrameOutputs& outputs) {
    uint64_t counts[linkStatisticCount];
    for (int index = 0; index < linkStatisticCount; ++index) counts[index] = outputs.synchroniser.statistics.get(index);
    outputs.session->writeCounters(0, outputs.stampTime, counts);
    outputs.countersSecond = outputs.stampSecond;
}

void writeSessionFrame(FrameOutputs& outputs, const uint8_t* record) {
    const FrameHeader stamp = readFrameHeader(record);
    outputs.stampTime = stampNanos(stamp);
    outputs.stampSecond = stamp.seconds;
    outputs.session->writeFrame(0, outputs.stampTime, stamp, outputs.decoded);
    if (outputs.session->framesWritten(0) == 1) outputs.countersSecond = stamp.seconds;
    if (stamp.seconds != outputs.countersSecond) writeSessionCounters(outputs);
}

void emitGoodFrame(const uint8_t* record, void* context) {
    FrameOutputs& outputs = *static_cast<FrameOutputs*>(context);
    printFrameLine(record);
    ++outputs.goodFrames;
    const bool clouds = !outputs.cloudFolders[0].empty() || !outputs.cloudFolders[1].empty();
    if (outputs.points || outputs.csvFile >= 0 || clouds || outputs.session) decodeFrame(record, outputs.decoded);
    if (clouds) writeCloudFiles(outputs);
    if (outputs.csvFile >= 0) {
        outputs.csvLine.clear();
        appendRecordingRow(outputs.csvLine, makeTimestamp(), outputs.decoded);
        writeCsvLine(outputs);
    }
    if (outputs.points) printPointsLine(outputs.decoded);
    // Offline every good frame is decoded at once: the handler's two counts follow the good frames.
    outputs.synchroniser.statistics.increment(counterFramesProcessed);
    outputs.synchroniser.statistics.increment(counterBuffersProcessed);
    if (outputs.session) writeSessionFrame(outputs, record);
}

// ---- Offline decoding ----------------------------------------------------------------------------

// Opens the --csv recording and writes its header. The file is emptied only once it is known not to
// be the input: decoding a recording into itself would destroy it. Returns 0 or an exit status.
int openCsv(const DecodeOptions& options, int inputFd, FrameOutputs& outputs) {
    // A file size limit must fail the write (and be reported), not end the tool.
    std::signal(SIGXFSZ, SIG_IGN);
    const char* path = options.csvPath.c_str();
    std::string problem;
    outputs.csvFile = openRegularFile(path, O_WRONLY | O_CREAT, problem);
    if (outputs.csvFile < 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", toolName, path, problem.c_str());
        return exitOutputFailure;
    }
    struct stat input, output;
    if (::fstat(inputFd, &input) == 0 && ::fstat(outputs.csvFile, &output) == 0 && input.st_dev == output.st_dev &&
        input.st_ino == output.st_ino) {
        std::fprintf(stderr, "%s: --csv %s names the input itself; it was left untouched\n", toolName, path);
        ::close(outputs.csvFile);
        return exitUsage;
    }
    if (::ftruncate(outputs.csvFile, 0) != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", toolName, path, std::strerror(errno));
        return exitOutputFailure;
    }
    appendRecordingHeader(outputs.csvLine);
    writeCsvLine(outputs);
    return 0;
}

// Opens the --mcap session with the capture's one sensor, refusing to replace the input. Returns 0 or
// an exit status.
int openSession(const DecodeOptions& options, int inputFd, McapSession& session) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct stat input, output;
    if (::fstat(inputFd, &input) == 0 && ::stat(options.mcapPath.c_str(), &output) == 0 && input.st_dev == output.st_dev &&
        input.st_ino == output.st_ino) {
        std::fprintf(stderr, "%s: --mcap %s names the input itself; it was left untouched\n", toolName,
                     options.mcapPath.c_str());
        return exitUsage;
    }
    session.writer.compressionLevel = conversionZstdLevel;
    if (!session.open(options.mcapPath, {SessionSensor{captureSensorName, {}}}, 0)) {
        std::fprintf(stderr, "%s: cannot write %s\n", toolName, session.failure().message().c_str());
        return exitOutputFailure;
    }
    return 0;
}

// Closes the --mcap session; 0, or exitOutputFailure when it failed (it still opens: everything up to
// its last whole chunk is kept).
int closeSession(FrameOutputs& outputs) {
    if (!outputs.session) return 0;
    if (!outputs.session->failure().failed()) writeSessionCounters(outputs);
    if (outputs.session->close()) return 0;
    std::fprintf(stderr, "%s: cannot write %s The file keeps every whole chunk written before.\n", toolName,
                 outputs.session->failure().message().c_str());
    return exitOutputFailure;
}

// The statistics of one stream, and a word on standard error when it held no good frame.
void finishStream(const LinkStatistics& statistics, uint64_t bytesRead, const char* shownName) {
    printStatistics(statistics);
    if (statistics.get(counterGoodFrames) == 0)
        std::fprintf(stderr, "%s: no %sframe found in %llu bytes of %s\n", toolName,
                     statistics.get(counterGoodSyncs) == 0 ? "" : "good ",
                     static_cast<unsigned long long>(bytesRead), shownName);
}

bool isSessionFile(int fd) {
    uint8_t start[sizeof mcapMagic];
    return ::pread(fd, start, sizeof start, 0) == static_cast<ssize_t>(sizeof start) &&
           std::equal(start, start + sizeof start, mcapMagic);
}

// A session file: each sensor's raw bytes in log-time order through the synchroniser, as if they were
// a capture of their own. Returns 0 or an exit status.
int decodeSession(const DecodeOptions& options, FrameOutputs& outputs) {
    McapReader reader;
    if (!reader.open(options.inputPath)) {
        std::fprintf(stderr, "%s: cannot read %s\n", toolName, reader.failure().message().c_str());
        return exitInputFailure;
    }
    const std::vector<SessionRawChannel> sensors = sessionRawChannels(reader);
    if (sensors.empty()) std::fprintf(stderr, "%s: %s holds no sensor's raw bytes\n", toolName, options.inputPath.c_str());
    for (const SessionRawChannel& sensor : sensors) {
        if (sensors.size() > 1) std::cout << "sensor " << sensor.sensor << '\n' << std::flush;
        outputs.synchroniser.reset();
        uint64_t bytesRead = 0;
        const bool read = reader.readMessages({sensor.channelId}, 0, UINT64_MAX, [&](const McapMessage& message) {
            bytesRead += message.size;
            outputs.synchroniser.synchroniseBytes(message.data, static_cast<int>(message.size), emitGoodFrame, &outputs);
        });
        if (!read) {
            std::fprintf(stderr, "%s: cannot read %s\n", toolName, reader.failure().message().c_str());
            return exitInputFailure;
        }
        const std::string shownName = options.inputPath + " (" + sensor.sensor + ")";
        finishStream(outputs.synchroniser.statistics, bytesRead, shownName.c_str());
        if (standardOutputFailed(false)) break;
    }
    return 0;
}

// Every byte read goes through the synchroniser and, with --mcap, into the session's raw channel in
// slices stamped with the latest good frame's time.
void feedBytes(const uint8_t* bytes, int count, FrameOutputs& outputs) {
    if (!outputs.session) {
        outputs.synchroniser.synchroniseBytes(bytes, count, emitGoodFrame, &outputs);
        return;
    }
    for (int done = 0; done < count; done += sessionRawBytes) {
        const int slice = std::min(sessionRawBytes, count - done);
        outputs.synchroniser.synchroniseBytes(bytes + done, slice, emitGoodFrame, &outputs);
        outputs.session->writeRaw(0, outputs.stampTime, bytes + done, static_cast<size_t>(slice));
    }
}

int finishOutputs(const DecodeOptions& options, FrameOutputs& outputs, int status);

int decodeOffline(const DecodeOptions& options) {
    const bool fromStdin = options.inputPath == "-";
    const char* shownName = fromStdin ? "standard input" : options.inputPath.c_str();
    // A pipe on standard input is the usual way in; a named file must be a regular one.
    std::string problem;
    const int fd = fromStdin ? STDIN_FILENO : openRegularFile(options.inputPath, O_RDONLY, problem);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", toolName, shownName, problem.c_str());
        return exitInputFailure;
    }
    if (fromStdin && ::isatty(STDIN_FILENO))
        std::fprintf(stderr, "%s: reading the byte stream from standard input (the terminal); Ctrl-D ends it\n",
                     toolName);
    const bool sessionFile = !fromStdin && isSessionFile(fd);
    if (sessionFile && !options.mcapPath.empty()) usageError("a session file takes no", "--mcap");
    FrameOutputs outputs;
    outputs.points = options.points;
    if (!options.csvPath.empty()) {
        if (const int status = openCsv(options, fd, outputs); status != 0) return status;
    }
    outputs.cloudFolders[0] = options.plyFolder;
    outputs.cloudFolders[1] = options.pcdFolder;
    for (const std::string& folder : outputs.cloudFolders) {
        if (folder.empty()) continue;
        if (const std::string unusable = prepareFolder(folder); !unusable.empty()) {
            std::fprintf(stderr, "%s: cannot write into %s: %s\n", toolName, folder.c_str(), unusable.c_str());
            return exitOutputFailure;
        }
    }
    if (sessionFile) {
        ::close(fd);
        const int status = decodeSession(options, outputs);
        return finishOutputs(options, outputs, status);
    }
    McapSession session;
    if (!options.mcapPath.empty()) {
        if (const int status = openSession(options, fd, session); status != 0) return status;
        outputs.session = &session;
    }
    outputs.synchroniser.reset();
    std::vector<uint8_t> chunk(offlineReadBytes);
    uint64_t bytesRead = 0;
    for (;;) {
        const ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "%s: cannot read %s: %s\n", toolName, shownName, std::strerror(errno));
            return exitInputFailure;
        }
        bytesRead += static_cast<uint64_t>(count);
        feedBytes(chunk.data(), static_cast<int>(count), outputs);
        if (standardOutputFailed(false)) break;
        if (outputs.session && outputs.session->failure().failed()) break;   // the disk is full: stop here
    }
    if (!fromStdin) ::close(fd);
    if (outputState == OutputState::failed) return exitOutputFailure;
    finishStream(outputs.synchroniser.statistics, bytesRead, shownName);
    return finishOutputs(options, outputs, closeSession(outputs));
}

// Closes what the offline run wrote and says what failed; `status` is the run's status so far.
int finishOutputs(const DecodeOptions& options, FrameOutputs& outputs, int status) {
    if (outputs.csvFile >= 0 && ::close(outputs.csvFile) != 0) outputs.csvError = errno;
    if (outputs.csvError != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", toolName, options.csvPath.c_str(), std::strerror(outputs.csvError));
        return exitOutputFailure;
    }
    if (!outputs.cloudFailure.empty()) {
        std::fprintf(stderr, "%s: cannot write %s\n", toolName, outputs.cloudFailure.c_str());
        return exitOutputFailure;
    }
    const int outputsStatus = outputStatus();
    return outputsStatus != 0 ? outputsStatus : status;
}

// ---- Live decoding -------------------------------------------------------------------------------

// Process-wide state of the tool: the stop request raised by SIGINT/SIGTERM.
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

// The link took the reason at the step that failed.
void reportOpenFailure(const Link& link, const std::string& name, int status) {
    std::fprintf(stderr, "%s: cannot open %s: libserialport status %d: %s\n", toolName, name.c_str(), status,
                 link.failure.reason.c_str());
}

// --foxglove: every link shared on the address; the address served goes to standard error.
bool startSharing(LiveShare& share, const std::string& address) {
    std::string host;
    uint16_t port = 0;
    parseShareAddress(address, host, port);
    const BridgeStartResult started = share.start(host, port);
    if (!started.ok) {
        std::fprintf(stderr, "%s: %s\n", toolName, started.error.c_str());
        return false;
    }
    std::vector<Link*> links;
    for (int index = 0; index < linkCount(); ++index) links.push_back(&linkAt(index));
    share.setSensors(links);
    const bool v6 = host.find(':') != std::string::npos;
    std::fprintf(stderr, "%s: sharing live on %s%s%s:%u\n", toolName, v6 ? "[" : "", host.c_str(), v6 ? "]" : "",
                 static_cast<unsigned>(started.port));
    return true;
}

// A capture's end, on standard error when it failed.
void reportCaptureEnd(const CaptureNotice& notice) {
    if (notice.kind == CaptureEnd::saved || notice.kind == CaptureEnd::portLost) return;
    std::string text;
    for (const std::string& line : captureNoticeLines(notice)) text += (text.empty() ? "" : " ") + line;
    std::fprintf(stderr, "%s: %s\n", toolName, text.c_str());
}

// The live session's end, on standard error when it failed.
bool finishSessionReported() {
    finishSession();
    const SessionNotice& notice = sessionState.notice;
    if (notice.kind == SessionEnd::saved || notice.kind == SessionEnd::portLost) return true;
    std::string text;
    for (const std::string& line : sessionNoticeLines(notice)) text += (text.empty() ? "" : " ") + line;
    std::fprintf(stderr, "%s: %s\n", toolName, text.c_str());
    return false;
}

bool captureFailed(const CaptureState& capture) {
    const CaptureEnd kind = capture.notice.kind;
    return capture.notice.serial != 0 && kind != CaptureEnd::saved && kind != CaptureEnd::portLost;
}

// Ends the captures once the workers are down (every byte read is in them); false when one failed.
bool finishCapturesReported() {
    finishCapture();
    bool failed = false;
    for (const CaptureState& capture : captures) {
        reportCaptureEnd(capture.notice);
        failed = failed || captureFailed(capture);
    }
    return !failed;
}

// The statistics of every port, each under its name when there are several.
void printAllStatistics(const DecodeOptions& options) {
    for (size_t k = 0; k < options.portNames.size(); ++k) {
        if (options.portNames.size() > 1) std::cout << '[' << options.portNames[k] << "]\n";
        printStatistics(linkAt(static_cast<int>(k)).statistics);
    }
}

// One link per port, in order, each with its capture opened before it connects: a capture then holds
// the connection's bytes from the very first. 0, or an exit status.
int openLinks(const DecodeOptions& options) {
    for (size_t k = 0; k < options.portNames.size(); ++k) {
        Link& link = k == 0 ? firstLink() : *addLink();
        link.baudRate = firstLink().baudRate.load();
        link.startWorkers();
        if (!options.capturePaths.empty() && !beginCapture(link, options.capturePaths[k])) {
            for (const CaptureState& capture : captures) reportCaptureEnd(capture.notice);
            return exitOutputFailure;
        }
    }
    // The session too holds every sensor's bytes from the very first: it begins before any port opens.
    if (!options.mcapPath.empty()) {
        std::vector<Link*> links;
        std::vector<std::string> names;
        for (size_t k = 0; k < options.portNames.size(); ++k) {
            links.push_back(&linkAt(static_cast<int>(k)));
            names.push_back(options.portNames.size() == 1 ? std::string(captureSensorName) : options.portNames[k]);
        }
        if (!beginSession(options.mcapPath, links, names)) {
            finishSessionReported();
            return exitOutputFailure;
        }
    }
    for (size_t k = 0; k < options.portNames.size(); ++k) {
        Link& link = linkAt(static_cast<int>(k));
        const int status = link.open(options.portNames[k].c_str(), link.baudRate);
        if (status != SP_OK) {
            reportOpenFailure(link, options.portNames[k], status);
            return exitPortFailure;
        }
    }
    return 0;
}

int decodeLive(const DecodeOptions& options) {
    struct sigaction stop = {};
    stop.sa_handler = onStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    if (options.baudRate != 0) firstLink().baudRate = options.baudRate;
    const int ports = static_cast<int>(options.portNames.size());
    if (const int status = openLinks(options); status != 0) {
        shutDownLinks();
        discardCapture();  // nothing was read: an existing file stays as it was
        finishSession();
        return status;
    }

    LiveShare share;
    if (!options.foxglove.empty() && !startSharing(share, options.foxglove)) {
        share.stop();
        for (int index = 0; index < linkCount(); ++index) linkAt(index).close();
        shutDownLinks();
        discardCapture();
        finishSession();
        return exitPortFailure;
    }

    using LiveClock = std::chrono::steady_clock;
    const auto started = LiveClock::now();
    const auto deadline = started + std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000.0));
    auto nextRound = started + std::chrono::milliseconds(statisticsIntervalMillis);
    int portsLost = 0;
    bool captureBroke = false;
    while (!stopRequested && portsLost < ports && !captureBroke && (options.seconds == 0.0 || LiveClock::now() < deadline)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(livePollMillis));
        for (int k = 0; k < ports; ++k) {
            if (!linkAt(k).checkLost()) continue;
            ++portsLost;
            std::fprintf(stderr, "%s: the port %s is disconnected\n", toolName, options.portNames[static_cast<size_t>(k)].c_str());
        }
        pollCapture();
        // A capture or session that failed leaves the run without its point.
        for (const CaptureState& capture : captures) captureBroke = captureBroke || captureFailed(capture);
        pollSession();
        if (!options.mcapPath.empty() && !sessionRunning()) break;
        if (LiveClock::now() >= nextRound) {
            printAllStatistics(options);
            std::cout << '\n';
            nextRound += std::chrono::milliseconds(statisticsIntervalMillis);
            if (standardOutputFailed(true)) break;
        }
    }
    share.stop();
    for (int k = 0; k < ports; ++k) linkAt(k).close();
    printAllStatistics(options);
    shutDownLinks();
    const bool capturesKept = options.capturePaths.empty() || finishCapturesReported();
    const bool sessionKept = options.mcapPath.empty() || finishSessionReported();
    if (portsLost > 0) return exitPortFailure;
    return outputStatus() != 0 || !capturesKept || !sessionKept ? exitOutputFailure : 0;
}

// The viewer's port list without the placeholder: every port the system lists (none is opened).
int listPorts() {
    enumeratePorts();
    for (size_t entry = 1; entry < portList.size(); ++entry) std::cout << portList[entry] << '\n';
    return outputStatus();
}

}  // namespace

// ---- Main ----------------------------------------------------------------------------------------

int main(int argc, char** argv) {
    // A reader that goes away must fail the write (and be reported), not end the tool.
    std::signal(SIGPIPE, SIG_IGN);
    const DecodeOptions options = parseOptions(argc, argv);
    if (options.listPorts) return listPorts();
    return options.portNames.empty() ? decodeOffline(options) : decodeLive(options);
}
