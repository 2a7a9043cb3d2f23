// The named colour table against the X11 colour database, and the forgiving look-up by name.
#include "view/view.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace {

Plotter plotterWithTable() {
    Plotter plotter;
    plotter.colorTable = namedColors;
    return plotter;
}

// rgb.txt keyed like the table: lower case, blanks removed; the first entry of a key wins.
std::map<std::string, std::array<int, 3>> readColourDatabase(const char* path) {
    std::map<std::string, std::array<int, 3>> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '!') continue;
        std::istringstream fields(line);
        int red = 0, green = 0, blue = 0;
        fields >> red >> green >> blue;
        std::string key, word;
        while (fields >> word) key += word;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        values.emplace(key, std::array<int, 3>{red, green, blue});
    }
    return values;
}

}  // namespace

TEST(NamedColors, EveryRowHasTheDatabaseValuesAndRoundedFloats) {
    const auto database = readColourDatabase("/usr/share/X11/rgb.txt");
    if (database.empty()) GTEST_SKIP() << "no X11 colour database on this machine";
    std::set<std::string> seen;
    for (int row = 0; row < namedColorCount; ++row) {
        const NamedColor& colour = namedColors[row];
        SCOPED_TRACE(colour.name);
        EXPECT_TRUE(seen.insert(colour.name).second) << "duplicate name";
        for (const char* c = colour.name; *c != '\0'; ++c) {
            EXPECT_FALSE(std::isspace(static_cast<unsigned char>(*c)) || std::isupper(static_cast<unsigned char>(*c)));
        }
        const auto found = database.find(colour.name);
        ASSERT_NE(found, database.end()) << "not in rgb.txt";
        EXPECT_EQ(colour.red8, found->second[0]);
        EXPECT_EQ(colour.green8, found->second[1]);
        EXPECT_EQ(colour.blue8, found->second[2]);
        const int eightBit[3] = {colour.red8, colour.green8, colour.blue8};
        const float unit[3] = {colour.red, colour.green, colour.blue};
        for (int k = 0; k < 3; ++k) {
            EXPECT_FLOAT_EQ(unit[k], static_cast<float>(std::round(eightBit[k] / 255.0 * 100000.0) / 100000.0));
        }
    }
}

TEST(NamedColors, TellingRowsStandWhereTheyBelong) {
    struct Expected {
        int position;
        const char* name;
        int red8, green8, blue8;
        float red, green, blue;
    };
    const Expected rows[] = {
        {1, "ghostwhite", 248, 248, 255, 0.97255f, 0.97255f, 1.0f},
        {25, "white", 255, 255, 255, 1.0f, 1.0f, 1.0f},
        {26, "black", 0, 0, 0, 0.0f, 0.0f, 0.0f},
        {31, "grey", 190, 190, 190, 0.74510f, 0.74510f, 0.74510f},
        {42, "blue", 0, 0, 255, 0.0f, 0.0f, 1.0f},
        {69, "green", 0, 255, 0, 0.0f, 1.0f, 0.0f},
        {109, "red", 255, 0, 0, 1.0f, 0.0f, 0.0f},
        {405, "gray1", 3, 3, 3, 0.01176f, 0.01176f, 0.01176f},
        {500, "darkgrey", 169, 169, 169, 0.66275f, 0.66275f, 0.66275f},
    };
    for (const Expected& e : rows) {
        const NamedColor& row = namedColors[e.position - 1];
        SCOPED_TRACE(e.name);
        EXPECT_STREQ(row.name, e.name);
        EXPECT_EQ(row.red8, e.red8);
        EXPECT_EQ(row.green8, e.green8);
        EXPECT_EQ(row.blue8, e.blue8);
        EXPECT_FLOAT_EQ(row.red, e.red);
        EXPECT_FLOAT_EQ(row.green, e.green);
        EXPECT_FLOAT_EQ(row.blue, e.blue);
    }
}

TEST(NamedColors, NamesAreFoundWhateverTheirCaseAndBlanks) {
    const Plotter plotter = plotterWithTable();
    EXPECT_EQ(colorByName(plotter, "white"), (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(colorByName(plotter, "White "), (std::vector<float>{1.0f, 1.0f, 1.0f}));
    EXPECT_EQ(colorByName(plotter, " Light Grey\t"), colorByName(plotter, "lightgrey"));
    EXPECT_EQ(colorByName(plotter, "LIGHTGREY"), colorByName(plotter, "lightgrey"));
    EXPECT_EQ(colorByName(plotter, "grey"), (std::vector<float>{0.74510f, 0.74510f, 0.74510f}));
    EXPECT_EQ(colorByName(plotter, "gray99"), (std::vector<float>{0.98824f, 0.98824f, 0.98824f}));
    const NamedColor* darkGrey = findColor(plotter, "dark grey");
    ASSERT_NE(darkGrey, nullptr);
    EXPECT_EQ(darkGrey, &namedColors[namedColorCount - 1]);
    EXPECT_EQ(darkGrey->red8, 169);
}

TEST(NamedColors, UnknownOrEmptyNamesGiveNothing) {
    const Plotter plotter = plotterWithTable();
    for (const char* name : {"gray", "lightgray", "darkgray", "gray100", "gray0", "gray41", "", " \t\n\v\f\r",
                             "whitee", "whit"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(colorByName(plotter, name).empty());
        EXPECT_EQ(findColor(plotter, name), nullptr);
    }
    const Plotter noTable;
    EXPECT_TRUE(colorByName(noTable, "white").empty());
}

TEST(NamedColors, KeyStopsAfterInputPosition128) {
    EXPECT_EQ(normalizeColorName("  Dark\tGrey\n", colorNameLimit), "darkgrey");
    EXPECT_EQ(normalizeColorName("", colorNameLimit), "");

    // Positions count blanks too: a letter at position 128 is kept, one at 129 is not.
    const std::string padded = std::string(128, ' ') + "AB";
    EXPECT_EQ(normalizeColorName(padded.c_str(), colorNameLimit), "a");
    const std::string long129 = std::string(129, 'x') + "yz";
    EXPECT_EQ(normalizeColorName(long129.c_str(), colorNameLimit), std::string(129, 'x'));

    // A real name whose last letter stands beyond position 128 is cut and no longer matches.
    const Plotter plotter = plotterWithTable();
    const std::string farRed = std::string(127, ' ') + "red";
    EXPECT_EQ(normalizeColorName(farRed.c_str(), colorNameLimit), "re");
    EXPECT_TRUE(colorByName(plotter, farRed.c_str()).empty());
    const std::string longName = std::string(200, 'w') + "hite";
    EXPECT_TRUE(colorByName(plotter, longName.c_str()).empty());
}
