// A decoded GIF frame captured into a CDIB holds the colours the GIF gives its
// pixels, bottom row first, on screens of every direct-colour depth.
#include "dib/Dib.h"
#include "gif/GifDecoder.h"

#include "../gif/GifBuilder.h"
#include "../gif/GifTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace gifbuild;

class DibCaptureGifTest : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { GdiSetScreenBitsPerPixel(32); }
};

TEST_P(DibCaptureGifTest, FrameColoursSurviveTheCapture) {
    const int screenBits = GetParam();
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(screenBits));
    const GdiObjectCounts gdi = GdiGetObjectCounts();
    const long blocks = GlobalLiveBlocks();

    // 7 x 3 image, 16 colours spread over the cube, every pixel its own index.
    Bytes table;
    for (int i = 0; i < 16; ++i)
        table.insert(table.end(),
                     {static_cast<std::uint8_t>(i * 17), static_cast<std::uint8_t>(255 - i * 13),
                      static_cast<std::uint8_t>((i * 71) & 0xFF)});
    std::vector<std::uint8_t> pixels(21);
    for (int i = 0; i < 21; ++i)
        pixels[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((i * 5) % 16);
    giftest::TempFile file(Gif(7, 3, table).FlatImage(0, 0, 7, 3, pixels).Trailer().bytes);
    {
        CGifDecoder decoder;
        ASSERT_TRUE(decoder.LoadFile(file.path().c_str()));
        decoder.m_hDC = GetDC(nullptr);
        HBITMAP frame = decoder.GetNextFrame();
        ASSERT_NE(frame, nullptr);
        CDIB dib;
        ASSERT_TRUE(dib.CreateFromBitmap(frame));
        DeleteObject(frame);
        ReleaseDC(nullptr, decoder.m_hDC);

        ASSERT_EQ(dib.m_pBMI->biBitCount, screenBits == 16 ? 16 : 24);
        ASSERT_EQ(dib.GetHeight(), 3);
        const int tolerance = screenBits == 16 ? 7 : 0; // 5 bits a component
        for (int y = 0; y < 3; ++y) {
            const BYTE* row = dib.m_pBits + static_cast<std::size_t>(2 - y) * dib.GetBytesPerLine();
            for (int x = 0; x < 7; ++x) {
                const BYTE* rgb = &table[3u * pixels[static_cast<std::size_t>(y * 7 + x)]];
                int r, g, b;
                if (screenBits == 16) {
                    const int w = row[2 * x] | (row[2 * x + 1] << 8);
                    r = ((w >> 10) & 31) << 3, g = ((w >> 5) & 31) << 3, b = (w & 31) << 3;
                } else {
                    b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
                }
                EXPECT_NEAR(r, rgb[0], tolerance) << x << "," << y;
                EXPECT_NEAR(g, rgb[1], tolerance) << x << "," << y;
                EXPECT_NEAR(b, rgb[2], tolerance) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(GdiGetObjectCounts(), gdi);
    EXPECT_EQ(GlobalLiveBlocks(), blocks);
}

INSTANTIATE_TEST_SUITE_P(Screens, DibCaptureGifTest, ::testing::Values(32, 24, 16));

TEST(DibClassTest, RegisteredUnderItsName) {
    const CRuntimeClass* record = CRuntimeClass::FromName("CDIB");
    ASSERT_EQ(record, RUNTIME_CLASS(CDIB));
    EXPECT_EQ(record->m_wSchema, 0u);
    CObject* made = record->CreateObject();
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(static_cast<CDIB*>(made)->m_bBorrowed);
    EXPECT_FALSE(static_cast<CDIB*>(made)->IsValid());
    delete made;
}

} // namespace
