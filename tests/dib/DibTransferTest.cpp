#include "dib/Dib.h"

#include "../LeakCheckedTest.h"
#include "../gfx/GfxTestSupport.h"

#include "platform/Clipboard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Each test leaves the clipboard closed and empty.
class DibTransferTest : public LeakCheckedTest {
protected:
    void TearDown() override {
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            CloseClipboard();
        }
        LeakCheckedTest::TearDown();
    }
};

void Make(CDIB& dib, int width, int height, int bits, COLORREF fill = RGB(255, 255, 255)) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(width, height, &format, fill));
}

std::vector<BYTE> Front(const CDIB& dib) {
    const auto* p = reinterpret_cast<const BYTE*>(dib.m_pBMI);
    return {p, p + 40 + 4 * dib.GetNumColors()};
}

TEST_F(DibTransferTest, CopyThenPasteGivesTheSameImage) {
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(bits);
        CDIB source, pasted;
        Make(source, 13, 3, bits);
        for (DWORD i = 0; i < source.m_dwSizeImage; ++i) source.m_pBits[i] = BYTE(i * 29 + 1);
        ASSERT_TRUE(OpenClipboard(nullptr));
        ASSERT_TRUE(EmptyClipboard());
        ASSERT_TRUE(source.CopyToClipboard());
        ASSERT_TRUE(pasted.PasteFromClipboard(0));
        ASSERT_TRUE(CloseClipboard());
        EXPECT_EQ(pasted.m_nBitsFlag, 1);
        EXPECT_EQ(Front(pasted), Front(source));
        EXPECT_EQ(std::memcmp(pasted.m_pBits, source.m_pBits, source.m_dwSizeImage), 0);
    }
}

// Nothing happens without the clipboard open, without data, or with a block
// smaller than its header says; the object keeps its image.
TEST_F(DibTransferTest, RefusedPastesChangeNothing) {
    CDIB dib;
    Make(dib, 2, 2, 24, RGB(1, 2, 3));
    const BITMAPINFOHEADER* before = dib.m_pBMI;
    EXPECT_FALSE(dib.CopyToClipboard()) << "not open";
    ASSERT_TRUE(OpenClipboard(nullptr));
    EXPECT_FALSE(OpenClipboard(nullptr));
    EXPECT_FALSE(dib.PasteFromClipboard(0)) << "empty";

    CDIB big;
    Make(big, 64, 64, 8);
    ASSERT_TRUE(big.CopyToClipboard());
    const auto block = static_cast<HGLOBAL>(GetClipboardData(CF_DIB));
    auto* header = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    header->biHeight = 65; // one row more than the block holds
    GlobalUnlock(block);
    EXPECT_FALSE(dib.PasteFromClipboard(0));
    EXPECT_EQ(dib.m_pBMI, before);
    EXPECT_EQ(dib.GetWidth(), 2);
    ASSERT_TRUE(CloseClipboard());
    EXPECT_EQ(GetClipboardData(CF_DIB), nullptr) << "closed";
}

// Drawing into a context and into another image: the source lands in the
// destination rectangle, the rest stays; an empty object paints with the
// raster operation alone.
TEST_F(DibTransferTest, DrawsIntoContextsAndImages) {
    const HBITMAP white = gfxtest::Painted(6, 4, [](int, int) { return RGB(255, 255, 255); });
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, white);
    CDIB empty, red, target, none;
    EXPECT_NE(empty.StretchToDC(dc, 1, 1, 2, 2, 0, 0, 2, 2, BLACKNESS), 0);
    Make(red, 2, 2, 24, RGB(255, 0, 0));
    EXPECT_EQ(red.StretchToDC(dc, 4, 0, 2, 4, 0, 0, 2, 2, SRCCOPY), 2);
    SelectObject(dc, old);
    const std::vector<std::uint32_t> got = gfxtest::ReadPixels(white);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const std::uint32_t want = x >= 4                                 ? 0xFF0000u
                                       : (x >= 1 && x < 3 && y >= 1 && y < 3) ? 0u
                                                                              : 0xFFFFFFu;
            EXPECT_EQ(got[std::size_t(y) * 6 + x], want) << x << "," << y;
        }
    DeleteDC(dc);
    DeleteObject(white);

    Make(target, 8, 8, 24);
    ASSERT_TRUE(red.RenderInto(&target, 2, 3, 4, 4, 0, 0, 2, 2, SRCCOPY));
    EXPECT_EQ(target.GetWidth(), 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const BYTE* p = target.GetPixelAddress(x, y);
            const bool inside = x >= 2 && x < 6 && y >= 3 && y < 7;
            EXPECT_EQ(RGB(p[2], p[1], p[0]), inside ? RGB(255, 0, 0) : RGB(255, 255, 255))
                << x << "," << y;
        }
    EXPECT_FALSE(red.RenderInto(&none, 0, 0, 1, 1, 0, 0, 1, 1, SRCCOPY));
    EXPECT_FALSE(none.IsValid());
}

} // namespace
