// Record and replay panel (placeholder until the panel is built).
#include "ui/ui.h"

void drawRecordPanel(bool*) {}
