// The colour map of the height and range modes and the value range it spans, and the colours the
// scene's lines take to stand out against the background. Called by the scene drawing each frame and
// by the legend; GUI thread only, no state.
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

// WCAG's threshold for graphics: lines and points of 2 px stay readable from 3:1 on.
constexpr float readableContrast = 3.0f;
constexpr int spanSteps = 256;  // how finely the map is walked for its readable part
constexpr int mixSteps = 32;    // how finely a colour is mixed towards the ink
const glm::vec3 white(1.0f);
const glm::vec3 darkInk(0.1f);

float linear(float channel) {
    return channel <= 0.04045f ? channel / 12.92f : std::pow((channel + 0.055f) / 1.055f, 2.4f);
}

float relativeLuminance(glm::vec3 c) { return 0.2126f * linear(c.r) + 0.7152f * linear(c.g) + 0.0722f * linear(c.b); }

glm::vec3 mapAt(double x) {
    glm::dvec3 colour = mapCoefficients[mapDegree];
    for (int k = mapDegree - 1; k >= 0; --k) colour = colour * x + mapCoefficients[k];
    return glm::clamp(glm::vec3(colour), 0.0f, 1.0f);
}

float valueAtShare(std::vector<float>& values, float share) {
    const size_t index = static_cast<size_t>(std::lround(share * static_cast<float>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

}  // namespace

float contrastRatio(glm::vec3 a, glm::vec3 b) {
    const float la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05f) / (std::min(la, lb) + 0.05f);
}

// The longest stretch of the map that stands out against the background; the whole map when none
// does (no background hides both of its ends).
MapSpan colorMapSpan(const float background[3]) {
    const glm::vec3 behind(background[0], background[1], background[2]);
    int bestStart = 0, bestLength = 0, start = 0;
    for (int i = 0; i <= spanSteps; ++i) {
        const bool readable = contrastRatio(mapAt(static_cast<double>(i) / spanSteps), behind) >= readableContrast;
        if (!readable) {
            start = i + 1;
        } else if (i - start + 1 > bestLength) {
            bestStart = start;
            bestLength = i - start + 1;
        }
    }
    if (bestLength < 2) return MapSpan{};
    return MapSpan{static_cast<float>(bestStart) / spanSteps, static_cast<float>(bestStart + bestLength - 1) / spanSteps};
}

glm::vec3 colorMapAt(float t, MapSpan span) {
    const double x = std::clamp(static_cast<double>(t), 0.0, 1.0);
    return mapAt(span.from + x * (span.to - span.from));
}

glm::vec3 inkOn(const float background[3]) {
    const glm::vec3 behind(background[0], background[1], background[2]);
    return contrastRatio(white, behind) >= contrastRatio(darkInk, behind) ? white : darkInk;
}

glm::vec3 readableOn(glm::vec3 colour, const float background[3]) {
    const glm::vec3 behind(background[0], background[1], background[2]);
    const glm::vec3 ink = inkOn(background);
    for (int step = 0; step < mixSteps; ++step) {
        const glm::vec3 mixed = glm::mix(colour, ink, static_cast<float>(step) / mixSteps);
        if (contrastRatio(mixed, behind) >= readableContrast) return mixed;
    }
    return ink;
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

float colorValue(int32_t mode, const float xyz[3]) {
    if (mode == colorByRange) return std::sqrt(xyz[0] * xyz[0] + xyz[1] * xyz[1] + xyz[2] * xyz[2]);
    return xyz[2];
}
