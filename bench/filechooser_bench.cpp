// File chooser costs over a directory of many recordings: building the listing when the directory
// changes, and one dialog frame (filtering and drawing the rows) in a headless ImGui context.
#include "filechooser/filechooser.h"

#include "../tests/gui/harness.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// A temporary directory of empty .csv files, removed at the end.
struct RecordingDirectory {
    explicit RecordingDirectory(int files) {
        std::string pattern = (fs::temp_directory_path() / "quarvis-chooser-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
        char name[32];
        for (int i = 0; i < files; ++i) {
            std::snprintf(name, sizeof name, "rec_%06d.csv", i);
            std::ofstream(path / name);
        }
    }
    ~RecordingDirectory() { fs::remove_all(path); }
    fs::path path;
};

void BM_ListingOnDirectoryChange(benchmark::State& state) {
    const RecordingDirectory directory(static_cast<int>(state.range(0)));
    FileChooser chooser;
    int limit = 1;
    for (auto _ : state) {
        chooser.armed = false;
        chooser.currentDirectory = directory.path.string();
        chooser.Open("bench", "Choose File", ".csv", ".", limit, nullptr);
        benchmark::DoNotOptimize(chooser.listing.data());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ListingOnDirectoryChange)->Arg(1000)->Arg(20000)->Unit(benchmark::kMillisecond);

void BM_DialogFrame(benchmark::State& state) {
    const RecordingDirectory directory(static_cast<int>(state.range(0)));
    const fs::path saved = fs::current_path();
    fs::current_path(directory.path);
    GuiHarness gui;
    itemProbe = nullptr;  // as in the viewer
    FileChooser chooser;
    int limit = 1;
    chooser.Open("bench", "Choose File", ".csv", ".", limit, nullptr);
    chooser.SetTypeColour(".csv", ImVec4(1, 1, 0, 0.5f));
    const auto draw = [&] {
        ImGui::Begin("caller");
        chooser.Show("bench", ImGuiWindowFlags_NoCollapse);
        ImGui::End();
    };
    gui.frames(3, draw);
    for (auto _ : state) gui.frame(draw);
    fs::current_path(saved);
}
BENCHMARK(BM_DialogFrame)->Arg(1000)->Arg(20000)->Unit(benchmark::kMicrosecond);

}  // namespace
