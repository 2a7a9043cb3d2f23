// Fuzzes the replay reader and the scene loader with arbitrary files: no crash, no hang, no read
// beyond what the file holds. The file is opened, played to its end, and scrubbed with the slider.
#include "app/app.h"
#include "record/record.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string fuzzFilePath() {
    return "/tmp/quarvis-fuzz-replay-" + std::to_string(getpid()) + ".csv";
}

// Plays until the reader reports the end, with a bound so a reader that never ends is caught as a
// hang by the fuzzer's time-out rather than looping for ever here.
void playToEnd(int64_t bound) {
    replayState.playing = true;
    for (int64_t frame = 0; frame < bound; ++frame) {
        if (advanceReplay()) return;
    }
    std::abort();  // a replay that does not end by itself at the end of its file
}

// Opens the file and waits for its rows to be indexed: true when it is a recording to replay.
bool openRecording(const std::string& path) {
    if (!openReplay(path)) return false;
    waitForReplayIndex();
    return appState.replayActive;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzzFilePath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    if (openRecording(path)) {
        // Every line is at most one frame; a file of n bytes has at most n + 2 lines to pass.
        playToEnd(static_cast<int64_t>(size) + 3);
        dismissReplayEnd();
        advanceReplay();  // the frame after "Close": the file is closed
        if (openRecording(path)) {
            const int64_t rows = replayState.rowCount;
            for (int64_t row : {rows, rows / 2, int64_t{0}, rows, int64_t{1}}) {
                replayState.playRow = row;
                seekReplayRow(row);
                advanceReplay();
            }
            playToEnd(static_cast<int64_t>(size) + 3);
            dismissReplayEnd();
            advanceReplay();
        }
    }
    std::remove(path.c_str());
    return 0;
}
