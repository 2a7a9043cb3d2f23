// What the 3-D view shows: the ground grid, the three axes, the half ring in front of the sensor and
// the points of the latest frame. The frame loop calls setupScene once, then fillScene and render
// every frame, on the GUI thread. Only render touches GL.
#include "view/view.h"

#include "link/link.h"

#include <epoxy/gl.h>

#include <cmath>
#include <numbers>

namespace {

constexpr int32_t rangeArcCapacity = 512;
constexpr int32_t cloudCapacity = 1024;
constexpr int32_t gridCapacity = 512;
constexpr int32_t axesCapacity = 10;
constexpr int floatsPerVertex = 3;
constexpr int floatsPerColor = 3;

constexpr double axisLength = 200.0;
constexpr double xAxisStart = 6.0;      // inside this the half ring's base lines run along x
constexpr double gridReach = 40.0;      // metres, for spacings of a metre or more
constexpr int gridReachCentimetres = 4000;
constexpr int wideSpacing = 100;        // centimetres
constexpr double centreLineEnd = -6.0;  // metres, whatever the spacing

void addSegment(Plotter& plotter, SceneObject* object, double x1, double y1, double z1, double x2, double y2,
                double z2) {
    const std::array<float, 6> segment = makeSegment(x1, y1, z1, x2, y2, z2);
    addVertices(plotter, object, segment.data(), 2);
}

void addPoint(Plotter& plotter, SceneObject* object, double x, double y, double z) {
    const std::array<float, 3> point = makePoint(x, y, z);
    addVertices(plotter, object, point.data(), 1);
}

// Cells on each side of the origin for spacings under a metre.
int fineGridCells(int32_t spacing) {
    if (spacing >= 30) return 20;
    if (spacing == 20) return 30;
    return 50;
}

// Lines i = -cells..cells, x-parallel before y-parallel; the centre lines stop where the axes begin.
void addGridLines(Plotter& plotter, int cells, float step, double reach) {
    SceneObject* grid = scene.grid;
    for (int i = -cells; i <= cells; ++i) {
        const float offset = static_cast<float>(i) * step;
        if (i == 0) {
            addSegment(plotter, grid, -reach, 0, 0, centreLineEnd, 0, 0);
            addSegment(plotter, grid, 0, -reach, 0, 0, 0, 0);
        } else {
            addSegment(plotter, grid, -reach, offset, 0, reach, offset, 0);
            addSegment(plotter, grid, offset, -reach, 0, offset, reach, 0);
        }
    }
}

void uploadObject(SceneObject& object) {
    glBindBuffer(GL_ARRAY_BUFFER, object.vertexBuffer);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(object.count) * object.vertexSize * sizeof(float),
                 object.vertices.data(), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, object.colorBuffer);
    glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(object.count) * object.colorSize * sizeof(float),
                 object.colors.data(), GL_STATIC_DRAW);
}

void drawObject(const SceneObject& object) {
    glEnableVertexAttribArray(0);
    glBindBuffer(GL_ARRAY_BUFFER, object.vertexBuffer);
    glVertexAttribPointer(0, object.vertexSize, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(1);
    glBindBuffer(GL_ARRAY_BUFFER, object.colorBuffer);
    glVertexAttribPointer(1, object.colorSize, GL_FLOAT, GL_FALSE, 0, nullptr);
    glDrawArrays(object.mode, 0, object.count);
    glDisableVertexAttribArray(1);
    glDisableVertexAttribArray(0);
}

}  // namespace

void setupScene(Plotter& plotter) {
    scene.white = colorByName(plotter, "white");
    scene.red = colorByName(plotter, "red");
    scene.green = colorByName(plotter, "green");
    scene.blue = colorByName(plotter, "blue");
    scene.grey = colorByName(plotter, "grey");
    scene.rangeArc = createObject(plotter, GL_LINE_STRIP, floatsPerVertex, scene.white, floatsPerColor, rangeArcCapacity);
    scene.cloud = createObject(plotter, GL_POINTS, floatsPerVertex, scene.white, floatsPerColor, cloudCapacity);
    scene.grid = createObject(plotter, GL_LINES, floatsPerVertex, scene.grey, floatsPerColor, gridCapacity);
    scene.axes = createObject(plotter, GL_LINES, floatsPerVertex, scene.white, floatsPerColor, axesCapacity);
}

void fillScene(Plotter& plotter) {
    clearObject(plotter, scene.rangeArc);
    clearObject(plotter, scene.cloud);
    clearObject(plotter, scene.axes);
    clearObject(plotter, scene.grid);
    drawAxes(plotter);
    drawGrid(plotter);
    drawPoints(plotter);
}

// The axes keep their hues on any background, lightened or darkened as far as it takes to stand out.
void drawAxes(Plotter& plotter) {
    const auto onBackground = [](const std::vector<float>& colour) {
        const glm::vec3 readable = readableOn(glm::vec3(colour[0], colour[1], colour[2]), backgroundColor);
        return std::vector<float>{readable.r, readable.g, readable.b};
    };
    setObjectColor(plotter, scene.axes, onBackground(scene.red));
    addSegment(plotter, scene.axes, xAxisStart, 0, 0, axisLength, 0, 0);
    setObjectColor(plotter, scene.axes, onBackground(scene.green));
    addSegment(plotter, scene.axes, 0, 0, 0, 0, axisLength, 0);
    setObjectColor(plotter, scene.axes, onBackground(scene.blue));
    addSegment(plotter, scene.axes, 0, 0, 0, 0, 0, axisLength);
}

void drawGrid(Plotter& plotter) {
    setObjectColor(plotter, scene.grid, {gridColor[0], gridColor[1], gridColor[2]});
    const float step = static_cast<float>(gridSpacing) / 100.0f;
    if (gridSpacing >= wideSpacing) {
        addGridLines(plotter, gridReachCentimetres / gridSpacing, step, gridReach);
    } else {
        const int cells = fineGridCells(gridSpacing);
        addGridLines(plotter, cells, step, static_cast<float>(cells) * step);
    }
}

// The point size itself is applied by render, just before the draw. White (dark on a light
// background) and the chosen colour paint every point alike; the height and range modes give each
// point its colour from the part of the map that stands out against the background.
void drawPoints(Plotter& plotter) {
    const glm::vec3 ink = inkOn(backgroundColor);
    const std::vector<float> inkColour{ink.r, ink.g, ink.b};
    setObjectColor(plotter, scene.rangeArc, inkColour);
    drawRangeArc(plotter);
    const PointFrame& frame = frameOnShow.frame;
    if (pointColorMode != colorByHeight && pointColorMode != colorByRange) {
        const bool chosen = pointColorMode == colorChosen;
        setObjectColor(plotter, scene.cloud, chosen ? std::vector<float>(pointColor, pointColor + 3) : inkColour);
        for (int p = 0; p < pointsPerFrame; ++p) {
            if (frame.valid[p] != 0) addPoint(plotter, scene.cloud, frame.xyz[p][0], frame.xyz[p][1], frame.xyz[p][2]);
        }
        return;
    }
    std::vector<float> values;
    values.reserve(pointsPerFrame);
    for (int p = 0; p < pointsPerFrame; ++p) {
        if (frame.valid[p] != 0) values.push_back(colorValue(pointColorMode, frame.xyz[p]));
    }
    std::vector<float> sorted = values;
    const ValueRange range = colorMapRange(sorted, colorRangeAuto, {colorRangeLow, colorRangeHigh}, {scene.mapLow, scene.mapHigh});
    scene.mapLow = range.low;
    scene.mapHigh = range.high;
    const MapSpan span = colorMapSpan(backgroundColor);
    std::vector<float> colour(floatsPerColor);
    size_t next = 0;
    for (int p = 0; p < pointsPerFrame; ++p) {
        if (frame.valid[p] == 0) continue;
        const glm::vec3 mapped = colorMapAt((values[next++] - range.low) / (range.high - range.low), span);
        colour.assign({mapped.r, mapped.g, mapped.b});
        setObjectColor(plotter, scene.cloud, colour);
        addPoint(plotter, scene.cloud, frame.xyz[p][0], frame.xyz[p][1], frame.xyz[p][2]);
    }
}

// One strip around the half annulus between the two radii on the +y side, closed along the x axis.
void drawRangeArc(Plotter& plotter) {
    const float innerRadius = 4.0 - 0.01;
    const float outerRadius = 6.0 - 0.01;
    const double degree = std::numbers::pi / 180.0;
    SceneObject* arc = scene.rangeArc;
    addSegment(plotter, arc, innerRadius, 0, 0, outerRadius, 0, 0);
    for (int d = 1; d <= 179; ++d) addPoint(plotter, arc, outerRadius * std::cos(d * degree), outerRadius * std::sin(d * degree), 0);
    addSegment(plotter, arc, -outerRadius, 0, 0, -innerRadius, 0, 0);
    for (int d = 179; d >= 1; --d) addPoint(plotter, arc, innerRadius * std::cos(d * degree), innerRadius * std::sin(d * degree), 0);
    addSegment(plotter, arc, innerRadius, 0, 0, -innerRadius, 0, 0);
}

void render(Plotter& plotter) {
    for (int i = 0; i < plotter.objectCount; ++i) {
        SceneObject& object = plotter.objects[i];
        if (object.id == 0) continue;
        if (plotter.buffersPending) {
            glGenBuffers(1, &object.vertexBuffer);
            glGenBuffers(1, &object.colorBuffer);
            if (i >= plotter.objectCount - 1) plotter.buffersPending = false;
        }
        if (object.count != 0) uploadObject(object);
    }
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glUseProgram(plotter.program);
    updateCamera(plotter);
    const glm::mat4 mvp = getProjectionMatrix(plotter) * getViewMatrix(plotter) * glm::mat4(1.0f);
    glUniformMatrix4fv(plotter.mvpLocation, 1, GL_FALSE, &mvp[0][0]);
    glPointSize(pointSize);
    for (int i = 0; i < plotter.objectCount; ++i) {
        const SceneObject& object = plotter.objects[i];
        if (object.id == 0 || object.count == 0) continue;
        const bool round = roundPoints && &object == scene.cloud;
        if (round) {
            glUseProgram(plotter.roundPointProgram);
            glUniformMatrix4fv(plotter.roundPointMvpLocation, 1, GL_FALSE, &mvp[0][0]);
        }
        drawObject(object);
        if (round) glUseProgram(plotter.program);
    }
}

void takeFrameOnShow() {
    // The generation first: a frame published in between is newer than the one counted, never older.
    frameOnShow.generation = firstLink().generation();
    firstLink().readLatest(frameOnShow.frame);
}
