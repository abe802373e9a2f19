// tessaly-image: reads a BMP file, or the first image of a GIF file, applies
// image operations in the order given, and writes the result as a BMP file.
#include "app/Conversion.h"
#include "app/StandardOptions.h"
#include "app/TemporaryFile.h"
#include "dib/Dib.h"
#include "fw/Exception.h"
#include "fw/MessageBox.h"
#include "gif/GifDecoder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: tessaly-image INPUT [OPERATION...] OUTPUT.bmp\n"
    "       tessaly-image --info INPUT\n"
    "\n"
    "Reads a BMP file, the first image of a GIF file, or one of the program's\n"
    "bitmaps (INPUT resource:NUMBER, as resource:129 for the About picture),\n"
    "applies the operations in the order given and writes the image as a BMP\n"
    "file at its own depth.\n"
    "\n"
    "  --band FIRST,LAST  keep picture rows FIRST to LAST-1, counted from the top\n"
    "  --crop LEFT,TOP,RIGHT,BOTTOM\n"
    "                     keep the part from (LEFT,TOP) to (RIGHT-1,BOTTOM-1);\n"
    "                     what lies outside the picture comes out white\n"
    "  --fill black|white[,X,Y,W,H]\n"
    "                     paint the image, or the W x H rectangle at (X,Y), black\n"
    "                     or white (the nearest colour of the image's table)\n"
    "  --stretch W,H      resize to W x H by nearest pixels, same depth and colours\n"
    "  --map-palette FILE.bmp\n"
    "                     remap a 4-, 8- or 24-bit image onto the colours of FILE's\n"
    "                     colour table (the nearest colour for each)\n"
    "  --rop CODE,FILE.bmp\n"
    "                     combine FILE's pixels, from its top-left corner, with the\n"
    "                     image by a raster operation: a code in hexadecimal\n"
    "                     (CC0020) or a name (SRCCOPY, SRCPAINT, SRCAND,\n"
    "                     SRCINVERT, SRCERASE, NOTSRCCOPY, NOTSRCERASE, MERGECOPY,\n"
    "                     MERGEPAINT, PATCOPY, PATPAINT, PATINVERT, DSTINVERT,\n"
    "                     BLACKNESS, WHITENESS); the pattern is white\n"
    "  --rotate DEGREES[,RRGGBB]\n"
    "                     turn counter-clockwise onto a canvas that holds the\n"
    "                     turned picture, the corners in RRGGBB (white)\n"
    "  --blur N           blur by N passes (16 and 24 bits)\n"
    "  --smooth WEIGHT    3 x 3 smoothing, the right-hand neighbour weighted\n"
    "                     (16 and 24 bits)\n"
    "  --levels LOW,HIGH  stretch levels LOW..HIGH to 0..255 (24 bits); or\n"
    "  --levels LOW,HIGHBLUE,HIGHGREEN,HIGHRED\n"
    "  --erode P,C,N      keep pixels whose neighbours in the previous, current\n"
    "                     and next row (3-bit patterns 0-7) are all set (1 bit)\n"
    "  --dilate P,C,N     set pixels with any of those neighbours set (1 bit)\n"
    "  --erode-repeat TIMES, --dilate-repeat TIMES\n"
    "                     erode or dilate with 7,7,7 TIMES times (0-65535)\n"
    "  --info             print the image's size, depth, colours and resolution\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "\n"
    "BMP files of 1, 4, 8, 16, 24 and 32 bits with a 40-byte or 12-byte header\n"
    "are read; compressed BMP files and longer headers are not. Exit status: 0\n"
    "when done; 1 when the image could not be read, processed or written; 2 for\n"
    "a usage error or a refused output file.\n";

bool IsOperation(const std::string& arg) {
    static const char* const kOperations[] = {
        "--band",  "--map-palette", "--crop",         "--fill",         "--stretch",
        "--rop",   "--rotate",      "--blur",         "--smooth",       "--levels",
        "--erode", "--dilate",      "--erode-repeat", "--dilate-repeat"};
    return std::find(std::begin(kOperations), std::end(kOperations), arg) != std::end(kOperations);
}

int Fail(const std::string& text, int status = 1) {
    std::fprintf(stderr, "tessaly-image: %s\n", text.c_str());
    return status;
}

// Why a file that starts with "BM" could not be read: the formats refused by
// design get their own message.
std::string WhyNotRead(const std::string& path) {
    unsigned char h[54] = {};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(h), sizeof h);
    const auto got = in.gcount();
    auto u32 = [&](int at) {
        return std::uint32_t(h[at]) | std::uint32_t(h[at + 1]) << 8 |
               std::uint32_t(h[at + 2]) << 16 | std::uint32_t(h[at + 3]) << 24;
    };
    if (got >= 18 && u32(14) != 40 && u32(14) != 12)
        return path + ": BMP files with a " + std::to_string(u32(14)) +
               "-byte header are not supported (only 40 and 12 bytes)";
    static const char* const kCompression[] = {"BI_RGB",       "BI_RLE8", "BI_RLE4",
                                               "BI_BITFIELDS", "BI_JPEG", "BI_PNG"};
    if (got >= 34 && u32(14) == 40 && u32(30) != 0) {
        const std::uint32_t c = u32(30);
        const std::string name = c < 6 ? kCompression[c] : "compression " + std::to_string(c);
        return path + ": compressed BMP files (" + name + ") are not supported";
    }
    return path + ": not a BMP file this program can read (damaged, cut short or too large)";
}

// The first image of a GIF file, captured at the depth the screen gives.
bool ReadGif(const std::string& path, CDIB& dib) {
    CGifDecoder decoder;
    if (!decoder.LoadFile(CString(path))) return false;
    HDC screen = GetDC(nullptr);
    decoder.m_hDC = screen;
    HBITMAP frame = decoder.GetNextFrame();
    bool read = false;
    if (frame) {
        try {
            read = dib.CreateFromBitmap(frame);
        } catch (const CMemoryException&) {
        }
        DeleteObject(frame);
    }
    ReleaseDC(nullptr, screen);
    return read;
}

bool ReadImage(const std::string& path, CDIB& dib, std::string* error) {
    // One of the program's own bitmaps, by its resource number.
    const std::string kResource = "resource:";
    if (path.rfind(kResource, 0) == 0) {
        const std::string number = path.substr(kResource.size());
        char* end = nullptr;
        const unsigned long id = std::strtoul(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || id > 0xFFFF || !dib.LoadFromResource(UINT(id))) {
            *error = path + ": no such bitmap resource";
            return false;
        }
        return true;
    }
    char magic[4] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    in.read(magic, sizeof magic);
    in.close();
    if (std::memcmp(magic, "BM", 2) == 0) {
        bool loaded = false;
        try {
            loaded = dib.Load(path.c_str());
        } catch (const CFileException& e) {
            *error = path + ": " + std::strerror(e.m_lOsError > 0 ? int(e.m_lOsError) : EIO);
            return false;
        }
        if (!loaded) *error = WhyNotRead(path);
        return loaded;
    }
    if (std::memcmp(magic, "GIF8", 4) == 0) {
        if (!ReadGif(path, dib)) *error = path + ": no image could be read from this GIF file";
        return dib.IsValid();
    }
    *error = path + ": neither a BMP nor a GIF file";
    return false;
}

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

// The depths an operation works on; none listed when it works on all.
std::vector<int> DepthsOf(const std::string& name) {
    if (name == "--blur" || name == "--smooth") return {16, 24};
    if (name == "--levels") return {24};
    if (name.rfind("--erode", 0) == 0 || name.rfind("--dilate", 0) == 0) return {1};
    return {};
}

// Applies one operation other than --band; an error message when it cannot,
// with *status 2 for a value of the wrong form.
std::string Apply(const std::string& name, const std::string& value, CDIB& dib, int* status) {
    const auto usage = [&](const std::string& form) {
        *status = 2;
        return name + " " + value + ": expected " + form;
    };
    const int bits = dib.m_pBMI->biBitCount;
    const std::vector<int> depths = DepthsOf(name);
    if (!depths.empty() && std::find(depths.begin(), depths.end(), bits) == depths.end()) {
        std::string only;
        for (int d : depths) only += (only.empty() ? "" : " and ") + std::to_string(d);
        return name + ": not for " + std::to_string(bits) + "-bit images (" + only +
               (depths.back() == 1 ? " bit" : " bits") + " only)";
    }
    int n[4] = {};
    if (name == "--rotate") {
        const std::size_t comma = value.find(',');
        COLORREF background = RGB(255, 255, 255);
        if (comma != std::string::npos) {
            const std::string hex = value.substr(comma + 1);
            char* end = nullptr;
            const unsigned long rgb = std::strtoul(hex.c_str(), &end, 16);
            if (hex.size() != 6 || *end != '\0' || !std::isxdigit(BYTE(hex[0])))
                return usage("DEGREES[,RRGGBB]");
            background = RGB(rgb >> 16 & 0xFF, rgb >> 8 & 0xFF, rgb & 0xFF);
        }
        if (!ParseInts(value.substr(0, comma), 1, n)) return usage("DEGREES[,RRGGBB]");
        if (!dib.Rotate(n[0], background)) return name + ": not for top-down or compressed images";
        return {};
    }
    if (name == "--blur") {
        if (!ParseInts(value, 1, n) || n[0] < 0 || n[0] > 10000) return usage("N from 0 to 10000");
        dib.Blur(n[0]);
        return {};
    }
    if (name == "--smooth") {
        if (!ParseInts(value, 1, n) || n[0] <= -8) return usage("WEIGHT above -8");
        dib.SmoothWeighted(n[0]);
        return {};
    }
    if (name == "--levels") {
        const bool one = ParseInts(value, 2, n);
        if (one) n[2] = n[3] = n[1];
        if (!one && !ParseInts(value, 4, n))
            return usage("LOW,HIGH or LOW,HIGHBLUE,HIGHGREEN,HIGHRED");
        for (int k = 1; k < 4; ++k)
            if (n[0] < 0 || n[k] <= n[0] || n[k] > 255)
                return usage("levels with 0 <= LOW < HIGH <= 255");
        dib.AdjustLevels(n[0], n[1], n[2], n[3]);
        return {};
    }
    if (name == "--erode" || name == "--dilate") {
        if (!ParseInts(value, 3, n) || std::any_of(n, n + 3, [](int p) { return p < 0 || p > 7; }))
            return usage("three row patterns P,C,N from 0 to 7");
        name == "--erode" ? dib.Erode(n[0], n[1], n[2]) : dib.Dilate(n[0], n[1], n[2]);
        return {};
    }
    if (name == "--erode-repeat" || name == "--dilate-repeat") {
        if (!ParseInts(value, 1, n) || n[0] < 0 || n[0] > 0xFFFF)
            return usage("TIMES from 0 to 65535");
        name == "--erode-repeat" ? dib.ErodeRepeat(n[0]) : dib.DilateRepeat(n[0]);
        return {};
    }
    if (name == "--map-palette") {
        // The palette made from another BMP file's colour table.
        CDIB source;
        std::string why;
        if (!ReadImage(value, source, &why)) return why;
        if (!source.m_Palette.GetSafeHandle())
            return value + ": the image has no colour table to take a palette from";
        if (!dib.MapToPalette(&source.m_Palette))
            return name + ": not for images of " + std::to_string(dib.m_pBMI->biBitCount) +
                   " bits with this palette (4 bits take up to 16 colours; 8 and 24 bits up to "
                   "256)";
        return {};
    }
    if (name == "--crop") {
        int r[4];
        if (!ParseInts(value, 4, r)) return usage("LEFT,TOP,RIGHT,BOTTOM");
        if (r[0] >= r[2] || r[1] >= r[3]) return usage("LEFT < RIGHT and TOP < BOTTOM");
        dib.Crop(r[0], r[1], r[2], r[3]);
        if (dib.GetWidth() != r[2] - r[0] || dib.GetHeight() != r[3] - r[1])
            return name + " " + value + ": out of memory";
        return {};
    }
    if (name == "--fill") {
        const std::size_t comma = value.find(',');
        const std::string colour = value.substr(0, comma);
        int r[4] = {0, 0, dib.GetWidth(), dib.GetHeight()};
        if ((colour != "black" && colour != "white") ||
            (comma != std::string::npos && !ParseInts(value.substr(comma + 1), 4, r)) ||
            r[2] <= 0 || r[3] <= 0)
            return usage("black|white[,X,Y,W,H] with W and H of at least 1");
        dib.Fill(r[0], r[1], r[2], r[3], colour == "black" ? BLACKNESS : WHITENESS);
        return {};
    }
    if (name == "--stretch") {
        int size[2];
        if (!ParseInts(value, 2, size) || size[0] <= 0 || size[1] <= 0)
            return usage("WIDTH,HEIGHT of at least 1");
        CDIB resized;
        if (!resized.CreateLike(size[0], size[1], dib))
            return name + " " + value + ": an image of that size cannot be made";
        if (!dib.TryStretchInto(&resized, 0, 0, size[0], size[1], 0, 0, dib.GetWidth(),
                                dib.GetHeight(), SRCCOPY))
            return name + " " + value + ": out of memory";
        dib = resized;
        return {};
    }
    // --rop CODE,FILE
    const std::size_t comma = value.find(',');
    DWORD rop = 0;
    if (comma == std::string::npos || !ParseRop(value.substr(0, comma), &rop))
        return usage("CODE,FILE.bmp with CODE a hexadecimal raster operation or its name");
    CDIB source;
    std::string why;
    if (!ReadImage(value.substr(comma + 1), source, &why)) return why;
    if (!source.TryStretchInto(&dib, 0, 0, dib.GetWidth(), dib.GetHeight(), 0, 0, dib.GetWidth(),
                               dib.GetHeight(), rop))
        return name + " " + value + ": out of memory";
    return {};
}

void PrintInfo(const CDIB& dib) {
    int x = 0, y = 0;
    dib.GetResolution(&x, &y);
    std::printf("width=%d height=%d bits=%d colours=%d compression=%s dpi=%dx%d\n",
                int(dib.m_pBMI->biWidth), int(dib.m_pBMI->biHeight), int(dib.m_pBMI->biBitCount),
                dib.GetNumColors(), dib.m_pBMI->biCompression == BI_RGB ? "BI_RGB" : "other", x, y);
}

} // namespace

int main(int argc, char** argv) {
    AfxSetMessagePresenter([](LPCTSTR text, UINT) {
        std::fprintf(stderr, "tessaly-image: %s\n", text);
        return IDOK;
    });

    struct Operation {
        std::string name, value;
    };
    std::vector<Operation> operations;
    std::vector<std::string> paths;
    bool info = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (AnswerStandardOption(arg, "tessaly-image", kUsage)) return 0;
        if (arg == "--info") {
            info = true;
        } else if (IsOperation(arg)) {
            if (i + 1 >= argc) return Fail(arg + " needs a value\n" + std::string(kUsage), 2);
            operations.push_back({arg, argv[++i]});
        } else if (arg == "--") {
            for (++i; i < argc; ++i) paths.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail("unknown option " + arg + "\n" + kUsage, 2);
        } else {
            paths.push_back(arg);
        }
    }
    if (info ? paths.size() != 1 || !operations.empty() : paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    CDIB dib;
    std::string error;
    if (!ReadImage(paths[0], dib, &error)) return Fail(error);
    if (info) {
        PrintInfo(dib);
        return 0;
    }

    // A band is kept as rows of the image read, and written by the save;
    // a band of a band narrows it.
    long first = 0, last = dib.GetHeight();
    for (const Operation& op : operations) {
        if (op.name != "--band") {
            // Other operations work on the whole image: a band before them is
            // cut out first.
            if (first != 0 || last != dib.GetHeight()) {
                dib.Crop(0, int(first), dib.GetWidth(), int(last));
                first = 0;
                last = dib.GetHeight();
            }
            std::string error;
            int status = 1;
            try {
                error = Apply(op.name, op.value, dib, &status);
            } catch (const CMemoryException&) {
                error = op.name + " " + op.value + ": out of memory";
            }
            if (!error.empty()) return Fail(error, status);
            last = dib.GetHeight();
            continue;
        }
        int pair[2] = {};
        if (!ParseInts(op.value, 2, pair))
            return Fail(op.name + " " + op.value + ": expected FIRST,LAST", 2);
        const long a = pair[0], b = pair[1];
        if (a < 0 || a >= b || b > last - first)
            return Fail(op.name + " " + op.value + ": the image has " +
                        std::to_string(last - first) +
                        " rows; need 0 <= FIRST < LAST <= " + std::to_string(last - first));
        last = first + b;
        first += a;
    }

    const CString source(paths[0].c_str()), destination(paths[1].c_str());
    if (const UINT refused = CConversion::CheckDestination(source, destination)) {
        AfxMessageBox(CConversion::Message(refused, destination), MB_OK | MB_ICONERROR);
        return 2;
    }
    TemporaryFile::RemoveOnSignals();
    TemporaryFile output(destination);
    if (!output.ok()) return Fail(paths[1] + ": " + std::strerror(errno));
    const bool whole = first == 0 && last == dib.GetHeight();
    if (!dib.Save(output.path(), whole ? 0 : int(first), whole ? 0 : int(last)) || !output.MoveTo())
        return Fail(paths[1] + ": the image could not be written");
    return 0;
}
