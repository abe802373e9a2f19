// The LZW decoder of CGifDecoder: GIF image data (the variable-length-code LZW
// of GIF89a) into the index rows of the current image.
//
// Codes become pixels in a stream of m_nWidth x m_nHeight bytes in file
// order: the index rows themselves when they have no padding and no
// interlace, else a stream of its own whose rows are then copied to their
// places. The stream lets a string be copied whole: every table entry made
// from a string just written remembers where, so its own string (that string
// and the next pixel) is a copy from earlier in the stream, not a walk of the
// table one pixel at a time. Whatever the stream cannot hold (the pixels past
// the last row, which a non-interlaced image drops and an interlaced one
// writes over its top row) is placed pixel by pixel from the table, as are
// the strings of entries whose place is not known.
#include "gif/GifDecoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kTableSize = 4096;
constexpr int kMaxCodeSize = 12;

std::uint64_t Load64(const BYTE* p) {
    std::uint64_t value = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&value, p, sizeof value);
    } else {
        for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    }
    return value;
}

// Copies `length` (at least 1) bytes 8 at a time. It reads and writes up to 7
// bytes past both ends; it is only used where `from` + `length` <= `to`, so
// the bytes of the string are read before anything overwrites them, and
// only the spare bytes after it take what the overrun brings.
void CopyString(BYTE* to, const BYTE* from, unsigned length) {
    for (;;) {
        std::uint64_t chunk;
        std::memcpy(&chunk, from, sizeof chunk);
        std::memcpy(to, &chunk, sizeof chunk);
        if (length <= 8) return;
        length -= 8;
        to += 8;
        from += 8;
    }
}

// Moves to the start of the next row once a row is full: the next row down,
// or for interlaced images the next row of the four passes (every 8th row from
// 0, every 8th from 4, every 4th from 2, every 2nd from 1). After the fourth
// pass the row stays 0, so surplus pixels overwrite the top row.
void AdvanceRow(bool interlaced, int height, int& x, int& row, int& pass, int& passRow) {
    x = 0;
    if (!interlaced) {
        ++row;
        return;
    }
    static constexpr int kPassStep[] = {0, 8, 8, 4, 2};
    if (pass <= 4) passRow += kPassStep[pass];
    while (passRow >= height && pass <= 4) {
        ++pass;
        passRow = 16 >> pass;
    }
}

// The length of the string of `code` (at least the first free code) by a
// walk of its chain; 0 for a corrupt chain, one with a prefix not below its
// own code (which also bounds the walk).
template <class Table>
unsigned ChainLength(const Table* table, WORD code, WORD firstFree) {
    unsigned length = 1;
    for (WORD x = code; x >= firstFree; ++length) {
        const WORD prefix = table->entries[x].prefix;
        if (prefix >= x) return 0;
        x = prefix;
    }
    return length;
}

struct Pass {
    int start;
    int step;
};
constexpr Pass kPasses[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

} // namespace

// The code table. The string of a code is the string of its prefix followed
// by its suffix; codes below the first free code are roots whose string is
// their own low 8 bits. An entry is made from the string written just before
// it, so when that string was written whole into the stream the entry's own
// string is there too: `length` bytes at `offset`. `length` is 0 when it is
// not (after a code above the next free code, or the first free code right
// after a clear, or once the stream is full). Entries from before a clear
// keep their fields, which only a walk of the table reads.
struct CGifDecoder::CodeTable {
    struct Place {
        std::uint32_t offset;
        WORD length;
        WORD prefix;
    };
    Place entries[kTableSize];
    BYTE suffix[kTableSize];
};

std::size_t CGifDecoder::CodeTableBytes() {
    return sizeof(CodeTable);
}

// The bits of the image data, least significant first, read up to 64 at a
// time from its sub-blocks, ahead of the codes that take them. The first
// sub-block that would pass the end of the loaded data ends the data like the
// terminator does; the decoder sees the end only when a code needs more bits
// than came before it.
struct CGifDecoder::BitReader {
    const BYTE* data;
    long long dataSize;
    long long next;     // the next byte to load
    long long blockEnd; // just past the data of the current sub-block
    std::uint64_t bits = 0;
    unsigned count = 0;    // bits loaded and not yet taken, from bit 0
    long long loaded = 0;  // data bytes loaded (sub-block size bytes not counted)
    bool ended = false;    // no further sub-block
    long long endAt = 0;   // where: the terminator, or the size byte that passes the end
    bool endIsCut = false; // the data ended before the sub-block at endAt does

    void Refill() {
        if (blockEnd - next >= 8) {
            // Whole bytes only: the bits of a byte that does not fit wait for
            // the next refill.
            const unsigned take = (63 - count) >> 3;
            bits |= Load64(data + next) << count;
            count += 8 * take;
            bits &= ~std::uint64_t{0} >> (64 - count);
            next += take;
            loaded += take;
            return;
        }
        while (count <= 56) {
            if (next == blockEnd) {
                if (ended) return;
                const int size = next < dataSize ? data[next] : -1;
                if (size <= 0 || next + 1 + size > dataSize) {
                    ended = true;
                    endAt = next;
                    endIsCut = size != 0;
                    return;
                }
                blockEnd = next + 1 + size;
                ++next;
            }
            bits |= std::uint64_t{data[next++]} << count;
            count += 8;
            ++loaded;
        }
    }
};

void CGifDecoder::SetDataPosition(const BitReader& reader, int dataStart) {
    if (m_bDataEnded) {
        // The reader stopped on the terminator, or on the sub-block that
        // passes the end of the file, where nothing follows.
        m_pCursor = m_pData + reader.endAt;
        m_nPos = reader.endIsCut ? m_nDataSize : static_cast<int>(reader.endAt);
        m_nBlockSize = 0;
        m_nBlockUsed = 0;
        return;
    }
    // Bytes taken by the codes read: whole bytes still in the bit buffer were
    // loaded ahead. A sub-block is entered (and m_nPos counts it whole) when
    // its first byte is taken.
    long long taken = reader.loaded - (reader.count >> 3);
    long long at = dataStart;
    long long cursor = dataStart;
    unsigned blockSize = 0, blockUsed = 1; // no sub-block entered yet
    long long pos = dataStart;
    while (taken > 0) {
        const int size = m_pData[at];
        if (taken <= size) {
            blockSize = static_cast<unsigned>(size);
            blockUsed = static_cast<unsigned>(taken);
            pos = at + 1 + size;
            cursor = at + 1 + taken;
            break;
        }
        taken -= size;
        at += 1 + size;
        blockSize = blockUsed = static_cast<unsigned>(size);
        pos = cursor = at;
    }
    m_pCursor = m_pData + cursor;
    m_nPos = static_cast<int>(pos);
    m_nBlockSize = blockSize;
    m_nBlockUsed = blockUsed;
    m_nBitsLeft = reader.count & 7;
    m_byBitBuffer = static_cast<BYTE>(reader.bits & ((1u << m_nBitsLeft) - 1));
}

void CGifDecoder::SetPixelPosition(std::size_t pixels) {
    // A full row is left only when the next pixel arrives.
    m_nX = 0;
    m_nRow = 0;
    m_nPass = 1;
    m_nPassRow = 0;
    if (pixels == 0) return;
    const std::size_t width = static_cast<std::size_t>(m_nWidth);
    const auto row = static_cast<int>((pixels - 1) / width);
    m_nX = static_cast<int>((pixels - 1) % width) + 1;
    if (!(m_byImageFlags & 0x40)) {
        m_nRow = row;
        return;
    }
    int before = 0;
    for (const Pass& pass : kPasses) {
        const int rows =
            m_nHeight > pass.start ? (m_nHeight - pass.start + pass.step - 1) / pass.step : 0;
        if (row < before + rows) {
            m_nPassRow = pass.start + (row - before) * pass.step;
            return;
        }
        before += rows;
        ++m_nPass;
    }
}

void CGifDecoder::PlaceStream(const BYTE* stream, std::size_t pixels) {
    if (pixels == 0) return;
    const std::size_t width = static_cast<std::size_t>(m_nWidth);
    const std::size_t rows = (pixels + width - 1) / width;
    const std::size_t stride = static_cast<std::size_t>(m_nStride);
    if (!(m_byImageFlags & 0x40)) {
        for (std::size_t y = 0; y < rows; ++y)
            std::memcpy(m_pIndices + y * stride, stream + y * width, width);
        return;
    }
    std::size_t y = 0;
    for (const Pass& pass : kPasses)
        for (int row = pass.start; row < m_nHeight && y < rows; row += pass.step, ++y)
            std::memcpy(m_pIndices + static_cast<std::size_t>(row) * stride, stream + y * width,
                        width);
}

void CGifDecoder::PutPixel(BYTE index) {
    bool interlaced = m_byImageFlags & 0x40;
    // Nothing more can land: no rows at all, or every row of a
    // non-interlaced image filled (its surplus pixels are dropped).
    if (m_nIndexSize == 0 || (!interlaced && m_nRow >= m_nHeight)) return;
    if (m_nX == m_nWidth) AdvanceRow(interlaced, m_nHeight, m_nX, m_nRow, m_nPass, m_nPassRow);
    long long offset = static_cast<long long>(interlaced ? m_nPassRow : m_nRow) * m_nStride + m_nX;
    if (offset < m_nIndexSize) m_pIndices[offset] = index;
    ++m_nX;
}

// Places the string of `code` (and, when appendFirst, its first index once
// more) pixel by pixel, storing its first index in *first. FALSE for a corrupt
// chain: a prefix not below its own code, which also bounds the walk.
BOOL CGifDecoder::EmitString(const CodeTable* table, WORD code, WORD firstFree, BYTE* first,
                             bool appendFirst) {
    const bool interlaced = m_byImageFlags & 0x40;
    // A full row is left before the string is placed, even when all of it is
    // then dropped.
    if (m_nIndexSize > 0 && (interlaced || m_nRow < m_nHeight) && m_nX == m_nWidth)
        AdvanceRow(interlaced, m_nHeight, m_nX, m_nRow, m_nPass, m_nPassRow);
    BYTE string[kTableSize];
    int at = kTableSize;
    WORD x = code;
    while (x >= firstFree) {
        const WORD prefix = table->entries[x].prefix;
        if (prefix >= x) return FALSE;
        string[--at] = table->suffix[x];
        x = prefix;
    }
    const auto root = static_cast<BYTE>(x);
    *first = root;
    if (m_nIndexSize == 0 || (!interlaced && m_nRow >= m_nHeight)) return TRUE; // all dropped
    PutPixel(root);
    for (; at < kTableSize; ++at) PutPixel(string[at]);
    if (appendFirst) PutPixel(root);
    return TRUE;
}

BOOL CGifDecoder::DecodeLzw(CodeTable* table, BYTE* stream) {
    m_bDataEnded = false;
    m_nBitsLeft = 0;
    m_byBitBuffer = 0;
    m_nBlockSize = 0;
    m_nBlockUsed = 1; // the first byte request begins a sub-block
    SetPixelPosition(0);

    // An image that ends before its minimum code size byte has no pixels.
    if (m_nPos >= m_nDataSize) {
        m_bDataEnded = true;
        return TRUE;
    }
    int minCodeSize = *m_pCursor++;
    ++m_nPos;
    // With more than 11 bits the first free code would not fit the table and
    // codes would need more than 12 bits.
    if (minCodeSize > 11) return FALSE;
    m_nInitCodeSize = minCodeSize + 1;
    unsigned codeSize = static_cast<unsigned>(m_nInitCodeSize);
    const WORD clearCode = static_cast<WORD>(1u << minCodeSize);
    const WORD endCode = clearCode + 1;
    const WORD firstFree = clearCode + 2;
    WORD nextFree = firstFree;
    WORD previous = 0;
    bool afterClear = true; // data may begin without a clear code

    const int dataStart = m_nPos;
    BitReader reader{m_pData, m_nDataSize, dataStart, dataStart};

    // The stream: pixels [0, size) in file order. `at` is the next pixel;
    // the string written last began at `lastAt`, `lastLength` long, and is
    // the string of the code read last when `lastExact`.
    const std::size_t size =
        m_nIndexSize ? static_cast<std::size_t>(m_nWidth) * static_cast<std::size_t>(m_nHeight) : 0;
    std::size_t at = 0;
    std::size_t lastAt = 0;
    unsigned lastLength = 0;
    bool lastExact = false;
    bool streaming = true; // false once the pixels go to the rows one by one

    // The stream is full (or a string would pass its end): its pixels go to
    // the rows, the spare bytes that copies wrote past its end are cleared,
    // and the rest of the image is placed pixel by pixel.
    auto leaveStream = [&] {
        std::memset(stream + at, 0, std::min<std::size_t>(kLzwSlack, size - at));
        if (stream != m_pIndices) PlaceStream(stream, at);
        SetPixelPosition(at);
        streaming = false;
    };

    BOOL result = TRUE;
    bool corruptInStream = false;
    for (;;) {
        if (reader.count < codeSize) {
            reader.Refill();
            if (reader.count < codeSize) {
                // Data that ends before the end code: keep the pixels decoded
                // so far.
                m_bDataEnded = true;
                break;
            }
        }
        const auto code = static_cast<WORD>(reader.bits & ((1u << codeSize) - 1));
        reader.bits >>= codeSize;
        reader.count -= codeSize;

        if (code == endCode) break;
        if (code == clearCode) {
            codeSize = static_cast<unsigned>(m_nInitCodeSize);
            nextFree = firstFree;
            afterClear = true;
            continue;
        }
        if (afterClear) {
            // The first code after a clear is one pixel and makes no entry.
            // Some encoders send the first free code here; anything higher
            // is corrupt. The first free code's pixel is not its string.
            if (code > clearCode + 2) {
                result = FALSE;
                break;
            }
            if (streaming && at == size) leaveStream();
            if (streaming) {
                stream[at] = static_cast<BYTE>(code);
                lastAt = at++;
                lastLength = 1;
                lastExact = code < clearCode;
            } else {
                PutPixel(static_cast<BYTE>(code));
            }
            previous = code;
            afterClear = false;
            continue;
        }

        // A code up to the next free code gives its own string. The code being
        // defined right now (KwKwK) gives the previous string plus its own
        // first index; a code above the next free code is taken as the next
        // free code: some encoders emit it and other decoders accept it.
        const bool defined = code < nextFree;
        const WORD source = defined ? code : previous;
        const unsigned extra = defined ? 0 : 1;
        BYTE first = 0;
        if (streaming) {
            // Where the string comes from: a root, a copy of an earlier
            // string in the stream, or (for an entry whose string is not in
            // the stream) a walk of the table, which fails a corrupt chain.
            enum { fromRoot, fromStream, fromTable } from = fromRoot;
            unsigned length = 1;
            std::uint32_t offset = 0;
            if (source >= firstFree) {
                if (source < nextFree && table->entries[source].length != 0) {
                    from = fromStream;
                    length = table->entries[source].length;
                    offset = table->entries[source].offset;
                } else {
                    from = fromTable;
                    length = ChainLength(table, source, firstFree);
                    if (length == 0) {
                        result = FALSE;
                        corruptInStream = true;
                        break;
                    }
                }
            }
            if (size - at < length + extra) leaveStream();
            if (streaming) {
                BYTE* out = stream + at;
                if (from == fromStream) {
                    CopyString(out, stream + offset, length);
                } else {
                    WORD x = source;
                    for (BYTE* end = out + length; x >= firstFree; x = table->entries[x].prefix)
                        *--end = table->suffix[x];
                    out[0] = static_cast<BYTE>(x);
                }
                first = out[0];
                if (!defined) out[length] = first;
                // The entry made below has the string written before this one
                // and this string's first index: both lie in the stream when
                // the one before was the string of its code.
                if (nextFree < kTableSize) {
                    CodeTable::Place& entry = table->entries[nextFree];
                    entry.offset = static_cast<std::uint32_t>(lastAt);
                    entry.length = static_cast<WORD>(lastExact ? lastLength + 1 : 0);
                }
                // This string is the code's own unless the code was above the
                // next free code, or KwKwK after a code the table did not
                // hold.
                lastExact = defined || (code == nextFree && previous < nextFree);
                lastAt = at;
                lastLength = length + extra;
                at += lastLength;
            }
        }
        if (!streaming) {
            if (!EmitString(table, source, firstFree, &first, !defined)) {
                result = FALSE;
                break;
            }
            if (nextFree < kTableSize) table->entries[nextFree].length = 0;
        }
        if (nextFree < kTableSize) {
            table->entries[nextFree].prefix = previous;
            table->suffix[nextFree] = first;
            ++nextFree;
            if (nextFree == (1u << codeSize) && codeSize < kMaxCodeSize) ++codeSize;
        }
        previous = code;
    }

    m_nCodeSize = static_cast<int>(codeSize);
    if (streaming) {
        // Copies may have written spare bytes past the last string.
        std::memset(stream + at, 0, std::min<std::size_t>(kLzwSlack, size - at));
        if (stream != m_pIndices) PlaceStream(stream, at);
        SetPixelPosition(at);
        // The row position as EmitString leaves it when it meets the chain.
        const bool interlaced = m_byImageFlags & 0x40;
        if (corruptInStream && m_nIndexSize > 0 && (interlaced || m_nRow < m_nHeight) &&
            m_nX == m_nWidth)
            AdvanceRow(interlaced, m_nHeight, m_nX, m_nRow, m_nPass, m_nPassRow);
    }
    SetDataPosition(reader, dataStart);
    if (m_bDataEnded) {
        // As if the last code had been cut from the data followed by bytes of
        // all ones.
        const unsigned missing = codeSize - reader.count;
        m_nBitsLeft = (8 - missing % 8) % 8;
        m_byBitBuffer = static_cast<BYTE>((1u << m_nBitsLeft) - 1);
    }
    return result;
}
