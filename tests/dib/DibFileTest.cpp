#include "dib/Dib.h"

#include "../LeakCheckedTest.h"
#include "../TestFiles.h"

#include "fw/Archive.h"
#include "fw/File.h"
#include "res/Resource.h"
#include "res/Resources.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using testfiles::Bytes;
using testfiles::ReadBytes;
using testfiles::TempFile;
using testfiles::TempPath;
using DibFileTest = LeakCheckedTest;

void Put16(Bytes& out, unsigned v) {
    out.push_back(BYTE(v));
    out.push_back(BYTE(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(BYTE(v >> (8 * i)));
}
std::uint32_t Get32(const Bytes& in, std::size_t at) {
    return in[at] | in[at + 1] << 8 | in[at + 2] << 16 | std::uint32_t(in[at + 3]) << 24;
}

// A BMP file built field by field, independently of the writer. Pixel byte k
// of row r (in file order) is 7 * r + k + 1; row padding is zero.
struct Bmp {
    LONG width = 3, height = 2;
    WORD bits = 8;
    DWORD headerSize = 40; // 12: a core header
    DWORD clrUsed = 0;
    DWORD compression = BI_RGB;
    DWORD gap = 0;        // bytes between the colour table and the pixels
    int cut = 0;          // bytes cut from the end of the file
    DWORD offBitsAdd = 0; // added to bfOffBits

    std::size_t Colours() const {
        return clrUsed ? clrUsed : bits <= 8 ? std::size_t{1} << bits : 0;
    }
    // Sizes of absurd headers (negative, enormous) are taken as 0: such files
    // get no pixels.
    std::size_t Stride() const {
        return width <= 0 || width > 4096 ? 0 : (std::size_t(width) * bits + 31) / 32 * 4;
    }
    std::size_t Rows() const { return height < -4096 || height > 4096 ? 0 : std::abs(height); }
    // The pixels as they are held: bottom-up rows.
    Bytes HeldPixels() const {
        Bytes out(Stride() * Rows());
        const std::size_t used = Stride() ? (std::size_t(width) * bits + 7) / 8 : 0;
        for (std::size_t r = 0; r < Rows(); ++r) {
            const std::size_t held = height < 0 ? Rows() - 1 - r : r;
            for (std::size_t k = 0; k < used; ++k) out[held * Stride() + k] = BYTE(7 * r + k + 1);
        }
        return out;
    }
    Bytes File() const {
        const std::size_t entry = headerSize == 12 ? 3 : 4;
        const std::size_t offBits = 14 + headerSize + entry * Colours() + gap;
        Bytes out;
        Put16(out, 0x4D42);
        Put32(out, std::uint32_t(offBits + Stride() * Rows()));
        Put32(out, 0);
        Put32(out, std::uint32_t(offBits + offBitsAdd));
        Put32(out, headerSize);
        if (headerSize == 12) {
            Put16(out, unsigned(width));
            Put16(out, unsigned(height));
            Put16(out, 1);
            Put16(out, bits);
        } else {
            Put32(out, std::uint32_t(width));
            Put32(out, std::uint32_t(height));
            Put16(out, 1);
            Put16(out, bits);
            Put32(out, compression);
            Put32(out, 0);
            Put32(out, 3780); // 96 dpi
            Put32(out, 3780);
            Put32(out, clrUsed);
            Put32(out, 0);
            out.resize(14 + headerSize);
        }
        for (std::size_t i = 0; i < Colours(); ++i)
            for (std::size_t b = 0; b < entry; ++b) out.push_back(BYTE(i * 3 + b));
        out.resize(out.size() + gap);
        const Bytes held = HeldPixels();
        for (std::size_t r = 0; r < Rows(); ++r) {
            const std::size_t row = height < 0 ? Rows() - 1 - r : r;
            out.insert(out.end(), held.begin() + row * Stride(),
                       held.begin() + (row + 1) * Stride());
        }
        out.resize(out.size() - cut);
        return out;
    }
};

Bytes Pixels(const CDIB& dib) {
    return {dib.m_pBits, dib.m_pBits + dib.m_dwSizeImage};
}

// A small image whose pixels and colour table are all different bytes.
void MakeImage(CDIB& dib, int width, int height, int bits) {
    BITMAPINFOHEADER format{};
    format.biPlanes = 1;
    format.biBitCount = WORD(bits);
    ASSERT_TRUE(dib.Create(width, height, &format, 0));
    for (DWORD i = 0; i < dib.m_dwSizeImage; ++i) dib.m_pBits[i] = BYTE(i * 13 + 5);
    // Row padding stays zero, as every writer leaves it.
    const DWORD stride = dib.GetBytesPerLine(), used = (DWORD(width) * bits + 7) / 8;
    for (int y = 0; y < height; ++y) std::memset(dib.m_pBits + y * stride + used, 0, stride - used);
}

struct ReadCase {
    const char* name;
    Bmp bmp;
    bool accepted;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

class BmpReadTest : public DibFileTest, public ::testing::WithParamInterface<ReadCase> {};

// Accepted files give the pixels bottom-up with a full header; refused ones
// leave the previous image in place.
TEST_P(BmpReadTest, ReadsOrLeavesThePreviousImage) {
    const Bmp& bmp = GetParam().bmp;
    // Seven bytes of something else in front: the reader starts where the
    // file stands, and bfOffBits counts from there.
    Bytes file = {1, 2, 3, 4, 5, 6, 7};
    const Bytes image = bmp.File();
    file.insert(file.end(), image.begin(), image.end());
    TempFile path(file);

    CDIB dib;
    MakeImage(dib, 1, 1, 24);
    const BITMAPINFOHEADER* before = dib.m_pBMI;
    CFile f;
    ASSERT_TRUE(f.Open(path.str().c_str(), CFile::modeRead));
    f.Seek(7, CFile::begin);
    ASSERT_EQ(dib.ReadFromFile(&f), BOOL(GetParam().accepted));
    if (!GetParam().accepted) {
        EXPECT_EQ(dib.m_pBMI, before);
        EXPECT_EQ(dib.GetWidth(), 1);
        return;
    }
    EXPECT_EQ(dib.m_pBMI->biSize, 40u);
    EXPECT_EQ(dib.GetWidth(), bmp.width);
    EXPECT_EQ(dib.GetHeight(), LONG(bmp.Rows()));
    EXPECT_EQ(dib.m_pBMI->biClrUsed, bmp.Colours());
    EXPECT_EQ(dib.m_pBMI->biSizeImage, bmp.Stride() * bmp.Rows());
    EXPECT_EQ(Pixels(dib), bmp.HeldPixels());
    const auto* table = reinterpret_cast<const RGBQUAD*>(dib.m_pBMI + 1);
    const std::size_t last = bmp.Colours() - 1;
    if (bmp.Colours()) {
        EXPECT_EQ(table[last].rgbBlue, BYTE(last * 3));
        EXPECT_EQ(table[last].rgbRed, BYTE(last * 3 + 2));
    }
    int x, y;
    dib.GetResolution(&x, &y);
    EXPECT_EQ(x, bmp.headerSize == 12 ? 0 : 96);
}

Bmp With(void (*change)(Bmp&)) {
    Bmp bmp;
    change(bmp);
    return bmp;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BmpReadTest,
    ::testing::Values(
        ReadCase{"plain", Bmp{}, true},
        ReadCase{"gap_before_pixels", With([](Bmp& b) { b.gap = 10; }), true},
        ReadCase{"core_4bit", With([](Bmp& b) { b.headerSize = 12, b.bits = 4, b.width = 5; }),
                 true},
        ReadCase{"top_down_24bit", With([](Bmp& b) { b.bits = 24, b.height = -3; }), true},
        ReadCase{"one_bit_odd_width", With([](Bmp& b) { b.bits = 1, b.width = 17; }), true},
        ReadCase{"short_table", With([](Bmp& b) { b.clrUsed = 5; }), true},
        ReadCase{"header_108", With([](Bmp& b) { b.headerSize = 108; }), false},
        ReadCase{"rle8", With([](Bmp& b) { b.compression = BI_RLE8; }), false},
        ReadCase{"cut_in_pixels", With([](Bmp& b) { b.cut = 1; }), false},
        ReadCase{"pixels_past_the_end", With([](Bmp& b) { b.offBitsAdd = 4; }), false},
        ReadCase{"zero_width", With([](Bmp& b) { b.width = 0; }), false},
        ReadCase{"negative_width", With([](Bmp& b) { b.width = -3; }), false},
        ReadCase{"zero_height", With([](Bmp& b) { b.height = 0; }), false},
        ReadCase{"seven_bits", With([](Bmp& b) { b.bits = 7; }), false},
        ReadCase{"257_colours", With([](Bmp& b) { b.clrUsed = 257; }), false},
        ReadCase{"huge_claims", With([](Bmp& b) { b.width = 0x7FFFFFFF, b.height = 0x7FFFFFFF; }),
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DibFileTest, WrittenFilesHaveTheirDocumentedLayout) {
    TempPath path;
    CDIB dib;
    MakeImage(dib, 2, 2, 24);
    ASSERT_TRUE(dib.Save(path.str().c_str()));
    Bytes file = ReadBytes(path.str());
    ASSERT_EQ(file.size(), 70u);
    EXPECT_EQ(Get32(file, 2), 70u);
    EXPECT_EQ(Get32(file, 10), 54u);
    EXPECT_TRUE(
        std::equal(file.begin() + 14, file.begin() + 54, reinterpret_cast<BYTE*>(dib.m_pBMI)));

    // An 8-bit image whose header gives no colour count writes all 256.
    MakeImage(dib, 3, 3, 8);
    dib.m_pBMI->biClrUsed = 0;
    ASSERT_TRUE(dib.Save(path.str().c_str()));
    file = ReadBytes(path.str());
    EXPECT_EQ(Get32(file, 10), 1078u);
    EXPECT_EQ(file.size(), 1078u + 3 * 4);
}

// Rows 10 to 29 from the top of a 100-row image are rows 70 to 89 of the
// bottom-up pixels.
TEST_F(DibFileTest, ABandHoldsTheRowsCountedFromTheTop) {
    TempPath path;
    CDIB dib, band;
    MakeImage(dib, 5, 100, 8);
    ASSERT_TRUE(dib.Save(path.str().c_str(), 10, 30));
    ASSERT_TRUE(band.Load(path.str().c_str()));
    EXPECT_EQ(band.GetHeight(), 20);
    const DWORD stride = dib.GetBytesPerLine();
    EXPECT_EQ(Pixels(band), Bytes(dib.m_pBits + 70 * stride, dib.m_pBits + 90 * stride));
    EXPECT_EQ(Get32(ReadBytes(path.str()), 2), 1078u + 20 * stride);
    for (auto [first, last] : {std::pair{-1, 5}, {5, 101}, {30, 10}})
        EXPECT_FALSE(dib.WriteRowsToFile(nullptr, first, last));
}

class DepthTest : public DibFileTest, public ::testing::WithParamInterface<int> {};

// Write then read, and serialise then load through an archive that creates
// the object by its class name, at every depth.
TEST_P(DepthTest, RoundTrips) {
    TempPath bmp, archive;
    CDIB dib;
    MakeImage(dib, 13, 5, GetParam());
    dib.m_nXDpi = 72;
    ASSERT_TRUE(dib.Save(bmp.str().c_str()));
    CDIB read;
    ASSERT_TRUE(read.Load(bmp.str().c_str()));
    EXPECT_EQ(Pixels(read), Pixels(dib));
    EXPECT_EQ(std::memcmp(read.m_pBMI, dib.m_pBMI, 40 + 4 * dib.GetNumColors()), 0);

    {
        CFile f;
        ASSERT_TRUE(f.Open(archive.str().c_str(), CFile::modeCreate | CFile::modeReadWrite));
        CArchive ar(&f, CArchive::store);
        ar << static_cast<const CObject*>(&dib);
    }
    const Bytes stored = ReadBytes(archive.str());
    const Bytes file = ReadBytes(bmp.str());
    // The reference (tag, schema 0, "CDIB"), four fields, then the BMP file.
    const Bytes head = {0xFF, 0xFF, 0, 0, 4, 0, 'C', 'D', 'I', 'B'};
    ASSERT_EQ(stored.size(), head.size() + 16 + file.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), stored.begin()));
    EXPECT_EQ(Get32(stored, head.size() + 12), 72u);
    EXPECT_TRUE(std::equal(file.begin(), file.end(), stored.begin() + head.size() + 16));

    CFile f;
    ASSERT_TRUE(f.Open(archive.str().c_str(), CFile::modeRead));
    CArchive ar(&f, CArchive::load);
    CObject* object = nullptr;
    ar >> object;
    std::unique_ptr<CObject> owned(object);
    ASSERT_TRUE(object && object->IsKindOf(RUNTIME_CLASS(CDIB)));
    const auto& loaded = static_cast<const CDIB&>(*object);
    EXPECT_EQ(Pixels(loaded), Pixels(dib));
    EXPECT_EQ(loaded.m_nXDpi, 72);
    EXPECT_EQ(loaded.m_nYDpi, 150) << "not part of the serialised form";
}

INSTANTIATE_TEST_SUITE_P(Depths, DepthTest, ::testing::Values(1, 4, 8, 16, 24, 32));

// Nothing is lost where nothing can be written: no image leaves the file
// alone, a full disk gives FALSE, and a bad archive fails loudly.
TEST_F(DibFileTest, FailuresAreReportedAndHarmNothing) {
    TempFile keep(std::string("keep me"));
    CDIB empty, dib;
    EXPECT_FALSE(empty.Save(keep.str().c_str()));
    EXPECT_EQ(testfiles::ReadText(keep.str()), "keep me");
    EXPECT_FALSE(dib.Load(""));
    EXPECT_FALSE(dib.Load(nullptr));
    MakeImage(dib, 4, 4, 24);
    EXPECT_FALSE(dib.Save("/dev/full"));

    TempPath archive;
    {
        CFile f;
        ASSERT_TRUE(f.Open(archive.str().c_str(), CFile::modeCreate | CFile::modeReadWrite));
        CArchive ar(&f, CArchive::store);
        empty.Serialize(ar);
        EXPECT_EQ(f.GetLength(), 0u) << "an empty object writes nothing";
        // A BMP that claims more pixels than an archive may hold.
        dib.Serialize(ar);
        f.Seek(16 + 2, CFile::begin);
        ar << DWORD(0x7FFFFFFF);
    }
    CFile f;
    ASSERT_TRUE(f.Open(archive.str().c_str(), CFile::modeRead));
    CArchive ar(&f, CArchive::load);
    EXPECT_THROW(dib.Serialize(ar), CMemoryException);
    EXPECT_EQ(dib.GetWidth(), 4);
}

// A resource arrives as a writable copy of the BMP file in res/ without its
// file header; only the low 16 bits of the number count.
TEST_F(DibFileTest, ResourcesArriveAsWritableCopiesOfTheirFiles) {
    CDIB about, again, none;
    ASSERT_TRUE(about.LoadFromResource(IDB_ABOUT));
    ASSERT_TRUE(again.LoadFromResource(0x10000 + IDB_ABOUT));
    EXPECT_FALSE(none.LoadFromResource(7));
    EXPECT_TRUE(about.m_bBorrowed);
    TempPath path;
    ASSERT_TRUE(about.Save(path.str().c_str()));
    EXPECT_EQ(ReadBytes(path.str()), ReadBytes(TESSALY_SOURCE_DIR "/res/about.bmp"));
    about.m_pBits[0] ^= 0xFF;
    EXPECT_NE(about.m_pBits[0], again.m_pBits[0]);
    for (CDIB* dib : {&about, &again}) {
        const HGLOBAL copy = dib->m_hDIB;
        dib->Empty();
        EXPECT_FALSE(FreeResource(copy)) << "borrowed: the object leaves the copy to its owner";
    }
}

// Compressed pixels are saved whole: exactly the biSizeImage bytes of codes,
// however they divide into rows.
TEST_F(DibFileTest, AdoptedCompressedImagesAreSavedWhole) {
    const BYTE codes[13] = {10, 3,             // a run of ten pixels of index 3
                            0,  0,             // end of line
                            0,  3, 1, 2, 3, 0, // three literal pixels, padded to a word
                            0,  1,             // end of bitmap
                            0};                // one byte past the end code, still part of the data
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 40 + 1024 + sizeof codes);
    auto* h = static_cast<BITMAPINFOHEADER*>(GlobalLock(block));
    *h = {40, 10, 2, 1, 8, BI_RLE8, sizeof codes, 0, 0, 0, 0};
    std::memcpy(reinterpret_cast<BYTE*>(h) + 40 + 1024, codes, sizeof codes);
    CDIB dib;
    ASSERT_TRUE(dib.Attach(block, h, 40 + 1024 + sizeof codes));
    TempPath path;
    ASSERT_TRUE(dib.Save(path.str().c_str()));
    const auto bytes = ReadBytes(path.str());
    ASSERT_EQ(bytes.size(), 14 + 40 + 1024 + sizeof codes);
    EXPECT_EQ(std::memcmp(bytes.data() + 2, "\x43\x04\0\0", 4), 0) << "bfSize 1091";
    EXPECT_EQ(std::memcmp(bytes.data() + bytes.size() - sizeof codes, codes, sizeof codes), 0);
    EXPECT_FALSE(dib.Save(path.str().c_str(), 0, 1)) << "no bands of codes";
    dib.Empty();
    GlobalUnlock(block);
    GlobalFree(block);
}

} // namespace
