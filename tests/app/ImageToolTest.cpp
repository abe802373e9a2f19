// tessaly-image against two independent BMP implementations: ImageMagick and
// Pillow read what we write with the same pixels, and we read what they write.
#include "../TestFiles.h"
#include "../avi/AviTestSupport.h"
#include "../gif/GifBuilder.h"

#include "dib/Dib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
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
        {"magick_default", kConvert + " SRC bmp:OUT", "header 124 bytes, 24-bit BI_RGB"},
        {"magick_rle8", kConvert + " SRC -colors 100 -type palette -compress RLE bmp3:OUT",
         "8-bit BI_RLE8, held as 8 bits"},
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
    // A 40-byte header's field changed: the bit count (at byte 28) or the
    // compression (at byte 30).
    const struct {
        int at;
        BYTE value;
        const char* says;
    } refused[] = {
        {30, 4, "embedded JPEG image (BI_JPEG)"},
        {30, 5, "embedded PNG image (BI_PNG)"},
        {28, 64, "64-bit BMP files"},
    };
    const std::string path = At("refused.bmp");
    ASSERT_EQ(avitest::Run(kConvert + " " + Quote(source) + " bmp3:" + Quote(path)).exitCode, 0);
    const testfiles::Bytes made = testfiles::ReadBytes(path);
    for (const auto& r : refused) {
        testfiles::Bytes bytes = made;
        bytes[std::size_t(r.at)] = r.value;
        testfiles::WriteBytes(path, bytes);
        const CommandResult result = Image(Quote(path) + " " + Quote(At("out.bmp")));
        EXPECT_EQ(result.exitCode, 1) << r.says;
        EXPECT_EQ(result.err.find("tessaly-image: " + path + ": "), 0u) << result.err;
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
              "width=8 height=2 bits=24 colours=0 compression=BI_RGB ppm=2834,2834 dpi=72,72 "
              "rows=bottom-up\nfile: header 40 bytes, 24-bit BI_RGB, held as 24 bits\n");
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

// A BMP file with a 40-byte header: width x height (a negative height stores
// the rows top-down) at 1 or 24 bits, every pixel byte 0x80.
testfiles::Bytes Bmp(std::int32_t width, std::int32_t height, int bits, std::int32_t ppmX = 0,
                     std::int32_t ppmY = 0) {
    const std::uint64_t stride = (std::uint64_t(width) * bits + 31) / 32 * 4;
    const std::uint64_t pixels =
        stride * std::uint64_t(height < 0 ? -std::int64_t(height) : height);
    const std::uint32_t table = bits == 1 ? 8 : 0;
    testfiles::Bytes b;
    const auto u16 = [&](std::uint32_t v) { b.insert(b.end(), {BYTE(v), BYTE(v >> 8)}); };
    const auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    b = {'B', 'M'};
    u32(std::uint32_t(54 + table + pixels)), u32(0), u32(54 + table); // file size, offset
    u32(40), u32(std::uint32_t(width)), u32(std::uint32_t(height)), u16(1), u16(bits);
    u32(0), u32(std::uint32_t(pixels)), u32(std::uint32_t(ppmX)), u32(std::uint32_t(ppmY));
    u32(0), u32(0); // colours: all the bit count has
    if (bits == 1) b.insert(b.end(), {0, 0, 0, 0, 255, 255, 255, 0}); // black, white
    b.resize(b.size() + pixels, 0x80);
    return b;
}

// The output is checked before the input is read, as the converter checks
// its video: a read-only file is kept, whoever runs the test (root too), and
// links are written through, dangling ones as well.
TEST_F(ImageToolTest, OutputsAreCheckedFirstAndWrittenThroughLinks) {
    const std::string in = At("in.bmp"), readOnly = At("ro.bmp");
    testfiles::WriteBytes(in, Bmp(3, 2, 24));
    std::ofstream(readOnly) << "old";
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read);
    CommandResult r = Image(Quote(in) + " " + Quote(readOnly));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "tessaly-image: Destination file " + readOnly +
                         " is read-only (no write permission for its owner)\n");
    EXPECT_EQ(testfiles::ReadText(readOnly), "old");
    // A missing input is not even looked at.
    fs::create_directory(At("adir.bmp"));
    r = Image(Quote(At("missing.bmp")) + " --blur 1000 " + Quote(At("adir")));
    EXPECT_EQ(r.err, "tessaly-image: Destination " + At("adir.bmp") + " is not a regular file\n");
    EXPECT_EQ(r.exitCode, 2);

    std::ofstream(At("old.bmp")) << "old";
    fs::create_symlink("old.bmp", At("link.bmp"));
    fs::create_symlink("new.bmp", At("dangling.bmp"));
    for (const char* link : {"link.bmp", "dangling.bmp"}) {
        r = Image(Quote(in) + " " + Quote(At(link)));
        EXPECT_EQ(r.exitCode, 0) << link << r.err;
        EXPECT_TRUE(fs::is_symlink(At(link))) << link;
    }
    for (const char* written : {"old.bmp", "new.bmp"})
        EXPECT_EQ(testfiles::ReadText(At(written)), testfiles::ReadText(in)) << written;
    EXPECT_EQ(folder_.Names(), (std::set<std::string>{"adir.bmp", "dangling.bmp", "in.bmp",
                                                      "link.bmp", "new.bmp", "old.bmp", "ro.bmp"}));
}

// Inputs that hold no image are refused at once, a FIFO without waiting for
// a writer, and nothing is written.
TEST_F(ImageToolTest, InputsWithoutAnImageAreNamed) {
    ASSERT_EQ(mkfifo(At("fifo.bmp").c_str(), 0644), 0);
    fs::create_directory(At("adir"));
    testfiles::WriteBytes(
        At("empty.gif"),
        gifbuild::Gif(4, 4, gifbuild::DistinctTable(4)).FlatImage(0, 0, 0, 0, {}).Trailer().bytes);
    testfiles::WriteBytes(At("thin.gif"), gifbuild::Gif(4, 10, gifbuild::DistinctTable(4))
                                              .FlatImage(0, 0, 0, 10, {})
                                              .Trailer()
                                              .bytes);
    testfiles::WriteBytes(At("none.gif"), gifbuild::Gif(4, 4).Trailer().bytes);
    const struct {
        const char* input;
        const char* says;
    } cases[] = {
        {"fifo.bmp", "not a regular file (a FIFO, a device or a socket)"},
        {"adir", "is a folder"},
        {"empty.gif", "no image to read (its first image is 0 \u00d7 0)"},
        {"thin.gif", "no image to read (its first image is 0 \u00d7 10)"},
        {"none.gif", "no image to read (the GIF file holds none)"},
    };
    for (const auto& c : cases) {
        const CommandResult r =
            avitest::Run("timeout 20 " + kImage + " " + Quote(At(c.input)) + " " + At("out.bmp"));
        EXPECT_EQ(r.exitCode, 1) << c.input << ": 124 is a timeout";
        EXPECT_EQ(r.err, "tessaly-image: " + At(c.input) + ": " + c.says + "\n");
    }
    EXPECT_FALSE(fs::exists(At("out.bmp")));
}

// Every operation that cannot run says why and fails, writing nothing;
// values wrong whatever the image are usage errors, found before the input
// is read (it is missing here).
TEST_F(ImageToolTest, OperationsThatCannotRunSaySo) {
    testfiles::WriteBytes(At("one.bmp"), Bmp(1, 1, 24));
    // Rows of 1-bit pixels whose device rows, at 32 bits, pass 256 MiB.
    testfiles::WriteBytes(At("wide.bmp"), Bmp(67108865, 1, 1));
    const struct {
        const char* input;
        const char* operation;
        int exitCode;
        const char* says;
    } cases[] = {
        {"one.bmp", "--rotate 1", 1, "the result, 0 \u00d7 1, has no pixels"},
        {"one.bmp", "--crop -2147483648,0,2147483647,1", 1,
         "the result, 4294967295 \u00d7 1 at 24 bits, is larger than 256 MiB"},
        {"wide.bmp", "--fill black", 1,
         "the image, 67108865 \u00d7 1 at 1 bit, is larger than 256 MiB"},
        {"missing.bmp", "--stretch 99999999999,1", 2, "expected WIDTH,HEIGHT from 1 to 2147483647"},
        {"missing.bmp", "--band 20,10", 2,
         "expected FIRST,LAST with 0 <= FIRST < LAST <= 2147483647"},
        {"missing.bmp", "--band -1,5", 2,
         "expected FIRST,LAST with 0 <= FIRST < LAST <= 2147483647"},
    };
    for (const auto& c : cases) {
        const CommandResult r = Image(Quote(At(c.input)) + " " + c.operation + " " + At("out.bmp"));
        EXPECT_EQ(r.exitCode, c.exitCode) << c.operation;
        // A usage error points to --help on a second line.
        EXPECT_EQ(r.err, "tessaly-image: " + std::string(c.operation) + ": " + c.says + "\n" +
                             (c.exitCode == 2 ? "Try 'tessaly-image --help' for more information.\n"
                                              : ""));
    }
    // The system's reason when the file cannot be written.
    const CommandResult r =
        avitest::Run("ulimit -f 1; " + kImage + " " + At("wide.bmp") + " " + At("out.bmp"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "tessaly-image: " + At("out.bmp") +
                         ": the image could not be written: " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(folder_.Names(), (std::set<std::string>{"one.bmp", "wide.bmp"}));
}

// The header as it stands: the resolution signed, and the order of the rows.
TEST_F(ImageToolTest, InfoSaysWhatTheHeaderHolds) {
    testfiles::WriteBytes(At("down.bmp"), Bmp(2, -3, 24, -2835, INT32_MIN));
    EXPECT_EQ(Image("--info " + Quote(At("down.bmp"))).out,
              "width=2 height=3 bits=24 colours=0 compression=BI_RGB ppm=-2835,-2147483648 "
              "dpi=-72,-54546085 rows=top-down\n"
              "file: header 40 bytes, 24-bit BI_RGB, held as 24 bits\n");
}

// The program's own bitmap, adopted in place, is freed before the program
// ends (the sanitizer build's LeakSanitizer fails the run otherwise), and its
// colour table serves as a palette.
TEST_F(ImageToolTest, TheProgramsBitmapsAreFreedAndGiveAPalette) {
    testfiles::WriteBytes(At("in.bmp"), Bmp(5, 4, 24));
    for (const std::string& args : {"resource:129 " + At("about.bmp"),
                                    At("in.bmp") + " --map-palette resource:129 " + At("out.bmp"),
                                    std::string("--info resource:129")}) {
        const CommandResult r = Image(args);
        EXPECT_EQ(r.exitCode, 0) << args << "\n" << r.err;
        EXPECT_EQ(r.err, "") << args;
    }
    const std::string fromFile = Image("--info " + At("about.bmp")).out;
    EXPECT_EQ(fromFile.substr(0, fromFile.find('\n') + 1), Image("--info resource:129").out);
}

} // namespace
