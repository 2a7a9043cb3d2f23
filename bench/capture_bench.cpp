// Benchmarks of capture replay: indexing a capture against a bare read of the same file, the
// slider's look-up in the index of a 4 GiB capture, the work a seek does until its frame is decoded,
// and how closely a capture played at 1x on the steady clock keeps to the sensor's own time.
#include "link/link.h"
#include "../tests/fakes/link_test_support.h"
#include "../tests/fakes/test_frames.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr uint32_t framePeriodMicros = 33333;  // 30 frames a second
constexpr size_t indexedFrames = 100000;       // about 290 MB of capture
constexpr size_t pacedFrames = 301;            // 10 s at 30 frames a second

std::string capturePath(const char* name) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder != nullptr ? folder : "/tmp") + "/quarvis-bench-" + name + ".ostrel";
}

std::string paths[2];  // the captures written, removed at exit
void removeCaptures() {
    for (const std::string& path : paths)
        if (!path.empty()) std::remove(path.c_str());
}

// Frames back to back at 30 a second, with a few stray bytes after every tenth.
const std::string& writeCapture(const char* name, size_t frames) {
    if (paths[0].empty() && paths[1].empty()) std::atexit(removeCaptures);
    std::string& path = paths[frames == indexedFrames ? 0 : 1];
    if (!path.empty()) return path;
    path = capturePath(name);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    const uint8_t stray[] = {0x00, 0x5A, 0x13};
    for (size_t k = 0; k < frames; ++k) {
        const uint64_t stamp = 1000000000ull + k * framePeriodMicros;
        const Bytes frame = makeFrame(static_cast<uint16_t>(k), 0, static_cast<uint32_t>(stamp / 1000000),
                                      static_cast<uint32_t>(stamp % 1000000));
        std::fwrite(frame.data(), 1, frame.size(), file);
        if (k % 10 == 9) std::fwrite(stray, 1, sizeof stray, file);
    }
    if (std::fclose(file) != 0) std::abort();
    return path;
}

// The floor for any pass over the file: reading it in the indexer's chunks.
void ReadCaptureBare(benchmark::State& state) {
    const std::string& path = writeCapture("indexed", indexedFrames);
    std::vector<uint8_t> chunk(captureScanChunkBytes);
    int64_t bytes = 0;
    for (auto _ : state) {
        const int file = ::open(path.c_str(), O_RDONLY);
        for (ssize_t n; (n = ::read(file, chunk.data(), chunk.size())) > 0;) bytes += n;
        ::close(file);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(ReadCaptureBare)->Unit(benchmark::kMillisecond)->Iterations(5);

// The background indexer over the same file: good frames found and timed from their stamps.
void IndexCapture(benchmark::State& state) {
    const std::string& path = writeCapture("indexed", indexedFrames);
    int64_t bytes = 0;
    for (auto _ : state) {
        const int file = ::open(path.c_str(), O_RDONLY);
        CaptureIndex index;
        if (indexCapture(file, index, nullptr, nullptr) != 0 || index.frames.size() != indexedFrames) std::abort();
        bytes += static_cast<int64_t>(index.fileBytes);
        ::close(file);
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(IndexCapture)->Unit(benchmark::kMillisecond)->Iterations(5);

// The slider's look-up: the frame due at a time, in the index of a 4 GiB capture.
void FrameAtTimeIn4GiB(benchmark::State& state) {
    CaptureIndex index;
    const size_t frames = (size_t{4} << 30) / frameBytes;
    index.frames.reserve(frames);
    for (size_t k = 0; k < frames; ++k)
        index.frames.push_back({k * frameBytes, static_cast<int64_t>(k * framePeriodMicros), static_cast<uint16_t>(k)});
    std::mt19937_64 random(7);
    const int64_t length = index.frames.back().playMicros;
    for (auto _ : state) benchmark::DoNotOptimize(captureFrameAt(index, static_cast<int64_t>(random() % length)));
}
BENCHMARK(FrameAtTimeIn4GiB);

// Opens the capture as the link does: indexed in the background, then the source opened on frame 0.
void openIndexed(const std::string& path) {
    ensureWorkerThreads();
    resetLinkForTest();
    firstLink().capture.clock = steadyCaptureClock;
    if (!firstLink().openCapture(path).empty()) std::abort();
    while (!firstLink().pollCaptureIndexing()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    firstLink().synchroniser.reset();
    if (captureReplaySource.open(firstLink(), capturePortName, 0) != 0) std::abort();
}

void closeIndexed() {
    captureReplaySource.close(firstLink());
    firstLink().releaseCapture();
    resetLinkForTest();
}

// A paused seek: from the slider's frame to its points decoded, as the grabber and the handler take
// it (the source's read, the synchroniser, the decoding).
void SeekUntilDecoded(benchmark::State& state) {
    openIndexed(writeCapture("indexed", indexedFrames));
    std::mt19937_64 random(11);
    uint8_t buffer[readChunkBytes];
    PointFrame points;
    struct Shown {
        PointFrame* points;
        bool done;
    } shown{&points, false};
    auto decode = [](const uint8_t* record, void* context) {
        auto* s = static_cast<Shown*>(context);
        decodeFrame(record, *s->points);
        s->done = true;
    };
    for (auto _ : state) {
        firstLink().seekCapture(static_cast<int64_t>(random() % indexedFrames));
        for (shown.done = false; !shown.done;) firstLink().synchroniser.synchroniseBytes(buffer, captureReplaySource.read(firstLink(), buffer, readChunkBytes), decode, &shown);
    }
    closeIndexed();
}
BENCHMARK(SeekUntilDecoded)->Unit(benchmark::kMicrosecond);

// Ten seconds of capture played at 1x on the steady clock: the wall time from the first frame to
// the last against the sensor's, and the CPU the reading took meanwhile.
void PlayTenSecondsAtOneX(benchmark::State& state) {
    openIndexed(writeCapture("paced", pacedFrames));
    uint8_t buffer[readChunkBytes];
    size_t frames = 0;
    auto count = [](const uint8_t*, void* context) { ++*static_cast<size_t*>(context); };
    double wall = 0;
    for (auto _ : state) {
        firstLink().synchroniser.synchroniseBytes(buffer, captureReplaySource.read(firstLink(), buffer, readChunkBytes), count, &frames);  // frame 0, paused
        const auto start = std::chrono::steady_clock::now();
        firstLink().capture.playing = true;
        while (frames < pacedFrames) firstLink().synchroniser.synchroniseBytes(buffer, captureReplaySource.read(firstLink(), buffer, readChunkBytes), count, &frames);
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(wall);
    }
    const double sensor = (pacedFrames - 1) * framePeriodMicros / 1e6;
    state.counters["sensor_seconds"] = sensor;
    state.counters["played_seconds"] = wall;
    state.counters["error_percent"] = 100.0 * (wall - sensor) / sensor;
    closeIndexed();
}
BENCHMARK(PlayTenSecondsAtOneX)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
