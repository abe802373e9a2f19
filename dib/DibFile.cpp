// CDIB's persistent forms: BMP files read from and written to files and
// archives, bands of rows, and the object's serialised form.
//
// A BMP file is a BITMAPFILEHEADER ("BM", file size, the offset of the pixels
// from the "BM"), a BITMAPINFOHEADER (40 bytes) or BITMAPCOREHEADER (12
// bytes, colour entries of 3 bytes), the colour table, and the pixel rows,
// each padded to 4 bytes, bottom row first unless the height is negative.
#include "dib/Dib.h"

#include "fw/Archive.h"
#include "fw/Exception.h"
#include "fw/File.h"
#include "fw/ResourceHandle.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "BMP fields are read in place");

namespace {

constexpr WORD kBmpType = 0x4D42; // "BM"
constexpr UINT kFileHeaderSize = sizeof(BITMAPFILEHEADER);
constexpr UINT kInfoHeaderSize = sizeof(BITMAPINFOHEADER);
constexpr DWORD kCoreHeaderSize = sizeof(BITMAPCOREHEADER);
// Archives give no length to check the pixel size against: cap it.
constexpr std::uint64_t kMaxArchivePixelBytes = std::uint64_t{256} << 20;
// Sizes in a packed DIB and in a BMP file are 32-bit.
constexpr std::uint64_t kLargestBlock = 0xFFFFFFFF;

// What a reader needs to know of a header before it trusts the sizes in it.
struct BmpLayout {
    std::size_t colours;    // colour-table entries
    std::size_t stride;     // bytes per row
    std::size_t rows;       // |biHeight|
    std::size_t pixelBytes; // stride x rows
    std::size_t blockBytes; // header, table and pixels
};

// Uncompressed images of a positive width, a non-zero height, a bit count of
// 1, 4, 8, 16, 24 or 32 and at most 256 colours, whose packed DIB fits 32-bit
// sizes.
bool PlanBmp(const BITMAPINFOHEADER& h, BmpLayout* layout) {
    if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
    const int b = h.biBitCount;
    if (b != 1 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32) return false;
    if (h.biCompression != BI_RGB) return false;
    const int colours = CDIB::GetNumColors(&h);
    if (colours < 0 || colours > 256) return false;
    const std::uint64_t stride = DibRowBytes(static_cast<std::uint64_t>(h.biWidth), b);
    const std::uint64_t rows = h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight;
    const std::uint64_t front = kInfoHeaderSize + 4 * std::uint64_t(colours);
    if (stride > (kLargestBlock - front) / rows) return false;
    *layout = {std::size_t(colours), std::size_t(stride), std::size_t(rows),
               std::size_t(stride * rows), std::size_t(front + stride * rows)};
    return true;
}

// The header at the start of a new block, with the pixel size and the colour
// count filled in where it leaves them 0; null when there is no block.
BITMAPINFOHEADER* PutHeader(GlobalBlock& block, const BITMAPINFOHEADER& header,
                            const BmpLayout& layout) {
    auto* info = static_cast<BITMAPINFOHEADER*>(block.data());
    if (!info) return nullptr;
    *info = header;
    if (info->biSizeImage == 0) info->biSizeImage = static_cast<DWORD>(layout.pixelBytes);
    if (info->biClrUsed == 0) info->biClrUsed = static_cast<DWORD>(layout.colours);
    return info;
}

// Top-down rows turned bottom-up in place, as every image is held.
void HoldBottomUp(BITMAPINFOHEADER* header, BYTE* pixels, const BmpLayout& layout) {
    if (header->biHeight > 0) return;
    for (std::size_t i = 0, j = layout.rows - 1; i < j; ++i, --j)
        std::swap_ranges(pixels + i * layout.stride, pixels + (i + 1) * layout.stride,
                         pixels + j * layout.stride);
    header->biHeight = -header->biHeight;
}

} // namespace

void CDIB::Adopt(HGLOBAL block, BITMAPINFOHEADER* header, std::size_t tableEntries,
                 std::size_t pixelBytes, std::size_t blockBytes) {
    Free();
    m_hDIB = block;
    m_bOwnsBlock = true;
    m_nBlockSize = blockBytes;
    m_pBMI = header;
    m_pBits = reinterpret_cast<BYTE*>(header) + kInfoHeaderSize + 4 * tableEntries;
    m_dwSizeImage = static_cast<DWORD>(pixelBytes);
}

BOOL CDIB::ReadFromFile(CFile* file) {
    if (!file) return FALSE;
    const ULONGLONG start = file->GetPosition();
    BITMAPFILEHEADER fileHeader;
    if (file->Read(&fileHeader, kFileHeaderSize) != kFileHeaderSize) return FALSE;
    if (fileHeader.bfType != kBmpType) return FALSE;
    BITMAPINFOHEADER header;
    if (file->Read(&header, kInfoHeaderSize) != kInfoHeaderSize) return FALSE;

    // A core header is read again as the 12 bytes it is; its colour table
    // follows it.
    const bool core = header.biSize == kCoreHeaderSize;
    if (core) {
        BITMAPCOREHEADER coreHeader;
        file->Seek(static_cast<LONGLONG>(start + kFileHeaderSize), CFile::begin);
        if (file->Read(&coreHeader, kCoreHeaderSize) != kCoreHeaderSize) return FALSE;
        header = {};
        header.biSize = kInfoHeaderSize;
        header.biWidth = coreHeader.bcWidth;
        header.biHeight = coreHeader.bcHeight;
        header.biPlanes = coreHeader.bcPlanes;
        header.biBitCount = coreHeader.bcBitCount;
    } else if (header.biSize != kInfoHeaderSize) {
        return FALSE;
    }

    // The pixels must be in the file: stride x rows bytes from bfOffBits.
    BmpLayout layout;
    if (!PlanBmp(header, &layout)) return FALSE;
    const ULONGLONG length = file->GetLength();
    const ULONGLONG pixelsAt = start + fileHeader.bfOffBits;
    if (pixelsAt > length || layout.pixelBytes > length - pixelsAt) return FALSE;

    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, layout.blockBytes));
    BITMAPINFOHEADER* info = PutHeader(block, header, layout);
    if (!info) return FALSE;
    auto* base = reinterpret_cast<BYTE*>(info);

    BYTE* table = base + kInfoHeaderSize;
    if (core) {
        for (std::size_t i = 0; i < layout.colours; ++i) {
            BYTE bgr[3];
            if (file->Read(bgr, 3) != 3) return FALSE;
            table[4 * i] = bgr[0];
            table[4 * i + 1] = bgr[1];
            table[4 * i + 2] = bgr[2];
            table[4 * i + 3] = 0;
        }
    } else {
        const auto tableBytes = static_cast<UINT>(4 * layout.colours);
        if (file->Read(table, tableBytes) != tableBytes) return FALSE;
    }

    BYTE* pixels = table + 4 * layout.colours;
    file->Seek(static_cast<LONGLONG>(pixelsAt), CFile::begin);
    if (file->Read(pixels, static_cast<UINT>(layout.pixelBytes)) != layout.pixelBytes) return FALSE;
    HoldBottomUp(info, pixels, layout);

    Adopt(block.Release(), info, layout.colours, layout.pixelBytes, layout.blockBytes);
    SetResolutionFromHeader();
    MakePalette(static_cast<int>(layout.colours), &m_Palette);
    return TRUE;
}

BOOL CDIB::ReadFromArchive(CArchive& ar) {
    BITMAPFILEHEADER fileHeader;
    if (ar.Read(&fileHeader, kFileHeaderSize) != kFileHeaderSize) return FALSE;
    if (fileHeader.bfType != kBmpType) return FALSE;
    BITMAPINFOHEADER header;
    if (ar.Read(&header, kInfoHeaderSize) != kInfoHeaderSize) return FALSE;
    // Archives hold the 40 bytes of whatever header the image had; a core
    // header's fields would be misread as an info header's.
    if (header.biSize == kCoreHeaderSize) return FALSE;
    header.biSize = kInfoHeaderSize;

    // The pixel size is what the file header leaves for it, and must hold
    // the image the header describes.
    BmpLayout layout;
    if (!PlanBmp(header, &layout)) return FALSE;
    if (fileHeader.bfSize < fileHeader.bfOffBits) return FALSE;
    const std::uint64_t pixelBytes = fileHeader.bfSize - fileHeader.bfOffBits;
    if (pixelBytes > kMaxArchivePixelBytes || pixelBytes < layout.pixelBytes) return FALSE;
    layout.blockBytes += static_cast<std::size_t>(pixelBytes) - layout.pixelBytes;
    layout.pixelBytes = static_cast<std::size_t>(pixelBytes);

    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, layout.blockBytes));
    BITMAPINFOHEADER* info = PutHeader(block, header, layout);
    if (!info) return FALSE;
    auto* base = reinterpret_cast<BYTE*>(info);

    // Read back to back: the archive is read in order, so bfOffBits serves
    // only to size the pixels.
    const auto rest = static_cast<UINT>(layout.blockBytes - kInfoHeaderSize);
    if (ar.Read(base + kInfoHeaderSize, rest) != rest) return FALSE;
    HoldBottomUp(info, base + kInfoHeaderSize + 4 * layout.colours, layout);

    Adopt(block.Release(), info, layout.colours, layout.pixelBytes, layout.blockBytes);
    MakePalette(static_cast<int>(layout.colours), &m_Palette);
    return TRUE;
}

BOOL CDIB::Load(LPCTSTR path) {
    if (!path || !*path) return FALSE;
    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite)) return FALSE;
    const BOOL result = ReadFromFile(&file);
    file.Close();
    return result;
}

BOOL CDIB::WriteBmp(CFile* file, CArchive* ar, int first, int last) {
    Layout layout;
    if (!HeldLayout(&layout)) return FALSE;
    const int colours = GetNumColors();
    if (colours < 0 || colours > 256) return FALSE;
    const std::size_t stride = GetBytesPerLine();
    const std::size_t heldRows = stride == 0 ? 0 : layout.pixelBytes / stride;
    // Compressed pixels are a stream of codes, not rows: they are written
    // whole, exactly the biSizeImage bytes they take, and have no bands.
    const bool compressed =
        m_pBMI->biCompression != BI_RGB && m_pBMI->biCompression != BI_BITFIELDS;

    // A band: rows first to last - 1 from the top of a bottom-up image.
    const bool band = first != last;
    if (band && (compressed || m_pBMI->biHeight <= 0 || first < 0 || first >= last ||
                 static_cast<std::size_t>(last) > heldRows))
        return FALSE;
    const std::size_t rows = band ? static_cast<std::size_t>(last - first) : heldRows;
    const BYTE* pixels = m_pBits + (band ? stride * (heldRows - last) : 0);
    const std::uint64_t pixelBytes = compressed ? layout.pixelBytes : std::uint64_t(stride) * rows;

    // The header and colour table as written: the held ones, with the band's
    // height for a band.
    const std::size_t frontBytes = kInfoHeaderSize + 4 * static_cast<std::size_t>(colours);
    BYTE front[kInfoHeaderSize + 4 * 256];
    std::memcpy(front, m_pBMI, frontBytes);
    if (band) reinterpret_cast<BITMAPINFOHEADER*>(front)->biHeight = static_cast<LONG>(rows);

    const std::uint64_t fileBytes = kFileHeaderSize + frontBytes + pixelBytes;
    if (fileBytes > kLargestBlock) return FALSE;
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = kBmpType;
    fileHeader.bfSize = static_cast<DWORD>(fileBytes);
    fileHeader.bfOffBits = static_cast<DWORD>(kFileHeaderSize + frontBytes);

    // Each write on its own: a file error ends the write with FALSE.
    auto put = [&](const void* data, std::uint64_t count) {
        try {
            if (file)
                file->Write(data, static_cast<UINT>(count));
            else
                ar->Write(data, static_cast<UINT>(count));
            return true;
        } catch (const CFileException&) {
            return false;
        }
    };
    return put(&fileHeader, kFileHeaderSize) && put(front, frontBytes) && put(pixels, pixelBytes);
}

BOOL CDIB::WriteToArchive(CArchive& ar) {
    return WriteBmp(nullptr, &ar, 0, 0);
}

BOOL CDIB::WriteRowsToFile(CFile* file, int first, int last) {
    if (!file || first == last) return FALSE;
    return WriteBmp(file, nullptr, first, last);
}

BOOL CDIB::WriteToFile(CFile* file) {
    if (!file) return FALSE;
    return WriteBmp(file, nullptr, 0, 0);
}

BOOL CDIB::Save(LPCTSTR path, int first, int last) {
    if (!path || !*path) return FALSE;
    // Without an image there is nothing to write: the file is left alone.
    Layout layout;
    if (!HeldLayout(&layout)) return FALSE;
    CFile file;
    if (!file.Open(path, CFile::modeCreate | CFile::modeReadWrite | CFile::shareExclusive))
        return FALSE;
    BOOL result = first == last ? WriteToFile(&file) : WriteRowsToFile(&file, first, last);
    try {
        file.Close();
    } catch (const CFileException&) {
        result = FALSE;
    }
    return result;
}

void CDIB::Serialize(CArchive& ar) {
    if (ar.IsStoring()) {
        if (!IsValid()) return;
        ar << static_cast<LONG>(m_bBorrowed) << static_cast<LONG>(m_nBitsFlag)
           << static_cast<LONG>(m_nFormatTag) << static_cast<LONG>(m_nXDpi);
        if (!WriteToArchive(ar)) throw CMemoryException();
        return;
    }
    LONG borrowed = 0, bitsFlag = 0, formatTag = 0, xDpi = 0;
    ar >> borrowed >> bitsFlag >> formatTag >> xDpi;
    if (!ReadFromArchive(ar)) throw CMemoryException();
    m_bBorrowed = borrowed;
    m_nBitsFlag = bitsFlag;
    m_nFormatTag = formatTag;
    m_nXDpi = xDpi;
}

void CDIB::SerializeUnless(CArchive& ar, BOOL skip) {
    if (!skip) Serialize(ar);
}

BOOL CDIB::LoadFromResource(UINT id) {
    const HINSTANCE module = AfxGetResourceHandle();
    const HRSRC found = FindResource(module, MAKEINTRESOURCE(id & 0xFFFF), RT_BITMAP);
    if (!found) return FALSE;
    const HGLOBAL copy = LoadResource(module, found);
    if (!copy) return FALSE;
    auto* header = static_cast<BITMAPINFOHEADER*>(LockResource(copy));
    const DWORD size = SizeofResource(module, found);
    // Image operations change the pixels in place.
    DWORD oldProtect = 0;
    VirtualProtect(header, size, PAGE_READWRITE, &oldProtect);
    if (!Attach(copy, header, size)) {
        FreeResource(copy);
        return FALSE;
    }
    return TRUE;
}
