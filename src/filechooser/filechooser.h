// FileChooser: the modal file dialog, which picks a file to open or names a file to save, with its
// directory listing. The record and replay panel keeps one per kind of file. GUI thread only.
#pragma once

#include <imgui.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

// One row of the listing.
struct FileEntry {
    char type = ' ';        // 'd' directory, 'f' file, 'l' type undetermined (a broken link), ' ' other
    std::string name;       // as listed, without directory
    std::string extension;  // files only: from the last '.' on, dot included (".csv"); else empty
};

struct FileChooser {
    static constexpr size_t fieldSize = 1024;  // each text field, terminating NUL included

    std::vector<FileEntry> listing;             // rows in display order
    std::map<std::string, ImVec4> typeColours;  // text colour per extension
    std::set<std::string> selection;            // selected file names
    std::string selectedType;                   // extension files must have to be listed; ".*" lets all through
    std::string currentDirectory;               // absolute, no trailing '/' ("/" at the root); empty in drive mode
    std::vector<std::string> pathButtons;       // "/" then the folders of the current directory
    std::string shownName;                      // window name of the last shown frame: title + "##" + key
    bool armed = false;                         // Open was called and Close not yet
    bool driveMode = false;                     // the listing shows the mount points
    std::string lastSelectedName;               // anchor of Shift range selection
    bool accepted = false;                      // true after OK, false after Cancel
    bool createDirectoryMode = false;           // the new-directory row is shown
    std::string key;
    std::string title;
    std::string typeFilter;                     // the caller's filter, shown by the type combo
    std::string offeredType;                    // the type combo's one entry: the filter given to Open
    std::string startDirectory;                 // directory part of the start path-name
    std::string defaultFileName;                // put into the file name field on the first scan
    std::string defaultExtension;               // "." + extension of the start path-name
    std::string searchText;                     // names must contain it to be listed
    void* userData = nullptr;                   // kept for the caller
    size_t selectionLimit = 1;                  // 0 = unlimited

    // The three text fields. They keep their text between openings.
    char fileNameField[fieldSize] = {};
    char newDirectoryField[fieldSize] = {};
    char searchField[fieldSize] = {};

    // Arms the dialog (nothing when already armed). selectionLimit: 0 = unlimited.
    void Open(const std::string& key, const char* title, const char* typeFilter,
              const std::string& startPathName, int& selectionLimit, void* userData);
    // Draws one frame when armed with this key; true in the frame in which OK (with a file name) or
    // Cancel was pressed.
    bool Show(const std::string& key, ImGuiWindowFlags flags);
    void Close(const std::string& key);
    // Current directory + "/" + the file name field's name, its extension replaced by the selected type.
    std::string SelectedPathName() const;
    void SetTypeColour(const std::string& extension, const ImVec4& colour);
    bool GetTypeColour(const std::string& extension, ImVec4* colour) const;
};

// ---- Widgets the panels share with the chooser (widgets.cpp) --------------------------------------
// Reports the rectangle of the item just submitted to the test-only probe (app.h) under `label`.
void probeLastItem(const char* label);
// A button that reports itself to the probe as `probe` (as its label when null).
bool probedButton(const char* label, ImVec2 size = ImVec2(0, 0), const char* probe = nullptr);
// A control that cannot be used now stays visible at half opacity and ignores input. Both do
// nothing when `disabled` is false, so a caller passes the same condition to both.
void beginDisabledLook(bool disabled = true);
void endDisabledLook(bool disabled = true);

// ---- Path names (path_names.cpp) ----------------------------------------------------------------
struct ParsedPathName {
    std::string directory;  // before the last '/' ("/" for a name at the root); empty without '/'
    std::string name;       // after the last '/'
    std::string extension;  // after the name's last '.', without the dot
};

// Splits a start path-name. Fails for an empty text and for a bare word with neither '/' nor '.'.
bool parsePathName(const std::string& pathName, ParsedPathName& parsed);
std::string joinPath(const std::string& directory, const std::string& name);
// The name after the last '/' (the whole text without one).
std::string baseName(const std::string& path);
// The name typed into the file name field, without any directory part: a typed "../x" or "a/b"
// must not lead out of the directory the user is looking at.
std::string typedFileName(const char* field);
// The path buttons of an absolute directory: "/" and then its folders, empty pieces dropped.
std::vector<std::string> splitPath(const std::string& absolute);
// The directory that path buttons 0..index stand for ("/" for index 0).
std::string composePath(const std::vector<std::string>& buttons, size_t index);
