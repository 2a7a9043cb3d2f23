// Worker life cycle (placeholder until the link is built).
#include "app/app.h"

void startWorkerThreads(SerialLink*) {}
void startWorkers() {}
void stopWorkers() {}
void runExitSequence() {}
