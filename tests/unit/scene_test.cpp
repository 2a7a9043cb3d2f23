// What the scene puts into its objects each frame: the grid, the axes, the valid points of every
// sensor placed on the robot in their colours, and the sensors' triads. Built without GL; only
// render needs a context.
#include "view/view.h"

#include "link/link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <tuple>

namespace {

const float defaultBackground[3] = {0.14f, 0.14f, 0.15f};

glm::vec3 vertexAt(const SceneObject* object, int i) {
    const float* v = &object->vertices[static_cast<size_t>(i) * 3];
    return {v[0], v[1], v[2]};
}

std::vector<float> colourAt(const SceneObject* object, int i) {
    const float* c = &object->colors[static_cast<size_t>(i) * 3];
    return {c[0], c[1], c[2]};
}

// Each test gets a fresh Plotter with the scene set up, and leaves the shared settings as it found them.
class SceneTest : public ::testing::Test {
protected:
    void SetUp() override {
        plotter.colorTable = namedColors;
        setupScene(plotter);
        firstLink().publish(PointFrame{});
    }
    void TearDown() override {
        gridSpacing = 100;
        gridColor[0] = gridColor[1] = gridColor[2] = 0.32f, gridColor[3] = 1.0f;
        std::copy(defaultBackground, defaultBackground + 3, backgroundColor);
        pointColorMode = colorWhite;
        colorRangeAuto = true;
        colorRangeLow = 0.0f;
        colorRangeHigh = 3.0f;
        for (int i = 0; i < maxLinks; ++i) sensorPlacements[i] = defaultSensorPlacement(i);
        resetLink();
        firstLink().publish(PointFrame{});
    }
    // A frame whose first points are these, valid, taken as the frame on show.
    static void publishPoints(const std::vector<glm::vec3>& points) {
        PointFrame frame{};
        for (size_t p = 0; p < points.size(); ++p) {
            frame.valid[p] = 1;
            for (int k = 0; k < 3; ++k) frame.xyz[p][k] = points[p][k];
        }
        firstLink().publish(frame);
    }
    Plotter plotter;
};

// A frame whose first points are valid, at these positions as the sensor measured them.
PointFrame frameOf(std::initializer_list<glm::vec3> points) {
    PointFrame frame{};
    int p = 0;
    for (const glm::vec3& point : points) {
        frame.valid[p] = 1;
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = point[k];
        ++p;
    }
    return frame;
}

}  // namespace

TEST_F(SceneTest, GridLinesForWideAndFineSpacingsInTheGridColourWithoutItsAlpha) {
    const float colour[4] = {0.1f, 0.2f, 0.3f, 0.0f};
    std::copy(colour, colour + 4, gridColor);
    // Lines run x-parallel then y-parallel from the far negative side; the centre lines stop at
    // -6 m, where the x axis begins.
    const struct {
        int spacing, lines;
        float reach, step;
    } grids[] = {{100, 81, 40, 1}, {300, 27, 40, 3}, {50, 41, 10, 0.5f}, {20, 61, 6, 0.2f}, {10, 101, 5, 0.1f}};
    for (const auto& g : grids) {
        SCOPED_TRACE(g.spacing);
        gridSpacing = g.spacing;
        takeFrameOnShow();
        fillScene(plotter);
        const int half = g.lines / 2;
        const auto expectAt = [&](int i, glm::vec3 v) { EXPECT_LT(glm::distance(vertexAt(scene.grid, i), v), 1e-4f) << i; };
        ASSERT_EQ(scene.grid->count, 4 * g.lines);
        expectAt(0, {-g.reach, -half * g.step, 0});
        expectAt(1, {g.reach, -half * g.step, 0});
        expectAt(4, {-g.reach, (1 - half) * g.step, 0});
        expectAt(4 * half, {-g.reach, 0, 0});  // the centre lines
        expectAt(4 * half + 1, {-6, 0, 0});
        expectAt(4 * half + 3, {0, 0, 0});
        expectAt(4 * g.lines - 2, {half * g.step, -g.reach, 0});
        for (int i : {0, scene.grid->count - 1}) EXPECT_EQ(colourAt(scene.grid, i), (std::vector<float>{0.1f, 0.2f, 0.3f}));
    }
}

// Points, the half ring and the axes stand out (WCAG contrast of 3:1 or more, worked out here from
// its definition) against dark, light and middling backgrounds; the axes keep their hues, and the x
// axis starts outside the half ring.
TEST_F(SceneTest, EverythingDrawnStandsOutAgainstAnyBackground) {
    const auto linear = [](float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); };
    const auto luminance = [&](auto c) { return 0.2126f * linear(c[0]) + 0.7152f * linear(c[1]) + 0.0722f * linear(c[2]) + 0.05f; };
    const auto contrast = [&](auto a, auto b) { return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b)); };
    publishPoints({{0, 0.5f, 0}, {3, 3, 2}});  // the lowest and highest, by height and by range
    const std::vector<float> backgrounds[] = {{0.14f, 0.14f, 0.15f}, {0, 0, 0},          {1, 1, 1},         {0.85f, 0.85f, 0.8f},
                                              {0.5f, 0.5f, 0.5f},    {0.05f, 0.05f, 0.3f}, {0.3f, 0.5f, 0.3f}};
    const glm::vec3 ends[6] = {{6, 0, 0}, {200, 0, 0}, {0, 0, 0}, {0, 200, 0}, {0, 0, 0}, {0, 0, 200}};
    for (const std::vector<float>& background : backgrounds) {
        SCOPED_TRACE(testing::PrintToString(background));
        std::copy(background.begin(), background.end(), backgroundColor);
        for (const int32_t mode : {colorWhite, colorByHeight, colorByRange}) {
            pointColorMode = mode;
            takeFrameOnShow();
            fillScene(plotter);
            for (int p = 0; p < 2; ++p) EXPECT_GE(contrast(colourAt(scene.cloud, p), background), 3.0f) << mode << " " << p;
        }
        EXPECT_GE(contrast(colourAt(scene.rangeArc, 0), background), 3.0f);
        for (int i = 0; i < 6; ++i) {
            const std::vector<float> colour = colourAt(scene.axes, i);
            EXPECT_EQ(vertexAt(scene.axes, i), ends[i]);
            EXPECT_GE(contrast(colour, background), 3.0f) << i;
            EXPECT_EQ(std::max_element(colour.begin(), colour.end()) - colour.begin(), i / 2) << "the hue stays";
        }
    }
}

TEST_F(SceneTest, ColourModesPaintEachPointAndTheMapSpansTheChosenRange) {
    publishPoints({{0, 1, 0}, {2, 2, 1}, {0, 0, 2}});  // at heights 0, 1 and 2 m, ranges 1, 3 and 2 m
    // The part of the map that stands out against the background is drawn.
    const MapSpan span = colorMapSpan(backgroundColor);
    const glm::vec3 low = colorMapAt(0, span), middle = colorMapAt(0.5f, span), high = colorMapAt(1, span);
    const glm::vec3 chosen(pointColor[0], pointColor[1], pointColor[2]), white(1, 1, 1);
    const struct {
        int32_t mode;
        bool automatic;
        float low, high;        // the fixed range
        float mapLow, mapHigh;  // what the legend is to show
        glm::vec3 colours[3];
    } cases[] = {
        {colorByHeight, true, 0, 9, 0.0f, 2.0f, {low, middle, high}},
        {colorByHeight, false, 1, 3, 1.0f, 3.0f, {low, low, middle}},  // below the range: its low end
        {colorByRange, true, 0, 9, 1.0f, 3.0f, {low, high, middle}},
        {colorByRange, false, 2.9996f, 3.0004f, 2.995f, 3.005f, {low, middle, low}},  // widened to 1 cm
        {colorChosen, true, 0, 9, 2.995f, 3.005f, {chosen, chosen, chosen}},  // the map keeps its last range
        {colorWhite, true, 0, 9, 2.995f, 3.005f, {white, white, white}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode * 10 + c.automatic);
        pointColorMode = c.mode;
        colorRangeAuto = c.automatic;
        colorRangeLow = c.low;
        colorRangeHigh = c.high;
        takeFrameOnShow();
        fillScene(plotter);
        ASSERT_EQ(scene.cloud->count, 3);
        EXPECT_EQ(scene.triads->count, 0) << "one sensor at the robot's origin: the axes mark it";
        EXPECT_NEAR(scene.mapLow, c.mapLow, 1e-4f);
        EXPECT_NEAR(scene.mapHigh, c.mapHigh, 1e-4f);
        for (int p = 0; p < 3; ++p)
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(colourAt(scene.cloud, p)[k], c.colours[p][k], 0.02f) << p;
    }
}

TEST_F(SceneTest, EachPointLandsWhereItsSensorsPoseCarriesIt) {
    // Worked by hand, turning about x by roll first, then about y by pitch, then about z by yaw.
    const struct {
        const char* what;
        glm::vec3 position;
        float roll, pitch, yaw;
        glm::vec3 measured, placed;
    } poses[] = {
        {"yaw 90: ahead turns left", {0.5f, -0.2f, 1.0f}, 0, 0, 90, {1, 0, 0}, {0.5f, 0.8f, 1.0f}},
        {"pitch 90: ahead turns down", {0, 0, 0}, 0, 90, 0, {2, 0, 0}, {0, 0, -2}},
        {"roll, pitch, yaw 90", {1, 1, 0.5f}, 90, 90, 90, {1, 2, 3}, {4, 3, -0.5f}},
        {"roll 90, pitch 30, yaw -90", {0, 0, 2}, 90, 30, -90, {2, 0, 1}, {-1, -1.7320508f, 1}},
    };
    for (const auto& pose : poses) {
        SCOPED_TRACE(pose.what);
        sensorPlacements[0] = SensorPlacement{pose.position, pose.roll, pose.pitch, pose.yaw, glm::vec4(1)};
        firstLink().publish(frameOf({pose.measured}));
        takeFrameOnShow();
        fillScene(plotter);
        ASSERT_EQ(scene.cloud->count, 1);
        ASSERT_EQ(scene.triads->count, 6);
        EXPECT_EQ(vertexAt(scene.triads, 0), pose.position);
        const glm::vec3 drawn = vertexAt(scene.cloud, 0);
        EXPECT_LT(glm::distance(drawn, pose.placed), 1e-5f) << drawn.x << ", " << drawn.y << ", " << drawn.z;
    }
}

TEST_F(SceneTest, SensorsColourTheirOwnPointsAndTheMapsSeeHeightOnTheRobotAndRangeFromTheSensor) {
    // The first sensor at the origin sees (0, 1, 0): height 0, range 1. The second, 2 m up, sees
    // (3, 0, 0) and (0, 0, 1): heights 2 and 3 on the robot, ranges 3 and 1 from itself.
    ASSERT_NE(addLink(), nullptr);
    sensorPlacements[1].position.z = 2.0f;
    firstLink().publish(frameOf({{0, 1, 0}}));
    linkAt(1).publish(frameOf({{3, 0, 0}, {0, 0, 1}}));
    for (const auto& [mode, low, high] : {std::tuple{colorByHeight, 0.0f, 3.0f}, {colorByRange, 1.0f, 3.0f}}) {
        pointColorMode = mode;
        takeFrameOnShow();
        fillScene(plotter);
        EXPECT_NEAR(scene.mapLow, low, 1e-4f) << mode;
        EXPECT_NEAR(scene.mapHigh, high, 1e-4f) << mode;
    }
    pointColorMode = colorBySensor;
    fillScene(plotter);
    ASSERT_EQ(scene.triads->count, 12) << "two sensors, each with its triad";
    EXPECT_EQ(vertexAt(scene.triads, 7), glm::vec3(0.3f, 0, 2));
    ASSERT_EQ(scene.cloud->count, 3);
    for (int p = 0; p < 3; ++p) {
        const glm::vec4 own = sensorPlacements[p == 0 ? 0 : 1].colour;
        EXPECT_EQ(colourAt(scene.cloud, p), (std::vector<float>{own.r, own.g, own.b})) << p;
    }
}
