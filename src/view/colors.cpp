// Colour look-up by X11 name over the Plotter's colour table. Called by the scene set-up.
#include "view/view.h"

#include <cctype>
#include <cstring>

std::string normalizeColorName(const char* name, int limit) {
    std::string key;
    for (int i = 0; name[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isspace(c)) continue;
        if (i > limit) break;
        key.push_back(static_cast<char>(std::tolower(c)));
    }
    return key;
}

const NamedColor* findColor(const Plotter& plotter, const char* name) {
    if (plotter.colorTable == nullptr) return nullptr;
    const std::string key = normalizeColorName(name, colorNameLimit);
    for (int row = 0; row < namedColorCount; ++row) {
        if (std::strncmp(key.c_str(), plotter.colorTable[row].name, colorNameLimit) == 0) return &plotter.colorTable[row];
    }
    return nullptr;
}

std::vector<float> colorByName(const Plotter& plotter, const char* name) {
    std::vector<float> color;
    if (const NamedColor* row = findColor(plotter, name)) color = {row->red, row->green, row->blue};
    return color;
}
