// The mutable process-wide state of the link folder, in one place: the registry of links and the
// port listing (declared in link.h and link_state.h, where each says which thread owns it). Every
// other piece of a link's state belongs to its Link.
#include "link/link.h"
#include "link/link_state.h"

std::vector<std::unique_ptr<Link>> linkRegistry;
std::vector<std::string> portList{portPlaceholder};
std::vector<PortDetails> portDetails;
std::vector<PortFailure> portsLeftOut;
std::atomic<bool> demoSensorEnabled{false};
