// tessaly-image against two independent BMP implementations: ImageMagick and
// Pillow read what we write with the same pixels, and we read what they write.
#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"

#include "dib/Dib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

using avitest::CommandResult;
using testfiles::Folder;

const std::string kImage = TESSALY_IMAGE;
// ImageMagick's own, whatever else the path holds.
const std::string kConvert = "/usr/bin/convert";

std::string Quote(const std::string& path) {
    return "'" + path + "'";
}

// The pixels as each reader sees them: rows top to bottom, red, green, blue.
std::string MagickRgb(const std::string& path) {
    return avitest::Run(kConvert + " " + Quote(path) + " -depth 8 rgb:-").out;
}
std::string PillowRgb(const std::string& path) {
    return avitest::Run(
               "/usr/bin/python3 -c \"import sys; from PIL import Image; "
               "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())\" " +
               Quote(path))
        .out;
}

// Largest difference between two equally long strings of channel bytes.
int Distance(const std::string& a, const std::string& b) {
    if (a.size() != b.size() || a.empty()) return 256;
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int(BYTE(a[i])) - int(BYTE(b[i]))));
    return worst;
}

class ImageToolTest : public ::testing::Test {
protected:
    std::string At(const std::string& name) const { return folder_ / name; }
    CommandResult Image(const std::string& args) const { return avitest::Run(kImage + " " + args); }
    Folder folder_;
};

class OurDepthTest : public ImageToolTest, public ::testing::WithParamInterface<int> {};

// Every pixel a different colour where the depth allows; 16 bits widen five
// bits to eight by rules that may differ by a few levels.
TEST_P(OurDepthTest, OthersReadOurPixels) {
    const int bits = GetParam();
    CDIB dib;
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(7, 5, &format, 0));
    auto* table = reinterpret_cast<RGBQUAD*>(dib.m_pBMI + 1);
    for (int i = 0; i < dib.GetNumColors(); ++i)
        table[i] = {BYTE(i * 37), BYTE(255 - i), BYTE(i * 11 + 3), 0};
    std::string expected;
    for (int y = 4; y >= 0; --y) // bottom-up rows, read top first
        for (int x = 0; x < 7; ++x) {
            BYTE* row = dib.m_pBits + y * dib.GetBytesPerLine();
            const int v = (x * 5 + y * 3) % 256, r = (v * 7) & 255, g = (v * 13) & 255, b = v;
            int index = bits == 1 ? v & 1 : bits == 4 ? v & 15 : v;
            RGBQUAD c{BYTE(b), BYTE(g), BYTE(r), 0};
            if (bits == 1) row[x / 8] |= BYTE(index << (7 - x % 8));
            if (bits == 4) row[x / 2] |= BYTE(index << (x % 2 ? 0 : 4));
            if (bits == 8) row[x] = BYTE(index);
            if (bits <= 8) c = table[index];
            if (bits == 16) {
                const int w = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
                row[2 * x] = BYTE(w);
                row[2 * x + 1] = BYTE(w >> 8);
                c = {BYTE((b >> 3) * 255 / 31), BYTE((g >> 3) * 255 / 31),
                     BYTE((r >> 3) * 255 / 31), 0};
            }
            if (bits == 24) std::memcpy(row + 3 * x, &c, 3);
            expected += {char(c.rgbRed), char(c.rgbGreen), char(c.rgbBlue)};
        }
    const std::string path = At("ours.bmp");
    ASSERT_TRUE(dib.Save(path.c_str()));
    const int tolerance = bits == 16 ? 4 : 0;
    EXPECT_LE(Distance(MagickRgb(path), expected), tolerance) << "ImageMagick";
    EXPECT_LE(Distance(PillowRgb(path), expected), tolerance) << "Pillow";
}

INSTANTIATE_TEST_SUITE_P(Depths, OurDepthTest, ::testing::Values(1, 4, 8, 16, 24));

// Files written by ImageMagick and Pillow, read by us and written again, show
// the same pixels to both.
TEST_F(ImageToolTest, WeReadTheirFiles) {
    const std::string source = At("source.ppm");
    ASSERT_EQ(
        avitest::Run(kConvert + " -size 23x9 plasma:fractal -seed 3 " + Quote(source)).exitCode, 0);
    struct Case {
        const char* name;
        std::string command; // %s: the output path
        const char* bits;
    };
    const std::vector<Case> cases = {
        {"magick_24", kConvert + " SRC -type truecolor bmp3:OUT", "bits=24"},
        {"magick_8", kConvert + " SRC -colors 200 -type palette -compress none bmp3:OUT", "bits=8"},
        {"magick_4", kConvert + " SRC -colors 12 -compress none bmp3:OUT", "bits=4"},
        {"magick_1", kConvert + " SRC -type bilevel bmp3:OUT", "bits=1"},
        {"magick_core_header", kConvert + " SRC -colors 12 bmp2:OUT", "bits=4"},
        {"pillow_24", "PIL 'RGB'", "bits=24"},
        {"pillow_8", "PIL 'P'", "bits=8"},
        {"pillow_1", "PIL '1'", "bits=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string theirs = At(std::string(c.name) + ".bmp");
        const std::string ours = At(std::string(c.name) + "-ours.bmp");
        std::string command = c.command;
        if (command.rfind("PIL", 0) == 0)
            command =
                "/usr/bin/python3 -c \"import sys; from PIL import Image; Image.open(sys.argv[1])"
                ".convert(" +
                command.substr(4) + ").save(sys.argv[2])\" SRC OUT";
        command.replace(command.find("SRC"), 3, Quote(source));
        command.replace(command.find("OUT"), 3, Quote(theirs));
        ASSERT_EQ(avitest::Run(command).exitCode, 0) << command;
        const CommandResult info = Image("--info " + Quote(theirs));
        EXPECT_NE(info.out.find(c.bits), std::string::npos) << info.out << info.err;
        ASSERT_EQ(Image(Quote(theirs) + " " + Quote(ours)).exitCode, 0);
        EXPECT_EQ(MagickRgb(ours), MagickRgb(theirs));
        EXPECT_EQ(PillowRgb(ours), PillowRgb(theirs));
        EXPECT_EQ(MagickRgb(ours).size(), 23u * 9 * 3);
    }
}

// Formats refused by design are named; usage errors and refused outputs
// have their own status, and nothing is left behind.
TEST_F(ImageToolTest, RefusalsSayWhy) {
    const std::string source = At("source.ppm");
    ASSERT_EQ(avitest::Run(kConvert + " -size 8x4 plasma:fractal " + Quote(source)).exitCode, 0);
    const struct {
        const char* magick;
        const char* says;
    } refused[] = {
        {"-colors 100 -compress RLE bmp3:", "BI_RLE8"},
        {"-define bmp:subtype=RGB565 bmp3:", "BI_BITFIELDS"},
        {"bmp:", "124-byte header"},
    };
    for (const auto& r : refused) {
        const std::string path = At("refused.bmp");
        ASSERT_EQ(
            avitest::Run(kConvert + " " + Quote(source) + " " + r.magick + Quote(path)).exitCode,
            0);
        const CommandResult result = Image(Quote(path) + " " + Quote(At("out.bmp")));
        EXPECT_EQ(result.exitCode, 1) << r.magick;
        EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
    }

    const std::string bmp = At("in.bmp");
    ASSERT_EQ(avitest::Run(kConvert + " " + Quote(source) +
                           " -units PixelsPerInch -density 72 bmp3:" + Quote(bmp))
                  .exitCode,
              0);
    const std::string before = testfiles::ReadText(bmp);
    EXPECT_EQ(Image("--help").exitCode, 0);
    EXPECT_EQ(Image("--frobnicate " + Quote(bmp) + " x.bmp").exitCode, 2);
    EXPECT_EQ(Image(Quote(bmp)).exitCode, 2);
    EXPECT_EQ(Image(Quote(bmp) + " --band 2,5 " + Quote(At("band.bmp"))).exitCode, 1);
    EXPECT_EQ(Image(Quote(bmp) + " --band 1,x " + Quote(At("band.bmp"))).exitCode, 2);
    EXPECT_EQ(Image(Quote(bmp) + " " + Quote(bmp)).exitCode, 2) << "the source itself";
    EXPECT_EQ(testfiles::ReadText(bmp), before);
    EXPECT_EQ(Image(Quote(At("missing.bmp")) + " " + Quote(At("out.bmp"))).exitCode, 1);

    ASSERT_EQ(Image(Quote(bmp) + " --band 1,4 --band 1,3 " + Quote(At("band.bmp"))).exitCode, 0);
    EXPECT_EQ(Image("--info " + Quote(At("band.bmp"))).out,
              "width=8 height=2 bits=24 colours=0 compression=BI_RGB dpi=72x72\n");
    EXPECT_EQ(MagickRgb(At("band.bmp")), MagickRgb(bmp).substr(2 * 8 * 3, 2 * 8 * 3))
        << "rows 2 and 3 from the top";
    EXPECT_EQ(folder_.Names(),
              (std::set<std::string>{"band.bmp", "in.bmp", "refused.bmp", "source.ppm"}));
}

// Every colour of a remapped image is one of the palette image's colours, as
// Pillow reads both.
TEST_F(ImageToolTest, MapPaletteLeavesOnlyThePalettesColours) {
    const std::string source = At("source.bmp"), palette = At("palette.bmp"), out = At("out.bmp");
    ASSERT_EQ(
        avitest::Run(kConvert + " -size 40x30 plasma:fractal -type truecolor bmp3:" + Quote(source))
            .exitCode,
        0);
    ASSERT_EQ(avitest::Run(kConvert + " " + Quote(source) +
                           " -colors 9 -type palette -compress none bmp3:" + Quote(palette))
                  .exitCode,
              0);
    ASSERT_EQ(Image(Quote(source) + " --map-palette " + Quote(palette) + " " + Quote(out)).exitCode,
              0);
    const CommandResult check = avitest::Run(
        "/usr/bin/python3 -c \"import sys; from PIL import Image; "
        "used = {c for n, c in Image.open(sys.argv[1]).convert('RGB').getcolors(1 << 16)}; "
        "table = Image.open(sys.argv[2]).getpalette(); "
        "allowed = {tuple(table[i:i + 3]) for i in range(0, len(table), 3)}; "
        "print(len(used), used <= allowed)\" " +
        Quote(out) + " " + Quote(palette));
    EXPECT_EQ(check.out.substr(check.out.find(' ') + 1), "True\n") << check.out << check.err;
    EXPECT_GT(std::stoi(check.out), 1);
    EXPECT_EQ(Image(Quote(source) + " --map-palette " + Quote(source) + " " + Quote(out)).exitCode,
              1)
        << "a 24-bit image has no colour table";
}

// Crops and fills of BMP files at every depth agree with Pillow's crop and
// rectangle fill of the same files. Fills take the table's nearest colour to
// black or white (the first exact one, else the least squared distance).
class EditDepthTest : public ImageToolTest, public ::testing::WithParamInterface<int> {};

TEST_P(EditDepthTest, CropsAndFillsAgreeWithPillow) {
    const int bits = GetParam();
    CDIB dib;
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(23, 9, &format, 0));
    auto* table = reinterpret_cast<RGBQUAD*>(dib.m_pBMI + 1);
    for (int i = 0; i < dib.GetNumColors(); ++i)
        table[i] = {BYTE(i * 11 + 3), BYTE(255 - i), BYTE(i * 37), 0};
    for (DWORD k = 0; k < dib.m_dwSizeImage; ++k) dib.m_pBits[k] = BYTE(k * 37 + 11);
    const std::string source = At("source.bmp"), out = At("out.bmp");
    ASSERT_TRUE(dib.Save(source.c_str()));
    auto nearest = [&](int v) {
        if (bits > 8) return std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v);
        int best = 0;
        long bestDistance = LONG_MAX;
        for (int i = 0; i < dib.GetNumColors(); ++i) {
            const long r = table[i].rgbRed - v, g = table[i].rgbGreen - v, b = table[i].rgbBlue - v,
                       d = r * r + g * g + b * b;
            if (d < bestDistance) bestDistance = d, best = i;
        }
        return std::to_string(table[best].rgbRed) + " " + std::to_string(table[best].rgbGreen) +
               " " + std::to_string(table[best].rgbBlue);
    };
    const struct {
        const char* ours;
        std::string pillow; // crop L T R B, or fill R G B X Y W H
    } cases[] = {
        {"--crop 3,2,17,8", "crop 3 2 17 8"},
        {"--crop 0,0,23,9", "crop 0 0 23 9"},
        {"--fill white,2,1,9,5", "fill " + nearest(255) + " 2 1 9 5"},
        {"--fill black", "fill " + nearest(0) + " 0 0 23 9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ours);
        ASSERT_EQ(Image(Quote(source) + " " + c.ours + " " + Quote(out)).exitCode, 0);
        const CommandResult theirs = avitest::Run(
            "/usr/bin/python3 -c \"import sys; from PIL import Image, ImageDraw; "
            "im = Image.open(sys.argv[1]).convert('RGB'); a = [int(v) for v in sys.argv[3:]]\n"
            "if sys.argv[2] == 'crop': im = im.crop(tuple(a))\n"
            "else: ImageDraw.Draw(im).rectangle([a[3], a[4], a[3] + a[5] - 1, a[4] + a[6] - 1], "
            "fill=tuple(a[:3]))\n"
            "sys.stdout.buffer.write(im.tobytes())\" " +
            Quote(source) + " " + c.pillow);
        ASSERT_EQ(theirs.exitCode, 0) << theirs.err;
        EXPECT_LE(Distance(PillowRgb(out), theirs.out), bits == 16 ? 4 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, EditDepthTest, ::testing::Values(1, 4, 8, 16, 24, 32));

// --stretch takes pixel floor(i x old / new) on each axis, and --rop combines
// the second file's pixels bitwise, computed here in Python from Pillow's
// reading of the inputs; malformed values are usage errors.
TEST_F(ImageToolTest, StretchAndRopAgreeWithTheirFormulas) {
    const std::string a = At("a.bmp"), b = At("b.bmp"), out = At("out.bmp");
    for (const auto& [path, seed] : {std::pair{a, "3"}, std::pair{b, "5"}})
        ASSERT_EQ(avitest::Run(kConvert + " -size 11x7 -seed " + seed +
                               " plasma:fractal -type truecolor bmp3:" + Quote(path))
                      .exitCode,
                  0);
    const struct {
        const char* ours;
        const char* python; // of A and B, the inputs' pixel bytes, and W and H
    } cases[] = {
        {"--stretch 17,4",
         "bytes(A[3 * ((y * 7 // 4) * 11 + x * 11 // 17) + c] for y in range(4) for x in "
         "range(17) for c in range(3))"},
        {"--stretch 5,13",
         "bytes(A[3 * ((y * 7 // 13) * 11 + x * 11 // 5) + c] for y in range(13) for x in "
         "range(5) for c in range(3))"},
        {"--rop SRCINVERT,B", "bytes(p ^ q for p, q in zip(A, B))"},
        {"--rop 8800C6,B", "bytes(p & q for p, q in zip(A, B))"},
        // Truth table 0xB8 under the white pattern: D | ~S.
        {"--rop 0x00B8074A,B", "bytes(p | (q ^ 255) for p, q in zip(A, B))"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ours);
        std::string ours = c.ours;
        if (ours.back() == 'B') ours.replace(ours.size() - 1, 1, Quote(b));
        ASSERT_EQ(Image(Quote(a) + " " + ours + " " + Quote(out)).exitCode, 0);
        const CommandResult want =
            avitest::Run("/usr/bin/python3 -c \"import sys; from PIL import Image\n"
                         "A, B = (Image.open(p).convert('RGB').tobytes() for p in sys.argv[1:3])\n"
                         "sys.stdout.buffer.write(" +
                         std::string(c.python) + ")\" " + Quote(a) + " " + Quote(b));
        ASSERT_EQ(want.exitCode, 0) << want.err;
        EXPECT_EQ(PillowRgb(out), want.out);
    }
    for (const char* bad : {"--rop XYZ,b.bmp", "--rop SRCCOPY", "--stretch 0,3", "--crop 4,1,2,5",
                            "--fill grey", "--fill white,1,2,3", "--fill black,0,0,0,4"})
        EXPECT_EQ(Image(Quote(a) + " " + bad + " " + Quote(out)).exitCode, 2) << bad;
}

// A filter on a depth it does not take names both and fails; malformed
// values are usage errors.
TEST_F(ImageToolTest, FiltersRefuseDepthsTheyDoNotTake) {
    const std::string colour = At("colour.bmp"), mono = At("mono.bmp"), out = At("out.bmp");
    ASSERT_EQ(avitest::Run(kConvert +
                           " -size 100x60 plasma:fractal -type truecolor bmp3:" + Quote(colour))
                  .exitCode,
              0);
    ASSERT_EQ(avitest::Run(kConvert + " " + Quote(colour) + " -type bilevel bmp3:" + Quote(mono))
                  .exitCode,
              0);
    const struct {
        const std::string* input;
        const char* operation;
        const char* says;
    } refused[] = {
        {&colour, "--erode 7,7,7", "--erode: not for 24-bit images (1 bit only)"},
        {&colour, "--dilate-repeat 1", "--dilate-repeat: not for 24-bit images"},
        {&mono, "--blur 2", "--blur: not for 1-bit images (16 and 24 bits only)"},
        {&mono, "--levels 0,100", "--levels: not for 1-bit images (24 bits only)"},
    };
    for (const auto& r : refused) {
        const CommandResult result = Image(Quote(*r.input) + " " + r.operation + " " + Quote(out));
        EXPECT_EQ(result.exitCode, 1) << r.operation;
        EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
    }
    for (const char* bad : {"--rotate 30,zz0000", "--rotate x", "--levels 5,5", "--levels 1,2,3",
                            "--smooth -8", "--blur -1"})
        EXPECT_EQ(Image(Quote(colour) + " " + bad + " " + Quote(out)).exitCode, 2) << bad;
    for (const char* bad : {"--erode 8,0,0", "--erode-repeat 70000"})
        EXPECT_EQ(Image(Quote(mono) + " " + bad + " " + Quote(out)).exitCode, 2) << bad;
    ASSERT_EQ(Image(Quote(colour) + " --rotate 90 --blur 2 --smooth 1 --levels 0,100 " + Quote(out))
                  .exitCode,
              0);
    EXPECT_EQ(Image("--info " + Quote(out)).out.substr(0, 21), "width=60 height=100 b");
    ASSERT_EQ(Image(Quote(mono) + " --erode 2,7,2 --dilate-repeat 3 " + Quote(out)).exitCode, 0);
}

} // namespace
