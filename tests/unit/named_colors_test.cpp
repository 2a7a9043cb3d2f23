// The named colour table against the X11 colour database, and the look-up by name: case and blanks
// do not matter, only whole names match.
#include "view/view.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

TEST(NamedColors, EveryRowHasTheDatabaseValuesAndRoundedFloats) {
    std::ifstream in("/usr/share/X11/rgb.txt");
    if (!in) GTEST_SKIP() << "no X11 colour database on this machine";
    // Keyed like the table: lower case, blanks removed; the first entry of a key wins.
    std::map<std::string, std::array<int, 3>> database;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '!') continue;
        std::istringstream fields(line);
        std::array<int, 3> value{};
        fields >> value[0] >> value[1] >> value[2];
        std::string key;
        for (std::string word; fields >> word;) key += word;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        database.emplace(key, value);
    }
    std::set<std::string> seen;
    for (const NamedColor& colour : namedColors) {
        SCOPED_TRACE(colour.name);
        EXPECT_TRUE(seen.insert(colour.name).second) << "duplicate name";
        const auto found = database.find(colour.name);
        ASSERT_NE(found, database.end()) << "not in rgb.txt";
        const std::array<int, 3> eightBit{colour.red8, colour.green8, colour.blue8};
        EXPECT_EQ(eightBit, found->second);
        const float unit[3] = {colour.red, colour.green, colour.blue};
        for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(unit[k], static_cast<float>(std::round(eightBit[k] / 255.0 * 1e5) / 1e5));
    }
}

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
