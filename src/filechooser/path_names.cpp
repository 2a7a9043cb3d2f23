// Path names of the file chooser: splitting a start path-name, joining, the path buttons of a
// directory and the directory of a path button. Pure functions (GUI thread in use; the fuzzer too).
#include "filechooser/filechooser.h"

namespace {

constexpr char separator = '/';
constexpr const char* rootPath = "/";

}  // namespace

std::string joinPath(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == separator) return directory + name;
    return directory + separator + name;
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind(separator);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool parsePathName(const std::string& pathName, ParsedPathName& parsed) {
    if (pathName.empty()) return false;
    const size_t slash = pathName.rfind(separator);
    if (slash != std::string::npos) {
        parsed.directory = slash == 0 ? std::string(rootPath) : pathName.substr(0, slash);
        parsed.name = pathName.substr(slash + 1);
    } else if (pathName.find('.') != std::string::npos) {
        parsed.name = pathName;
    } else {
        return false;
    }
    const size_t dot = parsed.name.rfind('.');
    if (dot != std::string::npos) parsed.extension = parsed.name.substr(dot + 1);
    return true;
}

std::string typedFileName(const char* field) {
    const std::string text(field);
    const size_t slash = text.rfind(separator);
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::vector<std::string> splitPath(const std::string& absolute) {
    std::vector<std::string> buttons(1, rootPath);
    size_t start = 1;
    while (start < absolute.size()) {
        size_t end = absolute.find(separator, start);
        if (end == std::string::npos) end = absolute.size();
        if (end > start) buttons.push_back(absolute.substr(start, end - start));
        start = end + 1;
    }
    return buttons;
}

std::string composePath(const std::vector<std::string>& buttons, size_t index) {
    std::string path = rootPath;
    for (size_t i = 1; i <= index && i < buttons.size(); ++i) path = joinPath(path, buttons[i]);
    return path;
}
