// The file chooser's view of the file system: directory listing, absolute paths, mount points and
// directory creation, all through std::filesystem. Private to filechooser/; GUI thread only.
#pragma once

#include <string>
#include <vector>

// One entry as read from a directory.
struct DirectoryEntry {
    std::string name;
    char type = ' ';  // 'd' directory, 'f' regular file, 'l' type undetermined (a broken link), ' ' other
};

// True when the path names a directory whose entries can be read.
bool canOpenDirectory(const std::string& path);

// Every entry of the directory, ".." first unless the directory is the root, in the order the
// system gives them. Returns the number of entries, or -1 (errno set) when the directory cannot be
// opened or read, in which case entries is left untouched.
int scanDirectory(const std::string& path, std::vector<DirectoryEntry>& entries);

// The absolute, lexically normal form of a path without a trailing '/' ("/" for the root). False
// when it cannot be formed or would not fit in a system path (PATH_MAX).
bool absolutePath(const std::string& path, std::string& absolute);

// Mount points of storage file systems in a mount table (the text of /proc/self/mounts), sorted and
// without duplicates. Kernel interfaces and the system's own trees (/proc, /sys, /dev, /run) are
// left out.
std::vector<std::string> mountPointsIn(const std::string& mountTable);

// mountPointsIn over this process's mount table, keeping only mount points that are directories.
std::vector<std::string> listMountPoints();

// Creates one directory. 0 on success, -1 (errno set) on failure, EEXIST when something of that
// name is already there.
int createDirectory(const std::string& path);
