// The file chooser as a user drives it, in a scratch working directory: listing, filters, picking odd
// names, navigation, refused new directories, OK and Cancel. (Where it reopens the record panel's
// tests check; the viewer asks for one file at a time, so Ctrl and Shift selections are left out.)
#include "filechooser/filechooser.h"

#include "harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace {

const char* const dialogKey = "ChooseFileDlgKey";

class FileChooserGui : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory("data");
        for (const char* name : {"b.csv", "A.csv", "notes.txt"}) std::ofstream(name) << "x";
    }

    void open() {
        int limit = 1;
        chooser.Open(dialogKey, "Choose File", ".csv", ".", limit, nullptr);
        acceptedPath.clear();
        gui.frames(2, draw);
    }
    // The caller's side, as the record panel does it.
    void drawCaller() {
        ImGui::Begin("caller");
        if (chooser.Show(dialogKey, ImGuiWindowFlags_NoCollapse)) {
            acceptedPath = chooser.accepted ? chooser.SelectedPathName() : "";
            chooser.Close(dialogKey);
        }
        ImGui::End();
    }
    // A click, then one more frame: a clicked row ends the drawing of the rows for its frame, and
    // a directory change shows in the frame after.
    bool click(const std::string& label) {
        if (!gui.click(label, draw)) return false;
        gui.frame(draw);
        return true;
    }

    ScratchDirectory scratch;
    const std::string root = fs::current_path().string();
    GuiHarness gui;
    FileChooser chooser;
    std::string acceptedPath;
    std::function<void()> draw = [this] { drawCaller(); };
};

}  // namespace

TEST_F(FileChooserGui, ListsDirectoriesThenFilesOfTheChosenTypeInByteOrder) {
    open();
    EXPECT_EQ(chooser.currentDirectory, root);
    const char* previous = nullptr;
    for (const char* row : {"[Dir] ..", "[Dir] data", "[File] A.csv", "[File] b.csv"}) {
        ASSERT_TRUE(gui.drawn(row)) << row;
        if (previous != nullptr) {
            EXPECT_LT(gui.rect(previous).Min.y, gui.rect(row).Min.y) << row;
        }
        previous = row;
    }
    EXPECT_FALSE(gui.drawn("[File] notes.txt"));
}

TEST_F(FileChooserGui, PathButtonsParentRowAndRNavigate) {
    fs::create_directory("data/inner");
    open();
    ASSERT_TRUE(click("[Dir] data"));
    EXPECT_EQ(chooser.currentDirectory, root + "/data");
    ASSERT_TRUE(click("[Dir] inner"));
    EXPECT_EQ(chooser.currentDirectory, root + "/data/inner");

    ASSERT_TRUE(click("[Dir] .."));
    EXPECT_EQ(chooser.currentDirectory, root + "/data");
    ASSERT_TRUE(click("R"));
    EXPECT_EQ(chooser.currentDirectory, root) << "R returns to the working directory";

    // The root: no way further up, and the file lands directly under it.
    ASSERT_TRUE(click("/"));
    EXPECT_EQ(chooser.currentDirectory, "/");
    EXPECT_EQ(chooser.pathButtons, std::vector<std::string>{"/"});
    EXPECT_FALSE(gui.drawn("[Dir] .."));
    std::snprintf(chooser.fileNameField, FileChooser::fieldSize, "demo1");
    ASSERT_TRUE(gui.type("##FileName", "scan", draw));
    ASSERT_TRUE(click("OK"));
    EXPECT_EQ(acceptedPath, "/scan.csv") << "what is typed replaces the name that was there";
}

// OK needs a file name: a typed directory part does not lead anywhere else, a name that is only a
// directory is none, and the chosen type replaces the extension.
TEST_F(FileChooserGui, OkNeedsANameAndTheTypeReplacesTheExtension) {
    for (const auto& [typed, accepted] :
         {std::pair{"", ""}, {"sub/", ""}, {"scan.txt", "/scan.csv"}, {"../../elsewhere/scan", "/scan.csv"}}) {
        open();
        std::snprintf(chooser.fileNameField, FileChooser::fieldSize, "%s", typed);
        ASSERT_TRUE(click("OK"));
        EXPECT_EQ(acceptedPath, *accepted ? root + accepted : std::string()) << typed;
        if (*accepted == 0) {
            ASSERT_TRUE(click("Cancel"));
        }
    }
}

// A new directory is made only under the one shown: no way out of it, none inside another.
TEST_F(FileChooserGui, NewDirectoriesThatLeadElsewhereAreRefused) {
    open();
    for (const char* name : {"a/b", "../escape"}) {
        ASSERT_TRUE(click("+"));
        ASSERT_TRUE(gui.type("##DirectoryFileName", name, draw));
        ASSERT_TRUE(click("OK##NewDirectory"));
        EXPECT_EQ(chooser.currentDirectory, root) << name;
    }
    EXPECT_FALSE(fs::exists(fs::path(root).parent_path() / "escape"));
    EXPECT_FALSE(fs::exists(root + "/a"));
}

TEST_F(FileChooserGui, OddNamesAreListedAndPickedAsTheyAreAndNonRegularFilesAreNotOffered) {
    // A control character is shown escaped, on the row's one line.
    const std::pair<const char*, const char*> odd[] = {{"x##y.csv", "x##y.csv"}, {"p###q.csv", "p###q.csv"}, {"r###q.csv", "r###q.csv"},
        {"%s%n.csv", "%s%n.csv"}, {"two\nlines.csv", "two\\nlines.csv"}, {"bell\a\x7f.csv", "bell\\x07\\x7f.csv"}};
    for (const auto& [name, shown] : odd) std::ofstream(name) << "x";
    // What is not a regular file would block whoever opens it, or is nothing to open.
    fs::create_symlink(root + "/gone", "dangling.csv");
    fs::create_symlink("/dev/null", "device.csv");
    ASSERT_EQ(::mkfifo("pipe.csv", 0600), 0);
    fs::create_symlink(root + "/data", "linked.csv");
    open();
    for (const char* name : {"dangling.csv", "device.csv", "pipe.csv"})
        for (const char* label : {"[Link] ", "[File] ", " "}) EXPECT_FALSE(gui.drawn(label + std::string(name))) << name;
    EXPECT_TRUE(gui.drawn("[Dir] linked.csv"));
    for (const auto& [name, shown] : odd) {
        ASSERT_TRUE(click(std::string("[File] ") + shown)) << shown;
        EXPECT_STREQ(chooser.fileNameField, name);
        EXPECT_EQ(chooser.selection, std::set<std::string>{name});
    }
}
