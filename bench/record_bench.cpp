// Recording files: formatting and parsing one row (ours against C++ streams), opening a large
// recording (row count and index) and moving the replay slider to any row in it.
// Set QUARVIS_BENCH_DIR to choose where the 1 GB file is made (default /tmp); it is removed after.
#include "app/app.h"
#include "record/record.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
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

void formatRowWithStream(benchmark::State& state) {
    const PointFrame frame = typicalFrame();
    std::ostringstream out;
    for (auto _ : state) {
        out.str(std::string());
        out << "20261206-101500" << ",";
        for (const auto& point : frame.xyz) out << point[0] << "," << point[1] << "," << point[2] << ",";
        out << "\n";
        benchmark::DoNotOptimize(out.tellp());
    }
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

void parseRowWithStream(benchmark::State& state) {
    const std::string row = typicalRow();
    PointFrame frame;
    for (auto _ : state) {
        std::istringstream in(row);
        int date, time;
        char separator;
        in >> date >> separator >> time >> separator;
        for (auto& point : frame.xyz) in >> point[0] >> separator >> point[1] >> separator >> point[2] >> separator;
        benchmark::DoNotOptimize(in.good());
    }
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
        rows = replayState.rowCount;
        dismissReplayEnd();
        advanceReplay();
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(openLargeRecording)->Unit(benchmark::kMillisecond);

// A slider move to a random row and the paused frame that reads it.
void seekLargeRecording(benchmark::State& state) {
    if (!openReplay(largeRecording().path)) state.SkipWithError("cannot open the recording");
    std::mt19937 random(2);
    std::uniform_int_distribution<int64_t> rows(0, replayState.rowCount);
    for (auto _ : state) {
        const int64_t row = rows(random);
        replayState.playRow = row;
        seekReplayRow(row);
        advanceReplay();
        benchmark::DoNotOptimize(replayState.lineBuffer.size());
    }
    dismissReplayEnd();
    advanceReplay();
}
BENCHMARK(seekLargeRecording)->Unit(benchmark::kMicrosecond);

}  // namespace
