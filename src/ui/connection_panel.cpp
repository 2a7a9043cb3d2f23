// Connection panel (placeholder until the panel is built).
#include "ui/ui.h"

void placePanel() {}
void drawConnectionPanel(bool*) {}
void checkPortAlive() {}
