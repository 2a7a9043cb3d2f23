// The synchroniser and the decoder on a frame written out by hand. Faulty streams read in pieces are
// checked against the simulator's report (sim_test.cpp) and, by fuzz/fuzz_synchroniser.cpp, against
// the wire rules taken byte by byte.
#include "link/link.h"
#include "app/app.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

void collectFrame(const uint8_t* record, void* context) {
    static_cast<std::vector<Bytes>*>(context)->emplace_back(record, record + frameBytes);
}

// The wire layout pinned by a frame written out byte by byte, apart from the encoder and its offsets.
TEST(Synchroniser, DecodesAFrameWrittenOutByHand) {
    Bytes frame(2912, 0xFF);  // every point not written below is (-1, -1, -1) mm
    const std::pair<size_t, Bytes> fields[] = {
        {0, {0x5A, 0xA5, 0x5A, 0xA5}},                    // sync
        {4, {0x58, 0x0B, 0x00, 0x00}},                    // size 2904
        {8, {0xEF, 0xBE}},                                // sequence 48879
        {10, {0xAB, 0xCD}},                               // not interpreted
        {12, {0x00, 0x28, 0x6B, 0xEE}},                   // 4000000000 s
        {16, {0x4E, 0x46, 0x05, 0x00}},                   // 345678 us
        {20, {1, 2, 3, 4, 5, 6, 7, 8}},                   // not interpreted
        {28, {0x02, 0x01, 0xFE, 0xFE, 0x00, 0x00}},       // point 0: 258, -258, 0 mm
        {34, {0xFF, 0x7F, 0x00, 0x80, 0x01, 0x00}},       // point 1: 32767, -32768, 1
        {1468, {0xC7, 0xCF, 0x34, 0x12, 0xFF, 0xFF}},     // point 240: -12345, 4660, -1
        {2902, {0xE8, 0x03, 0xD0, 0x07, 0x48, 0xF4}},     // point 479: 1000, 2000, -3000
        // Bytes 8..2907: 476 points of six 0xFF (728280) and the fields above
        // (429 + 376 + 385 + 153 + 36 + 511 + 511 + 986 + 766): 732433 = 0x000B2D11.
        {2908, {0x11, 0x2D, 0x0B, 0x00}},
    };
    for (const auto& [offset, bytes] : fields) std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);

    Synchroniser sync;  // standalone, as the decoder tool runs it
    sync.reset();
    // A stream already past 4 GiB counts on: the byte counter is 64 bits wide.
    const uint64_t before = (uint64_t{1} << 32) - 100;
    sync.statistics.add(counterTotalBytes, before);
    std::vector<Bytes> frames;
    testing::internal::CaptureStdout();
    appState.debugPrint = true;
    sync.synchroniseBytes(frame.data(), static_cast<int>(frame.size()), collectFrame, &frames);
    appState.debugPrint = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "4000000000.3457\n");
    ASSERT_EQ(frames, std::vector<Bytes>{frame});
    for (int counter = counterLostSyncs; counter <= counterInvalidErrors; ++counter) EXPECT_EQ(sync.statistics.get(counter), 0u);
    EXPECT_EQ(sync.statistics.get(counterTotalBytes), before + frameBytes);

    PointFrame points;
    decodeFrame(frames[0].data(), points);
    EXPECT_EQ((std::array<uint32_t, 4>{points.stamped, points.sequence, points.timestampSeconds, points.timestampMicros}),
              (std::array<uint32_t, 4>{1, 48879, 4000000000u, 345678}))
        << "the decoded frame carries its sequence number and time stamp";
    const struct {
        int point;
        float x, y, z;
    } expected[] = {
        {0, 0.258f, -0.258f, 0.0f}, {1, 32.767f, -32.768f, 0.001f}, {2, -0.001f, -0.001f, -0.001f},
        {240, -12.345f, 4.66f, -0.001f}, {478, -0.001f, -0.001f, -0.001f}, {479, 1.0f, 2.0f, -3.0f},
    };
    for (const auto& e : expected) {
        const auto& xyz = points.xyz[e.point];
        EXPECT_EQ((std::array<float, 4>{float(points.valid[e.point]), xyz[0], xyz[1], xyz[2]}), (std::array<float, 4>{1, e.x, e.y, e.z}))
            << "point " << e.point;
    }
}

}  // namespace
