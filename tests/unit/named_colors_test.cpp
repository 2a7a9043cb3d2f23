// The look-up of a colour by name: case and blanks do not matter, only whole names match.
#include "view/view.h"

#include <gtest/gtest.h>

TEST(NamedColors, LookUpIgnoresCaseAndBlanksAndMatchesWholeNamesOnly) {
    Plotter plotter;
    plotter.colorTable = namedColors;
    const struct {
        const char* name;
        float grey;  // the grey level found; below zero: nothing
    } cases[] = {{"White ", 1.0f}, {" Light Grey\t", 0.82745f}, {"GREY", 0.74510f}, {"gray", -1},
                 {"whit", -1},     {"whitee", -1},              {"", -1},            {" \t\n", -1}};
    for (const auto& c : cases) {
        const std::vector<float> found = colorByName(plotter, c.name);
        EXPECT_EQ(found, c.grey < 0 ? std::vector<float>{} : std::vector<float>(3, c.grey)) << '"' << c.name << '"';
    }
    EXPECT_TRUE(colorByName(Plotter{}, "white").empty()) << "no table, no colours";
}
