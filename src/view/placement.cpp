// Where each sensor sits on the robot: the rotation and offset that carry its points into the
// robot's frame, and the placements' defaults. Called by the scene drawing and the connection panel's
// mounting fields; GUI thread only, no state of its own (the placements live in view_state.cpp).
#include "view/view.h"

#include <cmath>
#include <numbers>

namespace {

double radians(float degrees) { return static_cast<double>(degrees) * std::numbers::pi / 180.0; }

// Rotations about one axis, columns first as glm keeps them.
glm::dmat3 aboutX(double a) { return {1, 0, 0, 0, std::cos(a), std::sin(a), 0, -std::sin(a), std::cos(a)}; }
glm::dmat3 aboutY(double a) { return {std::cos(a), 0, -std::sin(a), 0, 1, 0, std::sin(a), 0, std::cos(a)}; }
glm::dmat3 aboutZ(double a) { return {std::cos(a), std::sin(a), 0, -std::sin(a), std::cos(a), 0, 0, 0, 1}; }

}  // namespace

SensorPlacement defaultSensorPlacement(int linkIndex) {
    // One colour per sensor that tells the sensors apart, also for the colour-blind (Okabe and Ito's
    // set). Kept in the function: the placements are made from it before main, in another file.
    static const glm::vec4 sensorPalette[maxLinks] = {
        {0.902f, 0.624f, 0.000f, 1.0f},  // orange
        {0.337f, 0.706f, 0.914f, 1.0f},  // sky blue
        {0.000f, 0.620f, 0.451f, 1.0f},  // bluish green
        {0.941f, 0.894f, 0.259f, 1.0f},  // yellow
        {0.000f, 0.447f, 0.698f, 1.0f},  // blue
        {0.835f, 0.369f, 0.000f, 1.0f},  // vermilion
        {0.800f, 0.475f, 0.655f, 1.0f},  // reddish purple
        {0.600f, 0.600f, 0.600f, 1.0f},  // grey
    };
    SensorPlacement placement;
    placement.colour = sensorPalette[linkIndex % maxLinks];
    return placement;
}

glm::dmat3 placementRotation(const SensorPlacement& placement) {
    return aboutZ(radians(placement.yawDeg)) * aboutY(radians(placement.pitchDeg)) * aboutX(radians(placement.rollDeg));
}

glm::dvec3 placePoint(const SensorPlacement& placement, glm::dvec3 sensorPoint) {
    return placementRotation(placement) * sensorPoint + glm::dvec3(placement.position);
}

bool atRobotOrigin(const SensorPlacement& placement) {
    return placement.position == glm::vec3(0.0f) && placement.rollDeg == 0.0f && placement.pitchDeg == 0.0f &&
           placement.yawDeg == 0.0f;
}

void forgetSensorPlacement(int linkIndex) {
    for (int i = linkIndex; i + 1 < maxLinks; ++i) sensorPlacements[i] = sensorPlacements[i + 1];
    sensorPlacements[maxLinks - 1] = defaultSensorPlacement(maxLinks - 1);
}
