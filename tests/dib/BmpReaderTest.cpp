// BmpReader against Pillow and ImageMagick: the BMP files they write, and
// files built here field by field, read with the pixels those readers see;
// the forms left out refused by name; damaged files read without a fault.
#include "dib/BmpReader.h"

#include "../LeakCheckedTest.h"
#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"

#include "dib/Dib.h"
#include "fw/File.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using testfiles::Bytes;
using BmpReaderTest = LeakCheckedTest;

// A little-endian field of 2 or 4 bytes.
void Put(Bytes& out, std::uint32_t v, int bytes = 4) {
    for (int i = 0; i < bytes; ++i) out.push_back(BYTE(v >> (8 * i)));
}

// A BMP file built field by field; `data` holds the pixel bytes as stored.
struct Bmp {
    DWORD header = 40; // the info header's size
    LONG width = 0, height = 0;
    WORD bits = 8;
    DWORD compression = BI_RGB;
    Bytes data;
    std::vector<std::uint32_t> table; // 0x00RRGGBB, all of it used
    std::vector<std::uint32_t> masks; // in the header from 52 bytes on, else after it

    Bmp() = default;
    Bmp(DWORD size, LONG w, LONG h, WORD b, DWORD c, Bytes d, std::vector<std::uint32_t> t = {},
        std::vector<std::uint32_t> m = {})
        : header(size), width(w), height(h), bits(b), compression(c), data(std::move(d)),
          table(std::move(t)), masks(std::move(m)) {}

    Bytes File() const {
        const bool core = header == 12;
        const std::size_t offset =
            14 + header + (header < 52 ? 4 * masks.size() : 0) + table.size() * (core ? 3 : 4);
        Bytes out = {'B', 'M'};
        Put(out, std::uint32_t(offset + data.size())); // file size
        Put(out, 0);                                   // reserved
        Put(out, std::uint32_t(offset));               // where the pixels start
        Put(out, header);
        Put(out, std::uint32_t(width), core ? 2 : 4);
        Put(out, std::uint32_t(height), core ? 2 : 4); // negative: rows top-down
        Put(out, 1, 2);                                // planes
        Put(out, bits, 2);
        if (header >= 40) {
            Put(out, compression);
            Put(out, std::uint32_t(data.size())); // image size
            Put(out, 2835);                       // pixels per metre, x and y: 72 dpi
            Put(out, 2835);
            Put(out, std::uint32_t(table.size())); // colours used
            Put(out, 0);                           // important colours
        }
        // Red, green, blue masks, then (56 bytes on) alpha. The OS/2 2.x header
        // has units, rendering and colour encoding there instead: left zero.
        if (header >= 52 && header != 64)
            for (std::size_t i = 0; i < (header == 52 ? 3u : 4u); ++i)
                Put(out, i < masks.size() ? masks[i] : 0);
        if (header >= 108) Put(out, 0x73524742); // colour space "sRGB"; end points etc. zero
        out.resize(14 + header);
        if (header < 52) // BI_BITFIELDS: three masks after the header; BI_ALPHABITFIELDS: four
            for (std::uint32_t m : masks) Put(out, m);
        for (std::uint32_t c : table) { // blue, green, red (and a zero byte but in core files)
            out.insert(out.end(), {BYTE(c), BYTE(c >> 8), BYTE(c >> 16)});
            if (!core) out.push_back(0);
        }
        out.insert(out.end(), data.begin(), data.end());
        return out;
    }
};

// Pixels of `bits` each, top row first, as a BMP stores them: bottom row
// first, the leftmost pixel in a byte's high bits, rows padded to 4 bytes.
Bytes Rows(int bits, int width, const std::vector<std::uint32_t>& pixels) {
    const std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4;
    const std::size_t height = pixels.size() / width;
    Bytes out(stride * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        BYTE* row = &out[(height - 1 - i / width) * stride];
        const std::size_t x = i % width;
        if (bits < 8) row[x * bits / 8] |= BYTE(pixels[i] << (8 - bits - x * bits % 8));
        for (int b = 0; b < bits / 8; ++b) row[x * bits / 8 + b] = BYTE(pixels[i] >> (8 * b));
    }
    return out;
}

// n distinct colours, none grey; and n values of a pattern, below `limit`.
std::vector<std::uint32_t> Table(int n) {
    std::vector<std::uint32_t> t;
    for (int i = 0; i < n; ++i)
        t.push_back(((i * 53 + 17) & 255) << 16 | ((i * 101 + 5) & 255) << 8 |
                    ((i * 29 + 200) & 255));
    return t;
}
std::vector<std::uint32_t> Pattern(int n, std::uint64_t limit) {
    std::vector<std::uint32_t> v;
    for (int i = 0; i < n; ++i) v.push_back(std::uint32_t(i * 2654435761u % limit));
    return v;
}

// The held image as red, green, blue, alpha bytes, top row first; alpha 255
// unless the image holds alpha.
std::string HeldRgba(const CDIB& dib, bool alpha) {
    const BITMAPINFOHEADER& h = *dib.m_pBMI;
    const auto* table = reinterpret_cast<const RGBQUAD*>(dib.m_pBMI + 1);
    const int bits = h.biBitCount;
    const auto widen5 = [](int v) { return BYTE(((v & 31) * 255 + 15) / 31); };
    std::string out;
    for (LONG y = h.biHeight - 1; y >= 0; --y) {
        const BYTE* row = dib.m_pBits + std::size_t(y) * dib.GetBytesPerLine();
        for (LONG x = 0; x < h.biWidth; ++x) {
            const BYTE* at = row + x * bits / 8;
            RGBQUAD c{};
            if (bits <= 8) {
                const int index = *at >> (8 - bits - x * bits % 8) & ((1 << bits) - 1);
                if (index >= dib.GetNumColors()) return "index past the table";
                c = table[index];
            } else if (bits == 16) { // 5-5-5
                const int w = at[0] | at[1] << 8;
                c = {widen5(w), widen5(w >> 5), widen5(w >> 10), 0};
            } else {
                std::memcpy(&c, at, std::size_t(bits / 8));
            }
            out += {char(c.rgbRed), char(c.rgbGreen), char(c.rgbBlue),
                    char(alpha ? c.rgbReserved : 255)};
        }
    }
    return out;
}

struct Case {
    std::string name;
    std::string make; // a command that writes the file at OUT; else it is `bmp`
    Bmp bmp;
    std::optional<Bmp> twin;     // the same picture in a form that Pillow reads
    int tolerance = 0;           // against Pillow, for channels of fewer than 8 bits
    std::array<int, 4> magick{}; // ImageMagick is the oracle: its channels' bits
    std::string form;            // header size / bits / compression of a made file
};
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

Case Made(std::string name, std::string make, std::string form, int tolerance = 0,
          std::array<int, 4> magick = {}) {
    return {std::move(name), std::move(make), {}, {}, tolerance, magick, std::move(form)};
}
Case Built(std::string name, Bmp bmp, std::optional<Bmp> twin = {}, int tolerance = 0) {
    return {std::move(name), "", std::move(bmp), std::move(twin), tolerance, {}, ""};
}

std::vector<Case> Cases() {
    const std::string plasma = "/usr/bin/convert -seed 3 -size 7x5 plasma:fractal ";
    const std::string opaque = plasma + "-type truecolor ";
    const std::string alpha = plasma + "-alpha set -channel A -fx '(i+j)/10' +channel ";
    const std::string pillow = "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                               "Image.frombytes('RGBA', (7, 5), bytes((i * 37 + i // 4 * 11) % 256 "
                               "for i in range(140))).convert(sys.argv[1]).save(sys.argv[2], "
                               "'BMP')\" ";
    const auto as = [](Bmp b, DWORD header) {
        b.header = header;
        return b;
    };
    const std::vector<std::uint32_t> bgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    const std::vector<std::uint32_t> abgr = {0xFF000000, 0xFF0000, 0xFF00, 0xFF};
    const Bmp os2Short{16, 9, 3, 1, 0, Rows(1, 9, Pattern(27, 2)), Table(2)};
    const Bmp v2{52, 5, 3, 16, 3, Rows(16, 5, Pattern(15, 1 << 16)), {}, {0xF800, 0x7E0, 0x1F}};
    const Bmp v3{56, 5, 3, 32, 3, Rows(32, 5, Pattern(15, 1ull << 32)), {}, bgra};
    const std::vector<std::uint32_t> two = Pattern(21, 4);
    // Pillow's delta reads 4 bytes; its odd RLE4 absolute runs one byte too
    // few; its absolute runs wrap into the next row. Twins show the intent.
    const Bytes rle8Delta = {
        3, 1,             // row 0: 1 1 1
        0, 2, 2, 1,       // delta: right 2, up 1
        1, 2,             // row 1, x 5: 2
        0, 0,             // end of line
        0, 3, 4, 5, 6, 0, // absolute, odd: 4 5 6, padded to 16 bits
        7, 3,             // 3 3 3, and four past the row's end
        0, 0,             // end of line
        0, 2, 3, 0,       // delta: right 3
        2, 7,             // row 3, x 3: 7 7
        0, 0, 2, 9,       // end of line past the last row: the end
    };
    const std::vector<std::uint32_t> rle8DeltaPixels = {0, 0, 0, 7, 7, 0, 4, 5, 6, 3, 3, 3,
                                                        0, 0, 0, 0, 0, 2, 1, 1, 1, 0, 0, 0};
    const Bytes rle4Clipped = {
        0, 5,    0x12, 0x34, 0x50, 0, // absolute, odd: 1 2 3 4 5
        0, 0,                         // end of line
        7, 0xAB,                      // A B A B A (B A dropped)
        2, 0xCC,                      // dropped: the row is full
        0, 0,                         // end of line
        0, 2,    2,    0,             // delta: right 2
        0, 4,    0xDE, 0xF1,          // D E F (1 dropped); no end of bitmap
    };
    const std::vector<std::uint32_t> rle4ClippedPixels = {0,  0,  13, 14, 15, 10, 11, 10,
                                                          11, 10, 1,  2,  3,  4,  5};
    return {
        Made("MagickV5", opaque + "bmp:OUT", "124/24/0"),
        Made("MagickV5Alpha", alpha + "bmp:OUT", "124/32/3"),
        Made("MagickBmp2", opaque + "bmp2:OUT", "12/24/0"),
        Made("MagickBmp3", opaque + "bmp3:OUT", "40/24/0"),
        Made("MagickRle8", plasma + "-colors 16 -type palette -compress RLE bmp3:OUT", "40/8/1"),
        Made("MagickRgb565", plasma + "-define bmp:subtype=RGB565 bmp:OUT", "124/16/3", 2),
        Made("MagickRgb555", plasma + "-define bmp:subtype=RGB555 bmp:OUT", "124/16/3", 2),
        // Pillow refuses 4-4-4-4 and drops 1-5-5-5's alpha. ImageMagick keeps
        // an n-bit channel in the top n bits, widening only some n: we widen.
        Made("MagickArgb4444", alpha + "-define bmp:subtype=ARGB4444 bmp:OUT", "124/16/3", 0,
             {4, 4, 4, 4}),
        Made("MagickArgb1555", alpha + "-define bmp:subtype=ARGB1555 bmp:OUT", "124/16/3", 0,
             {5, 5, 5, 1}),
        Made("Pillow1", pillow + "1 OUT", "40/1/0"),
        Made("PillowL", pillow + "L OUT", "40/8/0"),
        Made("PillowP", pillow + "P OUT", "40/8/0"),
        Made("PillowRgb", pillow + "RGB OUT", "40/24/0"),
        Made("PillowRgba", pillow + "RGBA OUT", "40/32/0"),
        // Pillow reads neither 2 bits, 16-, 52- nor 56-byte headers nor
        // BI_ALPHABITFIELDS: a twin holds the same picture in a form it reads.
        Built("Core4", {12, 5, 3, 4, 0, Rows(4, 5, Pattern(15, 16)), Table(16)}),
        Built("Os2Short1", os2Short, as(os2Short, 40)),
        Built("V5Rgb16", {124, 5, 3, 16, 0, Rows(16, 5, Pattern(15, 1 << 16))}, {}, 2),
        Built("V2Masks565", v2, as(v2, 124), 2),
        Built("V3Alpha", v3, as(v3, 124)),
        Built("Os2Long8", {64, 5, 3, 8, 0, Rows(8, 5, Pattern(15, 6)), Table(6)}),
        Built(
            "V4Masks24",
            {108, 5, 3, 24, 3, Rows(24, 5, Pattern(15, 1 << 24)), {}, {bgra[0], bgra[1], bgra[2]}}),
        Built("V5MasksAbgr", {124, 5, 3, 32, 3, Rows(32, 5, Pattern(15, 1ull << 32)), {}, abgr}),
        Built("MasksAfter565", as(v2, 40), {}, 2),
        Built("AlphaMasksAfter", {40, 5, 3, 32, BI_ALPHABITFIELDS, v3.data, {}, bgra}, as(v3, 124)),
        Built("Two", {40, 7, 3, 2, 0, Rows(2, 7, two), Table(4)},
              Bmp{40, 7, 3, 4, 0, Rows(4, 7, two), Table(4)}),
        Built("Rle8Delta", {40, 6, 4, 8, BI_RLE8, rle8Delta, Table(16)},
              Bmp{40, 6, 4, 8, 0, Rows(8, 6, rle8DeltaPixels), Table(16)}),
        Built("Rle4Clipped", {40, 5, 3, 4, BI_RLE4, rle4Clipped, Table(16)},
              Bmp{40, 5, 3, 4, 0, Rows(4, 5, rle4ClippedPixels), Table(16)}),
    };
}

class BmpReaderCaseTest : public BmpReaderTest, public ::testing::WithParamInterface<Case> {};

// Read with the same pixels as the oracle reads the file or its twin: exact
// for 8-bit channels, within `tolerance` where Pillow widens fewer bits.
TEST_P(BmpReaderCaseTest, ReadsAsPillowOrImageMagickDo) {
    const Case& c = GetParam();
    testfiles::Folder folder;
    const std::string path = folder / "file.bmp", twin = folder / "twin.bmp";
    if (c.make.empty()) {
        testfiles::WriteBytes(path, c.bmp.File());
    } else {
        std::string command = c.make;
        command.replace(command.find("OUT"), 3, "'" + path + "'");
        ASSERT_EQ(avitest::Run(command).exitCode, 0) << command;
    }
    if (c.twin) testfiles::WriteBytes(twin, c.twin->File());
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), CFile::modeRead));
    CDIB dib;
    BmpReader reader(file);
    ASSERT_EQ(reader.Read(dib), "");
    const BmpForm& form = reader.form();
    if (!c.form.empty()) {
        EXPECT_EQ(std::to_string(form.headerSize) + "/" + std::to_string(form.bits) + "/" +
                      std::to_string(form.compression),
                  c.form);
    }
    // Held alpha comes of an alpha mask; other pixels are opaque, as the
    // oracles see them.
    const bool alpha =
        (form.compression == BI_BITFIELDS || form.compression == BI_ALPHABITFIELDS) &&
        form.masks[3] != 0 && dib.m_pBMI->biBitCount == 32;
    const std::string ours = HeldRgba(dib, alpha);
    const std::string theirs =
        c.magick[0] ? avitest::RunOn("/usr/bin/convert", path, "-depth 8 rgba:-").out
                    : avitest::RunOn("/usr/bin/python3 -c \"import sys; from PIL import Image; "
                                     "sys.stdout.buffer.write(Image.open(sys.argv[1])"
                                     ".convert('RGBA').tobytes())\"",
                                     c.twin ? twin : path)
                          .out;
    ASSERT_EQ(theirs.size(), ours.size()) << "ours: " << ours;
    for (std::size_t i = 0; i < theirs.size(); ++i) {
        int v = BYTE(theirs[i]);
        if (const int bits = c.magick[i % 4]) {
            const int max = (1 << bits) - 1;
            v = ((v >> (8 - bits)) * 255 + max / 2) / max;
        }
        ASSERT_LE(std::abs(v - BYTE(ours[i])), c.tolerance)
            << "pixel " << i / 4 << ", channel " << i % 4 << ": ours " << int(BYTE(ours[i]));
    }
}

INSTANTIATE_TEST_SUITE_P(BmpReaderFiles, BmpReaderCaseTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// The forms left out are refused by a reason that names them.
TEST_F(BmpReaderTest, RefusalsNameTheForm) {
    const Bytes pixels(16, 0x11);
    const struct {
        Bmp bmp;
        const char* word;
    } refusals[] = {
        {{40, 2, 2, 24, 4, {0xFF, 0xD8, 0xFF, 0xD9}}, "JPEG"},
        {{40, 2, 2, 24, 5, {0x89, 'P', 'N', 'G'}}, "PNG"},
        {{64, 8, 2, 1, 3, pixels, Table(2)}, "Huffman"},
        {{40, 1, 2, 64, 0, pixels}, "64"},
        {{40, 4, 2, 8, 0, pixels, Table(257)}, "256"},
        {{20, 4, 2, 8, 0, pixels}, "header"},
        {{40, 4, -2, 8, BI_RLE8, {4, 1, 0, 0, 4, 0, 0, 1}, Table(2)}, "top-down"},
    };
    for (const auto& r : refusals) {
        testfiles::TempFile path(r.bmp.File());
        CFile file;
        ASSERT_TRUE(file.Open(path.str().c_str(), CFile::modeRead));
        CDIB dib;
        EXPECT_NE(BmpReader(file).Read(dib).find(r.word), std::string::npos) << r.word;
        EXPECT_FALSE(dib.IsValid()) << r.word;
    }
}

// Each file built here, cut at every length and with each byte changed to
// its complement, 0 and 0x80, reads without a fault into a well-formed image
// or is refused. Cuts are refused before the pixels, and within the pixels
// of uncompressed files (an RLE stream may end early).
TEST_F(BmpReaderTest, DamagedFilesReadSafely) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (const Case& c : Cases()) {
        if (!c.make.empty()) continue;
        const Bytes whole = c.bmp.File();
        const bool rle = c.bmp.compression == BI_RLE8 || c.bmp.compression == BI_RLE4;
        const std::size_t padding =
            (c.bmp.width * c.bmp.bits + 31) / 32 * 4 - (c.bmp.width * c.bmp.bits + 7) / 8;
        const std::size_t needed = whole.size() - (rle ? c.bmp.data.size() : padding);
        // Input k: the first k bytes; past the file's size, one byte set to
        // its complement, 0 or 0x80.
        for (std::size_t k = 0; k < 4 * whole.size(); ++k) {
            if (std::chrono::steady_clock::now() > deadline) return;
            Bytes bytes = whole;
            std::string input = c.name + ", cut at " + std::to_string(k);
            if (k < whole.size()) {
                bytes.resize(k);
            } else {
                const std::size_t at = (k - whole.size()) / 3;
                bytes[at] = std::array<BYTE, 3>{BYTE(~whole[at]), 0, 0x80}[(k - whole.size()) % 3];
                input = c.name + ", byte " + std::to_string(at) + " = " + std::to_string(bytes[at]);
            }
            // A new file each time: rewriting one costs a disk flush on ext4.
            const testfiles::TempFile path(bytes);
            CFile file;
            ASSERT_TRUE(file.Open(path.str().c_str(), CFile::modeRead));
            CDIB dib;
            const std::string why = BmpReader(file).Read(dib);
            if (bytes.size() < needed) {
                ASSERT_NE(why, "") << input;
            }
            if (!why.empty()) {
                ASSERT_FALSE(dib.IsValid()) << input;
                continue;
            }
            const BITMAPINFOHEADER& h = *dib.m_pBMI;
            ASSERT_EQ(h.biSize, 40u) << input;
            ASSERT_EQ(h.biCompression, DWORD(BI_RGB)) << input;
            ASSERT_GT(h.biHeight, 0) << input;
            ASSERT_EQ(dib.GetPixelBytes(), std::size_t(dib.GetBytesPerLine()) * h.biHeight)
                << input;
            ASSERT_LE(dib.GetNumColors(), 256) << input;
        }
    }
}

} // namespace
