// In-memory stand-in for the libserialport calls the link uses (placeholder until the link is built).
#include <libserialport.h>
