// FileChooser: the one modal file dialog, which picks a recording to open or names a file to save,
// with its directory listing. Used by the record and replay panel. GUI thread only.
#pragma once

#include <imgui.h>

#include <string>

struct FileChooser {
    bool accepted = false;  // true after OK, false after Cancel

    // Arms the dialog (nothing when already armed). selectionLimit: 0 = unlimited.
    void Open(const std::string& key, const char* title, const char* typeFilter,
              const std::string& startPathName, int& selectionLimit, void* userData);
    // Draws one frame when armed with this key; true in the frame in which OK (with a file name) or
    // Cancel was pressed.
    bool Show(const std::string& key, ImGuiWindowFlags flags);
    void Close(const std::string& key);
    std::string SelectedPathName() const;
    void SetTypeColour(const std::string& extension, const ImVec4& colour);
    bool GetTypeColour(const std::string& extension, ImVec4* colour) const;
};

// The single instance, created on first use.
FileChooser& fileChooser();
