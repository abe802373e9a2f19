// Device bitmaps made from packed DIBs and read back into them: formats,
// colour mapping, colour tables and palettes, refusals.
#include "GfxTestSupport.h"

#include "gfx/Palette.h"
#include "gfx/StockColors.h"

#include <climits>
#include <tuple>

using namespace gfxtest;
using ::testing::Bool;
using ::testing::Combine;
using ::testing::Values;

namespace {

const std::vector<COLORREF> kBlackWhite = {RGB(0, 0, 0), RGB(255, 255, 255)};
// The 16 standard colours, which every indexed device format can hold.
const std::vector<COLORREF> kStandard = {
    RGB(0, 0, 0),          RGB(0, 0, 0x80),    RGB(0, 0x80, 0),    RGB(0, 0x80, 0x80),
    RGB(0x80, 0, 0),       RGB(0x80, 0, 0x80), RGB(0x80, 0x80, 0), RGB(0x80, 0x80, 0x80),
    RGB(0xC0, 0xC0, 0xC0), RGB(0, 0, 0xFF),    RGB(0, 0xFF, 0),    RGB(0, 0xFF, 0xFF),
    RGB(0xFF, 0, 0),       RGB(0xFF, 0, 0xFF), RGB(0xFF, 0xFF, 0), RGB(0xFF, 0xFF, 0xFF)};

COLORREF Quad(const RGBQUAD& q) {
    return RGB(q.rgbRed, q.rgbGreen, q.rgbBlue);
}

// A palette made from colours, deleted by the caller.
HPALETTE MakePalette(const std::vector<COLORREF>& colours, WORD version = 0x300) {
    std::vector<std::uint8_t> block(4 + 4 * colours.size());
    const WORD count = static_cast<WORD>(colours.size());
    std::memcpy(block.data(), &version, 2);
    std::memcpy(block.data() + 2, &count, 2);
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const PALETTEENTRY e{GetRValue(colours[i]), GetGValue(colours[i]), GetBValue(colours[i]),
                             0};
        std::memcpy(block.data() + 4 + 4 * i, &e, 4);
    }
    return CreatePalette(reinterpret_cast<const LOGPALETTE*>(block.data()));
}

// Screen depth, DIB depth in, DIB depth out, whether the DIB in is top-down
// (the DIB out then runs the other way).
using RoundTripTest = GdiParamTest<std::tuple<int, int, int, bool>>;

TEST_P(RoundTripTest, ColoursSurviveCreateAndRead) {
    const auto [screen, in, out, inTopDown] = GetParam();
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(screen));
    const auto& colours = (screen == 1 || in == 1 || out == 1) ? kBlackWhite : kStandard;
    // 5-5-5 keeps five bits a channel, and errors add up: 80 is read as 84,
    // which an 8-bit screen shows as 88 (as near as 80, lower index), which
    // reads back as 8C. Elsewhere these colours are exact.
    const int tolerance = (screen == 16 || in == 16 || out == 16) ? 12 : 0;
    const auto index = [&](int x, int y) { return unsigned(x * 7 + y * 3) % colours.size(); };

    // 13 x 3: partial bytes and row padding at 1 and 4 bits.
    Dib source(in, 13, inTopDown ? -3 : 3, in <= 8 ? colours : std::vector<COLORREF>{});
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 13; ++x)
            in <= 8 ? source.SetIndex(x, y, index(x, y))
                    : source.SetColour(x, y, colours[index(x, y)]);
    const HBITMAP bitmap = source.Create();
    ASSERT_NE(bitmap, nullptr);
    BITMAP bm{};
    ASSERT_EQ(GetObject(bitmap, sizeof bm, &bm), int(sizeof bm));
    EXPECT_EQ(bm.bmBitsPixel, screen);
    EXPECT_EQ(bm.bmWidth, 13);
    EXPECT_EQ(bm.bmHeight, 3);
    EXPECT_EQ(bm.bmWidthBytes, (13 * screen + 15) / 16 * 2);

    Dib back = ReadBack(bitmap, out, !inTopDown);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 13; ++x)
            EXPECT_LE(ChannelDistance(back.Colour(x, y), colours[index(x, y)]), tolerance)
                << "pixel " << x << "," << y;
    EXPECT_TRUE(DeleteObject(bitmap));
}

INSTANTIATE_TEST_SUITE_P(AllDepths, RoundTripTest,
                         Combine(Values(1, 4, 8, 16, 24, 32), Values(1, 4, 8, 16, 24, 32),
                                 Values(1, 4, 8, 16, 24, 32), Bool()));

// A colour, given through an 8-bit DIB's table or as a 24-bit pixel, lands on
// the nearest colour the screen can show, and then on the nearest entry of the
// table GetDIBits writes at `readBits`.
struct NearestCase {
    int screen;
    int dibBits;
    COLORREF colour;
    int readBits;
    COLORREF shown;
};
void PrintTo(const NearestCase& c, std::ostream* os) {
    *os << c.dibBits << "-bit DIB on a " << c.screen << "-bit screen";
}
using NearestTest = GdiParamTest<NearestCase>;

TEST_P(NearestTest, ColoursMapToTheNearestOneAvailable) {
    const NearestCase c = GetParam();
    GdiSetScreenBitsPerPixel(c.screen);
    Dib dib(c.dibBits, 1, 1, c.dibBits == 8 ? std::vector<COLORREF>{c.colour} : kBlackWhite);
    if (c.dibBits == 24) dib.SetColour(0, 0, c.colour);
    const HBITMAP bitmap = dib.Create();
    EXPECT_EQ(ReadBack(bitmap, c.readBits).Colour(0, 0), c.shown);
    DeleteObject(bitmap);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NearestTest,
    Values(NearestCase{1, 8, RGB(200, 200, 200), 24, RGB(255, 255, 255)},
           NearestCase{1, 24, RGB(100, 100, 100), 24, RGB(0, 0, 0)},
           NearestCase{4, 8, RGB(0x90, 0x10, 0), 24, RGB(0x80, 0, 0)},
           NearestCase{4, 24, RGB(0x10, 0x10, 0xF0), 24, RGB(0, 0, 0xFF)},
           NearestCase{8, 8, RGB(0xA6, 0xCA, 0xF1), 24, RGB(0xA6, 0xCA, 0xF0)},
           NearestCase{8, 24, RGB(0x34, 0x34, 0x34), 24, RGB(0x33, 0x33, 0x33)},
           // 5-5-5 truncates, then widens each channel as (v << 3) | (v >> 2).
           NearestCase{16, 24, RGB(0x12, 0x34, 0x56), 24, RGB(0x10, 0x31, 0x52)},
           NearestCase{24, 8, RGB(1, 2, 3), 32, RGB(1, 2, 3)},
           NearestCase{32, 24, RGB(0x90, 0x10, 0), 4, RGB(0x80, 0, 0)},
           NearestCase{32, 24, RGB(0xA6, 0xCA, 0xF0), 4, RGB(0xC0, 0xC0, 0xC0)},
           NearestCase{32, 24, RGB(0xA6, 0xCA, 0xF0), 8, RGB(0xA6, 0xCA, 0xF0)},
           NearestCase{32, 8, RGB(0x90, 0x10, 0), 1, RGB(0, 0, 0)},
           NearestCase{32, 24, RGB(0xFE, 0xFE, 0xF0), 1, RGB(255, 255, 255)}));

// The capture of a 32-bit bitmap as a 24-bit DIB, for every remainder of
// the width by four pixels (the conversion works four pixels at a time) and
// every row padding: each pixel's blue, green and red, padding bytes zero
// whatever the buffer held, the fourth byte of the 32-bit pixels ignored
// (a 32-bit DIB section keeps what its owner wrote there).
using Capture24Test = GdiParamTest<int>;

TEST_P(Capture24Test, EachPixelOnceAndPaddingZero) {
    const int width = GetParam(), height = 3;
    Dib format(32, width, -height);
    void* rows = nullptr;
    const HBITMAP section =
        CreateDIBSection(nullptr, format.Info(), DIB_RGB_COLORS, &rows, nullptr, 0);
    ASSERT_NE(section, nullptr);
    auto colour = [](int x, int y) {
        return RGB(BYTE(x * 19 + 1), BYTE(y * 50 + 7), BYTE(x ^ 0x5A));
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const COLORREF c = colour(x, y);
            const BYTE pixel[4] = {GetBValue(c), GetGValue(c), GetRValue(c), 0xFF};
            std::memcpy(static_cast<BYTE*>(rows) + (std::size_t(y) * width + x) * 4, pixel, 4);
        }
    Dib captured(24, width, -height);
    std::fill(captured.bits.begin(), captured.bits.end(), 0xAA);
    HDC screen = GetDC(nullptr);
    ASSERT_EQ(GetDIBits(screen, section, 0, height, captured.bits.data(), captured.Info(),
                        DIB_RGB_COLORS),
              height);
    ReleaseDC(nullptr, screen);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(captured.Colour(x, y), colour(x, y)) << "pixel " << x << "," << y;
        for (std::size_t b = std::size_t(width) * 3; b < captured.stride; ++b)
            EXPECT_EQ(captured.bits[y * captured.stride + b], 0) << "padding of row " << y;
    }
    DeleteObject(section);
}

INSTANTIATE_TEST_SUITE_P(Widths, Capture24Test, Values(1, 2, 3, 4, 5, 6, 7, 8, 11, 17));

TEST_F(GdiTest, IndicesPastTheColourTableAreBlack) {
    Dib dib(8, 3, 1, {RGB(255, 255, 255), RGB(255, 0, 0)});
    for (int i = 2; i < 256; ++i) dib.SetEntry(i, RGB(0, 255, 0)); // beyond biClrUsed
    dib.SetIndex(0, 0, 1);
    dib.SetIndex(1, 0, 7);
    const HBITMAP bitmap = dib.Create();
    Dib back = ReadBack(bitmap, 32);
    EXPECT_EQ(back.Colour(0, 0), RGB(255, 0, 0));
    EXPECT_EQ(back.Colour(1, 0), RGB(0, 0, 0));
    EXPECT_EQ(back.Colour(2, 0), RGB(255, 255, 255));
    DeleteObject(bitmap);
    // A count beyond 2^bits is capped: the 256 entries present are all that is read.
    dib.Header().biClrUsed = 300;
    const HBITMAP capped = dib.Create();
    EXPECT_NE(capped, nullptr);
    DeleteObject(capped);
}

TEST(StockColors, TablesHoldTheStandardColours) {
    const std::pair<int, COLORREF> spots[] = {{0, 0},
                                              {8, RGB(0xC0, 0xDC, 0xC0)},
                                              {9, RGB(0xA6, 0xCA, 0xF0)},
                                              {24, RGB(0xFF, 0xFF, 0xCC)},
                                              {205, RGB(0xEE, 0, 0)},
                                              {246, RGB(0xFF, 0xFB, 0xF0)},
                                              {247, RGB(0xA0, 0xA0, 0xA4)},
                                              {255, RGB(0xFF, 0xFF, 0xFF)}};
    for (const auto& [i, colour] : spots) EXPECT_EQ(Quad(kStockColors256[i]), colour) << i;
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(kStockColors256[i].rgbReserved, 0);
        for (int j = 0; j < i; ++j) EXPECT_NE(Quad(kStockColors256[i]), Quad(kStockColors256[j]));
    }
    EXPECT_EQ(Quad(kStockColors16[1]), RGB(0, 0, 0x80));
    EXPECT_EQ(Quad(kStockColors16[12]), RGB(0xFF, 0, 0));
    EXPECT_EQ(Quad(kStockColors2[1]), RGB(0xFF, 0xFF, 0xFF));
    EXPECT_EQ(StockColorTable(16), kStockColors16);
    EXPECT_EQ(StockColorTable(4), nullptr);

    // The default palette is the 20 static colours at both ends of the table.
    PALETTEENTRY e[21];
    ASSERT_EQ(GetPaletteEntries(static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), 0, 21, e),
              20u);
    EXPECT_EQ(RGB(e[9].peRed, e[9].peGreen, e[9].peBlue), RGB(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(RGB(e[10].peRed, e[10].peGreen, e[10].peBlue), RGB(0xFF, 0xFB, 0xF0));
}

// Past its first questions a palette answers from its search structure:
// the answers must stay those of a full search, ties to the lowest index
// included, over random palettes with repeated and near colours.
TEST_F(GdiTest, ManyQuestionsGetTheFullSearchsAnswers) {
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525 + 1013904223; };
    for (int count : {1, 7, 40, 256}) {
        std::vector<COLORREF> colours;
        for (int i = 0; i < count; ++i)
            colours.push_back(i % 5 == 4 ? colours[std::size_t(i) / 2]
                                         : COLORREF(next() >> 8 & 0xFFFFFF));
        const HPALETTE palette = MakePalette(colours);
        std::vector<COLORREF> asked;
        std::vector<BYTE> answers;
        for (int q = 0; q < 20000; ++q) {
            // Half anywhere, half close to an entry, where entries compete.
            COLORREF c = next() >> 8 & 0xFFFFFF;
            if (q % 2) {
                const COLORREF e = colours[next() % std::size_t(count)];
                auto near = [&](int v) {
                    return BYTE(std::clamp(v + int(next() % 41) - 20, 0, 255));
                };
                c = RGB(near(GetRValue(e)), near(GetGValue(e)), near(GetBValue(e)));
            }
            UINT best = 0;
            long bestDistance = LONG_MAX;
            for (int i = 0; i < count; ++i) {
                const long dr = GetRValue(c) - GetRValue(colours[std::size_t(i)]),
                           dg = GetGValue(c) - GetGValue(colours[std::size_t(i)]),
                           db = GetBValue(c) - GetBValue(colours[std::size_t(i)]);
                if (dr * dr + dg * dg + db * db < bestDistance)
                    bestDistance = dr * dr + dg * dg + db * db, best = UINT(i);
            }
            ASSERT_EQ(GetNearestPaletteIndex(palette, c), best)
                << count << " entries, colour " << c;
            asked.push_back(c);
            answers.push_back(BYTE(best));
        }
        // The same questions asked all at once.
        std::vector<BYTE> bulk(asked.size());
        ASSERT_TRUE(GetNearestPaletteIndices(palette, asked.data(), asked.size(), bulk.data()));
        EXPECT_EQ(bulk, answers) << count << " entries";
        DeleteObject(palette);
    }
}

TEST_F(GdiTest, PalettesFindNearestEntriesAndListThem) {
    EXPECT_EQ(MakePalette({RGB(1, 1, 1)}, 0x200), nullptr);
    EXPECT_EQ(MakePalette({}), nullptr);
    const HPALETTE palette =
        MakePalette({RGB(255, 255, 255), RGB(0, 0, 0), RGB(0, 0, 0), RGB(2, 0, 0)});
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(0, 0, 0)), 1u);
    EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(1, 0, 0)), 1u); // a tie: lowest index
    EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(2, 1, 0)), 3u);
    EXPECT_EQ(GetNearestPaletteIndex(palette, RGB(250, 240, 255)), 0u);
    WORD count = 0;
    EXPECT_EQ(GetObject(palette, sizeof count, &count), 2);
    EXPECT_EQ(count, 4);
    PALETTEENTRY entries[8]{};
    EXPECT_EQ(GetPaletteEntries(palette, 1, 8, entries), 3u);
    EXPECT_EQ(entries[2].peRed, 2);
    EXPECT_EQ(GetPaletteEntries(palette, 0, 0, nullptr), 4u);
    EXPECT_EQ(GetPaletteEntries(palette, 4, 1, entries), 0u);
    EXPECT_TRUE(DeleteObject(palette));
    EXPECT_FALSE(DeleteObject(palette));
    EXPECT_EQ(GetNearestPaletteIndex(palette, 0), CLR_INVALID);
    const COLORREF black = 0;
    BYTE index = 7;
    EXPECT_FALSE(GetNearestPaletteIndices(palette, &black, 1, &index));
    EXPECT_EQ(index, 7);
    EXPECT_EQ(GetObject(palette, sizeof count, &count), 0);
    EXPECT_TRUE(DeleteObject(GetStockObject(DEFAULT_PALETTE))); // left alone
    EXPECT_EQ(
        GetPaletteEntries(static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), 0, 0, nullptr),
        20u);
}

TEST_F(GdiTest, GetDIBitsTakesItsTableFromTheRealisedPalette) {
    Dib dib(32, 3, 1);
    dib.SetColour(1, 0, RGB(0xF0, 0x10, 0x10));
    dib.SetColour(2, 0, RGB(0x10, 0x10, 0xF0));
    const HBITMAP bitmap = dib.Create();
    const HPALETTE palette = MakePalette({RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255)});
    HDC dc = GetDC(nullptr);
    const HPALETTE old = SelectPalette(dc, palette, FALSE);
    EXPECT_EQ(old, GetStockObject(DEFAULT_PALETTE));
    EXPECT_EQ(ReadBack(bitmap, 8, true, dc).EntryColour(9), RGB(0xA6, 0xCA, 0xF0)); // not realised

    EXPECT_EQ(RealizePalette(dc), 3u);
    Dib back = ReadBack(bitmap, 8, true, dc);
    EXPECT_EQ(back.EntryColour(0), RGB(255, 0, 0));
    EXPECT_EQ(back.EntryColour(2), RGB(0, 0, 255));
    EXPECT_EQ(back.EntryColour(3), 0u);
    EXPECT_EQ(back.EntryColour(255), 0u);
    // Black is equally far from all three entries; the zero slots are never chosen.
    EXPECT_EQ(back.Index(0, 0), 0u);
    EXPECT_EQ(back.Index(1, 0), 0u);
    EXPECT_EQ(back.Index(2, 0), 2u);

    EXPECT_FALSE(DeleteObject(palette)); // still selected
    EXPECT_EQ(SelectPalette(dc, old, FALSE), palette);
    // Realised in the foreground on the screen, it serves every context that
    // has none of its own, memory contexts included...
    HDC memory = CreateCompatibleDC(nullptr);
    EXPECT_EQ(ReadBack(bitmap, 8, true, memory).EntryColour(2), RGB(0, 0, 255));
    EXPECT_EQ(ReadBack(bitmap, 8, true, dc).EntryColour(0), RGB(255, 0, 0));
    // ...until the default palette is realised in the foreground again.
    RealizePalette(dc);
    EXPECT_EQ(ReadBack(bitmap, 8, true, dc).EntryColour(9), RGB(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(ReadBack(bitmap, 8, true, memory).EntryColour(9), RGB(0xA6, 0xCA, 0xF0));
    ReleaseDC(nullptr, dc);
    EXPECT_TRUE(DeleteObject(palette));
    DeleteObject(bitmap);

    // A background realisation, or one in a memory context, leaves the
    // screen alone; deleting the screen's palette ends its service.
    const HPALETTE other = MakePalette({RGB(1, 2, 3)});
    dc = GetDC(nullptr);
    SelectPalette(dc, other, TRUE);
    RealizePalette(dc);
    SelectPalette(memory, other, FALSE);
    RealizePalette(memory);
    SelectPalette(memory, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), FALSE);
    const HBITMAP again = Dib(32, 1, 1).Create();
    EXPECT_EQ(ReadBack(again, 8, true, memory).EntryColour(9), RGB(0xA6, 0xCA, 0xF0));
    SelectPalette(dc, other, FALSE);
    RealizePalette(dc);
    SelectPalette(dc, old, FALSE);
    ReleaseDC(nullptr, dc);
    EXPECT_EQ(ReadBack(again, 8, true, memory).EntryColour(0), RGB(1, 2, 3));
    EXPECT_TRUE(DeleteObject(other));
    EXPECT_EQ(ReadBack(again, 8, true, memory).EntryColour(0), 0u);
    DeleteDC(memory);
    DeleteObject(again);
}

TEST_F(GdiTest, ForegroundRealisationOnAnEightBitScreenSetsTheSystemPalette) {
    GdiSetScreenBitsPerPixel(8);
    const COLORREF odd = RGB(0x12, 0x34, 0x56);
    Dib dib(24, 1, 1);
    const HBITMAP black = dib.Create(); // index 0 of the system palette
    dib.SetColour(0, 0, odd);
    const HPALETTE palette = MakePalette({odd});
    HDC memory = CreateCompatibleDC(nullptr);
    HDC screen = GetDC(nullptr);
    SelectPalette(memory, palette, FALSE);
    RealizePalette(memory);
    SelectPalette(screen, palette, TRUE);
    RealizePalette(screen);
    const HBITMAP before = dib.Create();
    EXPECT_NE(ReadBack(before, 24).Colour(0, 0), odd); // neither changed the system palette

    SelectPalette(screen, palette, FALSE);
    EXPECT_EQ(RealizePalette(screen), 1u);
    const HBITMAP after = dib.Create();
    EXPECT_EQ(ReadBack(after, 24).Colour(0, 0), odd);
    EXPECT_EQ(ReadBack(black, 24).Colour(0, 0), odd); // bitmaps read through the system palette
    GdiSetScreenBitsPerPixel(8);                      // resets it
    EXPECT_EQ(ReadBack(black, 24).Colour(0, 0), RGB(0, 0, 0));

    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    for (HBITMAP b : {black, before, after}) DeleteObject(b);
    DeleteObject(palette);
}

TEST_F(GdiTest, GetDIBitsDescribesTheBitmapAndWritesChosenScanLines) {
    GdiSetScreenBitsPerPixel(24);
    Dib dib(24, 5, -3); // row y is red y * 80
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) dib.SetColour(x, y, RGB(y * 80, x, 0));
    const HBITMAP bitmap = dib.Create();
    HDC dc = GetDC(nullptr);

    Dib query(0, 0, 0);
    ASSERT_NE(GetDIBits(dc, bitmap, 0, 0, nullptr, query.Info(), DIB_RGB_COLORS), 0);
    EXPECT_EQ(query.Header().biWidth, 5);
    EXPECT_EQ(query.Header().biHeight, 3);
    EXPECT_EQ(query.Header().biPlanes, 1);
    EXPECT_EQ(query.Header().biBitCount, 24);
    EXPECT_EQ(query.Header().biSizeImage, 16u * 3);

    Dib four(4, 5, 3);
    EXPECT_NE(GetDIBits(dc, bitmap, 0, 3, nullptr, four.Info(), DIB_RGB_COLORS), 0);
    EXPECT_EQ(four.Header().biSizeImage, 4u * 3);
    EXPECT_EQ(four.EntryColour(9), RGB(0, 0, 0xFF));
    EXPECT_EQ(four.Header().biClrUsed, 16u); // the entries written before the pixels

    // Bottom-up scan lines 1 and 2 are picture rows 1 and 0; the request is
    // clipped at the top.
    Dib part(32, 5, 3);
    EXPECT_EQ(GetDIBits(dc, bitmap, 1, 9, part.bits.data(), part.Info(), DIB_RGB_COLORS), 2);
    EXPECT_EQ(part.Colour(4, 2), RGB(80, 4, 0)); // buffer row 0 is bottom row 2 of this DIB
    EXPECT_EQ(part.Colour(4, 1), RGB(0, 4, 0));
    Dib topDown(32, 5, -3);
    EXPECT_EQ(GetDIBits(dc, bitmap, 1, 1, topDown.bits.data(), topDown.Info(), DIB_RGB_COLORS), 1);
    EXPECT_EQ(topDown.Colour(3, 0), RGB(80, 3, 0));
    EXPECT_EQ(topDown.Colour(3, 1), RGB(0, 0, 0)); // only the one line asked for
    EXPECT_EQ(GetDIBits(dc, bitmap, 3, 1, topDown.bits.data(), topDown.Info(), DIB_RGB_COLORS), 0);
    Dib wrong(32, 4, 3);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 3, wrong.bits.data(), wrong.Info(), DIB_RGB_COLORS), 0);
    Dib tall(32, 5, 4);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 3, tall.bits.data(), tall.Info(), DIB_RGB_COLORS), 0);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 3, part.bits.data(), part.Info(), DIB_PAL_COLORS), 0);
    ReleaseDC(nullptr, dc);
    DeleteObject(bitmap);
}

// Each case spoils a good 8-bit 4 x 2 DIB (or the call) so that it must be refused.
struct Refusal {
    const char* name;
    void (*spoil)(BITMAPINFOHEADER&, UINT& usage, bool& withBits);
};
void PrintTo(const Refusal& c, std::ostream* os) {
    *os << c.name;
}
using RefusalTest = GdiParamTest<Refusal>;

TEST_P(RefusalTest, CreateDIBitmapRefuses) {
    Dib dib(8, 4, 2, kStandard);
    UINT usage = DIB_RGB_COLORS;
    bool withBits = true;
    GetParam().spoil(dib.Header(), usage, withBits);
    EXPECT_EQ(CreateDIBitmap(nullptr, &dib.Header(), CBM_INIT, withBits ? dib.bits.data() : nullptr,
                             dib.Info(), usage),
              nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    Values(Refusal{"NegativeWidth", [](auto& h, auto&, auto&) { h.biWidth = -4; }},
           Refusal{"MinimumHeight", [](auto& h, auto&, auto&) { h.biHeight = INT_MIN; }},
           Refusal{"TwoBits", [](auto& h, auto&, auto&) { h.biBitCount = 2; }},
           Refusal{"Rle8", [](auto& h, auto&, auto&) { h.biCompression = BI_RLE8; }},
           Refusal{"Bitfields", [](auto& h, auto&, auto&) { h.biCompression = BI_BITFIELDS; }},
           Refusal{"CoreHeader", [](auto& h, auto&, auto&) { h.biSize = 12; }},
           Refusal{"PaletteIndices", [](auto&, auto& usage, auto&) { usage = DIB_PAL_COLORS; }},
           Refusal{"NoBits", [](auto&, auto&, auto& withBits) { withBits = false; }},
           Refusal{"SixteenGiB", [](auto& h, auto&, auto&) { h.biWidth = h.biHeight = 65536; }},
           Refusal{"Overflow", [](auto& h, auto&, auto&) { h.biWidth = h.biHeight = INT_MAX; }},
           Refusal{"EndlessRow",
                   [](auto& h, auto&, auto&) { h.biWidth = INT_MAX, h.biHeight = 0; }}),
    [](const auto& info) { return info.param.name; });

// Past 256 MiB of pixels: an allocator would grant it, but it is refused.
TEST_F(GdiTest, BitmapsPastTheSizeCapAreRefused) {
    Dib big(32, 1, 1);
    big.Header().biWidth = 8192;
    big.Header().biHeight = 8193; // 4 rows of 32 KiB too many
    EXPECT_EQ(CreateDIBitmap(nullptr, &big.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS), nullptr);
    big.Header().biHeight = 8192; // exactly 256 MiB: made (zeroed lazily, never touched here)
    const HBITMAP largest =
        CreateDIBitmap(nullptr, &big.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS);
    EXPECT_NE(largest, nullptr);
    DeleteObject(largest);
    big.Header().biWidth = big.Header().biHeight = 17000;
    EXPECT_EQ(CreateDIBitmap(nullptr, &big.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS), nullptr);
    GdiSetScreenBitsPerPixel(8);
    big.Header().biWidth = big.Header().biHeight = 33000;
    EXPECT_EQ(CreateDIBitmap(nullptr, &big.Header(), 0, nullptr, nullptr, DIB_RGB_COLORS), nullptr);
}

TEST_F(GdiTest, FailedAllocationsLeaveNothingBehind) {
    Dib dib(8, 4, 4, {RGB(1, 2, 3)});
    const HBITMAP good = dib.Create();
    AfxInjectAllocFailure(0);
    EXPECT_EQ(dib.Create(), nullptr);
    AfxInjectAllocFailure(0);
    EXPECT_EQ(CopyImage(good, IMAGE_BITMAP, 0, 0, 0), nullptr);
    AfxInjectAllocFailure(0);
    EXPECT_EQ(CopyImage(good, IMAGE_BITMAP, 9, 9, 0), nullptr);
    EXPECT_EQ(GdiGetObjectCounts().bitmaps, gdi_.bitmaps + 1);
    const HBITMAP next = dib.Create(); // the failure was spent
    EXPECT_NE(next, nullptr);
    DeleteObject(next);
    DeleteObject(good);
}

// DIB sections at every depth and in both row orders: drawing calls read the
// caller's rows through the section's own colour table, and what they draw
// lands in the caller's rows, mapped back onto that table.
using SectionTest = GdiParamTest<std::tuple<int, bool>>;

TEST_P(SectionTest, TheCallersRowsAreThePixels) {
    const auto [depth, topDown] = GetParam();
    const int w = 13, h = 3;
    std::vector<COLORREF> table;
    for (DWORD i = 0; i < DibTableEntries(unsigned(depth)); ++i)
        table.push_back(RGB(i, 255 - i, i * 7 % 256));
    Dib picture(depth, w, topDown ? -h : h, table), wide(24, w, -h), again = picture;
    for (std::size_t k = 0; k < picture.bits.size(); ++k) picture.bits[k] = BYTE(k * 37 + 11);

    auto section = [](Dib& format, void** bits) {
        return CreateDIBSection(nullptr, format.Info(), DIB_RGB_COLORS, bits, nullptr, 0);
    };
    void *pictureBits = nullptr, *wideBits = nullptr, *againBits = nullptr;
    const HBITMAP a = section(picture, &pictureBits), b = section(wide, &wideBits),
                  c = section(again, &againBits);
    ASSERT_TRUE(a && b && c);
    BITMAP bm{};
    ASSERT_EQ(GetObject(a, sizeof bm, &bm), int(sizeof bm));
    EXPECT_EQ(bm.bmBits, pictureBits);
    std::memcpy(pictureBits, picture.bits.data(), picture.bits.size());
    ASSERT_TRUE(Blit(b, 0, 0, w, h, a, 0, 0));
    ASSERT_TRUE(Blit(c, 0, 0, w, h, b, 0, 0));
    std::memcpy(wide.bits.data(), wideBits, wide.bits.size());
    std::memcpy(again.bits.data(), againBits, again.bits.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            EXPECT_EQ(wide.Colour(x, y), picture.Colour(x, y)) << x << "," << y;
            if (depth <= 8)
                EXPECT_EQ(again.Index(x, y), picture.Index(x, y)) << x << "," << y;
            else
                EXPECT_EQ(again.Colour(x, y), picture.Colour(x, y)) << x << "," << y;
        }
    for (HBITMAP made : {a, b, c}) EXPECT_TRUE(DeleteObject(made));
}

INSTANTIATE_TEST_SUITE_P(AllDepths, SectionTest, Combine(Values(1, 4, 8, 16, 24, 32), Bool()));

} // namespace
