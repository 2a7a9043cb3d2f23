// 3-D view: the view settings, the Plotter (window, GL resources, scene objects, camera), the scene
// drawing and the named colour table. Used by the frame loop and the view settings panel.
#pragma once

#include <cstdint>

// View settings: written by the view settings panel, read when the next frame is drawn. GUI thread only.
extern float backgroundColor[4];        // (0.14, 0.14, 0.15, 1.0)
extern float gridColor[4];              // (0.32, 0.32, 0.32, 1.0); alpha unused
extern float pointSize;                 // pixels, 2.0
extern int32_t gridSpacing;             // centimetres, 100
extern const char* viewRequest;         // one-shot camera preset request: an entry of viewNames, by pointer
extern const char* const viewNames[7];  // "FIRST PERSON VIEW", "TOP VIEW", ... "RIGHT VIEW"
