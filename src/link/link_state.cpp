// Every piece of mutable process-wide state of the sensor link, in one place (declared in link.h and
// link_state.h, where each says which thread owns it).
#include "link/link.h"
#include "link/link_state.h"

SerialLink serialLink;
std::vector<std::string> portList{portPlaceholder};
std::vector<PortFailure> portsLeftOut;
LinkStatistics linkStatistics;

SynchroniserState synchroniser;
GrabberStorage grabberStorage;
std::atomic<uint8_t*> readyFrame{nullptr};
std::atomic<uint32_t> handlerWake{0};

CaptureTap captureTap;

SharedPointCloud pointCloud;
std::atomic<uint64_t> pointCloudSequence{0};
std::atomic<FramePublishedHook> framePublishedHook{nullptr};
std::atomic<int> framePublishedHookCalls{0};
