// The file chooser dialog (placeholder until the dialog is built).
#include "filechooser/filechooser.h"

bool fileChooserShow(const std::string&, ImGuiWindowFlags) { return false; }
void fileChooserOpen(const std::string&, const char*, const char*, const std::string&, int, void*) {}
void fileChooserClose(const std::string&) {}
bool fileChooserAccepted() { return false; }
std::string fileChooserSelectedPathName() { return {}; }
void fileChooserSetTypeColour(const std::string&, const ImVec4&) {}
bool fileChooserGetTypeColour(const std::string&, ImVec4*) { return false; }
