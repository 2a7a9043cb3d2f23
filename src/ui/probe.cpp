// The test-only item probe (see probe.h).
#include "ui/probe.h"

// Process-wide: set only by tests.
ItemProbe itemProbe = nullptr;
