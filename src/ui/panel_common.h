// What the menu bar and the three side panels share: the menu bar's height, the panels' window and
// placement, the cursor step, the icon glyphs and the modal pop-ups.
// Private to src/ui. GUI thread only.
#pragma once

#include "filechooser/filechooser.h"  // the widgets shared with the chooser: probed buttons, the disabled look

#include <imgui.h>

#include <string>
#include <vector>

// Icon glyphs of the merged icon font, each one code point in UTF-8.
constexpr const char* exclamationGlyph = "\xef\x81\xaa";  // U+F06A, an exclamation mark in a circle
constexpr const char* checkGlyph = "\xef\x81\x98";        // U+F058, a check mark in a circle
constexpr const char* rescanGlyph = "\xef\x8b\xb9";       // U+F2F9, a circular arrow
constexpr const char* playGlyph = "\xef\x81\x8b";         // U+F04B
constexpr const char* pauseGlyph = "\xef\x81\x8c";        // U+F04C
constexpr const char* stopGlyph = "\xef\x81\x8d";         // U+F04D
constexpr const char* recordGlyph = "\xef\xa3\x99";       // U+F8D9

// The red of what is being recorded or captured, in the record panel and the overlay.
const ImVec4 recordingRed(0.83f, 0.17f, 0.31f, 1.0f);

// The menu bar's height: the side panels start below it.
constexpr float menuBarHeight = 31.0f;

// The small windows over the scene (overlay, colour legend, screenshot notice): no decoration, no
// input, sized to their text, this far from the window's edges, with a see-through background.
constexpr ImGuiWindowFlags sceneOverlayFlags = ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoInputs |
                                               ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoSavedSettings |
                                               ImGuiWindowFlags_NoFocusOnAppearing | ImGuiWindowFlags_NoNav;
constexpr float sceneOverlayMargin = 10.0f;
constexpr float sceneOverlayAlpha = 0.6f;

// Placement (under the menu bar, full height, square corners) and ImGui::Begin of a side panel with no title bar (hence no close button); false, with
// the window already ended, when nothing is to be drawn. Notes whether the panel holds the focus.
bool beginPanel(const char* name, bool* open);

// Where the scene's free width starts: right of the side panel when one is shown, else 0.
float sidePanelRight();

// Moves the cursor one indent right and `down` pixels down from where it stands.
void moveCursor(float down);

// The glyph that heads a message pop-up, centred over its text.
void popupGlyph(const char* glyph);

// BeginPopupModal of a modal that sizes itself to its contents; EndPopup when true.
bool beginModal(const char* title);

// A message pop-up: a glyph (none when null) over its lines, then "Close" of `closeSize` ((0, 0)
// fits the label), which reports itself to the probe as `closeProbe`.
struct MessagePopup {
    const char* title;
    const char* glyph;
    ImVec2 closeSize;
    const char* closeProbe;
};
// Draws the pop-up while it is open (opened by ImGui::OpenPopup(title) in the same window); call it
// every frame. True in the frame "Close" closed it.
bool drawMessagePopup(const MessagePopup& popup, const std::vector<std::string>& lines);

// Notices (notices.cpp): a message pop-up waits its turn behind those queued before it and opens
// once no other pop-up is open; `closed` (when given) runs once it is closed, by "Close" or Escape.
void queueNotice(const MessagePopup& popup, std::vector<std::string> lines, void (*closed)() = nullptr);
// Once per frame, outside any panel window (the record files' step): the notice at the front.
void drawNotices();
// The lines of the notice on screen (empty when none is): for the tests.
std::vector<std::string> shownNoticeLines();
