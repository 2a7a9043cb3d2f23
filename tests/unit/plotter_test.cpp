// The Plotter's drawable objects: creation numbers and the seven-object limit, the capacity rule,
// colours per vertex. None of this needs a window or a GL context.
#include "view/view.h"

#include <gtest/gtest.h>

#include <epoxy/gl.h>

namespace {

const std::vector<float> white{1.0f, 1.0f, 1.0f};
const std::vector<float> red{1.0f, 0.0f, 0.0f};

std::vector<float> colorsOf(const SceneObject& object) {
    return std::vector<float>(object.colors.begin(), object.colors.begin() + object.count * object.colorSize);
}

}  // namespace

TEST(PlotterObjects, IdsCountFromOneAndTheEighthRequestIsRefused) {
    Plotter plotter;
    for (int i = 1; i <= maxObjects; ++i) {
        SceneObject* object = createObject(plotter, GL_LINES, 3, white, 3, 4);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(object->id, i);
        EXPECT_EQ(object, &plotter.objects[i - 1]);
    }
    EXPECT_EQ(createObject(plotter, GL_POINTS, 3, white, 3, 4), nullptr);
    EXPECT_EQ(plotter.objectCount, maxObjects);
    EXPECT_EQ(plotter.objects[objectSlots - 1].id, 0);
    EXPECT_TRUE(plotter.objects[objectSlots - 1].vertices.empty());
}

TEST(PlotterObjects, CapacityTenHoldsNineVertices) {
    Plotter plotter;
    SceneObject* object = createObject(plotter, GL_POINTS, 3, white, 3, 10);
    const std::array<float, 3> point = makePoint(1, 2, 3);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(addVertices(plotter, object, point.data(), 1), 0);

    const std::array<float, 6> segment = makeSegment(7, 7, 7, 8, 8, 8);
    EXPECT_EQ(addVertices(plotter, object, segment.data(), 2), -2) << "two at count 8 would reach the capacity";
    EXPECT_EQ(object->count, 8);
    EXPECT_EQ(object->vertices[24], 0.0f) << "a refused call writes nothing";

    EXPECT_EQ(addVertices(plotter, object, point.data(), 0), 0);
    EXPECT_EQ(object->count, 8);
    EXPECT_EQ(addVertices(plotter, object, point.data(), 1), 0);
    EXPECT_EQ(object->count, 9);
    EXPECT_EQ(addVertices(plotter, object, point.data(), 1), -2);
    EXPECT_EQ(object->count, 9);
}

TEST(PlotterObjects, MissingObjectsAreReportedNotTouched) {
    Plotter plotter;
    const std::array<float, 3> point = makePoint(0, 0, 0);
    EXPECT_EQ(addVertices(plotter, nullptr, point.data(), 1), -1);
    EXPECT_EQ(setObjectColor(plotter, nullptr, red), -1);
    clearObject(plotter, nullptr);
}

TEST(PlotterObjects, EachVertexTakesTheColourCurrentWhenItWasAdded) {
    Plotter plotter;
    SceneObject* object = createObject(plotter, GL_LINES, 3, white, 3, 16);
    const std::array<float, 6> segment = makeSegment(0, 0, 0, 1, 1, 1);
    addVertices(plotter, object, segment.data(), 2);
    EXPECT_EQ(setObjectColor(plotter, object, red), 0);
    const std::array<float, 9> three = {0, 0, 0, 1, 0, 0, 2, 0, 0};
    addVertices(plotter, object, three.data(), 3);
    EXPECT_EQ(colorsOf(*object), (std::vector<float>{1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 0, 0, 1, 0, 0}));

    // A colour list longer than colorSize contributes only its first colorSize values.
    setObjectColor(plotter, object, {0.5f, 0.25f, 0.125f, 9.0f});
    addVertices(plotter, object, segment.data(), 1);
    EXPECT_EQ(std::vector<float>(object->colors.begin() + 15, object->colors.begin() + 18),
              (std::vector<float>{0.5f, 0.25f, 0.125f}));
}

TEST(PlotterObjects, VerticesAreCopiedInOrderAndClearingKeepsTheArrays) {
    Plotter plotter;
    SceneObject* object = createObject(plotter, GL_LINES, 3, white, 3, 8);
    const std::array<float, 6> segment = makeSegment(1, 2, 3, 4, 5, 6);
    const std::array<float, 3> point = makePoint(7, 8, 9);
    addVertices(plotter, object, segment.data(), 2);
    addVertices(plotter, object, point.data(), 1);
    const std::vector<float> expected{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(std::vector<float>(object->vertices.begin(), object->vertices.begin() + 9), expected);

    clearObject(plotter, object);
    EXPECT_EQ(object->count, 0);
    EXPECT_EQ(std::vector<float>(object->vertices.begin(), object->vertices.begin() + 9), expected);
    EXPECT_EQ(object->colors[0], 1.0f);

    addVertices(plotter, object, point.data(), 1);
    EXPECT_EQ(object->vertices[0], 7.0f) << "after clearing, vertices are written from the start again";
}

