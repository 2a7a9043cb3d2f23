// Serial port access (placeholder until the link is built).
#include "link/link.h"

SerialLink serialLink;
