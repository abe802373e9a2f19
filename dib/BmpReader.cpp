// A BMP file is a 14-byte file header ("BM", the file's size, two reserved
// words, the offset of the pixels from the "BM"), an info header that starts
// with its own size, the bit-field masks after a 40-byte header of the two
// bit-field compressions, the colour table (3-byte entries after a 12-byte
// header, 4-byte ones after the others), and the pixels at the offset.
//
// Info headers, by size:
//   12  BITMAPCOREHEADER: 16-bit unsigned width and height, planes, bits.
//   16  OS/2 2.x, cut after the bit count: 32-bit width and height.
//   40  BITMAPINFOHEADER: + compression, image size, pixels per metre,
//       colours used and colours important.
//   52  + red, green and blue masks;  56  + the alpha mask.
//   64  OS/2 2.x whole: the 40 bytes + units, recording, rendering and
//       colour encoding. Compression 3 is Huffman 1D, 4 is RLE24.
//   108 BITMAPV4HEADER: the four masks, colour space and gamma.
//   124 BITMAPV5HEADER: + intent and profile.
#include "dib/BmpReader.h"

#include "dib/Dib.h"
#include "fw/File.h"
#include "gfx/Gdi.h"
#include "platform/GlobalMemory.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;
constexpr std::size_t kLongestHeader = 124;
// Sizes in a packed DIB are 32-bit.
constexpr std::uint64_t kLargestBlock = 0xFFFFFFFF;
// RLE pixels are not bounded by the file's size: a few bytes may claim any
// image. They get what the graphics layer gives one bitmap.
constexpr std::uint64_t kLargestRleImage = kMaxDeviceBitmapBytes;

std::string CutShort(const char* where) {
    return std::string("cut short: the file ends in its ") + where;
}

constexpr DWORD kHuffman1D = 3; // OS/2 2.x codes
constexpr DWORD kRle24 = 4;

std::uint16_t U16(const BYTE* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t U32(const BYTE* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

bool KnownHeaderSize(DWORD size) {
    for (DWORD known : {12, 16, 40, 52, 56, 64, 108, 124})
        if (size == known) return true;
    return false;
}

bool Os2Header(DWORD size) {
    return size == 16 || size == 64;
}

std::string CompressionName(const BmpForm& form) {
    static const char* const kNames[] = {"BI_RGB",  "BI_RLE8", "BI_RLE4",          "BI_BITFIELDS",
                                         "BI_JPEG", "BI_PNG",  "BI_ALPHABITFIELDS"};
    const DWORD c = form.compression;
    if (Os2Header(form.headerSize) && c == kHuffman1D) return "OS/2 Huffman 1D";
    if (Os2Header(form.headerSize) && c == kRle24) return "OS/2 RLE24";
    if (c < std::size(kNames)) return kNames[c];
    return "compression " + std::to_string(c);
}

bool BitFields(DWORD compression) {
    return compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS;
}

// One channel of a bit-field pixel: where it sits, and its value at 8 bits
// for every value it can take (rounded: v x 255 / max), or for masks wider
// than 16 bits, computed as needed.
class Channel {
public:
    explicit Channel(std::uint32_t mask)
        : m_nMask(mask), m_nShift(mask ? std::countr_zero(mask) : 0), m_nMax(mask >> m_nShift) {
        if (m_nMax <= 0xFFFF)
            for (std::uint32_t v = 0; v <= m_nMax; ++v) m_Levels.push_back(Scale(v));
    }
    BYTE operator()(std::uint32_t pixel) const {
        const std::uint32_t v = (pixel & m_nMask) >> m_nShift;
        return m_Levels.empty() ? Scale(v) : m_Levels[v];
    }

private:
    BYTE Scale(std::uint32_t v) const {
        if (m_nMax == 0) return 0;
        return BYTE((std::uint64_t{v} * 255 + m_nMax / 2) / m_nMax);
    }
    std::uint32_t m_nMask, m_nShift, m_nMax;
    std::vector<BYTE> m_Levels;
};

// The pixel bytes of a file, read ahead in blocks.
class ByteSource {
public:
    ByteSource(CFile& file, std::uint64_t bytes)
        : m_file(file), m_nLeft(bytes), m_Buffer(1 << 16) {}
    // The next byte; -1 at the end.
    int Next() {
        if (m_nAt == m_nEnd && !Fill()) return -1;
        return m_Buffer[m_nAt++];
    }
    // `count` bytes; FALSE when the end comes first.
    bool Take(BYTE* to, std::size_t count) {
        while (count > 0) {
            if (m_nAt == m_nEnd && !Fill()) return false;
            const std::size_t n = std::min(count, m_nEnd - m_nAt);
            std::memcpy(to, &m_Buffer[m_nAt], n);
            to += n;
            count -= n;
            m_nAt += n;
        }
        return true;
    }

private:
    bool Fill() {
        const auto want = static_cast<UINT>(std::min<std::uint64_t>(m_nLeft, m_Buffer.size()));
        const UINT got = want ? m_file.Read(m_Buffer.data(), want) : 0;
        m_nLeft = got < want ? 0 : m_nLeft - got;
        m_nAt = 0;
        m_nEnd = got;
        return got > 0;
    }
    CFile& m_file;
    std::uint64_t m_nLeft;
    std::vector<BYTE> m_Buffer;
    std::size_t m_nAt = 0, m_nEnd = 0;
};

// An RLE stream into held rows, zeroed before: pixels the stream never
// reaches keep index 0. A run past the row's end is cut there (the rest of
// the row comes only after an end of line or a delta); the stream ends at
// its end-of-bitmap code, at its last byte, or when it moves past the last
// row.
void DecodeRle(ByteSource& in, BYTE* pixels, std::size_t stride, std::uint64_t width,
               std::uint64_t rows, bool rle4) {
    std::uint64_t x = 0, y = 0; // y < rows throughout
    auto put = [&](int index) {
        if (x < width) {
            BYTE* row = pixels + y * stride;
            if (!rle4)
                row[x] = BYTE(index);
            else if (x & 1)
                row[x / 2] = BYTE((row[x / 2] & 0xF0) | index);
            else
                row[x / 2] = BYTE((row[x / 2] & 0x0F) | index << 4);
        }
        ++x;
    };
    for (;;) {
        const int count = in.Next(), value = in.Next();
        if (value < 0) return;
        if (count > 0) {
            // A run of one index, or of RLE4's two in turn.
            if (rle4) {
                for (int i = 0; i < count; ++i) put(i & 1 ? value & 0x0F : value >> 4);
            } else {
                if (x < width)
                    std::memset(pixels + y * stride + x, value,
                                std::size_t(std::min<std::uint64_t>(count, width - x)));
                x += count;
            }
            continue;
        }
        switch (value) {
        case 0: // end of line
            x = 0;
            if (++y == rows) return;
            break;
        case 1: // end of bitmap
            return;
        case 2: { // delta: right, then up
            const int right = in.Next(), up = in.Next();
            if (up < 0) return;
            x += right;
            y += up;
            if (y >= rows) return;
            break;
        }
        default: { // absolute: `value` indices, then padding to 16 bits
            const int bytes = rle4 ? (value + 1) / 2 : value;
            for (int i = 0; i < bytes; ++i) {
                const int b = in.Next();
                if (b < 0) return;
                if (!rle4) {
                    put(b);
                } else {
                    put(b >> 4);
                    if (2 * i + 1 < value) put(b & 0x0F);
                }
            }
            if (bytes & 1) in.Next();
        }
        }
    }
}

// Whether bit fields hold blue, green, red and alpha bytes in the order held.
bool HeldOrder(const BmpForm& form) {
    return form.masks[0] == 0xFF0000 && form.masks[1] == 0xFF00 && form.masks[2] == 0xFF &&
           form.masks[3] == (form.bits == 32 ? 0xFF000000 : 0);
}

// 2-bit indices (four a byte, the first in the high bits) as 4-bit ones.
void WidenTwoBitRow(const BYTE* in, BYTE* out, std::size_t width) {
    for (std::size_t x = 0; x < width; x += 2) {
        const unsigned first = in[x / 4] >> (6 - 2 * (x % 4)) & 3;
        const unsigned second = x + 1 < width ? in[x / 4] >> (4 - 2 * (x % 4)) & 3 : 0;
        out[x / 2] = BYTE(first << 4 | second);
    }
}

// Bit-field pixels of 2, 3 or 4 bytes as blue, green, red and, with an
// alpha mask, alpha.
void UnpackBitFieldRow(const BYTE* in, BYTE* out, std::size_t width, int bytesPerPixel,
                       const Channel& red, const Channel& green, const Channel& blue,
                       const Channel* alpha) {
    for (std::size_t x = 0; x < width; ++x, in += bytesPerPixel) {
        const std::uint32_t v = bytesPerPixel == 2   ? U16(in)
                                : bytesPerPixel == 3 ? U16(in) | std::uint32_t(in[2]) << 16
                                                     : U32(in);
        *out++ = blue(v);
        *out++ = green(v);
        *out++ = red(v);
        if (alpha) *out++ = (*alpha)(v);
    }
}

} // namespace

std::string BmpForm::Describe() const {
    std::string text = "header " + std::to_string(headerSize) + " bytes, " + std::to_string(bits) +
                       "-bit " + CompressionName(*this);
    if (BitFields(compression)) {
        text += " ";
        for (int i = 0; i < (masks[3] ? 4 : 3); ++i) {
            if (i) text += '-';
            text += std::to_string(std::popcount(masks[i]));
        }
    }
    if (heldBits) text += ", held as " + std::to_string(heldBits) + " bits";
    return text;
}

// What the headers say, as far as the pixels are concerned.
struct BmpReader::Headers {
    ULONGLONG start = 0;         // where the "BM" stands in the file
    std::uint64_t fileBytes = 0; // from there to the file's end
    std::uint64_t offset = 0;    // bfOffBits
    std::uint64_t tableAt = 0;   // the colour table, from the "BM"
    std::int64_t width = 0, height = 0;
    std::uint64_t colours = 0; // colour-table entries in the file
    DWORD colourImportant = 0;
    LONG xPerMetre = 0, yPerMetre = 0;
};

std::string BmpReader::ReadHeaders(Headers& header) {
    BmpForm& form = m_form;
    header.start = m_file.GetPosition();
    const ULONGLONG length = m_file.GetLength();
    header.fileBytes = length > header.start ? length - header.start : 0;

    // The file header, the info header and the masks that may follow it.
    BYTE front[kFileHeaderBytes + kLongestHeader + 16] = {};
    if (m_file.Read(front, 18) != 18) return CutShort("headers");
    if (front[0] != 'B' || front[1] != 'M') return "not a BMP file (it does not start with \"BM\")";
    header.offset = U32(front + 10);
    const BYTE* h = front + kFileHeaderBytes;
    form.headerSize = U32(h);
    if (!KnownHeaderSize(form.headerSize))
        return "BMP files with a " + std::to_string(form.headerSize) +
               "-byte header are not supported (12, 16, 40, 52, 56, 64, 108 and 124 bytes are)";
    if (m_file.Read(front + 18, form.headerSize - 4) != form.headerSize - 4)
        return CutShort("headers");

    const bool core = form.headerSize == 12;
    if (core) {
        header.width = U16(h + 4);
        header.height = U16(h + 6);
        form.bits = U16(h + 10);
    } else {
        header.width = std::int32_t(U32(h + 4));
        header.height = std::int32_t(U32(h + 8));
        form.bits = U16(h + 14);
    }
    if (form.headerSize >= kInfoHeaderBytes) {
        form.compression = U32(h + 16);
        header.xPerMetre = LONG(U32(h + 24));
        header.yPerMetre = LONG(U32(h + 28));
        header.colours = U32(h + 32);
        header.colourImportant = U32(h + 36);
    }
    form.topDown = header.height < 0;

    // The forms left out, by name.
    const DWORD c = form.compression;
    const bool os2 = Os2Header(form.headerSize);
    if ((os2 && (c == kHuffman1D || c == kRle24)) || (c == BI_BITFIELDS && form.bits == 1))
        return "BMP files compressed by " +
               std::string(c == kRle24 && os2 ? "OS/2 RLE24" : "OS/2 Huffman 1D") +
               " are not supported";
    if (c == BI_JPEG || c == BI_PNG)
        return "BMP files with an embedded " + std::string(c == BI_JPEG ? "JPEG" : "PNG") +
               " image (" + CompressionName(form) + ") are not supported";
    if (c != BI_RGB && c != BI_RLE8 && c != BI_RLE4 && !BitFields(c))
        return "BMP files with " + CompressionName(form) + " are not supported";
    const int b = form.bits;
    if (b == 64) return "64-bit BMP files are not supported";
    if (b != 1 && b != 2 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32)
        return "BMP files of " + std::to_string(b) + " bits per pixel are not supported";
    if ((c == BI_RLE8 && b != 8) || (c == BI_RLE4 && b != 4) || (BitFields(c) && b < 16))
        return "damaged: " + CompressionName(form) + " at " + std::to_string(b) + " bits";
    if (header.width <= 0 || header.height == 0)
        return "no image to read (" + std::to_string(header.width) + " \u00d7 " +
               std::to_string(header.height) + ")";
    if (header.height == INT32_MIN) return "damaged: a height of " + std::to_string(header.height);
    if (form.topDown && (c == BI_RLE8 || c == BI_RLE4))
        return "top-down " + CompressionName(form) +
               " files are not supported (compressed rows are stored bottom-up)";
    if (b > 8)
        header.colours = 0; // a table beside true colours only suggests a palette
    else if (header.colours == 0)
        header.colours = std::uint64_t{1} << b;
    else if (header.colours > 256)
        return "colour tables of more than 256 entries are not supported (this one has " +
               std::to_string(header.colours) + ")";

    // The masks: in the header, or after a 40-byte one.
    std::size_t maskBytes = 0;
    if (BitFields(c)) {
        if (form.headerSize == kInfoHeaderBytes) {
            maskBytes = c == BI_ALPHABITFIELDS ? 16 : 12;
            if (m_file.Read(front + kFileHeaderBytes + kInfoHeaderBytes, UINT(maskBytes)) !=
                maskBytes)
                return CutShort("bit-field masks");
        }
        const int count =
            form.headerSize == 52 || (form.headerSize == 40 && c == BI_BITFIELDS) ? 3 : 4;
        for (int i = 0; i < count; ++i) form.masks[i] = U32(h + kInfoHeaderBytes + 4 * i);
        // No masks at all are taken as the usual ones.
        if (!(form.masks[0] | form.masks[1] | form.masks[2] | form.masks[3])) {
            const bool high = b == 16;
            form.masks[0] = high ? 0x7C00 : 0xFF0000;
            form.masks[1] = high ? 0x03E0 : 0x00FF00;
            form.masks[2] = high ? 0x001F : 0x0000FF;
        }
    }
    header.tableAt = kFileHeaderBytes + form.headerSize + maskBytes;
    form.heldBits = BitFields(c) ? (form.masks[3] ? 32 : 24) : b == 2 ? 4 : b;
    return {};
}

std::string BmpReader::Read(CDIB& dib) {
    m_form = {};
    const BmpForm& form = m_form;
    Headers header;
    std::string why = ReadHeaders(header);
    if (!why.empty()) return why;
    const DWORD c = form.compression;
    const int b = form.bits;
    const bool core = form.headerSize == 12;

    // The two forms the bitmap class reads are its own to read.
    if ((form.headerSize == kInfoHeaderBytes || core) && c == BI_RGB && b != 2) {
        m_file.Seek(LONGLONG(header.start), CFile::begin);
        if (dib.ReadFromFile(&m_file)) return {};
    }

    // The held image's layout: every size checked before it is used.
    const int held = form.heldBits;
    const auto width = std::uint64_t(header.width);
    const auto rows = std::uint64_t(header.height < 0 ? -header.height : header.height);
    const std::uint64_t tableEntries = held <= 8 ? std::uint64_t{1} << held : 0;
    const std::uint64_t heldColours = std::min(header.colours, tableEntries);
    const std::uint64_t stride = DibRowBytes(width, std::uint64_t(held));
    const std::uint64_t pixelsAt = kInfoHeaderBytes + 4 * tableEntries;
    const bool rle = c == BI_RLE8 || c == BI_RLE4;
    const std::string size = std::to_string(width) + " \u00d7 " + std::to_string(rows) + " at " +
                             std::to_string(held) + " bits";
    if (stride > (kLargestBlock - pixelsAt) / rows)
        return "too large: " + size + " is more than 4 GiB";
    const std::uint64_t pixelBytes = stride * rows;
    if (rle && pixelBytes > kLargestRleImage) return "too large: " + size + " is more than 256 MiB";

    // The colour table, and where the pixels are: at the file header's
    // offset, or after the table when that offset is 0 or points at it.
    const std::uint64_t entryBytes = core ? 3 : 4;
    std::array<BYTE, 4 * 256> table{};
    const auto tableBytes = UINT(entryBytes * header.colours);
    m_file.Seek(LONGLONG(header.start + header.tableAt), CFile::begin);
    if (m_file.Read(table.data(), tableBytes) != tableBytes) return CutShort("colour table");
    std::uint64_t offset = header.offset;
    if (offset == 0 || (b <= 8 && offset == kFileHeaderBytes + form.headerSize))
        offset = header.tableAt + tableBytes;
    const std::uint64_t fileBytes = header.fileBytes;
    const std::uint64_t fileStride = DibRowBytes(width, std::uint64_t(b));
    if (rle && offset >= fileBytes)
        return "cut short: the file ends before its pixels (at byte " + std::to_string(offset) +
               ")";
    if (!rle && (offset > fileBytes || fileStride > (fileBytes - offset) / rows))
        return CutShort("pixels (they need ") + std::to_string(fileStride * rows) +
               " bytes from byte " + std::to_string(offset) + ")";

    GlobalBlock block(GlobalAlloc(rle ? GHND : GMEM_MOVEABLE, pixelsAt + pixelBytes));
    auto* info = static_cast<BITMAPINFOHEADER*>(block.data());
    if (!info) return "out of memory";
    *info = {};
    info->biSize = kInfoHeaderBytes;
    info->biWidth = LONG(width);
    info->biHeight = LONG(rows);
    info->biPlanes = 1;
    info->biBitCount = WORD(held);
    info->biCompression = BI_RGB;
    info->biSizeImage = DWORD(pixelBytes);
    info->biXPelsPerMeter = header.xPerMetre;
    info->biYPelsPerMeter = header.yPerMetre;
    info->biClrUsed = DWORD(heldColours);
    info->biClrImportant = header.colourImportant <= heldColours ? header.colourImportant : 0;
    auto* quads = reinterpret_cast<RGBQUAD*>(info + 1);
    std::fill_n(quads, tableEntries, RGBQUAD{});
    for (std::uint64_t i = 0; i < heldColours; ++i)
        quads[i] = {table[entryBytes * i], table[entryBytes * i + 1], table[entryBytes * i + 2], 0};
    BYTE* pixels = reinterpret_cast<BYTE*>(info) + pixelsAt;

    m_file.Seek(LONGLONG(header.start + offset), CFile::begin);
    try {
        if (rle) {
            ByteSource in(m_file, fileBytes - offset);
            DecodeRle(in, pixels, std::size_t(stride), width, rows, c == BI_RLE4);
        } else if (held == b && (!BitFields(c) || HeldOrder(form))) {
            // Rows as the file has them, turned bottom-up.
            if (m_file.Read(pixels, UINT(pixelBytes)) != pixelBytes) return CutShort("pixels");
            if (form.topDown)
                for (std::uint64_t i = 0, j = rows - 1; i < j; ++i, --j)
                    std::swap_ranges(pixels + i * stride, pixels + (i + 1) * stride,
                                     pixels + j * stride);
        } else {
            std::vector<BYTE> row(static_cast<std::size_t>(fileStride));
            const Channel red(form.masks[0]), green(form.masks[1]), blue(form.masks[2]),
                alpha(form.masks[3]);
            ByteSource in(m_file, fileStride * rows);
            for (std::uint64_t r = 0; r < rows; ++r) {
                if (!in.Take(row.data(), row.size())) return CutShort("pixels");
                BYTE* out = pixels + (form.topDown ? rows - 1 - r : r) * stride;
                std::memset(out, 0, std::size_t(stride));
                if (b == 2)
                    WidenTwoBitRow(row.data(), out, std::size_t(width));
                else
                    UnpackBitFieldRow(row.data(), out, std::size_t(width), b / 8, red, green, blue,
                                      form.masks[3] ? &alpha : nullptr);
            }
        }
    } catch (const std::bad_alloc&) {
        return "out of memory";
    }

    // The class adopts the block as a packed DIB of its own, with the whole
    // table for its bit count before the pixels.
    const int formatTag = dib.m_nFormatTag;
    HGLOBAL handle = block.Release();
    if (!dib.Attach(handle, info, 0xFFFFFFFF)) {
        GlobalFree(handle);
        return "damaged";
    }
    dib.m_nFormatTag = formatTag;
    dib.MakePalette(dib.GetNumColors(), &dib.m_Palette);
    return {};
}
