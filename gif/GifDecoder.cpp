#include "gif/GifDecoder.h"

#include "fw/File.h"
#include "fw/MessageBox.h"
#include "platform/Memory.h"
#include "res/Resource.h"

#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr int kHeaderSize = sizeof(BITMAPINFOHEADER);
constexpr int kColorTableSize = 256 * sizeof(RGBQUAD);

int ReadWord(const BYTE* p) {
    return p[0] | (p[1] << 8);
}

struct MemoryFree {
    void operator()(void* p) const { AfxFreeMemory(p); }
};

} // namespace

// The block grammar of the data after the header and global colour table
// (GIF89a: extensions, image descriptors with their local tables, sub-blocks),
// walked from a position of its own. The frame walk and the colour survey
// both walk with it, so they agree on every tolerance. A cursor that meets the
// end of the data inside a block stops at the end.
struct CGifDecoder::BlockCursor {
    const BYTE* data;
    long long size;
    long long at;

    // The last graphic control extension met.
    struct Control {
        bool seen = false;
        BYTE packed = 0;
        int delay = 0;
        int transparentIndex = 0;
    };
    // An image descriptor, and its local colour table once read.
    struct Image {
        int left = 0, top = 0, width = 0, height = 0;
        BYTE flags = 0;
        int localColors = 0;
        const BYTE* localTable = nullptr;
    };
    // Where a walk to the next image stopped: at an image (just after its
    // 0x2C), at the end of the images (the trailer, an unknown block or
    // label: just after the byte that said so; or the end of the data), or
    // cut short inside a block (at the end of the data).
    enum Stop { stopImage, stopEnd, stopCut };

    bool Skip(long long count) {
        if (count > size - at) {
            at = size;
            return false;
        }
        at += count;
        return true;
    }

    // Skips data sub-blocks by their size bytes up to the zero size byte,
    // then one more byte, the block terminator, whatever its value.
    bool SkipSubBlocks() {
        for (;;) {
            if (at >= size) return false;
            const int length = data[at];
            if (length == 0) break;
            if (!Skip(1 + length)) return false;
        }
        return Skip(1);
    }

    // Walks extensions up to the next image; `control` hears each graphic
    // control extension on the way.
    Stop NextImage(Control* control) {
        for (;;) {
            if (at >= size) return stopEnd;
            const BYTE introducer = data[at++];
            if (introducer == 0x2C) return stopImage;
            if (introducer != 0x21) return stopEnd; // the trailer (0x3B) or an unknown block
            if (at >= size) return stopEnd;
            const BYTE label = data[at++];
            switch (label) {
            case 0xF9:
                // Graphic control extension, taken at fixed places: block
                // size (assumed 4, never compared), packed byte, delay,
                // transparent index, terminator.
                if (size - at < 6) {
                    at = size;
                    return stopCut;
                }
                control->seen = true;
                control->packed = data[at + 1];
                control->delay = ReadWord(data + at + 2);
                control->transparentIndex = data[at + 4];
                at += 6;
                break;
            case 0xFE: // comment: sub-blocks only
                if (!SkipSubBlocks()) return stopCut;
                break;
            case 0x01: // plain text: size byte and 12 fixed bytes, then sub-blocks
                if (!Skip(13) || !SkipSubBlocks()) return stopCut;
                break;
            case 0xFF: // application: size byte, identifier and code, then sub-blocks
                if (!Skip(12) || !SkipSubBlocks()) return stopCut;
                break;
            default: // an extension this reader does not know ends the images
                return stopEnd;
            }
        }
    }

    // The image descriptor after the 0x2C: left, top, width, height, flags.
    bool Descriptor(Image* image) {
        if (size - at < 9) {
            at = size;
            return false;
        }
        image->left = ReadWord(data + at);
        image->top = ReadWord(data + at + 2);
        image->width = ReadWord(data + at + 4);
        image->height = ReadWord(data + at + 6);
        image->flags = data[at + 8];
        at += 9;
        return true;
    }

    // The local colour table that the descriptor's flags announce, if any;
    // the cursor is then at the minimum code size.
    bool LocalTable(Image* image) {
        image->localColors = (image->flags & 0x80) ? 2 << (image->flags & 7) : 0;
        image->localTable = data + at;
        return Skip(3LL * image->localColors);
    }
};

namespace {

// An image's control from the graphic control extension met before it, if
// one was (`seen`).
CGifDecoder::ImageControl ControlOf(bool seen, BYTE packed, int delay, int transparentIndex) {
    CGifDecoder::ImageControl image;
    if (!seen) return image;
    image.seen = true;
    image.disposal = (packed >> 2) & 7;
    image.transparent = (packed & 1) != 0;
    image.transparentIndex = transparentIndex;
    image.delay = delay;
    return image;
}

} // namespace

CGifDecoder::BlockCursor CGifDecoder::Cursor() const {
    return {m_pData, m_pData ? m_nDataSize : 0, m_nPos};
}

void CGifDecoder::Follow(const BlockCursor& cursor) {
    m_nPos = static_cast<int>(cursor.at);
    m_pCursor = m_pData + m_nPos;
}

CGifDecoder::CGifDecoder()
    : m_nDataSize(0), m_nGlobalColors(0), m_pGlobalColors(nullptr), m_pData(nullptr), m_nPos(0),
      m_bTransparent(0), m_nDelay(0) {}

CGifDecoder::~CGifDecoder() {
    if (m_hMask) DeleteObject(m_hMask);
    if (m_pGlobalColors) AfxFreeMemory(m_pGlobalColors);
    if (m_pData) AfxFreeMemory(m_pData);
}

BOOL CGifDecoder::LoadFile(CString path) {
    // Only regular files are read: a FIFO or a device has no size to read
    // up to, and may never end.
    CFile file;
    if (!file.Open(path, CFile::modeRead | CFile::shareDenyWrite) ||
        GetFileType(file.m_hFile) != FILE_TYPE_DISK) {
        if (m_bQuiet) return FALSE;
        CString message;
        AfxFormatString1(message, IDS_OPEN_ERROR, path);
        AfxMessageBox(message, MB_OK);
        return FALSE;
    }
    // The file closes when `file` goes out of scope, on every path.

    DWORD sizeHigh = 0;
    DWORD fileSize = GetFileSize(file.m_hFile, &sizeHigh);
    if (fileSize == INVALID_FILE_SIZE || sizeHigh != 0) return FALSE;

    // Header: "GIF", version "87a" or "89a", logical screen descriptor.
    BYTE header[13];
    DWORD got = 0;
    if (!ReadFile(file.m_hFile, header, sizeof header, &got, nullptr) || got < sizeof header)
        return FALSE;
    if (header[0] != 'G' || header[1] != 'I' || header[2] != 'F' || header[3] != '8' ||
        (header[4] != '7' && header[4] != '9') || header[5] != 'a')
        return FALSE;

    m_nScreenWidth = ReadWord(header + 6);
    m_nScreenHeight = ReadWord(header + 8);
    m_nBackgroundIndex = header[11];

    if (header[10] & 0x80) {
        m_nGlobalColors = 2 << (header[10] & 7);
        DWORD tableSize = 3 * static_cast<DWORD>(m_nGlobalColors);
        m_pGlobalColors = static_cast<BYTE*>(AfxAllocMemory(tableSize, false));
        if (!m_pGlobalColors ||
            !ReadFile(file.m_hFile, m_pGlobalColors, tableSize, &got, nullptr) || got < tableSize) {
            if (m_pGlobalColors) AfxFreeMemory(m_pGlobalColors);
            m_pGlobalColors = nullptr;
            m_nGlobalColors = 0;
            return FALSE;
        }
    }

    // A size that does not leave room for what was already read, or that an
    // int cannot count (2 GiB and more, 4 GiB and more above), cannot be
    // loaded.
    long long dataSize = static_cast<long long>(fileSize) - 13 - 3LL * m_nGlobalColors;
    if (dataSize < 0 || dataSize > 0x7FFFFFFF) return FALSE;

    auto* data = static_cast<BYTE*>(AfxAllocMemory(static_cast<std::size_t>(dataSize), false));
    if (!data) return FALSE;
    if (!ReadFile(file.m_hFile, data, static_cast<DWORD>(dataSize), &got, nullptr) ||
        got != static_cast<DWORD>(dataSize)) {
        AfxFreeMemory(data);
        return FALSE;
    }
    m_pData = data;
    m_nDataSize = static_cast<int>(dataSize);
    m_pCursor = m_pData;
    return TRUE;
}

BOOL CGifDecoder::SkipSubBlocks() {
    BlockCursor cursor = Cursor();
    const bool skipped = cursor.SkipSubBlocks();
    Follow(cursor);
    return skipped;
}

HBITMAP CGifDecoder::GetNextFrame() {
    m_nFrameFailure = frameEnded;
    if (m_hMask) DeleteObject(m_hMask);
    m_hMask = nullptr;
    if (!m_pData) return nullptr;
    if (m_nPos >= m_nDataSize) {
        m_pCursor = m_pData;
        m_nPos = 0;
        return nullptr;
    }
    // A walk that ends (at the end of the data when it was cut short) gives
    // NULL; the call after one at the end of the data rewinds.
    BlockCursor cursor = Cursor();
    BlockCursor::Control control;
    const BlockCursor::Stop stop = cursor.NextImage(&control);
    if (control.seen) {
        m_nDisposal = control.packed & 0x1C;
        m_bTransparent = control.packed & 1;
        m_nDelay = control.delay;
        m_nTransparentIndex = control.transparentIndex;
    }
    m_imageControl =
        ControlOf(control.seen, control.packed, control.delay, control.transparentIndex);
    Follow(cursor);
    return stop == BlockCursor::stopImage ? DecodeImage() : nullptr;
}

std::vector<CGifDecoder::ImageControl> CGifDecoder::CollectControls() const {
    std::vector<ImageControl> controls;
    BlockCursor cursor{m_pData, m_pData ? m_nDataSize : 0, 0};
    for (;;) {
        BlockCursor::Control control;
        BlockCursor::Image image;
        if (cursor.NextImage(&control) != BlockCursor::stopImage || !cursor.Descriptor(&image) ||
            !cursor.LocalTable(&image) || !cursor.Skip(1) || !cursor.SkipSubBlocks())
            break;
        controls.push_back(
            ControlOf(control.seen, control.packed, control.delay, control.transparentIndex));
    }
    return controls;
}

std::vector<COLORREF> CGifDecoder::CollectColors(RECT* pFirstImage) const {
    if (pFirstImage) *pFirstImage = RECT{0, 0, 0, 0};
    // One bit per 24-bit colour (2 MiB), so that memory does not grow with
    // the number of colour tables: a GIF may hold one per image, and tens of
    // thousands of images.
    // (Plain pointers over the words: the scans below stay quick in an
    // unoptimised build, where the sanitizers run.)
    constexpr std::size_t kWords = std::size_t{1} << 18;
    const std::unique_ptr<std::uint64_t[]> bitmap(new std::uint64_t[kWords]());
    std::uint64_t* const seen = bitmap.get();
    auto add = [seen](COLORREF colour) { seen[colour >> 6] |= std::uint64_t{1} << (colour & 63); };
    auto addTable = [&add](const BYTE* table, int count) {
        for (int i = 0; i < count; ++i) add(RGB(table[3 * i], table[3 * i + 1], table[3 * i + 2]));
    };
    bool globalUsed = false;

    // The frame walk's grammar, on a cursor of its own from the start. Image
    // data is skipped by its sub-blocks.
    BlockCursor cursor{m_pData, m_pData ? m_nDataSize : 0, 0};
    BlockCursor::Control control;
    bool first = true;
    while (cursor.NextImage(&control) == BlockCursor::stopImage) {
        BlockCursor::Image image;
        if (!cursor.Descriptor(&image)) break;
        if (first && pFirstImage)
            *pFirstImage =
                RECT{image.left, image.top, image.left + image.width, image.top + image.height};
        first = false;
        if (!cursor.LocalTable(&image)) break;
        int count = image.localColors;
        if (count) {
            addTable(image.localTable, count);
        } else {
            count = m_nGlobalColors;
            globalUsed = true;
        }
        // Pixels index the image's table; indices past it (a table shorter
        // than the indices the codes can give, or none at all) show black.
        // For a minimum code size n the roots give 0 to 2^n - 1, and the
        // first free code taken right after a clear gives 2^n + 2; the
        // decoder keeps their low 8 bits. An image cut before its code size
        // shows index 0.
        int range = 1;
        if (cursor.at < cursor.size) {
            const int minCodeSize = cursor.data[cursor.at];
            range = minCodeSize >= 8 ? 256 : (1 << minCodeSize) + 3;
        }
        if (count < range) add(RGB(0, 0, 0));
        if (!cursor.Skip(1) || !cursor.SkipSubBlocks()) break;
    }
    if (globalUsed) addTable(m_pGlobalColors, m_nGlobalColors);

    std::size_t count = 0;
    for (std::size_t word = 0; word < kWords; ++word)
        if (seen[word]) count += static_cast<std::size_t>(std::popcount(seen[word]));
    // Room for one more: a caller may add the background colour without
    // moving millions of colours into a block twice the size.
    std::vector<COLORREF> colours;
    colours.reserve(count + 1);
    for (std::size_t word = 0; word < kWords; ++word)
        for (std::uint64_t bits = seen[word]; bits; bits &= bits - 1)
            colours.push_back(static_cast<COLORREF>(word << 6 | std::countr_zero(bits)));
    return colours;
}

HBITMAP CGifDecoder::DecodeImage() {
    BlockCursor cursor = Cursor();
    BlockCursor::Image image;
    const bool described = cursor.Descriptor(&image);
    Follow(cursor);
    if (!described) return nullptr;
    m_nLeft = image.left;
    m_nTop = image.top;
    m_nWidth = image.width;
    m_nHeight = image.height;
    m_byImageFlags = image.flags;

    // Index rows are 8-bit DIB rows.
    m_nStride = static_cast<int>(DibRowBytes(static_cast<std::uint64_t>(m_nWidth), 8));
    long long indexSize = static_cast<long long>(m_nStride) * m_nHeight;
    if (indexSize > kMaxIndexSize) {
        m_nFrameFailure = frameRefused;
        return nullptr;
    }
    m_nIndexSize = static_cast<int>(indexSize);

    // The local table stays where it is in the data until it is copied.
    const bool tabled = cursor.LocalTable(&image);
    if (!tabled) {
        Follow(cursor);
        return nullptr;
    }
    const int localColors = image.localColors;

    // One block per image: bitmap header, 256-entry colour table, index rows,
    // the LZW decoder's pixel stream when the rows cannot serve as one, code
    // table. Zeroed, so rows the data never reaches, row padding and colour
    // slots past the GIF's table are all 0. indexSize is at most 256 MiB, so
    // the sum cannot overflow.
    const bool rowsAreStream =
        !(m_byImageFlags & 0x40) && static_cast<long long>(m_nWidth) * m_nHeight == indexSize;
    const std::size_t streamBytes =
        rowsAreStream
            ? 0
            : static_cast<std::size_t>(m_nWidth) * static_cast<std::size_t>(m_nHeight) + kLzwSlack;
    const std::size_t tableAt =
        (kHeaderSize + kColorTableSize + static_cast<std::size_t>(indexSize) + kLzwSlack +
         streamBytes + 7) &
        ~std::size_t{7};
    const std::size_t blockSize = tableAt + CodeTableBytes();
    std::unique_ptr<BYTE, MemoryFree> block(static_cast<BYTE*>(AfxAllocMemory(blockSize, true)));
    if (!block) {
        m_nFrameFailure = frameNoMemory;
        return nullptr;
    }
    m_pIndices = block.get() + kHeaderSize + kColorTableSize;
    BYTE* stream = rowsAreStream ? m_pIndices : m_pIndices + indexSize + kLzwSlack;
    auto* table = reinterpret_cast<CodeTable*>(block.get() + tableAt);

    auto* header = reinterpret_cast<BITMAPINFOHEADER*>(block.get());
    header->biSize = kHeaderSize;
    header->biWidth = m_nWidth;
    header->biHeight = -m_nHeight; // top row first
    header->biPlanes = 1;
    header->biBitCount = 8;
    header->biCompression = BI_RGB;
    header->biSizeImage = 0;
    header->biXPelsPerMeter = 0;
    header->biYPelsPerMeter = 0;
    header->biClrUsed = 256;
    header->biClrImportant = 256;

    const BYTE* colors = m_pGlobalColors;
    int colorCount = m_nGlobalColors;
    if (localColors) {
        colors = image.localTable;
        colorCount = localColors;
    }
    if (m_bTransparent && m_nTransparentIndex < colorCount) {
        const BYTE* t = colors + 3 * m_nTransparentIndex;
        m_crTransparent = RGB(t[0], t[1], t[2]);
    }
    auto* quads = reinterpret_cast<RGBQUAD*>(block.get() + kHeaderSize);
    for (int i = 0; i < colorCount; ++i) {
        quads[i].rgbRed = colors[3 * i];
        quads[i].rgbGreen = colors[3 * i + 1];
        quads[i].rgbBlue = colors[3 * i + 2];
        quads[i].rgbReserved = 0;
    }
    Follow(cursor);

    if (!DecodeLzw(table, stream)) {
        m_nFrameFailure = frameRefused;
        return nullptr;
    }
    if (m_bMakeMasks && m_imageControl.transparent && !MakeMask()) {
        m_nFrameFailure = frameNoMemory;
        return nullptr;
    }

    HBITMAP bitmap = CreateDIBitmap(m_hDC, header, CBM_INIT, m_pIndices,
                                    reinterpret_cast<const BITMAPINFO*>(header), DIB_RGB_COLORS);
    if (!bitmap) {
        // The graphics layer refuses bitmaps past its size limit (at 32 bits
        // a pixel, the deepest screen); anything smaller failed for memory.
        const bool tooLarge = 4ULL * m_nWidth * m_nHeight > kMaxDeviceBitmapBytes;
        m_nFrameFailure = tooLarge ? frameRefused : frameNoMemory;
    }

    if (!m_bDataEnded) {
        // The end code need not end the data: encoders may pad the last
        // sub-block (ffmpeg adds a byte when the end code ends on a byte
        // boundary) or add sub-blocks. Skip the rest of the sub-block, whose
        // bytes m_nPos already counts, and any further sub-blocks up to and
        // including the terminator, so the next block is read where it is.
        m_pCursor += m_nBlockSize - m_nBlockUsed;
        m_nBlockUsed = m_nBlockSize;
        SkipSubBlocks();
    } else if (m_nPos < m_nDataSize) {
        // The reader stopped on the terminator: step over it.
        ++m_pCursor;
        ++m_nPos;
    }
    return bitmap;
}

bool CGifDecoder::MakeMask() {
    // An 8-bit DIB of 1 where transparent and 0 elsewhere, on the index rows'
    // stride, which the graphics layer turns into a monochrome bitmap through
    // its two-entry table.
    const auto transparent = static_cast<BYTE>(m_imageControl.transparentIndex);
    const std::size_t width = static_cast<std::size_t>(m_nWidth);
    const std::size_t stride = static_cast<std::size_t>(m_nStride);
    std::vector<BYTE> bits;
    try {
        bits.assign(stride * static_cast<std::size_t>(m_nHeight), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    BYTE any = 0;
    for (std::size_t y = 0; y < static_cast<std::size_t>(m_nHeight); ++y) {
        const BYTE* in = m_pIndices + y * stride;
        BYTE* out = bits.data() + y * stride;
        for (std::size_t x = 0; x < width; ++x) {
            out[x] = in[x] == transparent;
            any |= out[x];
        }
    }
    if (!any) return true;
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[2];
    } info{{kHeaderSize, m_nWidth, -m_nHeight, 1, 8, BI_RGB, 0, 0, 0, 2, 2},
           {{0, 0, 0, 0}, {255, 255, 255, 0}}};
    // A memory context starts monochrome: bitmaps made for it are too.
    const HDC mono = CreateCompatibleDC(nullptr);
    m_hMask = CreateDIBitmap(mono, &info.header, CBM_INIT, bits.data(),
                             reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS);
    if (mono) DeleteDC(mono);
    return m_hMask != nullptr;
}
