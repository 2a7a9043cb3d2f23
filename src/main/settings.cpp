// Settings that stay between runs: the table of keys, reading and writing the key=value file, and
// saving after changes. Called by the frame loop on the GUI thread.
//
// Index: The keys | Folder and file helpers | Reading and writing the text | The running viewer's
//        settings | The folder and the file | Saving as they change.
#include "main/settings.h"

#include "app/app.h"
#include "bridge/live_share.h"
#include "link/link.h"
#include "view/view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

const char* const settingsFileName = "settings.conf";
const char* const imguiIniFileName = "imgui.ini";
const char* const damagedSettingsFileName = "settings.bad";

namespace {

constexpr const char* settingsHeader = "# Quarvis settings: written by the viewer, one key=value a line\n";
constexpr const char* folderName = "quarvis";
constexpr size_t largestSettingsFile = 64 * 1024;  // anything longer is no file of ours
constexpr size_t problemExcerpt = 40;               // characters of a bad line quoted in the warning
constexpr mode_t folderMode = 0700;
constexpr mode_t fileMode = 0644;
// A remembered window must be usable: at least this big, on X11's 16-bit coordinates.
constexpr int32_t smallestWindowWidth = 320, smallestWindowHeight = 240;
constexpr int32_t largestCoordinate = 32767;
constexpr int colourComponents = 4;

// ---- The keys ------------------------------------------------------------------------------------

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

bool readInt(const std::string& value, int32_t& out) {
    const char* end = value.data() + value.size();
    const auto [stop, status] = std::from_chars(value.data(), end, out);
    return status == std::errc() && stop == end && !value.empty();
}

bool readFloat(const std::string& value, float& out) {
    const char* end = value.data() + value.size();
    const auto [stop, status] = std::from_chars(value.data(), end, out);
    return status == std::errc() && stop == end && !value.empty() && std::isfinite(out);
}

// Four components 0..1 separated by commas.
bool readColour(const std::string& value, float* out) {
    float colour[colourComponents];
    size_t start = 0;
    for (int i = 0; i < colourComponents; ++i) {
        const size_t comma = i + 1 < colourComponents ? value.find(',', start) : value.size();
        if (comma == std::string::npos) return false;
        if (!readFloat(trim(value.substr(start, comma - start)), colour[i])) return false;
        if (colour[i] < 0.0f || colour[i] > 1.0f) return false;
        start = comma + 1;
    }
    std::memcpy(out, colour, sizeof colour);
    return true;
}

// Names and folders: printable text only (no control characters, which a broken file is full of).
bool plainText(const std::string& value) {
    if (value.empty()) return false;
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

std::string floatText(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string colourText(const float* colour) {
    std::string text;
    for (int i = 0; i < colourComponents; ++i) {
        if (i > 0) text += ',';
        text += floatText(colour[i]);
    }
    return text;
}

// "true" or "false".
bool readSwitch(const std::string& value, bool& out) {
    if (value != "true" && value != "false") return false;
    out = value == "true";
    return true;
}

std::string switchText(bool value) { return value ? "true" : "false"; }

// The colour modes by name, in PointColorMode order.
const char* const colorModeNames[pointColorModeCount] = {"white", "single", "height", "range", "sensor"};

bool readColorMode(const std::string& value, int32_t& out) {
    for (int32_t mode = 0; mode < pointColorModeCount; ++mode) {
        if (value != colorModeNames[mode]) continue;
        out = mode;
        return true;
    }
    return false;
}

// "low,high" in metres.
bool readColorRange(const std::string& value, float& low, float& high) {
    const size_t comma = value.find(',');
    float first = 0.0f, second = 0.0f;
    if (comma == std::string::npos || !readFloat(trim(value.substr(0, comma)), first) ||
        !readFloat(trim(value.substr(comma + 1)), second) || !acceptableColorRange(first, second))
        return false;
    low = first;
    high = second;
    return true;
}

bool readWindowCoordinate(const std::string& value, int32_t& out) {
    int32_t number = 0;
    if (!readInt(value, number) || number < -largestCoordinate || number > largestCoordinate) return false;
    out = number;
    return true;
}

bool readWindowExtent(const std::string& value, int32_t smallest, int32_t& out) {
    int32_t number = 0;
    if (!readInt(value, number) || number < smallest || number > largestCoordinate) return false;
    out = number;
    return true;
}

// The window's fields, written once a window was seen.
std::string windowText(const Settings& settings, int32_t value) {
    return settings.windowWidth != 0 ? std::to_string(value) : std::string();
}

// One remembered setting: its key, how a value is read into the settings (false: refused, the
// setting left as it was) and how it is written (empty: nothing to remember, the line is left out).
struct SettingKey {
    const char* key;
    bool (*read)(const std::string& value, Settings& into);
    std::string (*write)(const Settings& from);
};

// A sensor's keys: bare for the first sensor ("port"), numbered for the others ("sensor2.port").
struct SensorKey {
    const char* key;
    bool (*read)(const std::string& value, ConnectionChoice& into);
    std::string (*write)(const ConnectionChoice& from);
};

const SensorKey sensorKeys[] = {
    {"port",
     [](const std::string& v, ConnectionChoice& c) {
         if (!plainText(v)) return false;
         c.port = v;
         return true;
     },
     [](const ConnectionChoice& c) { return c.port; }},
    {"baudRate",
     [](const std::string& v, ConnectionChoice& c) {
         int32_t rate = 0;
         if (!readInt(v, rate) || !offeredBaudRate(rate)) return false;
         c.baudRate = rate;
         return true;
     },
     [](const ConnectionChoice& c) { return c.baudRate != 0 ? std::to_string(c.baudRate) : std::string(); }},
    {"name",
     [](const std::string& v, ConnectionChoice& c) {
         if (!plainText(v) || v.size() >= static_cast<size_t>(sensorNameCapacity)) return false;
         c.name = v;
         return true;
     },
     [](const ConnectionChoice& c) { return c.name; }},
    {"pose",
     [](const std::string& v, ConnectionChoice& c) {
         std::array<float, 6> pose{};
         size_t start = 0;
         for (size_t i = 0; i < pose.size(); ++i) {
             const size_t comma = i + 1 < pose.size() ? v.find(',', start) : v.size();
             if (comma == std::string::npos || !readFloat(trim(v.substr(start, comma - start)), pose[i])) return false;
             start = comma + 1;
         }
         c.pose = pose;
         return true;
     },
     [](const ConnectionChoice& c) {
         std::string text;
         if (c.pose)
             for (size_t i = 0; i < c.pose->size(); ++i) text += (i > 0 ? "," : "") + floatText((*c.pose)[i]);
         return text;
     }},
    {"colour",
     [](const std::string& v, ConnectionChoice& c) {
         std::array<float, 4> colour{};
         if (!readColour(v, colour.data())) return false;
         c.colour = colour;
         return true;
     },
     [](const ConnectionChoice& c) { return c.colour ? colourText(c.colour->data()) : std::string(); }},
};
constexpr const char* sensorCountKey = "sensors";     // written only with more than one sensor
constexpr const char* sensorKeyPrefix = "sensor";     // "sensor2." ... "sensor8."

// Reads one sensor key (bare, numbered, or the count), growing the list to the sensor it names.
// False when the key is none of them or the value is refused.
bool readSensorKey(const std::string& key, const std::string& value, Settings& into) {
    std::vector<ConnectionChoice>& sensors = into.sensors;
    if (key == sensorCountKey) {
        int32_t count = 0;
        if (!readInt(value, count) || count < 2 || count > maxLinks) return false;
        if (sensors.size() < static_cast<size_t>(count)) sensors.resize(static_cast<size_t>(count));
        return true;
    }
    size_t sensor = 0;
    std::string field = key;
    const size_t prefix = std::strlen(sensorKeyPrefix);
    if (key.size() > prefix + 2 && key.compare(0, prefix, sensorKeyPrefix) == 0 && key[prefix + 1] == '.') {
        const int number = key[prefix] - '0';
        if (number < 2 || number > maxLinks) return false;
        sensor = static_cast<size_t>(number - 1);
        field = key.substr(prefix + 2);
    }
    for (const SensorKey& entry : sensorKeys) {
        if (field != entry.key) continue;
        ConnectionChoice choice = sensor < sensors.size() ? sensors[sensor] : ConnectionChoice{};
        if (!entry.read(value, choice)) return false;
        if (sensors.size() <= sensor) sensors.resize(sensor + 1);
        sensors[sensor] = choice;
        return true;
    }
    return false;
}

void writeSensorKeys(const Settings& settings, std::string& text) {
    for (size_t sensor = 0; sensor < settings.sensors.size(); ++sensor) {
        if (sensor == 1) text += std::string(sensorCountKey) + "=" + std::to_string(settings.sensors.size()) + "\n";
        const std::string prefix = sensor == 0 ? std::string() : sensorKeyPrefix + std::to_string(sensor + 1) + ".";
        for (const SensorKey& key : sensorKeys) {
            const std::string value = key.write(settings.sensors[sensor]);
            if (!value.empty()) text += prefix + key.key + "=" + value + "\n";
        }
    }
}

// The keys in the order they are written, after the sensors'.
const SettingKey settingKeys[] = {
    // ---- View settings.
    {"backgroundColor", [](const std::string& v, Settings& s) { return readColour(v, s.backgroundColor); },
     [](const Settings& s) { return colourText(s.backgroundColor); }},
    {"gridColor", [](const std::string& v, Settings& s) { return readColour(v, s.gridColor); },
     [](const Settings& s) { return colourText(s.gridColor); }},
    {"pointSize",
     [](const std::string& v, Settings& s) {
         float size = 0.0f;
         if (!readFloat(v, size) || !acceptablePointSize(size)) return false;
         s.pointSize = size;
         return true;
     },
     [](const Settings& s) { return floatText(s.pointSize); }},
    {"gridSpacing",
     [](const std::string& v, Settings& s) {
         int32_t spacing = 0;
         if (!readInt(v, spacing) || !acceptableGridSpacing(spacing)) return false;
         s.gridSpacing = spacing;
         return true;
     },
     [](const Settings& s) { return std::to_string(s.gridSpacing); }},
    {"pointColorMode", [](const std::string& v, Settings& s) { return readColorMode(v, s.pointColorMode); },
     [](const Settings& s) { return std::string(colorModeNames[s.pointColorMode]); }},
    {"pointColor", [](const std::string& v, Settings& s) { return readColour(v, s.pointColor); },
     [](const Settings& s) { return colourText(s.pointColor); }},
    {"colorRangeAuto", [](const std::string& v, Settings& s) { return readSwitch(v, s.colorRangeAuto); },
     [](const Settings& s) { return switchText(s.colorRangeAuto); }},
    {"colorRange", [](const std::string& v, Settings& s) { return readColorRange(v, s.colorRangeLow, s.colorRangeHigh); },
     [](const Settings& s) { return floatText(s.colorRangeLow) + "," + floatText(s.colorRangeHigh); }},
    {"roundPoints", [](const std::string& v, Settings& s) { return readSwitch(v, s.roundPoints); },
     [](const Settings& s) { return switchText(s.roundPoints); }},
    // ---- The rest.
    {"overlay", [](const std::string& v, Settings& s) { return readSwitch(v, s.overlayShown); },
     [](const Settings& s) { return switchText(s.overlayShown); }},
    {"chooserFolder",
     [](const std::string& v, Settings& s) {
         if (!plainText(v) || v[0] != '/') return false;
         s.chooserFolder = v;
         return true;
     },
     [](const Settings& s) { return s.chooserFolder; }},
    {"shareAddress",
     [](const std::string& v, Settings& s) {
         std::string host;
         uint16_t port = 0;
         if (!parseShareAddress(v, host, port)) return false;
         s.shareAddress = v;
         return true;
     },
     [](const Settings& s) { return s.shareAddress; }},
    {"windowX", [](const std::string& v, Settings& s) { return readWindowCoordinate(v, s.windowX); },
     [](const Settings& s) { return windowText(s, s.windowX); }},
    {"windowY", [](const std::string& v, Settings& s) { return readWindowCoordinate(v, s.windowY); },
     [](const Settings& s) { return windowText(s, s.windowY); }},
    {"windowWidth",
     [](const std::string& v, Settings& s) { return readWindowExtent(v, smallestWindowWidth, s.windowWidth); },
     [](const Settings& s) { return windowText(s, s.windowWidth); }},
    {"windowHeight",
     [](const std::string& v, Settings& s) { return readWindowExtent(v, smallestWindowHeight, s.windowHeight); },
     [](const Settings& s) { return windowText(s, s.windowHeight); }},
};

const SettingKey* findKey(const std::string& key) {
    for (const SettingKey& entry : settingKeys)
        if (key == entry.key) return &entry;
    return nullptr;
}

// A bad line as the warning quotes it: printable, and short.
std::string excerpt(const std::string& line) {
    std::string shown;
    for (unsigned char c : line.substr(0, problemExcerpt)) shown += c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
    if (line.size() > problemExcerpt) shown += "...";
    return shown;
}

// ---- Folder and file helpers ---------------------------------------------------------------------

std::string settingsPath(const std::string& folder) { return folder + "/" + settingsFileName; }

// Every missing folder on the way, like mkdir -p.
bool makeFolders(const std::string& folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), folderMode) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) return false;
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

// The whole file, or false with `problem` saying why and errno set (ENOENT for a missing file, EFBIG
// for a file too long to be ours). A FIFO or a device is refused without waiting on it.
bool readWhole(const std::string& path, std::string& text, std::string& problem) {
    const int file = openRegularFile(path, O_RDONLY, problem);
    if (file < 0) return false;
    char buffer[4096];
    bool good = true;
    while (good) {
        const ssize_t got = ::read(file, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) good = false;
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > largestSettingsFile) {
            errno = EFBIG;
            good = false;
        }
    }
    const int saved = errno;
    if (!good) problem = systemReason(saved);
    ::close(file);
    errno = saved;
    return good;
}

// A damaged file is kept beside the settings before the defaults are saved over it, so that a hand
// edit with one slip loses nothing. The name it went to, or the reason it could not be kept.
bool keepDamagedFile(const std::string& folder, const std::string& text, std::string& outcome) {
    const std::string path = folder + "/" + damagedSettingsFileName;
    const int file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, outcome);
    bool good = file >= 0 && writeWhole(file, text.data(), text.size());
    if (file >= 0 && !good) outcome = systemReason(errno);
    if (file >= 0 && ::close(file) != 0 && good) {
        outcome = systemReason(errno);
        good = false;
    }
    if (good) outcome = path;
    return good;
}

}  // namespace

// ---- Reading and writing the text ----------------------------------------------------------------

SettingsReading parseSettings(const std::string& text, const Settings& defaults) {
    SettingsReading reading{defaults, 0, std::string()};
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::string content = trim(line);
        if (content.empty() || content[0] == '#') continue;
        const size_t equals = content.find('=');
        const std::string name = equals == std::string::npos ? std::string() : trim(content.substr(0, equals));
        const std::string value = equals == std::string::npos ? std::string() : trim(content.substr(equals + 1));
        const SettingKey* key = findKey(name);
        if (key != nullptr ? key->read(value, reading.settings) : readSensorKey(name, value, reading.settings)) continue;
        if (reading.badLines++ == 0) reading.problem = "line " + std::to_string(number) + " \"" + excerpt(line) + "\"";
    }
    return reading;
}

std::string formatSettings(const Settings& settings) {
    std::string text = settingsHeader;
    writeSensorKeys(settings, text);
    for (const SettingKey& key : settingKeys) {
        const std::string value = key.write(settings);
        if (value.empty()) continue;
        text += key.key;
        text += '=';
        text += value;
        text += '\n';
    }
    return text;
}

// ---- The running viewer's settings ---------------------------------------------------------------

Settings currentSettings() {
    Settings settings;
    settings.sensors = connectionChoices();
    std::memcpy(settings.backgroundColor, backgroundColor, sizeof settings.backgroundColor);
    std::memcpy(settings.gridColor, gridColor, sizeof settings.gridColor);
    settings.pointSize = pointSize;
    settings.gridSpacing = gridSpacing;
    settings.pointColorMode = pointColorMode;
    std::memcpy(settings.pointColor, pointColor, sizeof settings.pointColor);
    settings.colorRangeAuto = colorRangeAuto;
    settings.colorRangeLow = colorRangeLow;
    settings.colorRangeHigh = colorRangeHigh;
    settings.roundPoints = roundPoints;
    settings.overlayShown = overlayShown;
    settings.chooserFolder = chooserFolder;
    settings.shareAddress = shareLiveAddress();
    return settings;
}

void applySettings(const Settings& settings) {
    preselectConnections(settings.sensors);
    std::memcpy(backgroundColor, settings.backgroundColor, sizeof backgroundColor);
    std::memcpy(gridColor, settings.gridColor, sizeof gridColor);
    pointSize = settings.pointSize;
    gridSpacing = settings.gridSpacing;
    pointColorMode = settings.pointColorMode;
    std::memcpy(pointColor, settings.pointColor, sizeof pointColor);
    colorRangeAuto = settings.colorRangeAuto;
    colorRangeLow = settings.colorRangeLow;
    colorRangeHigh = settings.colorRangeHigh;
    roundPoints = settings.roundPoints;
    overlayShown = settings.overlayShown;
    chooserFolder = settings.chooserFolder;
    setShareLiveAddress(settings.shareAddress);
}

// ---- The folder and the file ---------------------------------------------------------------------

std::string settingsFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/" + folderName;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/" + folderName;
    return std::string();
}

std::string imguiIniPath(const std::string& folder) {
    if (folder.empty()) return {};
    const std::string path = folder + "/" + imguiIniFileName;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode)) return path;
    std::fprintf(stderr, "Quarvis: %s is not a regular file; the panels' places are not kept\n", path.c_str());
    return {};
}

Settings loadSettings(const std::string& folder, const Settings& defaults, std::string& warning, bool* keepable) {
    warning.clear();
    if (keepable != nullptr) *keepable = !folder.empty();
    if (folder.empty()) {
        warning = "Quarvis: neither XDG_CONFIG_HOME nor HOME names a folder; settings start from the defaults "
                  "and are not kept";
        return defaults;
    }
    const std::string path = settingsPath(folder);
    std::string text, problem;
    if (!readWhole(path, text, problem)) {
        if (errno == ENOENT) {
            warning = "Quarvis: no settings in " + path + " yet; starting from the defaults";
        } else if (errno == ENOTDIR) {
            // Part of the folder's path is a file: no settings can be read or written there.
            warning = "Quarvis: cannot keep settings in " + folder + " (" + problem +
                      "); settings start from the defaults and are not kept";
            if (keepable != nullptr) *keepable = false;
        } else {
            warning = "Quarvis: cannot read the settings in " + path + " (" + problem + "); starting from the defaults";
        }
        return defaults;
    }
    const SettingsReading reading = parseSettings(text, defaults);
    if (reading.badLines > 0) {
        std::string kept;
        const bool keptAside = keepDamagedFile(folder, text, kept);
        warning = "Quarvis: " + std::to_string(reading.badLines) + (reading.badLines == 1 ? " line" : " lines") +
                  " of " + path + " not understood (first: " + reading.problem +
                  "); those settings start from the defaults; " +
                  (keptAside ? "the file as it was is kept in " + kept : "the file as it was cannot be kept (" + kept + ")");
    }
    return reading.settings;
}

bool saveSettings(const std::string& folder, const Settings& settings, std::string& error) {
    const std::string path = settingsPath(folder);
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    const std::string text = formatSettings(settings);
    const char* failedStep = "create the folder";
    bool good = makeFolders(folder);
    if (good) {
        failedStep = "write";
        std::string problem;
        const int file = openRegularFile(temporary, O_WRONLY | O_CREAT | O_TRUNC, problem);
        good = file >= 0 && ::fchmod(file, fileMode) == 0 && writeWhole(file, text.data(), text.size()) &&
               ::fsync(file) == 0;
        if (file >= 0) {
            const int saved = errno;
            if (::close(file) != 0) good = false;
            else errno = saved;
        }
    }
    if (good) {
        failedStep = "replace";
        good = ::rename(temporary.c_str(), path.c_str()) == 0;
    }
    if (good) return true;
    error = std::string("cannot ") + failedStep + " " + path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
}

// ---- Saving as they change -----------------------------------------------------------------------

namespace {

void savePending(SettingsKeeper& keeper, double now) {
    std::string error;
    if (saveSettings(keeper.folder, keeper.pending, error)) {
        keeper.saved = keeper.pending;
        keeper.fileCurrent = true;
        keeper.failureShown = false;
        return;
    }
    if (!keeper.failureShown) std::fprintf(stderr, "Quarvis: settings not saved: %s\n", error.c_str());
    keeper.failureShown = true;
    keeper.changedAt = now;  // tried again after the same rest, not every turn
}

}  // namespace

void keepSettings(SettingsKeeper& keeper, const Settings& settings, double now) {
    if (keeper.folder.empty()) return;
    if (!(settings == keeper.pending)) {
        keeper.pending = settings;
        keeper.changedAt = now;
    }
    if (keeper.fileCurrent && keeper.pending == keeper.saved) return;
    if (now - keeper.changedAt >= settingsSaveDelaySeconds) savePending(keeper, now);
}

double settingsSaveDueAt(const SettingsKeeper& keeper) {
    if (keeper.folder.empty() || (keeper.fileCurrent && keeper.pending == keeper.saved))
        return std::numeric_limits<double>::infinity();
    return keeper.changedAt + settingsSaveDelaySeconds;
}

void flushSettings(SettingsKeeper& keeper, const Settings& settings) {
    if (keeper.folder.empty()) return;
    keeper.pending = settings;
    if (!keeper.fileCurrent || !(keeper.pending == keeper.saved)) savePending(keeper, keeper.changedAt);
}
