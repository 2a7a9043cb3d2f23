// Fuzzes the file chooser's path names: splitting a start path-name, the path buttons of a directory
// and the directory of each button, and the path-name made of a directory and a typed file name.
// No crash, and every composition stays where it belongs.
#include "filechooser/filechooser.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// An absolute path with single separators and no trailing one, as directories are resolved.
std::string normalDirectory(const std::string& text) {
    std::string path = "/";
    for (const std::string& piece : splitPath("/" + text)) {
        if (piece == "/") continue;
        path = joinPath(path, piece);
    }
    return path;
}

}  // namespace

// The input is three texts separated by NUL bytes: a path-name, a directory, a typed file name.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t first = std::min(input.find('\0'), input.size());
    const size_t second = std::min(input.find('\0', first + 1), input.size());
    const std::string pathName = input.substr(0, first);
    const std::string directoryText = first < input.size() ? input.substr(first + 1, second - first - 1) : "";
    const std::string typed = second < input.size() ? input.substr(second + 1) : "";

    ParsedPathName parsed;
    if (parsePathName(pathName, parsed)) {
        require(parsed.name.find('/') == std::string::npos);
        if (!parsed.directory.empty() && parsed.directory != "/") require(parsed.directory + "/" + parsed.name == pathName);
    }

    // Each path button leads to the directory made of the buttons up to it; the last to the whole.
    const std::string directory = normalDirectory(directoryText);
    const std::vector<std::string> buttons = splitPath(directory);
    require(!buttons.empty() && buttons[0] == "/");
    require(composePath(buttons, buttons.size() - 1) == directory);
    for (size_t i = 0; i < buttons.size(); ++i) {
        const std::string up = composePath(buttons, i);
        require(directory.compare(0, up.size(), up) == 0);
        require(up.find("//") == std::string::npos);
    }

    // A typed name never leads out of the directory shown.
    FileChooser chooser;
    chooser.currentDirectory = directory;
    chooser.selectedType = ".csv";
    const size_t length = std::min(typed.size(), FileChooser::fieldSize - 1);
    std::memcpy(chooser.fileNameField, typed.data(), length);
    chooser.fileNameField[length] = '\0';
    const std::string selected = chooser.SelectedPathName();
    require(selected.compare(0, directory.size(), directory) == 0);
    const std::string rest = selected.substr(directory == "/" ? 1 : directory.size() + 1);
    require(rest.find('/') == std::string::npos);
    return 0;
}
