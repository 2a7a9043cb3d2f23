// The font bytes compiled into the viewer (generated at build time by embed_fonts.cmake). A size
// of 0 means the font was not there when the viewer was built. Read by the frame loop's set-up.
#pragma once

#include <cstddef>

extern const unsigned char droidSansTtf[];
extern const size_t droidSansTtfSize;
extern const unsigned char fontAwesomeSolidTtf[];
extern const size_t fontAwesomeSolidTtfSize;
