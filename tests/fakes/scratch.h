// Scratch folders, whole-file reads and bounded waits for the unit and GUI tests. Test thread.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// A fresh folder under the temporary directory, removed with all it holds when the object goes.
struct ScratchFolder {
    std::filesystem::path path;
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarvis-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

// The same folder as the working directory while the object lives.
struct ScratchDirectory : ScratchFolder {
    std::filesystem::path previous = std::filesystem::current_path();
    ScratchDirectory() { std::filesystem::current_path(path); }
    ~ScratchDirectory() { std::filesystem::current_path(previous); }
};

// Calls `step` until it returns true, for workers that run on their own clock; false instead of
// hanging when it never does. The limit only guards against a hang: it times nothing.
template <typename Step>
bool eventually(Step step, std::chrono::seconds limit = std::chrono::seconds(20)) {
    for (const auto giveUp = std::chrono::steady_clock::now() + limit; !step(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::chrono::steady_clock::now() >= giveUp) return false;
    return true;
}

inline std::string readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
