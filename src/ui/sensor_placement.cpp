// The mounting fields of one sensor: where it sits on the robot (x, y, z in metres; roll, pitch and
// yaw in degrees) and the colour of its points in the "By Sensor" mode. Called by the connection
// panel inside a sensor's section, on the GUI thread.
#include "filechooser/filechooser.h"
#include "ui/ui.h"
#include "view/view.h"

#include <imgui.h>

#include <cmath>

namespace {

constexpr float figureWidth = 110.0f;  // pixels, each field
constexpr const char* metresFormat = "%.3f";
constexpr const char* degreesFormat = "%.1f";

// One figure of the placement; what is not a finite number leaves it as it was.
void drawFigure(const char* label, float& value, const char* format) {
    float edited = value;
    ImGui::SetNextItemWidth(figureWidth);
    if (ImGui::InputFloat(label, &edited, 0.0f, 0.0f, format) && std::isfinite(edited)) value = edited;
    probeLastItem(label);
}

}  // namespace

void drawSensorPlacement(int linkIndex) {
    IM_ASSERT(linkIndex >= 0 && linkIndex < maxLinks);
    SensorPlacement& placement = sensorPlacements[linkIndex];
    ImGui::PushID(linkIndex);
    drawFigure("x (m)", placement.position.x, metresFormat);
    drawFigure("y (m)", placement.position.y, metresFormat);
    drawFigure("z (m)", placement.position.z, metresFormat);
    drawFigure("Roll (deg)", placement.rollDeg, degreesFormat);
    drawFigure("Pitch (deg)", placement.pitchDeg, degreesFormat);
    drawFigure("Yaw (deg)", placement.yawDeg, degreesFormat);
    ImGui::ColorEdit3("Color", &placement.colour.x, ImGuiColorEditFlags_NoInputs);
    probeLastItem("Color");
    ImGui::PopID();
}
