// Replay reader, per-frame part (placeholder until the reader is built).
#include "record/record.h"

void readReplayFrame() {}
