// Headless Dear ImGui for tests: a context with no window and no GL. Runs frames of any drawing
// code, and presses widgets by the rectangles they report through the item probe (app.h).
#pragma once

#include "app/app.h"
#include "../fakes/scratch.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

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
    // Clicks a text field, types into it and leaves it, as a user does. False when it was not drawn.
    bool type(const std::string& field, const std::string& text, const std::function<void()>& draw) {
        if (!click(field, draw)) return false;
        frame(draw);
        for (char c : text) io().AddInputCharacter(static_cast<unsigned char>(c));
        frame(draw);
        ImGui::ClearActiveID();
        frame(draw);
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
        eventually([&] { return condition() || (frame(draw), false); });
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
    static void record(const char* label, float minX, float minY, float maxX, float maxY) {
        if (current_ != nullptr) current_->items_[label] = ImRect(minX, minY, maxX, maxY);
    }

    ImGuiContext* context_ = nullptr;
    std::map<std::string, ImRect> items_;
    static inline GuiHarness* current_ = nullptr;
};
