// FileChooser: the one modal file dialog, which picks a recording to open or names a file to save,
// with its directory listing. Used by the record and replay panel. GUI thread only.
#pragma once

#include <imgui.h>

#include <string>

struct FileChooser;

// The single instance, created on first use.
FileChooser& fileChooser();

// Arms the dialog (nothing when already armed). selectionLimit: 0 = unlimited.
void fileChooserOpen(const std::string& key, const char* title, const char* typeFilter,
                     const std::string& startPathName, int selectionLimit, void* userData = nullptr);
// Draws one frame when armed with this key; true in the frame in which OK (with a file name) or
// Cancel was pressed.
bool fileChooserShow(const std::string& key, ImGuiWindowFlags flags);
void fileChooserClose(const std::string& key);
bool fileChooserAccepted();          // true after OK, false after Cancel
std::string fileChooserSelectedPathName();
void fileChooserSetTypeColour(const std::string& extension, const ImVec4& colour);
bool fileChooserGetTypeColour(const std::string& extension, ImVec4* colour);
