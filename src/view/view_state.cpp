// Process-wide mutable state of the 3-D view (every other file of the subsystem keeps none): the
// view settings, the shader texts, the scene record. GUI thread only.
#include "view/view.h"

float backgroundColor[4] = {0.14f, 0.14f, 0.15f, 1.0f};
float gridColor[4] = {0.32f, 0.32f, 0.32f, 1.0f};
float pointSize = 2.0f;
int32_t gridSpacing = 100;
const char* viewRequest = nullptr;
const char* const viewNames[viewCount] = {"FIRST PERSON VIEW", "TOP VIEW",  "BOTTOM VIEW", "FRONT VIEW",
                                  "BACK VIEW",         "LEFT VIEW", "RIGHT VIEW"};
const char* const viewAnswered = "ALTERNATE VIEWS";
int32_t pointColorMode = colorWhite;
float pointColor[4] = {1.0f, 0.6f, 0.0f, 1.0f};
bool colorRangeAuto = true;
float colorRangeLow = 0.0f;
float colorRangeHigh = 3.0f;
bool roundPoints = false;
uint32_t startViewsTaken = 0;

const char* glslVersion = nullptr;
const char* vertexShaderSource =
    "#version 330 core\n"
    "layout(location = 0) in vec3 vertexPosition_modelspace;"
    "layout(location = 1) in vec3 vertexColor;"
    "out vec3 fragmentColor;"
    "uniform mat4 MVP;"
    "void main () {  gl_Position =  MVP * vec4(vertexPosition_modelspace,1);"
    "fragmentColor = vertexColor;}";
const char* fragmentShaderSource =
    "#version 330 core\n"
    "in vec3 fragmentColor;"
    "out vec3 color;"
    "void main () {  color = fragmentColor;}";
const char* roundPointShaderSource =
    "#version 330 core\n"
    "in vec3 fragmentColor;"
    "out vec3 color;"
    "void main () {  if (length(gl_PointCoord - vec2(0.5)) > 0.5) discard;  color = fragmentColor;}";

char lastGlfwError[256] = "no error reported";

Scene scene;
FrameOnShow frameOnShow;
