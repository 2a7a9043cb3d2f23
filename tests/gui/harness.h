// Headless Dear ImGui for tests: a context with no window and no GL. Runs frames of any drawing
// code, and presses widgets by the rectangles they report through the item probe (view/probe.h).
#pragma once

#include "view/probe.h"

#include <imgui.h>
#include <imgui_internal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

// A fresh temporary directory, the working directory while the object lives.
struct ScratchDirectory {
    std::filesystem::path previous = std::filesystem::current_path(), path;
    ScratchDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarvis-gui-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make " + pattern);
        std::filesystem::current_path(path = pattern);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(path);
    }
};

class GuiHarness {
public:
    explicit GuiHarness(ImVec2 displaySize = ImVec2(1024, 768)) {
        context_ = ImGui::CreateContext();
        ImGui::SetCurrentContext(context_);
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = displaySize;
        io.DeltaTime = 1.0f / 60.0f;
        io.IniFilename = nullptr;
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
        ImGui::StyleColorsDark();
        current_ = this;
        itemProbe = &GuiHarness::record;
    }
    ~GuiHarness() {
        itemProbe = nullptr;
        current_ = nullptr;
        ImGui::DestroyContext(context_);
    }
    GuiHarness(const GuiHarness&) = delete;
    GuiHarness& operator=(const GuiHarness&) = delete;

    // One whole GUI frame around the drawing code. Rectangles reported in it replace older ones.
    void frame(const std::function<void()>& draw) {
        items_.clear();
        ImGui::NewFrame();
        draw();
        ImGui::Render();
        io().MouseDown[0] = false;
    }
    void frames(int n, const std::function<void()>& draw) {
        for (int i = 0; i < n; ++i) frame(draw);
    }

    // Press and release the left button on a point: two frames (the press, then the release on
    // which buttons fire), with the cursor moved there one frame before.
    void clickAt(ImVec2 where, const std::function<void()>& draw) {
        io().MousePos = where;
        frame(draw);
        io().MouseDown[0] = true;
        frame(draw);
        frame(draw);
    }
    // Click the widget that reported this label in the last frame. False when it was not drawn.
    bool click(const std::string& label, const std::function<void()>& draw) {
        auto found = items_.find(label);
        if (found == items_.end()) return false;
        clickAt(found->second.GetCenter(), draw);
        return true;
    }
    // Open a combo: it lays out again one frame after it opens, so its entries are reported after
    // one more frame.
    bool openCombo(const std::string& label, const std::function<void()>& draw) {
        frame(draw);
        if (!click(label, draw)) return false;
        frame(draw);
        return true;
    }
    // Runs frames until the condition holds, for workers that run on their own clock (the time limit
    // only guards against a hang), then one more frame to draw what it brought.
    bool until(const std::function<bool()>& condition, const std::function<void()>& draw) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < giveUp) frame(draw);
        frame(draw);
        return condition();
    }
    bool drawn(const std::string& label) const { return items_.count(label) != 0; }
    ImRect rect(const std::string& label) const { return items_.at(label); }

    static ImGuiIO& io() { return ImGui::GetIO(); }
    // True when a modal or ordinary pop-up of that name is open.
    static bool popupOpen(const char* name) {
        ImGuiContext& g = *GImGui;
        for (const ImGuiPopupData& popup : g.OpenPopupStack)
            if (popup.Window != nullptr && std::string(popup.Window->Name).find(name) != std::string::npos) return true;
        return false;
    }

private:
    static void record(const char* label, ImVec2 min, ImVec2 max) {
        if (current_ != nullptr) current_->items_[label] = ImRect(min, max);
    }

    ImGuiContext* context_ = nullptr;
    std::map<std::string, ImRect> items_;
    static inline GuiHarness* current_ = nullptr;
};
