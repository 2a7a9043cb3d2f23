// The in-process demo sensor (placeholder until the simulator is built).
#include "link/link.h"

const char* const demoPortName = "DEMO SENSOR";
std::atomic<bool> demoSensorEnabled{false};

int demoPortOpen(int) { return -2; }
void demoPortClose() {}
int demoPortRead(uint8_t*, int) { return 0; }
