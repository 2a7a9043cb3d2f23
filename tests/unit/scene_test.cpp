// What the scene puts into its objects each frame: the grid for every accepted spacing, the half
// ring, the axes and the valid points. Built without GL; only render needs a context.
#include "view/view.h"

#include "link/link.h"

#include <gtest/gtest.h>

#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>

namespace {

struct Vertex {
    float x, y, z;
};

Vertex vertexAt(const SceneObject* object, int i) {
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
        publishPointCloud(PointFrame{});
    }
    void TearDown() override {
        gridSpacing = 100;
        gridColor[0] = gridColor[1] = gridColor[2] = 0.32f;
        gridColor[3] = 1.0f;
        pointColorMode = colorWhite;
        colorRangeAuto = true;
        colorRangeLow = 0.0f;
        colorRangeHigh = 3.0f;
        publishPointCloud(PointFrame{});
    }
    void gridFor(int32_t spacing) {
        gridSpacing = spacing;
        clearObject(plotter, scene.grid);
        drawGrid(plotter);
    }
    Plotter plotter;
};

// Vertices per frame for a spacing, as the grid's extents table gives them.
int expectedGridVertices(int spacing) {
    if (spacing >= 100) return 4 * (2 * (4000 / spacing) + 1);
    if (spacing == 20) return 244;
    if (spacing >= 30) return 164;
    return 404;
}

// Half-width of the grid in metres.
double expectedHalfWidth(int spacing) {
    if (spacing >= 100) return 40.0;
    if (spacing == 20) return 6.0;
    if (spacing >= 30) return 0.2 * spacing;
    return 0.5 * spacing;
}

}  // namespace

TEST_F(SceneTest, SetUpCreatesTheFourObjectsInDrawingOrder) {
    ASSERT_EQ(plotter.objectCount, 4);
    EXPECT_EQ(scene.rangeArc, &plotter.objects[0]);
    EXPECT_EQ(scene.cloud, &plotter.objects[1]);
    EXPECT_EQ(scene.grid, &plotter.objects[2]);
    EXPECT_EQ(scene.axes, &plotter.objects[3]);
    EXPECT_EQ(scene.rangeArc->mode, static_cast<uint32_t>(GL_LINE_STRIP));
    EXPECT_EQ(scene.cloud->mode, static_cast<uint32_t>(GL_POINTS));
    EXPECT_EQ(scene.grid->mode, static_cast<uint32_t>(GL_LINES));
    EXPECT_EQ(scene.axes->mode, static_cast<uint32_t>(GL_LINES));
    EXPECT_EQ(scene.grid->color, (std::vector<float>{0.7451f, 0.7451f, 0.7451f}));
}

TEST_F(SceneTest, GridVertexCountAndExtentForEveryAcceptedSpacing) {
    for (int spacing = 10; spacing <= 499; ++spacing) {
        SCOPED_TRACE(spacing);
        gridFor(spacing);
        ASSERT_EQ(scene.grid->count, expectedGridVertices(spacing));
        float reachX = 0.0f, reachY = 0.0f;
        for (int i = 0; i < scene.grid->count; ++i) {
            const Vertex v = vertexAt(scene.grid, i);
            ASSERT_EQ(v.z, 0.0f);
            reachX = std::max(reachX, std::fabs(v.x));
            reachY = std::max(reachY, std::fabs(v.y));
        }
        const double halfWidth = expectedHalfWidth(spacing);
        EXPECT_NEAR(reachY, halfWidth, 1e-4);
        // Below 12 cm the centre x line runs out to −6 m, beyond the grid's edge.
        EXPECT_NEAR(reachX, std::max(halfWidth, 6.0), 1e-4);
    }
}

TEST_F(SceneTest, GridWorkedExamples) {
    gridFor(100);  // every metre out to 40 m; the centre lines stop where the axes begin
    EXPECT_EQ(vertexAt(scene.grid, 4 * 40).x, -40.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 40 + 1).x, -6.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 40 + 2).y, -40.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 40 + 3).y, 0.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 41).y, 1.0f);

    gridFor(300);  // 13 lines each side, 3 m apart, each 80 m long
    ASSERT_EQ(scene.grid->count, 4 * 27);
    EXPECT_EQ(vertexAt(scene.grid, 0).y, -39.0f);
    EXPECT_EQ(vertexAt(scene.grid, 0).x, -40.0f);
    EXPECT_EQ(vertexAt(scene.grid, 1).x, 40.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4).y, -36.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 26 + 2).x, 39.0f);

    gridFor(20);  // 30 cells, ±6 m; the centre x line shrinks to nothing at −6
    EXPECT_EQ(vertexAt(scene.grid, 0).x, -6.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 30).x, -6.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 30 + 1).x, -6.0f);

    gridFor(10);  // 50 cells, ±5 m; the centre x line runs from −5 to −6
    EXPECT_EQ(vertexAt(scene.grid, 0).x, -5.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 50).x, -5.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 50 + 1).x, -6.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 50 + 2).y, -5.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4 * 50 + 3).y, 0.0f);

    gridFor(50);  // 20 cells, ±10 m, lines every 0.5 m
    EXPECT_EQ(scene.grid->count, 164);
    EXPECT_EQ(vertexAt(scene.grid, 0).y, -10.0f);
    EXPECT_EQ(vertexAt(scene.grid, 4).y, -9.5f);
    EXPECT_EQ(vertexAt(scene.grid, 1).x, 10.0f);
}

TEST_F(SceneTest, GridTakesTheGridColourButNotItsAlpha) {
    gridColor[0] = 0.1f;
    gridColor[1] = 0.2f;
    gridColor[2] = 0.3f;
    gridColor[3] = 0.0f;
    fillScene(plotter);
    for (int i : {0, 161, scene.grid->count - 1}) EXPECT_EQ(colourAt(scene.grid, i), (std::vector<float>{0.1f, 0.2f, 0.3f}));
    gridColor[0] = 0.9f;
    fillScene(plotter);
    EXPECT_EQ(colourAt(scene.grid, 0)[0], 0.9f) << "a new colour shows in the very next frame";
}

TEST_F(SceneTest, HalfRingIsOneStripOf364Vertices) {
    fillScene(plotter);
    const SceneObject* arc = scene.rangeArc;
    ASSERT_EQ(arc->count, 364);
    const float inner = 3.99f, outer = 5.99f;
    auto expectAt = [&](int i, float x, float y) {
        SCOPED_TRACE(i);
        const Vertex v = vertexAt(arc, i);
        EXPECT_NEAR(v.x, x, 1e-5);
        EXPECT_NEAR(v.y, y, 1e-5);
        EXPECT_EQ(v.z, 0.0f);
    };
    expectAt(0, inner, 0);
    expectAt(1, outer, 0);
    expectAt(2, outer * std::cos(M_PI / 180), outer * std::sin(M_PI / 180));
    expectAt(91, 0, outer);
    expectAt(180, outer * std::cos(179 * M_PI / 180), outer * std::sin(179 * M_PI / 180));
    expectAt(181, -outer, 0);
    expectAt(182, -inner, 0);
    expectAt(183, inner * std::cos(179 * M_PI / 180), inner * std::sin(179 * M_PI / 180));
    expectAt(272, 0, inner);
    expectAt(361, inner * std::cos(M_PI / 180), inner * std::sin(M_PI / 180));
    expectAt(362, inner, 0);
    expectAt(363, -inner, 0);
    for (int i = 0; i < arc->count; ++i) {
        const Vertex v = vertexAt(arc, i);
        const float radius = std::hypot(v.x, v.y);
        ASSERT_GE(v.y, 0.0f);
        ASSERT_TRUE(std::fabs(radius - inner) < 1e-4 || std::fabs(radius - outer) < 1e-4) << i;
        ASSERT_EQ(colourAt(arc, i), scene.white);
    }
}

TEST_F(SceneTest, AxesAreColouredAndTheXAxisStartsAtSixMetres) {
    fillScene(plotter);
    const SceneObject* axes = scene.axes;
    ASSERT_EQ(axes->count, 6);
    const Vertex expected[6] = {{6, 0, 0}, {200, 0, 0}, {0, 0, 0}, {0, 200, 0}, {0, 0, 0}, {0, 0, 200}};
    for (int i = 0; i < 6; ++i) {
        const Vertex v = vertexAt(axes, i);
        EXPECT_EQ(v.x, expected[i].x);
        EXPECT_EQ(v.y, expected[i].y);
        EXPECT_EQ(v.z, expected[i].z);
    }
    EXPECT_EQ(colourAt(axes, 0), scene.red);
    EXPECT_EQ(colourAt(axes, 1), scene.red);
    EXPECT_EQ(colourAt(axes, 2), scene.green);
    EXPECT_EQ(colourAt(axes, 3), scene.green);
    EXPECT_EQ(colourAt(axes, 4), scene.blue);
    EXPECT_EQ(colourAt(axes, 5), scene.blue);
}

TEST_F(SceneTest, OnlyValidPointsAreDrawnWhiteAndEachFrameStartsEmpty) {
    fillScene(plotter);
    EXPECT_EQ(scene.cloud->count, 0) << "before the first frame no point is valid";

    PointFrame frame{};
    frame.valid[0] = 1;  // exactly at the origin: drawn like any other
    frame.valid[7] = 1;
    frame.xyz[7][0] = -1.5f;
    frame.xyz[7][1] = 2.25f;
    frame.xyz[7][2] = 0.125f;
    frame.valid[479] = 0xFFFFFFFFu;
    frame.xyz[479][1] = 30.0f;
    publishPointCloud(frame);
    fillScene(plotter);
    ASSERT_EQ(scene.cloud->count, 3);
    EXPECT_EQ(vertexAt(scene.cloud, 0).x, 0.0f);
    EXPECT_EQ(vertexAt(scene.cloud, 1).x, -1.5f);
    EXPECT_EQ(vertexAt(scene.cloud, 1).y, 2.25f);
    EXPECT_EQ(vertexAt(scene.cloud, 1).z, 0.125f);
    EXPECT_EQ(vertexAt(scene.cloud, 2).y, 30.0f);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(colourAt(scene.cloud, i), scene.white);

    // A full frame fits; nothing accumulates from one frame to the next.
    for (int p = 0; p < pointsPerFrame; ++p) frame.valid[p] = 1;
    publishPointCloud(frame);
    fillScene(plotter);
    fillScene(plotter);
    EXPECT_EQ(scene.cloud->count, pointsPerFrame);
    EXPECT_EQ(scene.rangeArc->count, 364);
    EXPECT_EQ(scene.axes->count, 6);
    EXPECT_EQ(scene.grid->count, 324);
}

TEST_F(SceneTest, ColourModesPaintEachPointAndTheMapSpansTheChosenRange) {
    // Points at heights 0, 1 and 2 m and ranges 1, 3 and 2 m from the sensor.
    PointFrame frame{};
    const float points[3][3] = {{0, 1, 0}, {2, 2, 1}, {0, 0, 2}};
    for (int p = 0; p < 3; ++p) {
        frame.valid[p] = 1;
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = points[p][k];
    }
    publishPointCloud(frame);
    const glm::vec3 purple(0.267f, 0.005f, 0.329f), teal(0.128f, 0.567f, 0.551f), yellow(0.993f, 0.906f, 0.144f);
    auto expectColour = [](const std::vector<float>& actual, glm::vec3 expected) {
        ASSERT_EQ(actual.size(), 3u);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(actual[k], expected[k], 0.02f);
    };
    struct Case {
        int32_t mode;
        bool automatic;
        float low, high;          // the fixed range
        float mapLow, mapHigh;    // what the legend is to show
        glm::vec3 colours[3];
    };
    const Case cases[] = {
        {colorByHeight, true, 0, 9, 0.0f, 2.0f, {purple, teal, yellow}},
        {colorByHeight, false, 1, 3, 1.0f, 3.0f, {purple, purple, teal}},  // below the range: its low end
        {colorByRange, true, 0, 9, 1.0f, 3.0f, {purple, yellow, teal}},
        {colorByRange, false, 2.9996f, 3.0004f, 2.995f, 3.005f, {purple, teal, purple}},  // widened to 1 cm
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode * 10 + c.automatic);
        pointColorMode = c.mode;
        colorRangeAuto = c.automatic;
        colorRangeLow = c.low;
        colorRangeHigh = c.high;
        fillScene(plotter);
        ASSERT_EQ(scene.cloud->count, 3);
        EXPECT_NEAR(scene.mapLow, c.mapLow, 1e-4f);
        EXPECT_NEAR(scene.mapHigh, c.mapHigh, 1e-4f);
        for (int p = 0; p < 3; ++p) expectColour(colourAt(scene.cloud, p), c.colours[p]);
    }

    // An empty frame keeps the last range; the flat modes paint every point alike.
    publishPointCloud(PointFrame{});
    fillScene(plotter);
    EXPECT_NEAR(scene.mapLow, 2.995f, 1e-4f);
    publishPointCloud(frame);
    pointColorMode = colorChosen;
    fillScene(plotter);
    for (int p = 0; p < 3; ++p) expectColour(colourAt(scene.cloud, p), glm::vec3(pointColor[0], pointColor[1], pointColor[2]));
    pointColorMode = colorWhite;
    fillScene(plotter);
    for (int p = 0; p < 3; ++p) EXPECT_EQ(colourAt(scene.cloud, p), scene.white);
}

TEST(ColourMap, AutomaticRangeLeavesTheOutermostTwoPercentOut) {
    std::vector<float> values;
    for (int i = 100; i >= 0; --i) values.push_back(static_cast<float>(i));
    values.push_back(-1000.0f);  // a stray point far below
    const ValueRange range = colorMapRange(values, true, {0, 1}, {0, 1});
    EXPECT_FLOAT_EQ(range.low, 1.0f);
    EXPECT_FLOAT_EQ(range.high, 98.0f);
    EXPECT_EQ(colorMapAt(-5.0f), colorMapAt(0.0f));
    EXPECT_EQ(colorMapAt(7.0f), colorMapAt(1.0f));
}
