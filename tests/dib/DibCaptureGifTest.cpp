// A decoded GIF frame captured into a CDIB holds the colours the GIF gives its
// pixels, bottom row first, on screens of every direct-colour depth.
#include "dib/Dib.h"
#include "gif/GifDecoder.h"

#include "../LeakCheckedTest.h"
#include "../TestFiles.h"
#include "../gfx/GfxTestSupport.h"
#include "../gif/GifBuilder.h"

#include <gtest/gtest.h>

namespace {

using namespace gifbuild;

class DibCaptureGifTest : public LeakCheckedTest, public ::testing::WithParamInterface<int> {};

TEST_P(DibCaptureGifTest, FrameColoursSurviveTheCapture) {
    const int screenBits = GetParam();
    ASSERT_TRUE(GdiSetScreenBitsPerPixel(screenBits));

    // 7 x 3 image, 16 colours spread over the cube, every pixel its own index.
    Bytes table;
    for (int i = 0; i < 16; ++i)
        table.insert(table.end(),
                     {static_cast<std::uint8_t>(i * 17), static_cast<std::uint8_t>(255 - i * 13),
                      static_cast<std::uint8_t>((i * 71) & 0xFF)});
    std::vector<std::uint8_t> pixels(21);
    for (int i = 0; i < 21; ++i)
        pixels[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((i * 5) % 16);
    testfiles::TempFile file(Gif(7, 3, table).FlatImage(0, 0, 7, 3, pixels).Trailer().bytes);
    CGifDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(file.str().c_str()));
    decoder.m_hDC = GetDC(nullptr);
    HBITMAP frame = decoder.GetNextFrame();
    ASSERT_NE(frame, nullptr);
    CDIB dib;
    ASSERT_TRUE(dib.CreateFromBitmap(frame));
    DeleteObject(frame);
    ReleaseDC(nullptr, decoder.m_hDC);

    ASSERT_EQ(dib.m_pBMI->biBitCount, screenBits == 16 ? 16 : 24);
    ASSERT_EQ(dib.GetHeight(), 3);
    ASSERT_EQ(dib.m_pBMI->biHeight, 3) << "bottom-up";
    ASSERT_EQ(dib.GetBytesPerLine(), (7u * dib.m_pBMI->biBitCount + 31) / 32 * 4);
    const gfxtest::Dib held(dib.m_pBMI, dib.m_pBits);
    const int tolerance = screenBits == 16 ? 7 : 0; // 5 bits a component
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 7; ++x) {
            const BYTE* rgb = &table[3u * pixels[static_cast<std::size_t>(y * 7 + x)]];
            EXPECT_LE(gfxtest::ChannelDistance(held.Colour(x, y), RGB(rgb[0], rgb[1], rgb[2])),
                      tolerance)
                << x << "," << y;
        }
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
