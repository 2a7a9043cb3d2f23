// View settings panel (placeholder until the panel is built).
#include "ui/ui.h"

void drawViewPanel(bool*) {}
