// Settings that stay between runs: a key=value text file in $XDG_CONFIG_HOME/quarvis/ (by default
// ~/.config/quarvis/), read before the window opens and written when they change and at exit. Used
// by the frame loop on the GUI thread; the reading and writing functions serve tests as well.
#pragma once

#include "ui/ui.h"

#include <cstdint>
#include <string>
#include <vector>

// Everything remembered. A value the file does not give (or gives wrongly) keeps what the viewer
// starts with; the window's fields are 0 until a window was seen.
struct Settings {
    // Every sensor's choices in link order; the first sensor's keep the keys of a one-sensor file.
    std::vector<ConnectionChoice> sensors = std::vector<ConnectionChoice>(1);
    float backgroundColor[4] = {};
    float gridColor[4] = {};
    float pointSize = 0.0f;
    int32_t gridSpacing = 0;
    int32_t pointColorMode = 0;
    float pointColor[4] = {};
    bool colorRangeAuto = false;
    float colorRangeLow = 0.0f, colorRangeHigh = 0.0f;
    bool roundPoints = false;
    bool overlayShown = false;
    std::string chooserFolder;
    int32_t windowX = 0, windowY = 0, windowWidth = 0, windowHeight = 0;
    bool operator==(const Settings&) const = default;
};

// The settings the running viewer holds now (the window's fields excepted), and the way back.
Settings currentSettings();
void applySettings(const Settings& settings);

// ---- The file ------------------------------------------------------------------------------------
extern const char* const settingsFileName;  // "settings.conf"
extern const char* const imguiIniFileName;  // "imgui.ini"
extern const char* const damagedSettingsFileName;  // "settings.bad": a damaged file as it was, beside it

// folder/imgui.ini, which ImGui opens itself (and would wait on, were it a FIFO): empty, after one
// line on standard error, when that name is taken by anything but a regular file, or no folder.
std::string imguiIniPath(const std::string& folder);
// $XDG_CONFIG_HOME/quarvis when XDG_CONFIG_HOME is an absolute path, else $HOME/.config/quarvis;
// empty when neither tells where.
std::string settingsFolder();

// One file's text read over `defaults`: blank lines and lines starting with '#' are skipped; a line
// that is not key=value, names no setting or holds a value out of range leaves that setting at its
// default. `problem` then describes the first such line, `badLines` counts them.
struct SettingsReading {
    Settings settings;
    int badLines = 0;
    std::string problem;
};
SettingsReading parseSettings(const std::string& text, const Settings& defaults);
std::string formatSettings(const Settings& settings);

// Reads folder/settings.conf over `defaults`. `warning` is empty when the file was read whole, else
// the one line to show: no file yet, unreadable, or lines not understood.
// `keepable` (when given) turns false when no settings can be kept in `folder` (a part of its path is a
// file): the warning says so, and nothing should try to save there. A file with lines not understood
// is copied to damagedSettingsFileName beside it first, and the warning names the copy.
Settings loadSettings(const std::string& folder, const Settings& defaults, std::string& warning,
                      bool* keepable = nullptr);
// Creates the folder when missing and replaces the file atomically (a temporary file renamed over
// it), so a crash leaves the old file or the new one. False with `error` set on failure.
bool saveSettings(const std::string& folder, const Settings& settings, std::string& error);

// ---- Saving as they change ---------------------------------------------------------------------
// Waits this long after the latest change before writing, so a dragged colour writes once.
constexpr double settingsSaveDelaySeconds = 1.0;

// Saves the settings of the running viewer: GUI thread only.
struct SettingsKeeper {
    std::string folder;          // empty: nothing is saved
    Settings saved;              // what the file holds when fileCurrent
    bool fileCurrent = false;    // false until the file was read whole or written
    Settings pending;            // the latest seen
    double changedAt = 0.0;      // when `pending` last changed (seconds, the caller's clock)
    bool failureShown = false;   // a failed save is reported once, until one succeeds
};
// Once per loop turn with the settings as they stand: writes them once they have rested for
// settingsSaveDelaySeconds. A failed save prints one line on standard error.
void keepSettings(SettingsKeeper& keeper, const Settings& settings, double now);
// When keepSettings will next write (the caller's clock), or infinity when nothing waits to be written.
double settingsSaveDueAt(const SettingsKeeper& keeper);
// At exit: writes them now if the file does not hold them yet.
void flushSettings(SettingsKeeper& keeper, const Settings& settings);
