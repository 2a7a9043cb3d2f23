// The colour map of the height and range modes and the value range it spans. Called by the scene
// drawing each frame and by the legend; GUI thread only, no state.
#include "view/view.h"

#include <glm/glm.hpp>

#include <algorithm>
#include <cmath>

namespace {

// Viridis as a polynomial of degree six in t, a least-squares fit of its published entries (the ends
// and quarter points lie within 5/255 of them): component = sum of coefficient[k] · t^k.
constexpr int mapDegree = 6;
const glm::dvec3 mapCoefficients[mapDegree + 1] = {
    {0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
    {0.1050930431085774, 1.404613529898575, 1.384590162594685},
    {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
    {-4.634230498983486, -5.799100166162376, -19.33244095627987},
    {6.228269936347081, 14.17993336680509, 56.69055260068105},
    {4.776384997670288, -13.74514537774601, -65.35303263337234},
    {-5.435455855934631, 4.645852612178535, 26.3124352495832},
};

constexpr float lowPercentile = 0.02f;
constexpr float highPercentile = 0.98f;
constexpr float narrowestRange = 0.01f;  // metres

float valueAtShare(std::vector<float>& values, float share) {
    const size_t index = static_cast<size_t>(std::lround(share * static_cast<float>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

}  // namespace

glm::vec3 colorMapAt(float t) {
    const double x = std::clamp(static_cast<double>(t), 0.0, 1.0);
    glm::dvec3 colour = mapCoefficients[mapDegree];
    for (int k = mapDegree - 1; k >= 0; --k) colour = colour * x + mapCoefficients[k];
    return glm::clamp(glm::vec3(colour), 0.0f, 1.0f);
}

ValueRange colorMapRange(std::vector<float>& values, bool automatic, ValueRange fixed, ValueRange previous) {
    ValueRange range = fixed;
    if (automatic) {
        if (values.empty()) return previous;
        range = {valueAtShare(values, lowPercentile), valueAtShare(values, highPercentile)};
    }
    if (!(range.high - range.low >= narrowestRange)) {
        const float middle = (range.low + range.high) / 2.0f;
        range = {middle - narrowestRange / 2.0f, middle + narrowestRange / 2.0f};
    }
    return range;
}

float colorValue(int32_t mode, glm::dvec3 sensorPoint, glm::dvec3 placedPoint) {
    if (mode == colorByRange) return static_cast<float>(glm::length(sensorPoint));
    return static_cast<float>(placedPoint.z);
}
