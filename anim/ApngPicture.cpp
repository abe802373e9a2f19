#include "anim/ApngPicture.h"

#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <system_error>

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// IEND with its CRC.
constexpr uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// Stands for the CRC of a chunk whose header was rewritten: libpng is told
// not to check the CRCs of the frame streams (the file's own were checked
// when its structure was read).
constexpr uint8_t kNoCrc[4] = {0, 0, 0, 0};

// The image data of a frame inflated beforehand: a zlib stream of stored
// blocks, each in an IDAT chunk of its own, between an IDAT that holds the
// zlib header (deflate, 32 KiB window, no dictionary) and one that holds the
// Adler-32, which libpng is told to ignore. The CRCs are ignored too.
constexpr uint8_t kZlibHeaderIdat[14] = {0, 0, 0, 2, 'I', 'D', 'A', 'T', 0x78, 0x01, 0, 0, 0, 0};
constexpr uint8_t kAdlerIdat[16] = {0, 0, 0, 4, 'I', 'D', 'A', 'T', 0, 0, 0, 0, 0, 0, 0, 0};
// A stored block holds at most this many bytes (its length field is 16 bits).
constexpr std::size_t kStoredMax = 65535;

// No chunk in a frame stream but IDAT is longer than a full palette; libpng
// refuses any other that is, before allocating for it. (IDAT chunks are read
// through a buffer of their own and bounded by the image's size.)
constexpr png_alloc_size_t kChunkLimit = 4096;

void PutBe32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// The bytes a frame's zlib stream inflates to: each row of each pass (the
// seven of Adam7, or the one) with its filter byte. Empty when that would
// not fit in memory's size type, with room to spare for the stored blocks'
// headers. (No frame of a canvas within kMaxCanvasBytes comes near it.)
std::optional<std::size_t> RowDataSize(uint32_t width, uint32_t height, unsigned bitsPerPixel,
                                       bool interlaced) {
    struct Pass {
        uint32_t x, y, dx, dy;
    };
    static constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    static constexpr Pass kWhole[1] = {{0, 0, 1, 1}};
    constexpr uint64_t limit = std::numeric_limits<std::size_t>::max() / 2;
    uint64_t total = 0;
    for (const Pass& pass : interlaced ? std::span<const Pass>(kAdam7) : kWhole) {
        if (width <= pass.x || height <= pass.y) continue; // a pass of no pixels has no rows
        const uint64_t columns = (width - pass.x + pass.dx - 1) / pass.dx;
        const uint64_t rows = (height - pass.y + pass.dy - 1) / pass.dy;
        // Below 2^32 columns of at most 64 bits: no overflow.
        const uint64_t rowBytes = 1 + (columns * bitsPerPixel + 7) / 8;
        if (rowBytes > (limit - total) / rows) return std::nullopt;
        total += rows * rowBytes;
    }
    return static_cast<std::size_t>(total);
}

// The channels of each PNG colour type: gray, -, RGB, palette index, gray
// and alpha, -, RGBA.
constexpr unsigned kChannels[7] = {1, 0, 3, 1, 2, 0, 4};

// What one decode of a frame works with. Plain data only: libpng's errors
// longjmp through the functions that hold it.
struct DecodeJob {
    const std::span<const uint8_t>* pieces;
    std::size_t count;
    std::size_t index;
    std::size_t offset;
    uint8_t* out; // width × height pixels of `channels` bytes
    uint32_t width;
    uint32_t height;
    bool outOfMemory;
    int channels; // 3 or 4, once the header is read
};

void ReadPieces(png_structp png, png_bytep out, std::size_t length) {
    auto* job = static_cast<DecodeJob*>(png_get_io_ptr(png));
    while (length > 0) {
        if (job->index == job->count) png_error(png, "read past the end of the frame");
        const std::span<const uint8_t> piece = job->pieces[job->index];
        const std::size_t take = std::min(length, piece.size() - job->offset);
        std::memcpy(out, piece.data() + job->offset, take);
        out += take;
        length -= take;
        job->offset += take;
        if (job->offset == piece.size()) {
            ++job->index;
            job->offset = 0;
        }
    }
}

[[noreturn]] void OnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

png_voidp Allocate(png_structp png, png_alloc_size_t size) {
    void* p = std::malloc(size);
    if (!p) static_cast<DecodeJob*>(png_get_mem_ptr(png))->outOfMemory = true;
    return p;
}

void Free(png_structp, png_voidp p) {
    std::free(p);
}

// Runs libpng over the job's stream into its pixels; false when libpng
// refused it. No object with a destructor lives here: an error longjmps back
// to the setjmp below, past everything libpng was doing.
bool RunLibpng(png_structp png, png_infop info, DecodeJob* job) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    // The stream's IHDR is the frame's: no larger image is accepted, and
    // no other chunk may ask for more than a palette's worth.
    png_set_user_limits(png, job->width, job->height);
    png_set_chunk_malloc_max(png, kChunkLimit);
    png_set_chunk_cache_max(png, 16);
    // The zlib stream's own checksum (Adler-32) is not computed: it would
    // cost as much as the inflating does, and every chunk of the data has
    // passed its CRC already. (A stream of stored blocks made here carries
    // none.)
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_set_read_fn(png, job, ReadPieces);
    png_read_info(png, info);

    // To 8-bit red, green, blue and, where there is any, alpha: palettes,
    // gray below 8 bits and tRNS expanded; 16-bit samples keep their high
    // byte; gray made RGB. The order of the canvas and its opaque alpha come
    // in the composition, which reads each pixel anyway. Gamma and
    // colour-space chunks are not in the stream, so nothing is corrected.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    job->channels = png_get_channels(png, info);
    const std::size_t stride = std::size_t{job->width} * job->channels;
    if ((job->channels != 3 && job->channels != 4) || png_get_rowbytes(png, info) != stride)
        png_error(png, "unexpected row format");

    // Adam7 passes write into the rows of the passes before them.
    for (int pass = 0; pass < passes; ++pass)
        for (uint32_t y = 0; y < job->height; ++y)
            png_read_row(png, job->out + y * stride, nullptr);
    return true;
}

// The read structures of one decode, released on every path.
struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

} // namespace

std::unique_ptr<CApngPicture> CApngPicture::Open(std::vector<uint8_t> bytes) {
    std::unique_ptr<CApngPicture> picture(new CApngPicture);
    picture->m_bytes = std::move(bytes);
    ApngLayout& layout = picture->m_layout;
    if (!layout.Read(picture->m_bytes.data(), picture->m_bytes.size(), kMaxCanvasBytes))
        return nullptr;
    picture->m_nWidth = static_cast<int>(layout.width);
    picture->m_nHeight = static_cast<int>(layout.height);
    picture->m_background = layout.background;
    picture->m_bDamaged = layout.damaged;
    picture->m_durations.reserve(layout.frames.size());
    for (const ApngLayout::Frame& frame : layout.frames)
        picture->m_durations.push_back(frame.duration);

    // The frame stream's IHDR: the file's, but for the size.
    uint8_t* ihdr = picture->m_ihdr.data();
    PutBe32(ihdr, 13);
    std::memcpy(ihdr + 4, picture->m_bytes.data() + 12, 4 + 13 + 4);
    return picture;
}

void CApngPicture::DecompressorFree::operator()(libdeflate_decompressor* decompressor) const {
    libdeflate_free_decompressor(decompressor);
}

bool CApngPicture::Inflate(const ApngLayout::Frame& frame, Slot& slot) const {
    const std::optional<std::size_t> size =
        RowDataSize(frame.width, frame.height, kChannels[m_layout.colorType] * m_layout.bitDepth,
                    m_layout.interlace != 0);
    if (!size) return false;
    // The chunks lie in the file, which is below 2 GiB: their sum cannot
    // overflow.
    const ApngLayout::DataChunk* chunks = m_layout.dataChunks.data() + frame.firstChunk;
    std::size_t streamSize = 0;
    for (std::size_t i = 0; i < frame.chunkCount; ++i) streamSize += chunks[i].size;
    // Deflate data give at most 258 bytes for 2 bits (a length and a
    // distance code of one bit each): a stream too short to hold the rows is
    // left to libpng (which refuses it) before any memory is taken for them.
    // So is one much longer than the rows would be stored (RowDataSize
    // leaves room for the sum), rather than gathered into a copy of its own.
    if (*size / 1032 > streamSize || streamSize > *size + *size / 8 + 1024) return false;
    const uint8_t* stream = chunks[0].data;
    if (frame.chunkCount > 1) {
        // libdeflate inflates from one piece of memory.
        try {
            slot.deflated.resize(streamSize);
        } catch (const std::bad_alloc&) {
            return false; // libpng inflates as it reads, in little memory
        }
        uint8_t* to = slot.deflated.data();
        for (std::size_t i = 0; i < frame.chunkCount; ++i)
            to = std::copy_n(chunks[i].data, chunks[i].size, to);
        stream = slot.deflated.data();
    }
    // Streams are taken here only where libpng's zlib would inflate them to
    // the same rows; every other goes to libpng as it is, to be refused or
    // read exactly as before. So the zlib header must be sound (deflate, a
    // window of at most 32 KiB, the check bits, no preset dictionary), and
    // its window must hold the whole frame unless it is the largest: zlib
    // refuses distances beyond the window the header gives, which libdeflate
    // allows. The deflate data must end after exactly the frame's rows, as
    // libdeflate checks when given no more room (zlib, given more data than
    // the rows, would go on), and the 4 bytes of the Adler-32 must follow,
    // as zlib waits for them. Their value is not checked, by libpng's option
    // as before: every chunk of the stream has passed its CRC. (libdeflate
    // also reads the codes that deflate reserves, length symbols 286 and 287
    // and distance symbols 30 and 31, which zlib refuses: no encoder writes
    // them, and a stream that holds them is damaged either way.)
    if (streamSize < 2 + 4) return false;
    const unsigned cmf = stream[0], flg = stream[1], windowBits = (cmf >> 4) + 8;
    if ((cmf & 0x0F) != 8 || windowBits > 15 || (cmf << 8 | flg) % 31 != 0 || (flg & 0x20) != 0)
        return false;
    if (windowBits < 15 && *size > std::size_t{1} << windowBits) return false;
    try {
        slot.inflated.resize(*size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!slot.decompressor) {
        slot.decompressor.reset(libdeflate_alloc_decompressor());
        if (!slot.decompressor) return false;
    }
    std::size_t in = 0, out = 0;
    const libdeflate_result result =
        libdeflate_deflate_decompress_ex(slot.decompressor.get(), stream + 2, streamSize - 2,
                                         slot.inflated.data(), *size, &in, &out);
    return result == LIBDEFLATE_SUCCESS && out == *size && streamSize - 2 - in >= 4;
}

void CApngPicture::BuildStreamHead(const ApngLayout::Frame& frame, Slot& slot) const {
    slot.ihdr = m_ihdr;
    PutBe32(slot.ihdr.data() + 8, frame.width);
    PutBe32(slot.ihdr.data() + 12, frame.height);
    std::vector<std::span<const uint8_t>>& pieces = slot.pieces;
    pieces.clear();
    pieces.push_back({kSignature, sizeof kSignature});
    pieces.push_back({slot.ihdr.data(), slot.ihdr.size()});
    if (m_layout.plte) pieces.push_back({m_layout.plte, m_layout.plteSize});
    if (m_layout.trns) pieces.push_back({m_layout.trns, m_layout.trnsSize});
}

void CApngPicture::BuildStoredStream(const ApngLayout::Frame& frame, Slot& slot) const {
    BuildStreamHead(frame, slot);
    std::vector<std::span<const uint8_t>>& pieces = slot.pieces;
    pieces.push_back({kZlibHeaderIdat, sizeof kZlibHeaderIdat});
    // Each block: its IDAT header, the block's header (the last block's
    // first bit set, type 00; its length and the length's complement, least
    // significant byte first), then its bytes where they were inflated.
    const std::size_t size = slot.inflated.size();
    const std::size_t blocks = (size + kStoredMax - 1) / kStoredMax;
    slot.idatHeaders.resize(blocks);
    for (std::size_t i = 0; i < blocks; ++i) {
        const std::size_t at = i * kStoredMax, length = std::min(kStoredMax, size - at);
        uint8_t* header = slot.idatHeaders[i].data();
        PutBe32(header, static_cast<uint32_t>(5 + length));
        std::memcpy(header + 4, "IDAT", 4);
        header[8] = i + 1 == blocks ? 1 : 0;
        header[9] = static_cast<uint8_t>(length);
        header[10] = static_cast<uint8_t>(length >> 8);
        header[11] = static_cast<uint8_t>(~length);
        header[12] = static_cast<uint8_t>(~length >> 8);
        pieces.push_back({header, 13});
        pieces.push_back({slot.inflated.data() + at, length});
        pieces.push_back({kNoCrc, sizeof kNoCrc});
    }
    pieces.push_back({kAdlerIdat, sizeof kAdlerIdat});
    pieces.push_back({kIend, sizeof kIend});
}

void CApngPicture::BuildStream(const ApngLayout::Frame& frame, Slot& slot) const {
    BuildStreamHead(frame, slot);
    std::vector<std::span<const uint8_t>>& pieces = slot.pieces;
    // IDAT chunks go as they are in the file. An fdAT chunk's data (after
    // its sequence number) goes between an IDAT header of its own and four
    // bytes that stand for the CRC; the data itself is not copied.
    slot.idatHeaders.resize(frame.chunkCount);
    for (std::size_t i = 0; i < frame.chunkCount; ++i) {
        const ApngLayout::DataChunk& chunk = m_layout.dataChunks[frame.firstChunk + i];
        if (chunk.idat) {
            pieces.push_back({chunk.data - 8, std::size_t{chunk.size} + 12});
            continue;
        }
        uint8_t* header = slot.idatHeaders[i].data();
        PutBe32(header, chunk.size);
        std::memcpy(header + 4, "IDAT", 4);
        pieces.push_back({header, 8});
        pieces.push_back({chunk.data, std::size_t{chunk.size}});
        pieces.push_back({kNoCrc, sizeof kNoCrc});
    }
    pieces.push_back({kIend, sizeof kIend});
}

bool CApngPicture::Decode(const ApngLayout::Frame& frame, Slot& slot) const {
    // The rectangle lies inside the canvas, which is at most kMaxCanvasBytes.
    // One byte more: the composition reads pixels of three bytes as four.
    const std::size_t bytes = std::size_t{frame.width} * frame.height * 4 + 1;
    try {
        slot.pixels.resize(bytes);
        if (Inflate(frame, slot))
            BuildStoredStream(frame, slot);
        else
            BuildStream(frame, slot);
    } catch (const std::bad_alloc&) {
        slot.failure = kNoMemory;
        return false;
    }
    DecodeJob job{};
    job.pieces = slot.pieces.data();
    job.count = slot.pieces.size();
    job.out = slot.pixels.data();
    job.width = frame.width;
    job.height = frame.height;
    PngReader reader;
    reader.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &job, OnError, OnWarning, &job,
                                          Allocate, Free);
    if (reader.png) reader.info = png_create_info_struct(reader.png);
    if (!reader.png || !reader.info) {
        slot.failure = kNoMemory;
        return false;
    }
    if (!RunLibpng(reader.png, reader.info, &job)) {
        slot.failure = job.outOfMemory ? kNoMemory : kRefused;
        return false;
    }
    slot.channels = job.channels;
    return true;
}

bool CApngPicture::ResetCanvas() {
    const std::size_t pixels = std::size_t(m_nWidth) * std::size_t(m_nHeight);
    try {
        m_canvas.resize(pixels * 4);
    } catch (const std::bad_alloc&) {
        m_canvas.clear();
        m_canvas.shrink_to_fit();
        return false;
    }
    ApngLayout::Frame whole;
    whole.width = static_cast<uint32_t>(m_nWidth);
    whole.height = static_cast<uint32_t>(m_nHeight);
    FillBackground(whole);
    return true;
}

void CApngPicture::FillBackground(const ApngLayout::Frame& frame) {
    const uint8_t pixel[4] = {m_background.b, m_background.g, m_background.r, 255};
    const std::size_t stride = std::size_t(m_nWidth) * 4;
    for (uint32_t y = 0; y < frame.height; ++y) {
        uint8_t* row = m_canvas.data() + (frame.y + y) * stride + std::size_t{frame.x} * 4;
        for (uint32_t x = 0; x < frame.width; ++x) std::memcpy(row + 4 * x, pixel, 4);
    }
}

void CApngPicture::SaveRect(const ApngLayout::Frame& frame) {
    const std::size_t stride = std::size_t(m_nWidth) * 4, rowBytes = std::size_t{frame.width} * 4;
    for (uint32_t y = 0; y < frame.height; ++y)
        std::memcpy(m_saving.data() + y * rowBytes,
                    m_canvas.data() + (frame.y + y) * stride + std::size_t{frame.x} * 4, rowBytes);
}

void CApngPicture::RestoreRect(const ApngLayout::Frame& frame) {
    const std::size_t stride = std::size_t(m_nWidth) * 4, rowBytes = std::size_t{frame.width} * 4;
    for (uint32_t y = 0; y < frame.height; ++y)
        std::memcpy(m_canvas.data() + (frame.y + y) * stride + std::size_t{frame.x} * 4,
                    m_saved.data() + y * rowBytes, rowBytes);
}

// The canvas holds what the APNG rules compose in RGBA, put over the
// background: composing with an opaque canvas directly gives the same, since
// Porter-Duff "over" is associative. A frame blended over the canvas,
// F over (K over bg), equals (F over K) over bg; a frame's source pixel
// replaces K, so the canvas gets F over bg; a rectangle disposed to
// background becomes transparent black in RGBA, which is bg over bg. Only
// the rounding to 8 bits at each step can differ, by one.
void CApngPicture::Compose(const ApngLayout::Frame& frame, const Slot& slot) {
    const std::size_t stride = std::size_t(m_nWidth) * 4;
    const std::size_t rowBytes = std::size_t{frame.width} * static_cast<unsigned>(slot.channels);
    const anim::Rgb bg = m_background;
    for (uint32_t y = 0; y < frame.height; ++y) {
        const uint8_t* src = slot.pixels.data() + y * rowBytes;
        uint8_t* dst = m_canvas.data() + (frame.y + y) * stride + std::size_t{frame.x} * 4;
        if (slot.channels == 3) {
            // No alpha: every pixel replaces the canvas's, whatever the blend.
            // Each pixel is read as four bytes (the slot's pixels have one spare byte
            // at its end): R, G, B, x in a little-endian word, byte-swapped
            // and shifted, give B, G, R, 255. Four pixels at a time come
            // from two overlapping 8-byte words (bytes 0-7 and 4-11), which
            // halves the loads and stores of this, the one pass over every
            // pixel of an opaque frame.
            if constexpr (std::endian::native == std::endian::little) {
                uint32_t x = 0;
                for (; x + 4 <= frame.width; x += 4, src += 12, dst += 16) {
                    uint64_t low, high;
                    std::memcpy(&low, src, 8);
                    std::memcpy(&high, src + 4, 8);
                    auto bgra = [](uint64_t rgb) {
                        return uint64_t{__builtin_bswap32(static_cast<uint32_t>(rgb)) >> 8 |
                                        0xFF000000u};
                    };
                    const uint64_t first = bgra(low) | bgra(low >> 24) << 32;
                    const uint64_t second = bgra(high >> 16) | bgra(high >> 40) << 32;
                    std::memcpy(dst, &first, 8);
                    std::memcpy(dst + 8, &second, 8);
                }
                for (; x < frame.width; ++x, src += 3, dst += 4) {
                    uint32_t word;
                    std::memcpy(&word, src, 4);
                    word = __builtin_bswap32(word) >> 8 | 0xFF000000u;
                    std::memcpy(dst, &word, 4);
                }
                continue;
            }
            for (uint32_t x = 0; x < frame.width; ++x, src += 3, dst += 4) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
                dst[3] = 255;
            }
        } else if (frame.blend == 0) {
            for (uint32_t x = 0; x < frame.width; ++x, src += 4, dst += 4) {
                const unsigned a = src[3];
                dst[0] = anim::Over(src[2], a, bg.b);
                dst[1] = anim::Over(src[1], a, bg.g);
                dst[2] = anim::Over(src[0], a, bg.r);
                dst[3] = 255;
            }
        } else {
            for (uint32_t x = 0; x < frame.width; ++x, src += 4, dst += 4) {
                const unsigned a = src[3];
                if (a == 0) continue;
                dst[0] = anim::Over(src[2], a, dst[0]);
                dst[1] = anim::Over(src[1], a, dst[1]);
                dst[2] = anim::Over(src[0], a, dst[2]);
            }
        }
    }
}

bool CApngPicture::NextFrame() {
    const std::size_t index = static_cast<std::size_t>(m_nDone);
    if (index >= m_layout.frames.size()) {
        // Damage after the last good frame: the caller reports how far the
        // conversion came.
        m_failure = m_bDamaged ? kRefused : kEnded;
        return false;
    }
    const ApngLayout::Frame& frame = m_layout.frames[index];
    Slot& slot = m_slots[index % m_slots.size()];
    if (!m_ahead.Get(index, m_layout.frames.size())) {
        m_failure = slot.failure;
        return false;
    }

    // A first frame that disposes to previous leaves the background, as
    // disposing to background does.
    const int dispose = index == 0 && frame.dispose == 2 ? 1 : frame.dispose;
    if (dispose == 2) {
        try {
            m_saving.resize(std::size_t{frame.width} * frame.height * 4);
        } catch (const std::bad_alloc&) {
            m_failure = kNoMemory;
            return false;
        }
    }
    // A frame that replaces every pixel of the canvas (the whole canvas, and
    // no alpha or blended as source) and keeps nothing of it for later needs
    // neither the canvas before it nor the previous frame's disposal: the
    // new canvas is not made a copy of the last, which saves a pass over
    // every pixel of such animations.
    const bool replacesAll = frame.x == 0 && frame.y == 0 && frame.width == m_layout.width &&
                             frame.height == m_layout.height &&
                             (slot.channels == 3 || frame.blend == 0) && dispose != 2;
    // The previous frame's disposal comes first, now that this frame decoded:
    // a frame that fails leaves the canvas as it was. The frame handed out
    // before stays as it is in the other buffer.
    if (!FlipCanvas(index > 0 && !replacesAll)) {
        m_failure = kNoMemory;
        return false;
    }
    if (index == 0) {
        if (!ResetCanvas()) {
            m_failure = kNoMemory;
            return false;
        }
    } else if (!replacesAll) {
        const ApngLayout::Frame& previous = m_layout.frames[index - 1];
        const int previousDispose = index - 1 == 0 && previous.dispose == 2 ? 1 : previous.dispose;
        if (previousDispose == 1) FillBackground(previous);
        if (previousDispose == 2) RestoreRect(previous);
    }
    if (dispose == 2) {
        SaveRect(frame);
        std::swap(m_saved, m_saving);
    }
    Compose(frame, slot);
    ++m_nDone;
    m_failure = kEnded;
    return true;
}

CApngPicture::~CApngPicture() {
    m_ahead.Stop();
}

void CApngPicture::Rewind() {
    m_ahead.Stop();
    m_nDone = 0;
    m_failure = kEnded;
}
