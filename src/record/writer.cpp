// Recording writer (placeholder until the writer is built).
#include "record/record.h"

void writeRecordingFrame() {}
