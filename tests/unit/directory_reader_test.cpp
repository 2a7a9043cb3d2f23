// The file chooser's file-system layer: listing with "..", entry types, failures, absolute paths
// and the mount table, in a temporary directory.
#include "filechooser/directory_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class DirectoryReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quarvis-reader-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root;
};

char typeOf(const std::vector<DirectoryEntry>& entries, const std::string& name) {
    for (const DirectoryEntry& entry : entries)
        if (entry.name == name) return entry.type;
    return '?';
}

}  // namespace

TEST_F(DirectoryReaderTest, ListsParentFirstAndTellsEntryTypesApart) {
    fs::create_directory(root / "sub");
    std::ofstream(root / "plain.csv") << "x";
    fs::create_symlink(root / "missing", root / "dangling");
    fs::create_directory_symlink(root / "sub", root / "to-sub");
    fs::create_symlink(root / "plain.csv", root / "to-plain");

    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(scanDirectory(root.string(), entries), 6);
    EXPECT_EQ(entries[0].name, "..");
    EXPECT_EQ(entries[0].type, 'd');
    EXPECT_EQ(typeOf(entries, "sub"), 'd');
    EXPECT_EQ(typeOf(entries, "plain.csv"), 'f');
    EXPECT_EQ(typeOf(entries, "dangling"), 'l');
    EXPECT_EQ(typeOf(entries, "to-sub"), 'd');
    EXPECT_EQ(typeOf(entries, "to-plain"), 'f');
    EXPECT_EQ(typeOf(entries, "."), '?');

    // An empty directory still has its way up; the root has none.
    ASSERT_EQ(scanDirectory((root / "sub").string(), entries), 1);
    EXPECT_EQ(entries[0].name, "..");
    ASSERT_GT(scanDirectory("/", entries), 0);
    EXPECT_EQ(typeOf(entries, ".."), '?');
}

TEST_F(DirectoryReaderTest, FailuresLeaveTheEntriesAndLongPathsAreRefused) {
    std::vector<DirectoryEntry> entries{{"kept", 'f'}};
    EXPECT_EQ(scanDirectory((root / "missing").string(), entries), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(scanDirectory("", entries), -1);
    std::ofstream(root / "file") << "x";
    EXPECT_EQ(scanDirectory((root / "file").string(), entries), -1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "kept");

    std::string absolute;
    ASSERT_TRUE(absolutePath((root / "a" / ".." / "b" / "").string(), absolute));
    EXPECT_EQ(absolute, (root / "b").string());
    ASSERT_TRUE(absolutePath("/..", absolute));
    EXPECT_EQ(absolute, "/");

    absolute = "unchanged";
    const std::string tooLong = "/" + std::string(PATH_MAX, 'x');
    EXPECT_FALSE(absolutePath(tooLong, absolute));
    EXPECT_FALSE(canOpenDirectory(tooLong));
    EXPECT_EQ(absolute, "unchanged");
}

TEST(MountTable, KeepsStorageAndLeavesOutKernelAndSystemMounts) {
    const std::string table =
        "overlay / overlay rw,relatime 0 0\n"
        "proc /proc proc rw 0 0\n"
        "tmpfs /dev tmpfs rw 0 0\n"
        "shm /dev/shm tmpfs rw 0 0\n"
        "sysfs /sys sysfs ro 0 0\n"
        "cgroup /sys/fs/cgroup cgroup2 ro 0 0\n"
        "tmpfs /run/user/1000 tmpfs rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "tmpfs /tmp tmpfs rw 0 0\n"
        "/dev/sdb1 /media/My\\040Disk vfat rw 0 0\n"
        "/dev/sdc1 /mnt/back\\134slash ext4 rw 0 0\n"
        "systemd-1 /mnt/auto autofs rw 0 0\n"
        "/dev/sda2 /home ext4 rw 0 0\n"
        "binfmt_misc /proc/sys/fs/binfmt_misc binfmt_misc rw 0 0\n"
        "garbage\n"
        "\n"
        "/dev/sdd1 /runner ext4 rw 0 0\n";
    const std::vector<std::string> expected{"/", "/home", "/media/My Disk", "/mnt/back\\slash", "/runner", "/tmp"};
    EXPECT_EQ(mountPointsIn(table), expected);

    for (const std::string& mountPoint : listMountPoints()) EXPECT_TRUE(fs::is_directory(mountPoint)) << mountPoint;
}
