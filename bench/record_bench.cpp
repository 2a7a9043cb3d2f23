// Recording files: formatting and parsing one row (ours against C++ streams, whose bytes and values
// must be the same), opening a large recording (row count and index) and moving the replay slider
// to any row in it, against one pass over the file and a linear skip from its start.
// Set QUARVIS_BENCH_DIR to choose where the 1 GB file is made (default /tmp); it is removed after.
#include "app/app.h"
#include "record/record.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

namespace {

constexpr int64_t largeFileBytes = int64_t(1) << 30;

PointFrame typicalFrame() {
    PointFrame frame{};
    std::mt19937 random(1);
    std::uniform_int_distribution<int> millimetres(-20000, 20000);
    for (auto& point : frame.xyz)
        for (float& value : point) value = static_cast<float>(millimetres(random)) / 1000.0f;
    return frame;
}

std::string typicalRow() {
    std::string row;
    appendRecordingRow(row, "20261206-101500", typicalFrame());
    row.pop_back();
    return row;
}

void formatRow(benchmark::State& state) {
    const PointFrame frame = typicalFrame();
    std::string row;
    for (auto _ : state) {
        row.clear();
        appendRecordingRow(row, "20261206-101500", frame);
        benchmark::DoNotOptimize(row.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(row.size()));
}
BENCHMARK(formatRow);

void formatWithStream(std::ostringstream& out, const PointFrame& frame) {
    out.str(std::string());
    out << "20261206-101500" << ",";
    for (const auto& point : frame.xyz) out << point[0] << "," << point[1] << "," << point[2] << ",";
    out << "\n";
}

void formatRowWithStream(benchmark::State& state) {
    const PointFrame frame = typicalFrame();
    std::ostringstream out;
    formatWithStream(out, frame);
    std::string ours;
    appendRecordingRow(ours, "20261206-101500", frame);
    if (out.str() != ours) state.SkipWithError("the stream's row differs from ours");
    for (auto _ : state) {
        formatWithStream(out, frame);
        benchmark::DoNotOptimize(out.tellp());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(ours.size()));
    state.counters["byte_identical"] = out.str() == ours ? 1 : 0;
}
BENCHMARK(formatRowWithStream);

void parseRow(benchmark::State& state) {
    const std::string row = typicalRow();
    PointFrame frame;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseRecordingRow(row.data(), row.data() + row.size(), frame));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(row.size()));
}
BENCHMARK(parseRow);

bool parseWithStream(const std::string& row, PointFrame& frame) {
    std::istringstream in(row);
    int date, time;
    char separator;
    in >> date >> separator >> time >> separator;
    for (auto& point : frame.xyz) in >> point[0] >> separator >> point[1] >> separator >> point[2] >> separator;
    return in.good();
}

void parseRowWithStream(benchmark::State& state) {
    const std::string row = typicalRow();
    PointFrame frame{}, ours{};
    const bool parsed = parseWithStream(row, frame) && parseRecordingRow(row.data(), row.data() + row.size(), ours);
    const bool identical = parsed && std::memcmp(frame.xyz, ours.xyz, sizeof frame.xyz) == 0;
    if (!identical) state.SkipWithError("the stream read other values than ours");
    for (auto _ : state) benchmark::DoNotOptimize(parseWithStream(row, frame));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(row.size()));
    state.counters["values_identical"] = identical ? 1 : 0;
}
BENCHMARK(parseRowWithStream);

// A 1 GB recording of typical rows, made once per run.
struct LargeRecording {
    std::string path;
    LargeRecording() {
        const char* where = std::getenv("QUARVIS_BENCH_DIR");
        path = std::string(where != nullptr ? where : "/tmp") + "/quarvis-bench-" + std::to_string(::getpid()) + ".csv";
        std::string text;
        appendRecordingHeader(text);
        std::string row;
        appendRecordingRow(row, "20261206-101500", typicalFrame());
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        for (int64_t written = static_cast<int64_t>(text.size()); written < largeFileBytes; written += row.size())
            std::fwrite(row.data(), 1, row.size(), file);
        std::fclose(file);
    }
    ~LargeRecording() { std::filesystem::remove(path); }
};

const LargeRecording& largeRecording() {
    static LargeRecording recording;
    return recording;
}

void openLargeRecording(benchmark::State& state) {
    const std::string& path = largeRecording().path;
    int64_t rows = 0;
    for (auto _ : state) {
        if (!openReplay(path)) state.SkipWithError("cannot open the recording");
        waitForReplayIndex();
        rows = replayState.rowCount;
        dismissReplayEnd();
        advanceReplay();
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(openLargeRecording)->Unit(benchmark::kMillisecond);

// Without an index, opening must at least pass over the file once to count its rows.
void countRowsInOnePass(benchmark::State& state) {
    const std::string& path = largeRecording().path;
    std::vector<char> block(1 << 20);
    int64_t rows = 0;
    for (auto _ : state) {
        FILE* file = std::fopen(path.c_str(), "rb");
        int64_t lines = 0;
        for (size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0;)
            for (const char* at = block.data(); (at = static_cast<const char*>(std::memchr(at, '\n', block.data() + got - at))) != nullptr; ++at)
                ++lines;
        std::fclose(file);
        rows = lines - 1;
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(countRowsInOnePass)->Unit(benchmark::kMillisecond);

// A slider move to a random row, let go there: the row under it is read and shown.
void seekLargeRecording(benchmark::State& state) {
    if (!openReplay(largeRecording().path)) state.SkipWithError("cannot open the recording");
    waitForReplayIndex();
    std::mt19937 random(2);
    std::uniform_int_distribution<int64_t> rows(0, replayState.rowCount);
    for (auto _ : state) {
        const int64_t row = rows(random);
        replayState.playRow = row;
        seekReplayRow(row);
        showReplayRow();
        benchmark::DoNotOptimize(replayState.lineBuffer.size());
    }
    dismissReplayEnd();
    advanceReplay();
}
BENCHMARK(seekLargeRecording)->Unit(benchmark::kMicrosecond);

// The same rows reached without an index: lines counted from the start of the file, then parsed.
void seekByLinearSkip(benchmark::State& state) {
    const std::string& path = largeRecording().path;
    if (!openReplay(path)) state.SkipWithError("cannot open the recording");
    waitForReplayIndex();
    const int64_t rowCount = replayState.rowCount;
    dismissReplayEnd();
    advanceReplay();
    std::mt19937 random(2);
    std::uniform_int_distribution<int64_t> rows(0, rowCount);
    std::vector<char> block(1 << 20);
    std::string line;
    PointFrame frame;
    for (auto _ : state) {
        const int64_t wanted = rows(random) + 1;  // the header is line 0
        FILE* file = std::fopen(path.c_str(), "rb");
        int64_t lines = 0;
        line.clear();
        for (size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0 && lines <= wanted;) {
            const char* at = block.data();
            const char* end = block.data() + got;
            while (at < end && lines < wanted) {
                const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
                if (newline == nullptr) break;
                ++lines;
                at = newline + 1;
            }
            if (lines == wanted) {
                const char* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
                line.append(at, newline != nullptr ? newline : end);
                if (newline != nullptr) ++lines;
            }
        }
        std::fclose(file);
        benchmark::DoNotOptimize(parseRecordingRow(line.data(), line.data() + line.size(), frame));
    }
}
BENCHMARK(seekByLinearSkip)->Unit(benchmark::kMillisecond);

}  // namespace
