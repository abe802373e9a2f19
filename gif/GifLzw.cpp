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
// than came before it. The decode loop keeps these fields in locals of its
// own, so that they stay in registers.
struct CGifDecoder::BitReader {
    std::uint64_t bits = 0;
    unsigned count = 0;    // bits loaded and not yet taken, from bit 0; those above are 0
    long long next;        // the next byte to load
    long long blockEnd;    // just past the data of the current sub-block
    bool ended = false;    // no further sub-block
    bool endIsCut = false; // the data ended before the sub-block at `next` does

    // Fills the buffer byte by byte, across sub-blocks, until it holds at
    // least 57 bits or the data ends.
    static BitReader Filled(BitReader reader, const BYTE* data, long long dataSize) {
        while (reader.count <= 56) {
            if (reader.next == reader.blockEnd) {
                if (reader.ended) break;
                const int size = reader.next < dataSize ? data[reader.next] : -1;
                if (size <= 0 || reader.next + 1 + size > dataSize) {
                    reader.ended = true;
                    reader.endIsCut = size != 0;
                    break;
                }
                reader.blockEnd = reader.next + 1 + size;
                ++reader.next;
            }
            reader.bits |= std::uint64_t{data[reader.next++]} << reader.count;
            reader.count += 8;
        }
        return reader;
    }
};

void CGifDecoder::SetDataPosition(const BitReader& reader, int dataStart) {
    if (m_bDataEnded) {
        // The reader stopped on the terminator, or on the sub-block that
        // passes the end of the file, where nothing follows.
        m_pCursor = m_pData + reader.next;
        m_nPos = reader.endIsCut ? m_nDataSize : static_cast<int>(reader.next);
        m_nBlockSize = 0;
        m_nBlockUsed = 0;
        return;
    }
    // Bytes taken by the codes read: those loaded, but for whole bytes still
    // in the bit buffer. A sub-block is entered (and m_nPos counts it whole)
    // when its first byte is taken.
    long long taken = -static_cast<long long>(reader.count >> 3);
    for (long long block = dataStart; block < reader.next; block += 1 + m_pData[block])
        taken += std::min<long long>(m_pData[block], reader.next - block - 1);
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

void CGifDecoder::LeaveStream(BYTE* stream, std::size_t pixels, std::size_t size) {
    // Copies may have written spare bytes past the last string.
    std::memset(stream + pixels, 0, std::min(kLzwSlack, size - pixels));
    if (stream != m_pIndices) PlaceStream(stream, pixels);
    SetPixelPosition(pixels);
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
    const unsigned clearCode = 1u << minCodeSize;
    const unsigned endCode = clearCode + 1;
    const unsigned firstFree = clearCode + 2;
    unsigned nextFree = firstFree;
    unsigned previous = 0;
    bool afterClear = true; // data may begin without a clear code

    const BYTE* const data = m_pData;
    const long long dataSize = m_nDataSize;
    const int dataStart = m_nPos;
    std::uint64_t bits = 0;
    unsigned count = 0;
    long long next = dataStart, blockEnd = dataStart;
    bool ended = false, endIsCut = false;
    CodeTable::Place* const entries = table->entries;
    BYTE* const suffixes = table->suffix;

    // The stream: pixels from `stream` to `end` in file order. `out` is the
    // next pixel; the string written last began at `last`, and the entry
    // made from it and the next string is `lastEntryLength` long (0 when
    // that string was not the string of its code).
    const std::size_t size =
        m_nIndexSize ? static_cast<std::size_t>(m_nWidth) * static_cast<std::size_t>(m_nHeight) : 0;
    BYTE* const end = stream + size;
    BYTE* out = stream;
    BYTE* last = stream;
    unsigned lastEntryLength = 0;
    bool streaming = true; // false once the pixels go to the rows one by one
    bool common = false;   // streaming, and not right after a clear

    BOOL result = TRUE;
    bool corruptInStream = false;
    for (;;) {
        if (count < codeSize) {
            if (blockEnd - next >= 8) {
                // Whole bytes only: the bits of a byte that does not fit wait
                // for the next fill. The data was loaded long before: ask for
                // it well ahead.
                __builtin_prefetch(data + next + 1024);
                const unsigned take = (63 - count) >> 3;
                bits |= Load64(data + next) << count;
                count += 8 * take;
                bits &= ~std::uint64_t{0} >> (64 - count);
                next += take;
            } else {
                BitReader reader{bits, count, next, blockEnd, ended, endIsCut};
                reader = BitReader::Filled(reader, data, dataSize);
                bits = reader.bits;
                count = reader.count;
                next = reader.next;
                blockEnd = reader.blockEnd;
                ended = reader.ended;
                endIsCut = reader.endIsCut;
                if (count < codeSize) {
                    // Data that ends before the end code: keep the pixels
                    // decoded so far.
                    m_bDataEnded = true;
                    break;
                }
            }
        }
        const unsigned code = static_cast<unsigned>(bits) & ((1u << codeSize) - 1);
        bits >>= codeSize;
        count -= codeSize;

        if (common) {
            // The common codes, whose strings are roots or lie whole in the
            // stream and fit before its end: a root, an entry of the table,
            // or the entry being defined (KwKwK) after a code the table holds.
            unsigned length = 0;
            if (code < clearCode) {
                if (out != end) {
                    out[0] = static_cast<BYTE>(code);
                    length = 1;
                }
            } else if (code - firstFree < nextFree - firstFree) {
                const CodeTable::Place place = entries[code];
                if (place.length != 0 && static_cast<std::size_t>(end - out) >= place.length) {
                    CopyString(out, stream + place.offset, place.length);
                    length = place.length;
                }
            } else if (code == nextFree && previous < nextFree) {
                if (previous < clearCode) {
                    if (end - out >= 2) {
                        out[0] = out[1] = static_cast<BYTE>(previous);
                        length = 2;
                    }
                } else {
                    const CodeTable::Place place = entries[previous];
                    if (place.length != 0 && static_cast<std::size_t>(end - out) > place.length) {
                        CopyString(out, stream + place.offset, place.length);
                        out[place.length] = out[0];
                        length = place.length + 1u;
                    }
                }
            }
            if (length != 0) {
                // The entry made has the string written before this one and
                // this string's first index: both lie in the stream when the
                // one before was the string of its code.
                if (nextFree < kTableSize) {
                    entries[nextFree] = {static_cast<std::uint32_t>(last - stream),
                                         static_cast<WORD>(lastEntryLength),
                                         static_cast<WORD>(previous)};
                    suffixes[nextFree] = out[0];
                    ++nextFree;
                    if (nextFree == (1u << codeSize) && codeSize < kMaxCodeSize) ++codeSize;
                }
                lastEntryLength = length + 1;
                last = out;
                out += length;
                previous = code;
                continue;
            }
        }

        if (code == endCode) break;
        if (code == clearCode) {
            codeSize = static_cast<unsigned>(m_nInitCodeSize);
            nextFree = firstFree;
            afterClear = true;
            common = false;
            continue;
        }
        if (afterClear) {
            // The first code after a clear is one pixel and makes no entry.
            // Some encoders send the first free code here; anything higher
            // is corrupt. The first free code's pixel is not its string.
            if (code > clearCode + 2u) {
                result = FALSE;
                break;
            }
            if (streaming && out == end) {
                LeaveStream(stream, size, size);
                streaming = false;
            }
            if (streaming) {
                out[0] = static_cast<BYTE>(code);
                last = out++;
                lastEntryLength = code < clearCode ? 2 : 0;
            } else {
                PutPixel(static_cast<BYTE>(code));
            }
            previous = code;
            afterClear = false;
            common = streaming;
            continue;
        }

        // A code up to the next free code gives its own string. The code being
        // defined right now (KwKwK) gives the previous string plus its own
        // first index; a code above the next free code is taken as the next
        // free code: some encoders emit it and other decoders accept it.
        const bool defined = code < nextFree;
        const auto source = static_cast<WORD>(defined ? code : previous);
        const unsigned extra = defined ? 0 : 1;
        BYTE first = 0;
        if (streaming) {
            // The string's length, from the stream or, for an entry whose
            // string is not there, by a walk of the table, which fails a
            // corrupt chain.
            const bool inStream =
                source >= firstFree && source < nextFree && entries[source].length != 0;
            unsigned length = 1;
            if (inStream) {
                length = entries[source].length;
            } else if (source >= firstFree) {
                length = ChainLength(table, source, static_cast<WORD>(firstFree));
                if (length == 0) {
                    result = FALSE;
                    corruptInStream = true;
                    break;
                }
            }
            if (static_cast<std::size_t>(end - out) < length + extra) {
                LeaveStream(stream, static_cast<std::size_t>(out - stream), size);
                streaming = common = false;
            } else {
                if (inStream) {
                    CopyString(out, stream + entries[source].offset, length);
                } else {
                    WORD x = source;
                    for (BYTE* at = out + length; x >= firstFree; x = entries[x].prefix)
                        *--at = suffixes[x];
                    out[0] = static_cast<BYTE>(x);
                }
                first = out[0];
                if (!defined) out[length] = first;
                if (nextFree < kTableSize) {
                    entries[nextFree].offset = static_cast<std::uint32_t>(last - stream);
                    entries[nextFree].length = static_cast<WORD>(lastEntryLength);
                }
                // This string is the code's own unless the code was above the
                // next free code, or KwKwK after a code the table did not
                // hold.
                const bool exact = defined || (code == nextFree && previous < nextFree);
                lastEntryLength = exact ? length + extra + 1 : 0;
                last = out;
                out += length + extra;
            }
        }
        if (!streaming) {
            if (!EmitString(table, source, static_cast<WORD>(firstFree), &first, !defined)) {
                result = FALSE;
                break;
            }
            if (nextFree < kTableSize) entries[nextFree].length = 0;
        }
        if (nextFree < kTableSize) {
            entries[nextFree].prefix = static_cast<WORD>(previous);
            suffixes[nextFree] = first;
            ++nextFree;
            if (nextFree == (1u << codeSize) && codeSize < kMaxCodeSize) ++codeSize;
        }
        previous = code;
    }

    m_nCodeSize = static_cast<int>(codeSize);
    if (streaming) {
        LeaveStream(stream, static_cast<std::size_t>(out - stream), size);
        // The row position as EmitString leaves it when it meets the chain.
        const bool interlaced = m_byImageFlags & 0x40;
        if (corruptInStream && m_nIndexSize > 0 && (interlaced || m_nRow < m_nHeight) &&
            m_nX == m_nWidth)
            AdvanceRow(interlaced, m_nHeight, m_nX, m_nRow, m_nPass, m_nPassRow);
    }
    SetDataPosition(BitReader{bits, count, next, blockEnd, ended, endIsCut}, dataStart);
    if (m_bDataEnded) {
        // As if the last code had been cut from the data followed by bytes of
        // all ones.
        const unsigned missing = codeSize - count;
        m_nBitsLeft = (8 - missing % 8) % 8;
        m_byBitBuffer = static_cast<BYTE>((1u << m_nBitsLeft) - 1);
    }
    return result;
}
