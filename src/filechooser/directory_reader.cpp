// Directory listing, absolute paths, mount points and directory creation for the file chooser,
// over std::filesystem and /proc/self/mounts. Called by the file chooser on the GUI thread.
#include "filechooser/directory_reader.h"

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* rootPath = "/";
constexpr const char* parentName = "..";
constexpr const char* mountTablePath = "/proc/self/mounts";

// File system types that hold no user files: kernel interfaces and automounter placeholders.
constexpr std::string_view pseudoFileSystems[] = {
    "proc",     "sysfs",   "cgroup",      "cgroup2",    "devpts",   "devtmpfs", "mqueue",
    "debugfs",  "tracefs", "securityfs",  "pstore",     "bpf",      "autofs",   "hugetlbfs",
    "configfs", "fusectl", "binfmt_misc", "rpc_pipefs", "nsfs",     "efivarfs", "selinuxfs",
    "nfsd",     "ramfs",   "fuse.gvfsd-fuse", "fuse.portal"};

// Trees the system mounts for itself (/dev/shm, /run/user/..., /sys/fs/...).
constexpr std::string_view systemTrees[] = {"/proc", "/sys", "/dev", "/run"};

void setErrno(const std::error_code& error) { errno = error.value() != 0 ? error.value() : EIO; }

// An open listing. ".." is reported first (the system's own listing has it, std::filesystem does
// not), except at the root where there is nothing above.
struct DirectoryReader {
    fs::directory_iterator position;
    bool parentPending = false;
};

int openReader(DirectoryReader& reader, const std::string& path) {
    std::string absolute;
    if (path.empty() || !absolutePath(path, absolute)) {
        errno = path.empty() ? ENOENT : ENAMETOOLONG;
        return -1;
    }
    std::error_code error;
    reader.position = fs::directory_iterator(absolute, error);
    if (error) {
        setErrno(error);
        return -1;
    }
    reader.parentPending = absolute != rootPath;
    return 0;
}

// The type the listing gave is used where it is known; only links (followed, so a link to a
// directory is a directory) and unknown types cost a stat.
char typeOf(const fs::directory_entry& entry) {
    std::error_code error;
    if (entry.is_directory(error)) return 'd';
    if (entry.is_regular_file(error)) return 'f';
    return entry.exists(error) ? ' ' : 'l';
}

// 1 with an entry, 0 at the end, -1 (errno set) when reading fails.
int readEntry(DirectoryReader& reader, DirectoryEntry& entry) {
    if (reader.parentPending) {
        reader.parentPending = false;
        entry = DirectoryEntry{parentName, 'd'};
        return 1;
    }
    if (reader.position == fs::directory_iterator()) return 0;
    entry = DirectoryEntry{reader.position->path().filename().string(), typeOf(*reader.position)};
    std::error_code error;
    reader.position.increment(error);
    if (error) {
        setErrno(error);
        return -1;
    }
    return 1;
}

bool isOctalDigit(char c, char highest) { return c >= '0' && c <= highest; }

// Undoes the octal escapes the kernel writes for space, tab, newline and backslash ("\040").
std::string unescapeMountField(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1], '3') &&
            isOctalDigit(field[i + 2], '7') && isOctalDigit(field[i + 3], '7')) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

bool isPseudoFileSystem(const std::string& type) {
    for (std::string_view pseudo : pseudoFileSystems)
        if (type == pseudo) return true;
    return false;
}

bool insideSystemTree(const std::string& mountPoint) {
    for (std::string_view tree : systemTrees)
        if (mountPoint.compare(0, tree.size(), tree) == 0 &&
            (mountPoint.size() == tree.size() || mountPoint[tree.size()] == '/'))
            return true;
    return false;
}

}  // namespace

bool canOpenDirectory(const std::string& path) {
    DirectoryReader reader;
    return openReader(reader, path) == 0;
}

int scanDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
    DirectoryReader reader;
    if (openReader(reader, path) != 0) return -1;
    std::vector<DirectoryEntry> read;
    DirectoryEntry entry;
    int status = 0;
    while ((status = readEntry(reader, entry)) == 1) read.push_back(std::move(entry));
    if (status < 0) return -1;
    entries = std::move(read);
    return static_cast<int>(entries.size());
}

bool absolutePath(const std::string& path, std::string& absolute) {
    std::error_code error;
    const fs::path full = fs::absolute(path, error);
    if (error) return false;
    std::string normal = full.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    if (normal.size() >= PATH_MAX) return false;  // PATH_MAX counts the terminating NUL
    absolute = std::move(normal);
    return true;
}

std::vector<std::string> mountPointsIn(const std::string& mountTable) {
    std::set<std::string> found;
    std::istringstream lines(mountTable);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type)) continue;
        mountPoint = unescapeMountField(mountPoint);
        if (mountPoint.empty() || mountPoint[0] != '/') continue;
        if (isPseudoFileSystem(type) || insideSystemTree(mountPoint)) continue;
        found.insert(mountPoint);
    }
    return std::vector<std::string>(found.begin(), found.end());
}

std::vector<std::string> listMountPoints() {
    std::ifstream table(mountTablePath);
    std::stringstream text;
    text << table.rdbuf();
    std::vector<std::string> directories;
    for (std::string& mountPoint : mountPointsIn(text.str())) {
        std::error_code error;
        if (fs::is_directory(mountPoint, error)) directories.push_back(std::move(mountPoint));
    }
    return directories;
}

int createDirectory(const std::string& path) {
    std::error_code error;
    if (fs::create_directory(path, error)) return 0;
    if (error) setErrno(error);
    else errno = EEXIST;
    return -1;
}
