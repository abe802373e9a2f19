#include "dib/Dib.h"

#include "../LeakCheckedTest.h"
#include "../gfx/GfxTestSupport.h"

#include "fw/Exception.h"
#include "gfx/Palette.h"
#include "gfx/StockColors.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using DibTest = LeakCheckedTest;
using gfxtest::Painted;

BITMAPINFOHEADER Format(int bitCount, DWORD colours = 0, DWORD size = 0) {
    BITMAPINFOHEADER h{};
    h.biSize = size;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(bitCount);
    h.biClrUsed = colours;
    return h;
}

std::vector<BYTE> Bytes(const CDIB& dib) {
    return {dib.m_pBits, dib.m_pBits + dib.m_dwSizeImage};
}

const RGBQUAD* Table(const CDIB& dib) {
    return reinterpret_cast<const RGBQUAD*>(reinterpret_cast<const BYTE*>(dib.m_pBMI) + 40);
}

// --- Creating --------------------------------------------------------------

TEST_F(DibTest, NewObjectIsEmpty) {
    CDIB dib;
    EXPECT_FALSE(dib.IsValid());
    int x = 0, y = 0;
    dib.GetResolution(&x, &y);
    EXPECT_EQ(x, 150);
    EXPECT_EQ(y, 150);
    EXPECT_EQ(dib.m_nFormatTag, -1);
    EXPECT_FALSE(dib.m_bBorrowed);
    EXPECT_TRUE(CDIB(TRUE).m_bBorrowed);
}

TEST_F(DibTest, Create24BitsWritesBlueGreenRedAndZeroPadding) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(24);
    ASSERT_TRUE(dib.Create(10, 5, &f, RGB(0xFF, 0, 0)));
    EXPECT_EQ(dib.GetBytesPerLine(), 32u);
    EXPECT_EQ(dib.m_dwSizeImage, 160u);
    EXPECT_EQ(dib.m_pBMI->biClrUsed, 0u);
    EXPECT_EQ(dib.m_pBits, reinterpret_cast<BYTE*>(dib.m_pBMI) + 40);
    EXPECT_EQ(dib.m_Palette.GetSafeHandle(), nullptr);
    std::vector<BYTE> row;
    for (int i = 0; i < 10; ++i) row.insert(row.end(), {0x00, 0x00, 0xFF});
    row.insert(row.end(), {0, 0});
    std::vector<BYTE> expected;
    for (int y = 0; y < 5; ++y) expected.insert(expected.end(), row.begin(), row.end());
    EXPECT_EQ(Bytes(dib), expected);
}

TEST_F(DibTest, Create1BitWithTheStockTable) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(1); // biSize 0: the stock table
    ASSERT_TRUE(dib.Create(3, 2, &f, RGB(255, 255, 255)));
    EXPECT_EQ(dib.GetBytesPerLine(), 4u);
    EXPECT_EQ(dib.m_dwSizeImage, 8u);
    EXPECT_EQ(dib.m_pBMI->biClrUsed, 2u);
    EXPECT_EQ(dib.m_pBMI->biClrImportant, 2u);
    EXPECT_EQ(Table(dib)[0].rgbRed, 0);
    EXPECT_EQ(Table(dib)[1].rgbGreen, 255);
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(8, 0xFF));
    ASSERT_TRUE(dib.Create(3, 2, &f, RGB(0, 0, 0)));
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(8, 0x00));
}

TEST_F(DibTest, Create4BitsFillsWithTheNearestIndexTwice) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(4);
    ASSERT_TRUE(dib.Create(7, 3, &f, RGB(0, 0, 250))); // nearest: entry 9, 0000FF
    EXPECT_EQ(dib.GetBytesPerLine(), 4u);
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(12, 0x99));
}

TEST_F(DibTest, Create8BitsWithASixteenEntryTemplate) {
    struct {
        BITMAPINFOHEADER h;
        RGBQUAD table[16];
    } f{Format(8, 16, 40), {}};
    for (int i = 0; i < 16; ++i) f.table[i] = {static_cast<BYTE>(i * 16), 0, 0, 0x77};
    CDIB dib;
    ASSERT_TRUE(dib.Create(5, 2, &f.h, RGB(0, 0, 0x70)));
    EXPECT_EQ(dib.m_pBits, reinterpret_cast<BYTE*>(dib.m_pBMI) + 40 + 64);
    EXPECT_EQ(dib.m_Palette.GetEntryCount(), 16);
    EXPECT_EQ(Table(dib)[7].rgbBlue, 0x70);
    EXPECT_EQ(Table(dib)[7].rgbReserved, 0) << "reserved bytes are written as 0";
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(16, 7));
}

TEST_F(DibTest, Create16And32BitsFillEveryByte) {
    CDIB dib;
    BITMAPINFOHEADER f16 = Format(16);
    ASSERT_TRUE(dib.Create(3, 2, &f16, RGB(0xF8, 0x08, 0x18)));
    // 5-5-5: red 31, green 1, blue 3 -> 0x7C23, little-endian; 2 padding bytes.
    EXPECT_EQ(Bytes(dib), (std::vector<BYTE>{0x23, 0x7C, 0x23, 0x7C, 0x23, 0x7C, 0, 0, 0x23, 0x7C,
                                             0x23, 0x7C, 0x23, 0x7C, 0, 0}));
    BITMAPINFOHEADER f32 = Format(32);
    ASSERT_TRUE(dib.Create(2, 1, &f32, RGB(1, 2, 3)));
    EXPECT_EQ(Bytes(dib), (std::vector<BYTE>{3, 2, 1, 0, 3, 2, 1, 0}));
}

TEST_F(DibTest, ImpossibleFormatsAndSizesAreRefusedLeavingTheObjectEmpty) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(8);
    ASSERT_TRUE(dib.Create(2, 2, &f, 0));
    BITMAPINFOHEADER many = Format(8, 257);
    EXPECT_FALSE(dib.Create(2, 2, &many, 0));
    EXPECT_FALSE(dib.IsValid());
    EXPECT_FALSE(dib.Create(-1, 2, &f, 0));
    EXPECT_FALSE(dib.Create(2, -1, &f, 0));
    BITMAPINFOHEADER f32 = Format(32);
    EXPECT_FALSE(dib.Create(65536, 16384, &f32, 0)) << "a 4 GiB block";
    EXPECT_FALSE(dib.IsValid());
}

TEST_F(DibTest, FailedAllocationThrowsAndLeavesTheObjectEmpty) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(8);
    ASSERT_TRUE(dib.Create(4, 4, &f, 0));
    AfxInjectAllocFailure(0);
    EXPECT_THROW(dib.Create(8, 8, &f, 0), CMemoryException);
    EXPECT_FALSE(dib.IsValid());
}

TEST_F(DibTest, WithoutAPaletteTheFillIsTheFirstExactEntry) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(8);
    // The block comes first, then the palette's LOGPALETTE block: fail that.
    AfxInjectAllocFailure(1);
    ASSERT_TRUE(dib.Create(4, 1, &f, RGB(0xFF, 0xFB, 0xF0))); // stock entry 246
    EXPECT_EQ(dib.m_Palette.GetSafeHandle(), nullptr);
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(4, 246));
    AfxInjectAllocFailure(1);
    ASSERT_TRUE(dib.Create(4, 1, &f, RGB(1, 2, 3))); // in no entry
    EXPECT_EQ(Bytes(dib), std::vector<BYTE>(4, 0));
}

// --- Rules -----------------------------------------------------------------

TEST_F(DibTest, ColourCountAndResolutionRules) {
    BITMAPINFOHEADER h = Format(24);
    EXPECT_EQ(CDIB::GetNumColors(&h), 0);
    h.biClrUsed = 12;
    EXPECT_EQ(CDIB::GetNumColors(&h), 12);
    h = Format(8);
    EXPECT_EQ(CDIB::NumColors(&h), 256);
    h = Format(8, 300);
    EXPECT_EQ(CDIB::GetNumColors(&h), 300) << "taken unchanged";
    BITMAPCOREHEADER core{12, 4, 4, 1, 4};
    EXPECT_EQ(CDIB::GetNumColors(reinterpret_cast<BITMAPINFOHEADER*>(&core)), 16);

    BITMAPINFOHEADER f = Format(24);
    f.biXPelsPerMeter = 3780;
    f.biYPelsPerMeter = 2835;
    CDIB dib;
    ASSERT_TRUE(dib.Create(1, 1, &f, 0));
    int x = 0, y = 0;
    dib.GetResolution(&x, &y);
    EXPECT_EQ(x, 96);
    EXPECT_EQ(y, 72);
    EXPECT_EQ(dib.m_pBMI->biXPelsPerMeter, 3780) << "headers keep pixels per metre";
    f.biXPelsPerMeter = f.biYPelsPerMeter = 0;
    ASSERT_TRUE(dib.Create(1, 1, &f, 0));
    dib.GetResolution(&x, &y);
    EXPECT_EQ(x + y, 0);
}

TEST_F(DibTest, StockTablesHoldTheListedColours) {
    auto rgb = [](const RGBQUAD& q) { return (q.rgbRed << 16) | (q.rgbGreen << 8) | q.rgbBlue; };
    EXPECT_EQ(rgb(DibStockColors(2)[1]), 0xFFFFFF);
    EXPECT_EQ(rgb(DibStockColors(16)[4]), 0x800000);
    EXPECT_EQ(rgb(DibStockColors(16)[12]), 0xFF0000);
    EXPECT_EQ(rgb(DibStockColors(256)[8]), 0xC0DCC0);
    EXPECT_EQ(rgb(DibStockColors(256)[130]), 0x66CCFF);
    EXPECT_EQ(rgb(DibStockColors(256)[205]), 0xEE0000);
    EXPECT_EQ(rgb(DibStockColors(256)[247]), 0xA0A0A4);
    EXPECT_EQ(DibStockColors(3), nullptr);
}

// --- Copies and adoption ---------------------------------------------------

TEST_F(DibTest, CopyOwnsItsBlockAndMatchesTheSource) {
    struct {
        BITMAPINFOHEADER h;
        RGBQUAD table[4];
    } f{Format(8, 4, 40), {{1, 2, 3, 0}, {4, 5, 6, 0}, {7, 8, 9, 0}, {10, 11, 12, 0}}};
    f.h.biXPelsPerMeter = 3780;
    CDIB source;
    ASSERT_TRUE(source.Create(6, 3, &f.h, RGB(9, 8, 7)));
    source.m_pBits[5] = 3;
    source.m_nBitsFlag = 1;
    source.m_nFormatTag = 24;
    source.m_nYDpi = 33;

    CDIB copy;
    copy = source;
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(copy.m_hDIB, source.m_hDIB);
    EXPECT_NE(copy.m_pBMI, source.m_pBMI);
    EXPECT_EQ(std::memcmp(copy.m_pBMI, source.m_pBMI, 40 + 16), 0) << "header and table";
    EXPECT_EQ(Bytes(copy), Bytes(source));
    EXPECT_EQ(copy.m_nBitsFlag, 0);
    EXPECT_EQ(copy.m_nFormatTag, 24);
    EXPECT_EQ(copy.m_nYDpi, 33);
    source.m_pBits[0] = 1;
    EXPECT_EQ(copy.m_pBits[0], 2) << "the copy is independent";

    HGLOBAL before = copy.m_hDIB;
    CDIB& alias = copy; // assigned to itself through another name
    copy = alias;
    EXPECT_EQ(copy.m_hDIB, before);
    CDIB empty;
    copy = empty;
    EXPECT_FALSE(copy.IsValid());
}

// A packed DIB in a new global block, as a file or the clipboard hands one over.
HGLOBAL PackedDib(int bitCount, int width, int height, DWORD compression = BI_RGB) {
    const int colours = bitCount <= 8 ? 1 << bitCount : 0;
    const long stride = ((bitCount * width + 31) / 32) * 4;
    HGLOBAL block =
        GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT,
                    static_cast<std::size_t>(40 + 4 * colours + stride * std::abs(height)));
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    *h = Format(bitCount, 0, 40); // biClrUsed, biClrImportant and biSizeImage all 0
    h->biWidth = width;
    h->biHeight = height;
    h->biCompression = compression;
    auto* table = reinterpret_cast<RGBQUAD*>(reinterpret_cast<BYTE*>(h) + 40);
    for (int i = 0; i < colours; ++i)
        table[i] = {static_cast<BYTE>(i), 0, static_cast<BYTE>(255 - i), 0};
    BYTE* bits = reinterpret_cast<BYTE*>(table + colours);
    for (long i = 0; i < stride * std::abs(height); ++i) bits[i] = static_cast<BYTE>(i * 7);
    return block;
}

TEST_F(DibTest, CopyOfAnAdoptedDibRecomputesItsHeader) {
    HGLOBAL block = PackedDib(8, 5, 3);
    CDIB source;
    ASSERT_TRUE(
        source.Attach(block, static_cast<BITMAPINFOHEADER*>(GlobalLock(block)), 0xFFFFFFFF));
    GlobalUnlock(block);
    CDIB copy;
    copy = source;
    ASSERT_TRUE(copy.IsValid());
    EXPECT_EQ(copy.m_pBMI->biClrUsed, 256u);
    EXPECT_EQ(copy.m_pBMI->biClrImportant, 256u);
    EXPECT_EQ(copy.m_pBMI->biSizeImage, 24u);
    EXPECT_EQ(std::memcmp(Table(copy), Table(source), 1024), 0);
    EXPECT_EQ(std::memcmp(copy.m_pBits, source.m_pBits, 24), 0);
}

TEST_F(DibTest, CopiesOfWhatABlankImageCannotHoldAreEmpty) {
    for (auto [height, compression] : {std::pair{-4, BI_RGB}, std::pair{4, BI_RLE8}}) {
        HGLOBAL block = PackedDib(8, 4, height, compression);
        CDIB source;
        ASSERT_TRUE(
            source.Attach(block, static_cast<BITMAPINFOHEADER*>(GlobalLock(block)), 0xFFFFFFFF));
        GlobalUnlock(block);
        CDIB copy;
        BITMAPINFOHEADER f = Format(24);
        ASSERT_TRUE(copy.Create(2, 2, &f, 0));
        copy = source;
        EXPECT_FALSE(copy.IsValid()) << "height " << height << ", compression " << compression;
    }
}

TEST_F(DibTest, FailedCopyThrowsAndLeavesTheTargetEmpty) {
    CDIB source, copy;
    BITMAPINFOHEADER f = Format(24);
    ASSERT_TRUE(source.Create(3, 3, &f, 0));
    ASSERT_TRUE(copy.Create(2, 2, &f, 0));
    AfxInjectAllocFailure(0);
    EXPECT_THROW(copy = source, CMemoryException);
    EXPECT_FALSE(copy.IsValid());
}

TEST_F(DibTest, SizesPastWhat32BitsHoldAreRefusedWithoutOverflow) {
    CDIB dib;
    for (int bits : {1, 8, 16, 24, 32}) {
        BITMAPINFOHEADER f = Format(bits);
        EXPECT_FALSE(dib.Create(0x7FFFFFFF, 0x7FFFFFFF, &f, 0)) << bits;
        EXPECT_FALSE(dib.Create(0x7FFFFFFF, 20, &f, 0)) << bits; // 5 GiB at 1 bit
    }
    BITMAPINFOHEADER f = Format(8);
    EXPECT_TRUE(dib.Create(0x7FFFFFFF, 0, &f, 0)) << "no rows: only the header and table";
    EXPECT_EQ(dib.m_dwSizeImage, 0u);
}

TEST_F(DibTest, AttachAdoptsInPlaceAndBorrowsUnlessTheSizeIsAllOnes) {
    for (DWORD size : {0xFFFFFFFFu, 1234u}) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 40 + 1024 + 16);
        auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
        *h = Format(8, 2, 40); // biClrUsed 2 is not consulted: 256 entries assumed
        h->biWidth = 4;
        h->biHeight = 4;
        h->biSizeImage = 16;
        h->biXPelsPerMeter = 3780;
        {
            CDIB dib;
            ASSERT_TRUE(dib.Attach(block, h, size));
            EXPECT_EQ(dib.m_pBMI, h);
            EXPECT_EQ(dib.m_pBits, reinterpret_cast<BYTE*>(h) + 40 + 1024);
            EXPECT_EQ(dib.m_dwSizeImage, 16u);
            EXPECT_EQ(dib.m_nFormatTag, 24);
            EXPECT_EQ(dib.m_bBorrowed, size != 0xFFFFFFFF);
            EXPECT_EQ(dib.m_Palette.GetSafeHandle(), nullptr);
            int x = 0, y = 0;
            dib.GetResolution(&x, &y);
            EXPECT_EQ(x, 96);
            if (size != 0xFFFFFFFF) {
                // Replacing a borrowed image leaves the borrowed block alone,
                // and the object's own new block is still freed at the end.
                BITMAPINFOHEADER f = Format(24);
                ASSERT_TRUE(dib.Create(2, 2, &f, 0));
            }
        }
        if (size == 0xFFFFFFFF) {
            EXPECT_EQ(GlobalSize(block), 0u) << "an adopted block goes with the object";
        } else {
            EXPECT_EQ(GlobalSize(block), 40u + 1024 + 16) << "a borrowed block is never freed";
            GlobalUnlock(block);
            GlobalFree(block);
        }
    }
}

// --- Capture ---------------------------------------------------------------

struct CaptureCase {
    int screenBits;
    int capturedBits;
    int colours;
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
    *os << c.screenBits << "-bit screen, captured at " << c.capturedBits;
}

class DibCaptureTest : public DibTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(DibCaptureTest, CapturesAtTheBitmapsOwnDepth) {
    const CaptureCase& c = GetParam();
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(c.screenBits));
    // Black and white survive every depth exactly.
    std::vector<COLORREF> colours(100 * 50, RGB(255, 255, 255));
    colours[0] = RGB(0, 0, 0);             // top left
    colours[49 * 100 + 99] = RGB(0, 0, 0); // bottom right
    HBITMAP b = Painted(100, 50, colours);
    ASSERT_NE(b, nullptr);
    CDIB dib;
    ASSERT_TRUE(dib.CreateFromBitmap(b));
    DeleteObject(b);
    EXPECT_EQ(dib.m_pBMI->biBitCount, c.capturedBits);
    EXPECT_EQ(dib.m_pBMI->biHeight, 50) << "bottom-up";
    const DWORD stride = ((static_cast<DWORD>(c.capturedBits) * 100 + 31) / 32) * 4;
    EXPECT_EQ(dib.GetBytesPerLine(), stride);
    EXPECT_EQ(dib.m_dwSizeImage, stride * 50);
    EXPECT_EQ(dib.m_pBits, reinterpret_cast<BYTE*>(dib.m_pBMI) + 40 + 4 * c.colours);
    EXPECT_EQ(dib.m_pBMI->biClrUsed, static_cast<DWORD>(c.colours));
    EXPECT_EQ(dib.m_Palette.GetEntryCount(), c.colours);
    if (c.colours) {
        const RGBQUAD* stock = DibStockColors(c.colours);
        EXPECT_EQ(std::memcmp(Table(dib), stock, 4 * c.colours), 0) << "the stock table";
    }
    // Bottom-up: the last stored row is the picture's top row, which starts
    // black (all bits 0 in every format); the bottom row starts white.
    const int firstPixelBits = c.capturedBits == 1 ? 0x80 : c.capturedBits == 4 ? 0xF0 : 0xFF;
    auto firstPixel = [&](int storedRow) {
        return dib.m_pBits[static_cast<std::size_t>(storedRow) * stride] & firstPixelBits;
    };
    EXPECT_EQ(firstPixel(49), 0);
    EXPECT_NE(firstPixel(0), 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, DibCaptureTest,
                         ::testing::Values(CaptureCase{32, 24, 0}, CaptureCase{24, 24, 0},
                                           CaptureCase{16, 16, 0}, CaptureCase{8, 8, 256},
                                           CaptureCase{4, 4, 16}, CaptureCase{1, 1, 2}));

TEST_F(DibTest, CaptureWithAGivenTableKeepsThePlatformsIndices) {
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(1));
    HBITMAP b = Painted(8, 1, {0, 0xFFFFFF, 0, 0xFFFFFF, 0, 0, 0xFFFFFF, 0xFFFFFF});
    RGBQUAD table[2] = {{0, 0, 255, 0}, {255, 0, 0, 0}};
    CDIB dib;
    ASSERT_TRUE(dib.CreateFromBitmap(b, table));
    DeleteObject(b);
    EXPECT_EQ(dib.m_pBits[0], 0b01010011);
    EXPECT_EQ(Table(dib)[0].rgbRed, 255);
    EXPECT_EQ(Table(dib)[1].rgbBlue, 255);
}

TEST_F(DibTest, EightBitCaptureWithAGivenTable) {
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(8));
    HBITMAP b = Painted(2, 1, {RGB(0xA6, 0xCA, 0xF0), RGB(0xFF, 0xFF, 0xFF)}); // stock 9 and 255
    std::vector<RGBQUAD> table(256, RGBQUAD{1, 2, 3, 0});
    CDIB dib;
    ASSERT_TRUE(dib.CreateFromBitmap(b, table.data()));
    DeleteObject(b);
    EXPECT_EQ(dib.m_pBits[0], 9);
    EXPECT_EQ(dib.m_pBits[1], 255);
    EXPECT_EQ(Table(dib)[9].rgbRed, 3);
    EXPECT_EQ(dib.m_Palette.GetEntryCount(), 256);
}

TEST_F(DibTest, EmptyBitmapsCaptureAsEmptyImages) {
    for (auto [w, h] : {std::pair{5, 0}, std::pair{0, 5}}) {
        HBITMAP b = Painted(w, h, {});
        ASSERT_NE(b, nullptr);
        CDIB dib;
        EXPECT_TRUE(dib.CreateFromBitmap(b)) << w << " x " << h;
        EXPECT_EQ(dib.m_dwSizeImage, 0u);
        DeleteObject(b);
    }
}

TEST_F(DibTest, CaptureReplacesTheImageAndFailsCleanly) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(8);
    ASSERT_TRUE(dib.Create(3, 3, &f, 0));
    EXPECT_FALSE(dib.CreateFromBitmap(nullptr));
    EXPECT_TRUE(dib.IsValid()) << "a null handle leaves the object unchanged";

    HBITMAP b = Painted(2, 2, {1, 2, 3, 4});
    ASSERT_TRUE(dib.CreateFromBitmap(b));
    EXPECT_EQ(dib.GetWidth(), 2);
    DeleteObject(b);
    EXPECT_FALSE(dib.CreateFromBitmap(b)) << "a deleted bitmap cannot be queried";
    EXPECT_FALSE(dib.IsValid());
}

TEST_F(DibTest, EveryFailedAllocationInACaptureThrowsAndLeaksNothing) {
    HBITMAP b = Painted(5, 4, std::vector<COLORREF>(20, RGB(10, 20, 30)));
    // The n-th allocation of the capture fails, for each n until the capture
    // needs no more than n and succeeds.
    long failed = 0;
    for (long n = 0; n < 8; ++n) {
        CDIB dib;
        AfxInjectAllocFailure(n);
        bool thrown = false;
        try {
            dib.CreateFromBitmap(b);
        } catch (const CMemoryException&) {
            thrown = true;
        }
        AfxInjectAllocFailure(-1);
        if (!thrown) {
            EXPECT_TRUE(dib.IsValid()) << n;
            break;
        }
        ++failed;
        EXPECT_FALSE(dib.IsValid());
        EXPECT_EQ(dib.m_pBits, nullptr);
        EXPECT_EQ(dib.m_dwSizeImage, 0u);
    }
    EXPECT_GE(failed, 1) << "the capture's block was never refused";
    EXPECT_LT(failed, 8) << "the capture never succeeded";
    DeleteObject(b);
}

// --- Back to the device ----------------------------------------------------

TEST_F(DibTest, DeviceBitmapsFromEmptyAnd1BitImages) {
    CDIB dib;
    int bits = 99;
    EXPECT_EQ(dib.CreateDeviceBitmap(&bits), nullptr);
    EXPECT_EQ(bits, 0);

    BITMAPINFOHEADER f = Format(1);
    ASSERT_TRUE(dib.Create(9, 3, &f, RGB(255, 255, 255)));
    HBITMAP mono = dib.CreateDeviceBitmap(&bits);
    ASSERT_NE(mono, nullptr);
    EXPECT_EQ(bits, 1);
    BITMAP bm{};
    GetObject(mono, sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 1);
    EXPECT_EQ(bm.bmWidth, 9);
    DeleteObject(mono);

    BITMAPINFOHEADER f8 = Format(8);
    ASSERT_TRUE(dib.Create(4, 2, &f8, RGB(0xA6, 0xCA, 0xF0)));
    HBITMAP colour = dib.CreateDeviceBitmap(&bits);
    ASSERT_NE(colour, nullptr);
    EXPECT_EQ(bits, 8);
    GetObject(colour, sizeof bm, &bm);
    EXPECT_EQ(bm.bmBitsPixel, 32) << "the screen's format";
    CDIB back;
    ASSERT_TRUE(back.CreateFromBitmap(colour));
    EXPECT_EQ(back.m_pBits[0], 0xF0);
    EXPECT_EQ(back.m_pBits[1], 0xCA);
    EXPECT_EQ(back.m_pBits[2], 0xA6);
    DeleteObject(colour);
}

// A memory context drawing into a 32-bit bitmap of the given size, all grey.
class Canvas {
public:
    Canvas(int width, int height) {
        bitmap_ = Painted(width, height, [](int, int) { return RGB(0x80, 0x80, 0x80); });
        dc_ = CreateCompatibleDC(nullptr);
        old_ = SelectObject(dc_, bitmap_);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    HDC dc() const { return dc_; }
    // The canvas as 0x00RRGGBB values, top row first.
    std::vector<std::uint32_t> Pixels() const { return gfxtest::ReadPixels(bitmap_); }

private:
    HBITMAP bitmap_;
    HDC dc_;
    HGDIOBJ old_;
};

TEST_F(DibTest, DrawAtAPositionCoversExactlyTheImage) {
    CDIB dib;
    BITMAPINFOHEADER f = Format(24);
    ASSERT_TRUE(dib.Create(64, 32, &f, RGB(0x12, 0x34, 0x56)));
    Canvas canvas(100, 60);
    CDC dc(canvas.dc());
    EXPECT_NE(dib.Draw(&dc, 10, 20), 0);
    std::vector<COLORREF> px = canvas.Pixels();
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) {
            bool inside = x >= 10 && x < 74 && y >= 20 && y < 52;
            ASSERT_EQ(px[static_cast<std::size_t>(y * 100 + x)], inside ? 0x123456u : 0x808080u)
                << x << "," << y;
        }
    CDIB empty;
    EXPECT_EQ(empty.Draw(&dc, 0, 0), 0);
    EXPECT_EQ(dib.Draw(nullptr, 0, 0), 0) << "no context, no drawing";
}

TEST_F(DibTest, DrawRectanglesStretchAndCountSourceRowsFromTheBottom) {
    // 2 x 2 bottom-up image: stored row 0 (the bottom) red, red; row 1 blue, green.
    CDIB dib;
    BITMAPINFOHEADER f = Format(24);
    ASSERT_TRUE(dib.Create(2, 2, &f, RGB(255, 0, 0)));
    BYTE* top = dib.m_pBits + dib.GetBytesPerLine();
    top[0] = 255, top[1] = 0, top[2] = 0; // blue
    top[3] = 0, top[4] = 255, top[5] = 0; // green
    Canvas canvas(4, 4);
    CDC dc(canvas.dc());
    // Source (0, 1, 2, 2): one row, starting 1 row up from the bottom: the top row.
    EXPECT_NE(dib.Draw(&dc, RECT{0, 0, 4, 2}, RECT{0, 1, 2, 2}), 0);
    std::vector<COLORREF> px = canvas.Pixels();
    EXPECT_EQ(px[0], 0x0000FFu);
    EXPECT_EQ(px[1], 0x0000FFu);
    EXPECT_EQ(px[2], 0x00FF00u);
    EXPECT_EQ(px[7], 0x00FF00u);
    EXPECT_EQ(px[8], 0x808080u);

    // SRCAND: the mask darkens.
    CDIB mask;
    ASSERT_TRUE(mask.Create(1, 1, &f, RGB(0x0F, 0xFF, 0x00)));
    EXPECT_NE(mask.DrawMask(&dc, RECT{0, 3, 4, 4}, RECT{0, 0, 1, 1}), 0);
    px = canvas.Pixels();
    EXPECT_EQ(px[12], 0x008000u); // 80 80 80 AND 0F FF 00
    EXPECT_EQ(px[15], 0x008000u);
}

// --- Pixels inside their block -----------------------------------------------

// A 4-row packed DIB in a `block`-byte global block, adopted with `claimed`
// as its size. Attach looks for the pixels after the full colour table for
// the bit count; copies and the graphics calls take biClrUsed entries after
// the header (after biSize bytes, for the graphics calls).
struct AdoptCase {
    const char* name;
    WORD bits;
    LONG width;
    DWORD clrUsed, headerSize, block, claimed;
    bool fits;
};
void PrintTo(const AdoptCase& c, std::ostream* os) {
    *os << c.name;
}

class DibAdoptTest : public DibTest, public ::testing::WithParamInterface<AdoptCase> {};

TEST_P(DibAdoptTest, OnlyDibsInsideTheirBlockAreAdopted) {
    const AdoptCase& c = GetParam();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, c.block);
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    for (DWORD i = 0; i < c.block; ++i) reinterpret_cast<BYTE*>(h)[i] = static_cast<BYTE>(i);
    *h = Format(c.bits, c.clrUsed, c.headerSize);
    h->biWidth = c.width;
    h->biHeight = 4;
    {
        CDIB dib;
        BITMAPINFOHEADER f = Format(24);
        ASSERT_TRUE(dib.Create(2, 2, &f, 0));
        const BITMAPINFOHEADER* held = dib.m_pBMI;
        EXPECT_EQ(dib.Attach(block, h, c.claimed), c.fits);
        EXPECT_EQ(dib.m_pBMI == held, !c.fits) << "a refused DIB leaves the object as it was";
        // Whatever the object holds can be copied, converted and drawn.
        CDIB copy;
        copy = dib;
        ASSERT_TRUE(copy.IsValid());
        EXPECT_EQ(std::memcmp(copy.m_pBits, dib.m_pBits, copy.m_dwSizeImage), 0);
        int bits = 0;
        HBITMAP device = dib.CreateDeviceBitmap(&bits);
        EXPECT_NE(device, nullptr);
        DeleteObject(device);
        Canvas canvas(4, 4);
        CDC dc(canvas.dc());
        EXPECT_NE(dib.Draw(&dc, 0, 0), 0);
    }
    GlobalUnlock(block);
    GlobalFree(block);
}

INSTANTIATE_TEST_SUITE_P(Blocks, DibAdoptTest,
                         ::testing::Values(
                             // 16 colours and 16 pixel bytes packed into 120 bytes: the pixels are
                             // looked for 1064 bytes in.
                             AdoptCase{"ShortTable8Bits", 8, 4, 16, 40, 120, 120, false},
                             // Given to the object without a size: the block knows its own.
                             AdoptCase{"OwnedShortTable8Bits", 8, 4, 16, 40, 120, 0xFFFFFFFF,
                                       false},
                             // 24 bits: 32 pixel bytes right after the header, 64 table bytes.
                             AdoptCase{"TablePast24BitPixels", 24, 2, 16, 40, 72, 72, false},
                             AdoptCase{"FullTableOneByteShort", 8, 4, 16, 40, 1079, 1079, false},
                             AdoptCase{"FullTableExactly", 8, 4, 16, 40, 1080, 1080, true},
                             AdoptCase{"TableAfterA124ByteHeader", 8, 4, 0, 124, 1080, 1080, false},
                             AdoptCase{"SizeBelowAHeader", 24, 1, 0, 40, 56, 39, false},
                             // A 32-bit row of 2^30 pixels is 2^32 bytes: 0 in 32-bit arithmetic.
                             AdoptCase{"RowsOf4GiB", 32, 0x40000000, 0, 40, 40, 0xFFFFFFFE, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DibTest, EveryPathChecksTheHeldImageAgainstItsBlock) {
    CDIB dib, copy;
    BITMAPINFOHEADER f = Format(8);
    ASSERT_TRUE(dib.Create(4, 4, &f, 0));
    ASSERT_TRUE(copy.Create(2, 2, &f, 0));
    dib.m_pBMI->biHeight = 400; // more rows than the block holds
    std::vector<BYTE> pixels(1000);
    EXPECT_FALSE(dib.SetBits(pixels.data(), 1));
    const HGLOBAL before = copy.m_hDIB;
    copy = dib;
    EXPECT_EQ(copy.m_hDIB, before) << "the copy is refused";
    int bits = 99;
    EXPECT_EQ(dib.CreateDeviceBitmap(&bits), nullptr);
    Canvas canvas(4, 4);
    CDC dc(canvas.dc());
    EXPECT_EQ(dib.Draw(&dc, 0, 0), 0);

    // SetBits copies the rows an adopted header describes, not its
    // biSizeImage (here past the block).
    HGLOBAL block = PackedDib(8, 4, 4);
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    h->biSizeImage = 1000;
    ASSERT_TRUE(dib.Attach(block, h, 40 + 1024 + 16));
    EXPECT_TRUE(dib.SetBits(pixels.data(), 1));
    EXPECT_EQ(dib.GetPixelBytes(), 16u);
    dib.Empty();
    GlobalUnlock(block);
    GlobalFree(block);
}

} // namespace
