// The file chooser dialog: arming, one frame of drawing, the listing with its filters, selection
// and path-name rules. Called by the record and replay panel on the GUI thread.
//
// Index: Directory changes | Selection | Widgets whose labels are file names | The parts of a frame
//        | The operations.
#include "filechooser/filechooser.h"

#include "filechooser/directory_reader.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr char separator = '/';
constexpr const char* parentName = "..";
constexpr const char* currentName = ".";
constexpr const char* anyType = ".*";
constexpr const char* dirLabel = "[Dir]";
constexpr const char* linkLabel = "[Link]";
constexpr const char* fileLabel = "[File]";
constexpr float listingWidth = 650;
constexpr float listingHeight = 227;
constexpr float newDirectoryFieldWidth = 100;
constexpr float filterComboWidth = 100;
constexpr float filterComboRoom = 120;  // taken from the file name field when the combo is shown

// Copies text into a field, cut to what the field holds.
void setField(char (&field)[FileChooser::fieldSize], const std::string& text) {
    const size_t length = std::min(text.size(), FileChooser::fieldSize - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// ---- Directory changes ------------------------------------------------------------------------

// Makes path the current directory when it (or, failing that, the working directory) can be
// opened and its absolute path fits; the path buttons follow it.
void resolveDirectory(FileChooser& chooser, const std::string& path) {
    for (const std::string& candidate : {path, std::string(currentName)}) {
        std::string absolute;
        if (!canOpenDirectory(candidate) || !absolutePath(candidate, absolute)) continue;
        chooser.currentDirectory = absolute;
        chooser.pathButtons = splitPath(absolute);
        return;
    }
}

bool typeLessName(const FileEntry& a, const FileEntry& b) {
    if (a.type != b.type) return a.type < b.type;
    return a.name < b.name;  // byte order: capitals first, a prefix before its extensions
}

// Lists the current directory, resolving path first when no directory is resolved yet. A
// directory that cannot be read leaves the listing as it was.
void scanCurrentDirectory(FileChooser& chooser, const std::string& path) {
    if (chooser.pathButtons.empty()) resolveDirectory(chooser, path);
    if (chooser.pathButtons.empty()) return;
    std::vector<DirectoryEntry> entries;
    if (scanDirectory(chooser.currentDirectory, entries) < 0) return;
    chooser.listing.clear();
    for (DirectoryEntry& entry : entries) {
        FileEntry row{entry.type, std::move(entry.name), {}};
        if (row.type == 'f') {
            const size_t dot = row.name.rfind('.');
            if (dot != std::string::npos) row.extension = row.name.substr(dot);
        }
        chooser.listing.push_back(std::move(row));
    }
    std::sort(chooser.listing.begin(), chooser.listing.end(), typeLessName);
}

void setDirectory(FileChooser& chooser, const std::string& path) {
    chooser.driveMode = false;
    chooser.currentDirectory = path;
    chooser.listing.clear();
    chooser.pathButtons.clear();
    scanCurrentDirectory(chooser, chooser.currentDirectory);
}

// A click on a directory row. True when the current directory changed (the listing follows after
// the rows are drawn).
bool enterDirectory(FileChooser& chooser, const FileEntry& entry) {
    if (entry.name == parentName) {
        if (chooser.pathButtons.size() < 2) return false;
        chooser.currentDirectory = composePath(chooser.pathButtons, chooser.pathButtons.size() - 2);
        return true;
    }
    const std::string candidate = chooser.driveMode ? entry.name : joinPath(chooser.currentDirectory, entry.name);
    if (!canOpenDirectory(candidate)) return false;
    chooser.currentDirectory = candidate;
    return true;
}

void showDrives(FileChooser& chooser) {
    const std::vector<std::string> mountPoints = listMountPoints();
    if (mountPoints.empty()) return;
    chooser.currentDirectory.clear();
    chooser.pathButtons.clear();
    chooser.listing.clear();
    for (const std::string& mountPoint : mountPoints) chooser.listing.push_back(FileEntry{'d', mountPoint, {}});
    chooser.driveMode = true;
}

// Creates a directory below the current one. False among the mount points, for an empty name, a
// name holding '/' (it would reach elsewhere), an existing directory, and a creation the system
// refuses.
bool makeDirectory(const FileChooser& chooser, const std::string& name) {
    if (chooser.driveMode || name.empty() || name.find(separator) != std::string::npos) return false;
    const std::string path = joinPath(chooser.currentDirectory, name);
    if (canOpenDirectory(path)) return false;
    return createDirectory(path) == 0;
}

// ---- Selection --------------------------------------------------------------------------------

bool rowVisible(const FileChooser& chooser, const FileEntry& entry) {
    // Under a type only directories and regular files of that type are offered: a FIFO or a link to
    // a terminal named *.csv would block whoever opens it.
    const bool typed = !chooser.selectedType.empty() && chooser.selectedType != anyType;
    if (typed && entry.type != 'd' && (entry.type != 'f' || entry.extension != chooser.selectedType)) return false;
    return chooser.searchText.empty() || entry.name.find(chooser.searchText) != std::string::npos;
}

// The file name field shows the one selected name, or how many are selected.
void showSelectionInField(FileChooser& chooser) {
    if (chooser.selection.size() == 1) {
        setField(chooser.fileNameField, *chooser.selection.begin());
    } else if (chooser.selection.empty()) {
        chooser.fileNameField[0] = '\0';
    } else {
        std::snprintf(chooser.fileNameField, FileChooser::fieldSize, "%zu files Selected", chooser.selection.size());
    }
}

void addToSelection(FileChooser& chooser, const std::string& name, bool remember) {
    chooser.selection.insert(name);
    showSelectionInField(chooser);
    if (remember) chooser.lastSelectedName = name;
}

void removeFromSelection(FileChooser& chooser, const std::string& name) {
    chooser.selection.erase(name);
    showSelectionInField(chooser);
}

bool selectionFull(const FileChooser& chooser) {
    return chooser.selectionLimit != 0 && chooser.selection.size() >= chooser.selectionLimit;
}

bool anchorListed(const FileChooser& chooser) {
    for (const FileEntry& entry : chooser.listing)
        if (entry.type != 'd' && entry.name == chooser.lastSelectedName && rowVisible(chooser, entry)) return true;
    return false;
}

void pickOnly(FileChooser& chooser, const std::string& name) {
    chooser.selection.clear();
    chooser.fileNameField[0] = '\0';
    addToSelection(chooser, name, true);
}

// Shift-click: the visible files from the anchor to the clicked one (either way round), at most
// the selection limit of them. The anchor stays where it was.
void selectRange(FileChooser& chooser, const std::string& clicked) {
    chooser.selection.clear();
    bool inRange = false;
    std::string anchor = chooser.lastSelectedName;
    std::string target = clicked;
    std::string savedAnchor;
    const auto endWalk = [&] {
        if (!savedAnchor.empty()) chooser.lastSelectedName = savedAnchor;
    };
    for (const FileEntry& entry : chooser.listing) {
        if (entry.type == 'd' || !rowVisible(chooser, entry)) continue;
        if (entry.name == anchor) {
            inRange = true;
            addToSelection(chooser, entry.name, false);
        } else if (inRange) {
            if (selectionFull(chooser)) {
                endWalk();
                return;
            }
            addToSelection(chooser, entry.name, false);
        }
        if (entry.name == target) {
            if (inRange) {
                endWalk();
                return;
            }
            // The clicked file comes before the anchor: walk from it down to the anchor instead.
            savedAnchor = anchor;
            chooser.lastSelectedName = target;
            anchor = target;
            target = savedAnchor;
            inRange = true;
            addToSelection(chooser, entry.name, false);
        }
    }
    endWalk();
}

// A click on a row that is not a directory.
void pickFile(FileChooser& chooser, const std::string& name) {
    const ImGuiIO& io = ImGui::GetIO();
    if (io.KeyCtrl) {
        if (selectionFull(chooser)) return;  // with one file allowed and picked, Ctrl-clicks change nothing
        if (chooser.selection.count(name) == 0) addToSelection(chooser, name, true);
        else removeFromSelection(chooser, name);
    } else if (io.KeyShift) {
        if (chooser.selectionLimit == 1) return;
        // Without an anchor among the rows there is no range: the click picks just this file.
        if (anchorListed(chooser)) selectRange(chooser, name);
        else pickOnly(chooser, name);
    } else {
        pickOnly(chooser, name);
    }
}

// ---- Widgets whose labels are file names --------------------------------------------------------
// Names may hold any bytes, "##" and "###" among them, which ImGui would read as id markers: these
// widgets use the name only as an id seed and draw it as plain text. A control character (a newline
// would run into the next row) is drawn escaped, as C writes it; the name itself stays as it is.

std::string displayedName(const std::string& name) {
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') shown += "\\n";
        else if (c == '\r') shown += "\\r";
        else if (c == '\t') shown += "\\t";
        else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

void drawPlainText(ImVec2 at, const std::string& text) {
    if (!ImGui::IsItemVisible()) return;
    ImGui::GetWindowDrawList()->AddText(at, ImGui::GetColorU32(ImGuiCol_Text), text.data(), text.data() + text.size());
}

bool nameSelectable(const std::string& id, const std::string& label, bool selected) {
    // Hashed as plain bytes: ImGui's string ids restart their hash at "###".
    ImGui::PushID(static_cast<int>(ImHashData(id.data(), id.size())));
    const ImVec2 at = ImGui::GetCursorScreenPos();
    const bool clicked = ImGui::Selectable("##row", selected);
    drawPlainText(at, label);
    probeLastItem(label.c_str());
    ImGui::PopID();
    return clicked;
}

bool nameButton(int index, const std::string& name) {
    const std::string shown = displayedName(name);
    const ImGuiStyle& style = ImGui::GetStyle();
    const ImVec2 textSize = ImGui::CalcTextSize(shown.data(), shown.data() + shown.size(), false);
    ImGui::PushID(index);
    const ImVec2 at = ImGui::GetCursorScreenPos();
    const bool pressed = ImGui::Button("##part", ImVec2(textSize.x + style.FramePadding.x * 2,
                                                        textSize.y + style.FramePadding.y * 2));
    drawPlainText(ImVec2(at.x + style.FramePadding.x, at.y + style.FramePadding.y), shown);
    probeLastItem(shown.c_str());
    ImGui::PopID();
    return pressed;
}

// A button that stays visible at half opacity and ignores clicks while `greyed`.
bool greyableButton(const char* label, bool greyed) {
    beginDisabledLook(greyed);
    const bool pressed = probedButton(label);
    endDisabledLook(greyed);
    return pressed && !greyed;
}

void tooltip(const char* text) {
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", text);
}

// ---- The parts of a frame -----------------------------------------------------------------------

struct FrameRequests {
    bool directoryChanged = false;
    bool drives = false;
};

void applyDefaultFileName(FileChooser& chooser) {
    std::string name = chooser.defaultFileName;
    chooser.defaultFileName.clear();  // once per opening: a later rescan must not undo the user's typing
    name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return c == '\n' || c == '\r'; }), name.end());
    if (name.empty()) return;
    setField(chooser.fileNameField, name);
    if (!chooser.defaultExtension.empty()) chooser.selectedType = chooser.defaultExtension;
}

void drawNewDirectoryRow(FileChooser& chooser) {
    ImGui::SameLine();
    ImGui::SetNextItemWidth(newDirectoryFieldWidth);
    ImGui::InputText("##DirectoryFileName", chooser.newDirectoryField, FileChooser::fieldSize);
    probeLastItem("##DirectoryFileName");
    ImGui::SameLine();
    if (probedButton("OK##NewDirectory")) {
        const std::string name = chooser.newDirectoryField;
        if (makeDirectory(chooser, name)) setDirectory(chooser, joinPath(chooser.currentDirectory, name));
        chooser.createDirectoryMode = false;
    }
    ImGui::SameLine();
    if (probedButton("Cancel##NewDirectory")) chooser.createDirectoryMode = false;
}

void drawToolbar(FileChooser& chooser, FrameRequests& requests) {
    // The mount points are no folder to create a directory in.
    if (greyableButton("+", chooser.driveMode) && !chooser.createDirectoryMode) {
        chooser.createDirectoryMode = true;
        chooser.newDirectoryField[0] = '\0';
    }
    tooltip("Create Directory");
    if (chooser.createDirectoryMode) drawNewDirectoryRow(chooser);
    ImGui::SameLine();
    ImGui::SeparatorEx(ImGuiSeparatorFlags_Vertical);
    ImGui::SameLine();
    if (probedButton("R")) setDirectory(chooser, currentName);
    tooltip("Reset to current directory");
    ImGui::SameLine();
    if (probedButton("Drives")) requests.drives = true;
    tooltip("Drives");
    ImGui::SameLine();
    ImGui::SeparatorEx(ImGuiSeparatorFlags_Vertical);
    for (size_t i = 0; i < chooser.pathButtons.size(); ++i) {
        ImGui::SameLine();
        if (nameButton(static_cast<int>(i), chooser.pathButtons[i])) {
            chooser.currentDirectory = composePath(chooser.pathButtons, i);
            requests.directoryChanged = true;
            break;
        }
    }
}

void drawSearchRow(FileChooser& chooser) {
    if (probedButton("R##FileChooserSearchField")) {
        chooser.searchField[0] = '\0';
        chooser.searchText.clear();
    }
    tooltip("Reset search");
    ImGui::SameLine();
    ImGui::TextUnformatted("Search :");
    ImGui::SameLine();
    if (ImGui::InputText("##FileChooserSearchField", chooser.searchField, FileChooser::fieldSize))
        chooser.searchText = chooser.searchField;
    probeLastItem("##FileChooserSearchField");
}

std::string rowLabel(const FileEntry& entry) {
    const std::string name = displayedName(entry.name);
    switch (entry.type) {
    case 'd': return std::string(dirLabel) + " " + name;
    case 'l': return std::string(linkLabel) + " " + name;
    case 'f': return std::string(fileLabel) + " " + name;
    default: return " " + name;
    }
}

// One row; true when it was clicked (and the click handled).
bool drawRow(FileChooser& chooser, const FileEntry& entry, FrameRequests& requests) {
    const auto colour = chooser.typeColours.find(entry.extension);
    const bool coloured = colour != chooser.typeColours.end();
    if (coloured) ImGui::PushStyleColor(ImGuiCol_Text, colour->second);
    const bool clicked = nameSelectable(entry.name, rowLabel(entry), chooser.selection.count(entry.name) != 0);
    if (coloured) ImGui::PopStyleColor();
    if (!clicked) return false;
    if (entry.type == 'd') requests.directoryChanged |= enterDirectory(chooser, entry);
    else pickFile(chooser, entry.name);
    return true;
}

void drawListing(FileChooser& chooser, FrameRequests& requests) {
    ImGui::BeginChild("##FileDialog_FileList", ImVec2(listingWidth, listingHeight), false);
    std::vector<const FileEntry*> shown;
    for (const FileEntry& entry : chooser.listing)
        if (rowVisible(chooser, entry)) shown.push_back(&entry);
    // Only the rows in view are submitted: a directory of many thousand files stays cheap to draw.
    ImGuiListClipper clipper;
    clipper.Begin(static_cast<int>(shown.size()));
    bool clicked = false;
    while (!clicked && clipper.Step()) {
        for (int row = clipper.DisplayStart; row < clipper.DisplayEnd && !clicked; ++row)
            clicked = drawRow(chooser, *shown[static_cast<size_t>(row)], requests);
    }
    // A click may change the rows: the others wait for the next frame.
    if (clicked) clipper.End();
    if (requests.directoryChanged) setDirectory(chooser, chooser.currentDirectory);
    if (requests.drives) showDrives(chooser);
    ImGui::EndChild();
}

void drawFileNameRow(FileChooser& chooser) {
    ImGui::TextUnformatted("File Name :");
    ImGui::SameLine();
    float width = ImGui::GetContentRegionAvail().x;
    if (!chooser.typeFilter.empty()) width -= filterComboRoom;
    ImGui::SetNextItemWidth(width);
    // A name put there by the chooser is replaced by what the user types, not extended.
    ImGui::InputText("##FileName", chooser.fileNameField, FileChooser::fieldSize, ImGuiInputTextFlags_AutoSelectAll);
    probeLastItem("##FileName");
    if (chooser.typeFilter.empty()) return;
    ImGui::SameLine();
    ImGui::SetNextItemWidth(filterComboWidth);
    if (ImGui::BeginCombo("##Filters", chooser.typeFilter.c_str())) {
        if (ImGui::Selectable(chooser.offeredType.c_str(), chooser.typeFilter == chooser.offeredType))
            chooser.typeFilter = chooser.offeredType;
        ImGui::EndCombo();
    }
    chooser.selectedType = chooser.typeFilter;
}

}  // namespace

// ---- The operations -----------------------------------------------------------------------------

void FileChooser::Open(const std::string& dialogKey, const char* dialogTitle, const char* filter,
                       const std::string& startPathName, int& limit, void* data) {
    if (armed) return;
    key = dialogKey;
    title = dialogTitle != nullptr ? dialogTitle : "";
    typeFilter = filter != nullptr ? filter : "";
    offeredType = typeFilter;
    ParsedPathName parsed;
    if (parsePathName(startPathName, parsed)) {
        startDirectory = parsed.directory;
        defaultFileName = parsed.name == currentName || parsed.name == parentName ? std::string() : parsed.name;
        defaultExtension = parsed.extension.empty() ? std::string() : "." + parsed.extension;
    } else {
        startDirectory = std::string(currentName);
        defaultFileName.clear();
        defaultExtension.clear();
    }
    userData = data;
    selectionLimit = limit > 0 ? static_cast<size_t>(limit) : 0;
    setDirectory(*this, currentDirectory);
    armed = true;
}

bool FileChooser::Show(const std::string& dialogKey, ImGuiWindowFlags flags) {
    if (!armed || dialogKey != key) return false;
    const std::string name = title + "##" + key;
    if (name != shownName) {
        listing.clear();
        pathButtons.clear();
        selectedType.clear();
    }
    accepted = false;
    ImGui::OpenPopup(name.c_str());
    const ImGuiWindowFlags dialogFlags =
        flags | ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize;
    // Centred at every opening (ImGui alone moves a reappearing pop-up one pixel right each time).
    ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
    if (!ImGui::BeginPopupModal(name.c_str(), nullptr, dialogFlags)) return false;
    shownName = name;
    if (startDirectory.empty()) startDirectory = std::string(currentName);
    if (listing.empty() && !driveMode) {
        applyDefaultFileName(*this);
        scanCurrentDirectory(*this, startDirectory);
    }

    FrameRequests requests;
    drawToolbar(*this, requests);
    drawSearchRow(*this);
    drawListing(*this, requests);
    drawFileNameRow(*this);

    bool result = false;
    // The mount points are no folder either: a name there would land directly under "/".
    if (greyableButton("OK", driveMode) && !typedFileName(fileNameField).empty()) {
        accepted = true;
        result = true;
    }
    ImGui::SameLine();
    if (probedButton("Cancel")) {
        accepted = false;
        result = true;
    }
    // A finished dialog leaves ImGui's pop-up stack at once, so a caller that stops showing it
    // leaves no modal behind to block the other windows.
    if (result) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
    return result;
}

void FileChooser::Close(const std::string& dialogKey) {
    if (!armed || dialogKey != key) return;
    key.clear();
    armed = false;
}

std::string FileChooser::SelectedPathName() const {
    std::string name = typedFileName(fileNameField);
    if (!selectedType.empty() && selectedType != anyType) {
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos) name.erase(dot);
        name += selectedType;
    }
    return joinPath(currentDirectory, name);
}

void FileChooser::SetTypeColour(const std::string& extension, const ImVec4& colour) { typeColours[extension] = colour; }

bool FileChooser::GetTypeColour(const std::string& extension, ImVec4* colour) const {
    if (colour == nullptr) return false;
    const auto found = typeColours.find(extension);
    if (found == typeColours.end()) return false;
    *colour = found->second;
    return true;
}
