// The recording and scene file layouts: formatting of the header, rows and scenes, and parsing of
// rows and scene lines. Used by the writer, the reader, quarvis-decode and the benchmarks; no state.
//
// Numbers go through std::to_chars/std::from_chars, not streams: a row is 1441 values, formatted
// and parsed every GUI frame. Every byte written is the byte a default-formatted stream writes
// (to_chars with the general format and precision 6 is printf's %g), and every value a stream
// reads back is read here too (leading white space and '+', "5.", ".5", exponents, underflow to 0).
#include "record/record.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

constexpr int significantDigits = 6;
constexpr int longestNumber = 16;  // "-1.17549e-38" and the like fit with room to spare

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

struct Cursor {
    const char* at;
    const char* end;

    void skipSpace() {
        while (at != end && isSpace(*at)) ++at;
    }
    // One separator: any character after white space, as `stream >> ch` takes it.
    bool takeSeparator() {
        skipSpace();
        if (at == end) return false;
        ++at;
        return true;
    }
    // A decimal integer with an optional sign, as `stream >> int` reads it; overflow fails.
    bool takeInteger() {
        skipSpace();
        bool negative = false;
        if (at != end && (*at == '+' || *at == '-')) negative = *at++ == '-';
        if (at == end || !isDigit(*at)) return false;
        long long value = 0;
        const auto [next, error] = std::from_chars(at, end, value);
        const long long largest = std::numeric_limits<int>::max() + (negative ? 1LL : 0LL);
        if (error != std::errc() || value > largest) return false;
        at = next;
        return true;
    }
    bool takeFloat(float& value) {
        skipSpace();
        bool negative = false;
        if (at != end && (*at == '+' || *at == '-')) negative = *at++ == '-';
        // Digits or a point must follow: a stream reads neither "inf", "nan" nor a second sign.
        if (at == end || !(isDigit(*at) || *at == '.')) return false;
        const char* start = at;
        auto [next, error] = std::from_chars(start, end, value, std::chars_format::general);
        if (error == std::errc::result_out_of_range && !outOfRangeValue(start, end, value, next)) return false;
        if (error != std::errc() && error != std::errc::result_out_of_range) return false;
        at = next;
        if (negative) value = -value;
        return true;
    }

    // A value beyond float's range: a stream reads an underflow as its nearest float (down to 0)
    // and fails an overflow.
    static bool outOfRangeValue(const char* start, const char* end, float& value, const char*& next) {
        double wide = 0.0;
        const auto [wideNext, wideError] = std::from_chars(start, end, wide, std::chars_format::general);
        next = wideNext;
        if (wideError == std::errc()) {
            value = static_cast<float>(wide);
            return std::isfinite(value);
        }
        for (const char* c = start; c + 1 < wideNext; ++c)
            if (*c == 'e' || *c == 'E') {
                value = 0.0f;
                return c[1] == '-';
            }
        return false;
    }
};

void appendName(std::string& out, char axis, int index) {
    char digits[8];
    const auto written = std::to_chars(digits, digits + sizeof digits, index).ptr;
    out += axis;
    out.append(digits, written);
    out += ',';
}

}  // namespace

void appendNumber(std::string& out, float value) {
    char text[longestNumber];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::general, significantDigits).ptr;
    out.append(text, written);
}

void appendRecordingHeader(std::string& out) {
    out += "time,";
    for (int i = 1; i <= pointsPerFrame; ++i) {
        appendName(out, 'x', i);
        appendName(out, 'y', i);
        appendName(out, 'z', i);
    }
    out += "roll,pitch,yaw\n";
}

void appendRecordingRow(std::string& out, const std::string& timestamp, const PointFrame& frame) {
    out += timestamp;
    out += ',';
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k) {
            appendNumber(out, frame.xyz[p][k]);
            out += ',';
        }
    out += '\n';
}

void appendScene(std::string& out, const PointFrame& frame) {
    for (int p = 0; p < pointsPerFrame; ++p) {
        for (int k = 0; k < 3; ++k) {
            appendNumber(out, frame.xyz[p][k]);
            out += ',';
        }
        out += '\n';
    }
    out += '\n';
}

bool parseRecordingRow(const char* begin, const char* end, PointFrame& frame) {
    Cursor cursor{begin, end};
    if (!cursor.takeInteger() || !cursor.takeSeparator() || !cursor.takeInteger() || !cursor.takeSeparator())
        return false;
    for (int p = 0; p < pointsPerFrame; ++p) {
        for (int k = 0; k < 3; ++k)
            if (!cursor.takeFloat(frame.xyz[p][k]) || !cursor.takeSeparator()) return false;
        frame.valid[p] = 1;
    }
    return true;
}

bool parseSceneLine(const char* begin, const char* end, float xyz[3]) {
    Cursor cursor{begin, end};
    for (int k = 0; k < 3; ++k)
        if (!cursor.takeFloat(xyz[k]) || !cursor.takeSeparator()) return false;
    return true;
}
