// Benchmarks of the sensor link: CPU spent by both workers while connected to an idle line, how long
// a disconnect waits for the workers' acknowledgement, the synchroniser's and the decoder's
// throughput against a bare pass over the same bytes and against the wire rules taken byte by byte.
// Build once with -DQUARVIS_BUSY_POLL=ON for the comparison with workers that poll without pause.
#include "link/link.h"
#include "app/app.h"
#include "../tests/fakes/fake_serialport.h"
#include "../tests/fakes/link_test_support.h"
#include "../tests/fakes/test_frames.h"
#include "../fuzz/reference_synchroniser.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace {

const char* const idlePort = "/dev/ttyIDLE";

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void connectToIdleLine() {
    ensureWorkerThreads();
    resetLinkForTest();
    fakeSerialAddPort(idlePort);
    firstLink().open(idlePort, firstLink().baudRate);
}

// CPU time of the whole process (the benchmark thread only sleeps) per second of wall time, in
// per cent of one core, while the workers sit on a line that sends nothing.
void IdleWorkersCpu(benchmark::State& state) {
    connectToIdleLine();
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - wallBefore;
        cpu += processCpuSeconds() - cpuBefore;
        wall += elapsed.count();
        state.SetIterationTime(elapsed.count());
    }
    state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
    firstLink().close();
}
BENCHMARK(IdleWorkersCpu)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

// From the disconnect request to both workers parked, while connected to an idle line.
void StopAcknowledge(benchmark::State& state) {
    ensureWorkerThreads();
    double longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        connectToIdleLine();
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        state.ResumeTiming();
        const auto before = std::chrono::steady_clock::now();
        firstLink().close();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - before;
        longest = std::max(longest, took.count());
        state.SetIterationTime(took.count());
    }
    state.counters["longest_ms"] = longest * 1000.0;
}
BENCHMARK(StopAcknowledge)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

// Frames back to back with some garbage between.
Bytes typicalStream() { return concat({makeFrame(1), {0x00, 0x5A}, makeFrame(2), makeFrame(3)}); }

// The floor for any pass over the stream: an additive sum of its bytes, as the checksum takes it.
void ByteSumBaseline(benchmark::State& state) {
    const Bytes stream = typicalStream();
    for (auto _ : state) {
        uint32_t sum = 0;
        for (const uint8_t byte : stream) sum += byte;
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(ByteSumBaseline);

// Bytes per second through the synchroniser, in reads of state.range(0) bytes: the grabber's reads,
// and the whole stream at once as quarvis-decode's big reads take it.
void SynchroniserThroughput(benchmark::State& state) {
    const Bytes stream = typicalStream();
    const size_t read = static_cast<size_t>(state.range(0));
    auto ignore = [](const uint8_t*, void*) {};
    firstLink().synchroniser.reset();
    for (auto _ : state)
        for (size_t at = 0; at < stream.size(); at += read)
            firstLink().synchroniser.synchroniseBytes(stream.data() + at, static_cast<int>(std::min(read, stream.size() - at)), ignore, nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(SynchroniserThroughput)->Arg(readChunkBytes)->Arg(1 << 20);

// The same through the wire rules taken a byte at a time (fuzz/reference_synchroniser.cpp), as the
// synchroniser first ran them: the baseline it is measured against.
void SynchroniserByteByByte(benchmark::State& state) {
    const Bytes stream = typicalStream();
    auto ignore = [](const uint8_t*, void*) {};
    static ReferenceSynchroniser reference;
    referenceReset(reference);
    for (auto _ : state) referenceSynchronise(reference, stream.data(), static_cast<int>(stream.size()), ignore, nullptr);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(SynchroniserByteByByte);

// Frame bytes per second decoded into metres and published to the point array, as the handler does.
void DecodeThroughput(benchmark::State& state) {
    const Bytes frame = makeFrame(1, 5);
    PointFrame points;
    for (auto _ : state) {
        decodeFrame(frame.data(), points);
        firstLink().publish(points);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(DecodeThroughput);

}  // namespace
