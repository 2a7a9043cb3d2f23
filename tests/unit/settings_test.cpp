// The settings file: its layout byte for byte, a round trip through a folder that is not there yet,
// bad contents of every kind falling back to the defaults line by line, and the saving after changes.
#include "main/settings.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// What the viewer starts with before any file is read.
Settings defaults() { return currentSettings(); }

Settings changed() {
    Settings s = defaults();
    s.sensors = {ConnectionChoice{"/dev/ttyUSB0", 921600, ""}};
    s.backgroundColor[0] = 1.0f, s.backgroundColor[1] = 0.5f, s.backgroundColor[2] = 0.0f;
    s.pointSize = 3.25f;
    s.gridSpacing = 250;
    s.pointColorMode = 2;
    s.colorRangeAuto = false;
    s.colorRangeLow = -0.5f, s.colorRangeHigh = 2.25f;
    s.roundPoints = true;
    s.overlayShown = true;
    s.chooserFolder = "/home/user/recordings and more";
    s.shareAddress = "[::1]:9000";
    s.windowX = -20, s.windowY = 40, s.windowWidth = 800, s.windowHeight = 600;
    return s;
}

TEST(SettingsFile, LayoutByteForByteAndARoundTripThroughAMissingFolder) {
    EXPECT_EQ(formatSettings(changed()),
              "# Quarvis settings: written by the viewer, one key=value a line\n"
              "port=/dev/ttyUSB0\n"
              "baudRate=921600\n"
              "backgroundColor=1,0.5,0,1\n"
              "gridColor=0.32,0.32,0.32,1\n"
              "pointSize=3.25\n"
              "gridSpacing=250\n"
              "pointColorMode=height\n"
              "pointColor=1,0.6,0,1\n"
              "colorRangeAuto=false\n"
              "colorRange=-0.5,2.25\n"
              "roundPoints=true\n"
              "overlay=true\n"
              "chooserFolder=/home/user/recordings and more\n"
              "shareAddress=[::1]:9000\n"
              "windowX=-20\n"
              "windowY=40\n"
              "windowWidth=800\n"
              "windowHeight=600\n");
    // Nothing chosen yet: no port, baud rate or window lines.
    EXPECT_EQ(formatSettings(defaults()).find("port="), std::string::npos);

    const ScratchFolder scratch;
    const std::string folder = scratch.path.string() + "/config/quarvis";
    std::string error, warning;
    ASSERT_TRUE(saveSettings(folder, changed(), error)) << error;
    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    EXPECT_EQ(loadSettings(folder, defaults(), warning), changed());
    EXPECT_EQ(warning, "");
    // Saved again over the old file.
    ASSERT_TRUE(saveSettings(folder, defaults(), error));
    EXPECT_EQ(loadSettings(folder, defaults(), warning), defaults());
}

// Each row: the file's text, and what is expected of it over the defaults.
struct BadContent {
    const char* name;
    std::string text;
    int badLines;
    void (*expect)(Settings& s);  // the defaults changed as the good lines of the text say
};

TEST(SettingsFile, BadContentFallsBackLineByLine) {
    const auto unchanged = [](Settings&) {};
    const BadContent table[] = {
        {"no setting", "garbage\ncolourOfMoney=1\n" + std::string("\x00\xff\xfe=\x01\n\x7f\x80pointSize=3\n", 20), 4, unchanged},
        {"numbers out of range or not numbers",
         "pointSize=0\npointSize=100.01\npointSize=nan\npointSize=inf\npointSize=2.5px\npointSize=\n"
         "gridSpacing=9\ngridSpacing=500\nbaudRate=115200\nwindowWidth=100\nwindowX=40000\n", 11, unchanged},
        {"grid spacing 499, blanks around", "  gridSpacing = 499 \r\n", 0, [](Settings& s) { s.gridSpacing = 499; }},
        {"colours, colour modes, ranges and switches not understood",
         "backgroundColor=1,1,1\nbackgroundColor=1,1,1,1,1\ngridColor=0,0,1.5,1\npointColorMode=rainbow\n"
         "colorRange=3,3\ncolorRange=1\ncolorRange=0,inf\nroundPoints=yes\noverlay=1\n", 9, unchanged},
        {"colour with blanks", "gridColor=0, 0.5 ,1,1\n", 0,
         [](Settings& s) { s.gridColor[0] = 0.0f, s.gridColor[1] = 0.5f, s.gridColor[2] = 1.0f; }},
        {"colour mode, range with blanks, switch", "pointColorMode=range\ncolorRange= -1 , 4\nroundPoints=true\n", 0,
         [](Settings& s) { s.pointColorMode = 3, s.colorRangeLow = -1.0f, s.colorRangeHigh = 4.0f, s.roundPoints = true; }},
        {"empty port, port with a control byte, relative folder, share addresses without a port or brackets",
         std::string("port=\nport=/dev/tty\x01S0\nchooserFolder=recordings\nshareAddress=127.0.0.1\n"
                     "shareAddress=::1:80\nshareAddress=host:65536\n"), 6, unchanged},
        {"sensor keys out of range, unknown or too long",
         "sensor1.port=/dev/a\nsensor9.port=/dev/b\nsensors=1\nsensors=9\nsensor2.colour=red\nsensor2x.port=/dev/c\n"
         "name=" + std::string(sensorNameCapacity, 'n') + "\n", 7, unchanged},
        {"a numbered sensor alone brings those before it", "sensor3.baudRate=57600\n", 0,
         [](Settings& s) { s.sensors.resize(3), s.sensors[2].baudRate = 57600; }},
        {"good lines among bad ones, comments and blank lines",
         "# a comment\n\npointSize=7\nnonsense\ngridSpacing=30", 1,
         [](Settings& s) { s.pointSize = 7.0f, s.gridSpacing = 30; }},
    };
    for (const BadContent& row : table) {
        const SettingsReading reading = parseSettings(row.text, defaults());
        Settings expected = defaults();
        row.expect(expected);
        EXPECT_EQ(reading.settings, expected) << row.name;
        EXPECT_EQ(reading.badLines, row.badLines) << row.name;
        for (unsigned char c : reading.problem) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << row.name << ": unprintable in the warning";
    }
    EXPECT_EQ(parseSettings("a\npointSize=-1\n", defaults()).problem, "line 1 \"a\"");
}

// Several sensors: the first keeps the one-sensor keys, the others follow numbered, and a sensor
// added with nothing chosen yet is still counted.
TEST(SettingsFile, SeveralSensorsRoundTripAfterTheFirstSensorsKeys) {
    Settings s = changed();
    s.sensors[0].name = "Front";
    s.sensors.push_back(ConnectionChoice{"/dev/ttyUSB1", 1500000, "Left rear", std::array<float, 6>{0.25f, -0.5f, 1, 0, 15, -90},
                                         std::array<float, 4>{0, 0.5f, 1, 1}});
    s.sensors.push_back(ConnectionChoice{});
    const std::string text = formatSettings(s);
    EXPECT_NE(text.find("\nport=/dev/ttyUSB0\nbaudRate=921600\nname=Front\nsensors=3\nsensor2.port=/dev/ttyUSB1\n"
                        "sensor2.baudRate=1500000\nsensor2.name=Left rear\nsensor2.pose=0.25,-0.5,1,0,15,-90\n"
                        "sensor2.colour=0,0.5,1,1\nbackgroundColor="),
              std::string::npos)
        << text;
    const SettingsReading reading = parseSettings(text, defaults());
    EXPECT_EQ(reading.badLines, 0);
    EXPECT_EQ(reading.settings, s);
}

TEST(SettingsFile, FolderFollowsXdgConfigHomeThenHome) {
    ::setenv("XDG_CONFIG_HOME", "/x/config", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(settingsFolder(), "/x/config/quarvis");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
    EXPECT_EQ(settingsFolder(), "/home/someone/.config/quarvis");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    EXPECT_EQ(settingsFolder(), "");
}

// Changes are written once they have rested, and the file is rewritten at exit only when it does not
// hold the settings already.
TEST(SettingsFile, SavedAfterChangesRestAndAtExitOnlyWhenNotCurrent) {
    SettingsKeeper keeper;
    const ScratchFolder scratch;
    keeper.folder = scratch.path.string();
    keeper.saved = keeper.pending = defaults();
    keeper.fileCurrent = true;
    const std::string path = keeper.folder + "/" + settingsFileName;
    keepSettings(keeper, defaults(), 10.0);
    keepSettings(keeper, changed(), 10.5);
    keepSettings(keeper, changed(), 10.5 + settingsSaveDelaySeconds * 0.9);
    EXPECT_EQ(readWholeFile(path), "") << "saved before the changes rested";
    keepSettings(keeper, changed(), 10.5 + settingsSaveDelaySeconds);
    EXPECT_EQ(readWholeFile(path), formatSettings(changed()));

    std::ofstream(path) << "touched by hand\n";
    flushSettings(keeper, changed());
    EXPECT_EQ(readWholeFile(path), "touched by hand\n") << "rewritten though nothing changed";
    keeper.fileCurrent = false;  // as after a corrupt file was read
    flushSettings(keeper, changed());
    EXPECT_EQ(readWholeFile(path), formatSettings(changed()));
}

}  // namespace
