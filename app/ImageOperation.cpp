#include "app/ImageOperation.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>

namespace {

// In the order the help lists them.
const CommandLine::Option kOperations[] = {
    {"--band", 0, CommandLine::kValue},         {"--crop", 0, CommandLine::kValue},
    {"--fill", 0, CommandLine::kValue},         {"--stretch", 0, CommandLine::kValue},
    {"--map-palette", 0, CommandLine::kValue},  {"--rop", 0, CommandLine::kValue},
    {"--rotate", 0, CommandLine::kValue},       {"--blur", 0, CommandLine::kValue},
    {"--smooth", 0, CommandLine::kValue},       {"--levels", 0, CommandLine::kValue},
    {"--erode", 0, CommandLine::kValue},        {"--dilate", 0, CommandLine::kValue},
    {"--erode-repeat", 0, CommandLine::kValue}, {"--dilate-repeat", 0, CommandLine::kValue}};

// Parses exactly `count` comma-separated integers of the int range.
bool ParseInts(const std::string& text, int count, int* out) {
    const char* at = text.c_str();
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(at, &end, 10);
        if (end == at || errno || value < INT32_MIN || value > INT32_MAX) return false;
        if (*end != (i + 1 < count ? ',' : '\0')) return false;
        out[i] = static_cast<int>(value);
        at = end + 1;
    }
    return true;
}

// A raster operation by name or as a hexadecimal code.
bool ParseRop(const std::string& text, DWORD* rop) {
    static const struct {
        const char* name;
        DWORD code;
    } kNamed[] = {
        {"SRCCOPY", SRCCOPY},         {"SRCPAINT", SRCPAINT},   {"SRCAND", SRCAND},
        {"SRCINVERT", SRCINVERT},     {"SRCERASE", SRCERASE},   {"NOTSRCCOPY", NOTSRCCOPY},
        {"NOTSRCERASE", NOTSRCERASE}, {"MERGECOPY", MERGECOPY}, {"MERGEPAINT", MERGEPAINT},
        {"PATCOPY", PATCOPY},         {"PATPAINT", PATPAINT},   {"PATINVERT", PATINVERT},
        {"DSTINVERT", DSTINVERT},     {"BLACKNESS", BLACKNESS}, {"WHITENESS", WHITENESS}};
    for (const auto& named : kNamed) {
        if (text == named.name) {
            *rop = named.code;
            return true;
        }
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long code = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno || code > 0xFFFFFFFF) return false;
    *rop = static_cast<DWORD>(code);
    return true;
}

} // namespace

std::string ImageOperation::Parse() {
    const auto expected = [&](const std::string& form) {
        return name + " " + value + ": expected " + form;
    };
    const std::string kAnyInt = "from -2147483648 to 2147483647";
    if (name == "--band") {
        if (!ParseInts(value, 2, n) || n[0] < 0 || n[0] >= n[1])
            return expected("FIRST,LAST with 0 <= FIRST < LAST <= 2147483647");
    } else if (name == "--crop") {
        if (!ParseInts(value, 4, n) || n[0] >= n[2] || n[1] >= n[3])
            return expected("LEFT,TOP,RIGHT,BOTTOM " + kAnyInt +
                            " with LEFT < RIGHT and TOP < BOTTOM");
    } else if (name == "--fill") {
        const std::size_t comma = value.find(',');
        const std::string colour = value.substr(0, comma);
        rectangle = comma != std::string::npos;
        if ((colour != "black" && colour != "white") ||
            (rectangle && (!ParseInts(value.substr(comma + 1), 4, n) || n[2] <= 0 || n[3] <= 0)))
            return expected("black|white[,X,Y,W,H] with X and Y " + kAnyInt +
                            ", W and H from 1 to 2147483647");
        rop = colour == "black" ? BLACKNESS : WHITENESS;
    } else if (name == "--stretch") {
        if (!ParseInts(value, 2, n) || n[0] <= 0 || n[1] <= 0)
            return expected("WIDTH,HEIGHT from 1 to 2147483647");
    } else if (name == "--map-palette") {
        if (value.empty()) return expected("FILE.bmp");
        file = value;
    } else if (name == "--rop") {
        const std::size_t comma = value.find(',');
        if (comma == std::string::npos || comma + 1 == value.size() ||
            !ParseRop(value.substr(0, comma), &rop))
            return expected("CODE,FILE.bmp with CODE a hexadecimal raster operation or its name");
        file = value.substr(comma + 1);
    } else if (name == "--rotate") {
        const std::size_t comma = value.find(',');
        const std::string form = "DEGREES[,RRGGBB] with DEGREES " + kAnyInt;
        if (comma != std::string::npos) {
            const std::string hex = value.substr(comma + 1);
            char* end = nullptr;
            const unsigned long rgb = std::strtoul(hex.c_str(), &end, 16);
            if (hex.size() != 6 || *end != '\0' || !std::isxdigit(BYTE(hex[0])))
                return expected(form);
            colour = RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF);
        }
        if (!ParseInts(value.substr(0, comma), 1, n)) return expected(form);
    } else if (name == "--blur") {
        if (!ParseInts(value, 1, n) || n[0] < 0 || n[0] > 10000)
            return expected("N from 0 to 10000");
    } else if (name == "--smooth") {
        if (!ParseInts(value, 1, n) || n[0] <= -8) return expected("WEIGHT from -7 to 2147483647");
    } else if (name == "--levels") {
        const bool one = ParseInts(value, 2, n);
        if (one) n[2] = n[3] = n[1];
        if (!one && !ParseInts(value, 4, n))
            return expected("LOW,HIGH or LOW,HIGHBLUE,HIGHGREEN,HIGHRED");
        for (int k = 1; k < 4; ++k)
            if (n[0] < 0 || n[k] <= n[0] || n[k] > 255)
                return expected("levels with 0 <= LOW < HIGH <= 255");
    } else if (name == "--erode" || name == "--dilate") {
        if (!ParseInts(value, 3, n) || std::any_of(n, n + 3, [](int p) { return p < 0 || p > 7; }))
            return expected("three row patterns P,C,N from 0 to 7");
    } else if (name == "--erode-repeat" || name == "--dilate-repeat") {
        if (!ParseInts(value, 1, n) || n[0] < 0 || n[0] > 0xFFFF)
            return expected("TIMES from 0 to 65535");
    }
    return {};
}

std::vector<CommandLine::Option> ImageOperation::Options() {
    return {std::begin(kOperations), std::end(kOperations)};
}
