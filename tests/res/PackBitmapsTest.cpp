// The packer's checks: res/PackBitmaps.cmake run on a tiny BMP file with one
// field changed must stop with the fault named, or pack the file when it is
// still a good one.
#include "../TestFiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

namespace {

using testfiles::Bytes;

// 3 x 2 pixels, 1 bit per pixel, black and white: 70 bytes.
// clang-format off
const Bytes kBmp = {
    'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0,    // bfSize 70, bfOffBits 62
    40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0,               // biSize 40, 3 x 2, bottom-up
    1, 0, 1, 0, 0, 0, 0, 0, 8, 0, 0, 0,                // 1 plane, 1 bit, BI_RGB, 8 bytes
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    // resolution, full table
    0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0,                   // black, white
    0xA0, 0, 0, 0,                                     // bottom row: white black white
    0x40, 0, 0, 0,                                     // top row: black white black
};
// clang-format on

struct Change {
    const char* what;
    std::size_t offset; // in the file
    int width;          // bytes, little-endian; 0: no field changed
    std::uint32_t value;
    const char* fault; // null: the file packs
};

const Change kChanges[] = {
    {"unchanged", 0, 0, 0, nullptr},
    {"top-down", 22, 4, static_cast<std::uint32_t>(-2), nullptr},
    {"biSizeImage 0", 34, 4, 0, nullptr},
    {"not BM", 0, 2, 0x4142, "does not start with \"BM\""},
    {"bfSize", 2, 4, 71, "bfSize says 71 bytes, the file has 70"},
    {"core header", 14, 4, 12, "header size 12"},
    {"bits", 28, 2, 7, "7 bits per pixel"},
    {"RLE8", 30, 4, 1, "compression 1, only BI_RGB"},
    {"most negative height", 22, 4, 0x80000000, "each side must be 1 to 65535"},
    {"colours", 46, 4, 3, "biClrUsed 3, but 1-bit pixels index only 2 colours"},
    {"short table", 46, 4, 1, "bfOffBits 62, but the pixels must follow the 1-entry"},
    {"biSizeImage", 34, 4, 9, "biSizeImage 9, the pixels take 8"},
    {"a row more", 22, 4, 3, "70 bytes, but the pixels (3 x 3, 1-bit) end the file at 74"},
};

void PrintTo(const Change& c, std::ostream* os) {
    *os << c.what;
}

class PackBitmapsTest : public ::testing::TestWithParam<Change> {};

TEST_P(PackBitmapsTest, NamesTheFaultOrPacks) {
    const Change& c = GetParam();
    Bytes bmp = kBmp;
    auto put = [&bmp](std::size_t at, int width, std::uint32_t v) {
        for (int i = 0; i < width; ++i) bmp[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(c.offset, c.width, c.value);
    testfiles::TempFile in(bmp);
    testfiles::TempPath out(".cpp");
    // (Appended piece by piece: gcc 12 at -O3 takes the concatenation of
    // temporaries for an overflow.)
    std::string command = TESSALY_CMAKE;
    command += " -DBITMAPS=IDB_TEST=";
    command += in.str();
    command += " -DOUTPUT=";
    command += out.str();
    command += " -P " TESSALY_RES_DIR "/PackBitmaps.cmake 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    for (int ch; (ch = std::fgetc(pipe)) != EOF;) output += static_cast<char>(ch);
    const int status = pclose(pipe);
    std::istringstream words(output); // CMake wraps messages: compare single spaces
    std::string text, word;
    while (words >> word) text += word + " ";

    if (!c.fault) {
        EXPECT_EQ(status, 0) << text;
        EXPECT_NE(testfiles::ReadText(out.str()).find("{IDB_TEST, kBitmap0, sizeof kBitmap0}"),
                  std::string::npos);
    } else {
        EXPECT_NE(status, 0);
        EXPECT_NE(text.find(c.fault), std::string::npos) << text;
        EXPECT_FALSE(out.exists()) << "nothing written";
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, PackBitmapsTest, ::testing::ValuesIn(kChanges));

} // namespace
