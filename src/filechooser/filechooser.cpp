// The file chooser dialog (placeholder until the dialog is built).
#include "filechooser/filechooser.h"

FileChooser& fileChooser() {
    static FileChooser instance;
    return instance;
}

void FileChooser::Open(const std::string&, const char*, const char*, const std::string&, int&, void*) {}
bool FileChooser::Show(const std::string&, ImGuiWindowFlags) { return false; }
void FileChooser::Close(const std::string&) {}
std::string FileChooser::SelectedPathName() const { return {}; }
void FileChooser::SetTypeColour(const std::string&, const ImVec4&) {}
bool FileChooser::GetTypeColour(const std::string&, ImVec4*) const { return false; }
