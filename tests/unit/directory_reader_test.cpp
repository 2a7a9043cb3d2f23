// The file chooser's file-system layer: listing with "..", entry types, failures, absolute paths
// and the mount table, in a temporary directory.
#include "filechooser/directory_reader.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

std::map<std::string, char> typesOf(const std::vector<DirectoryEntry>& entries) {
    std::map<std::string, char> types;
    for (const DirectoryEntry& entry : entries) types[entry.name] = entry.type;
    return types;
}

}  // namespace

TEST(DirectoryReader, ListsParentFirstTellsEntryTypesApartAndReportsFailures) {
    const ScratchFolder scratch;
    const fs::path root = scratch.path;
    fs::create_directory(root / "sub");
    std::ofstream(root / "plain.csv") << "x";
    fs::create_symlink(root / "missing", root / "dangling");
    fs::create_directory_symlink(root / "sub", root / "to-sub");
    fs::create_symlink(root / "plain.csv", root / "to-plain");

    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(scanDirectory(root.string(), entries), 6);
    EXPECT_EQ(entries[0].name, "..");
    EXPECT_EQ(typesOf(entries), (std::map<std::string, char>{{"..", 'd'}, {"dangling", 'l'}, {"plain.csv", 'f'},
                                                             {"sub", 'd'}, {"to-plain", 'f'}, {"to-sub", 'd'}}));
    // An empty directory still has its way up; the root has none.
    EXPECT_EQ(scanDirectory((root / "sub").string(), entries), 1);
    ASSERT_GT(scanDirectory("/", entries), 0);
    EXPECT_EQ(typesOf(entries).count(".."), 0u);

    // A failure sets errno and leaves the entries as they were.
    const std::map<std::string, char> listed = typesOf(entries);
    for (const fs::path& bad : {root / "missing", fs::path(), root / "plain.csv"}) {
        errno = 0;
        EXPECT_EQ(scanDirectory(bad.string(), entries), -1) << bad;
        EXPECT_NE(errno, 0) << bad;
    }
    EXPECT_EQ(typesOf(entries), listed);

    std::string absolute;
    ASSERT_TRUE(absolutePath((root / "a" / ".." / "b" / "").string(), absolute));
    EXPECT_EQ(absolute, (root / "b").string());
    ASSERT_TRUE(absolutePath("/..", absolute));
    EXPECT_EQ(absolute, "/");
    const std::string tooLong = "/" + std::string(PATH_MAX, 'x');
    EXPECT_FALSE(absolutePath(tooLong, absolute));
    EXPECT_FALSE(canOpenDirectory(tooLong));
    EXPECT_EQ(absolute, "/");
}

TEST(MountTable, KeepsStorageAndLeavesOutKernelAndSystemMounts) {
    const std::string table =
        "overlay / overlay rw,relatime 0 0\n"
        "proc /proc proc rw 0 0\n"
        "shm /dev/shm tmpfs rw 0 0\n"
        "cgroup /sys/fs/cgroup cgroup2 ro 0 0\n"
        "tmpfs /run/user/1000 tmpfs rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "tmpfs /tmp tmpfs rw 0 0\n"
        "/dev/sdb1 /media/My\\040Disk vfat rw 0 0\n"
        "/dev/sdc1 /mnt/back\\134slash ext4 rw 0 0\n"
        "systemd-1 /mnt/auto autofs rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "garbage\n"
        "\n"
        "/dev/sdd1 /runner ext4 rw 0 0\n";
    const std::vector<std::string> expected{"/", "/home", "/media/My Disk", "/mnt/back\\slash", "/runner", "/tmp"};
    EXPECT_EQ(mountPointsIn(table), expected);
    for (const std::string& mountPoint : listMountPoints()) EXPECT_TRUE(fs::is_directory(mountPoint)) << mountPoint;
}
