#include "anim/ApngPicture.h"

#include <png.h>

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// IEND with its CRC.
constexpr uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// Stands for the CRC of a chunk whose header was rewritten: libpng is told
// not to check the CRCs of the frame streams (the file's own were checked
// when its structure was read).
constexpr uint8_t kNoCrc[4] = {0, 0, 0, 0};

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
    // passed its CRC already.
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

void CApngPicture::BuildStream(const ApngLayout::Frame& frame) {
    PutBe32(m_ihdr.data() + 8, frame.width);
    PutBe32(m_ihdr.data() + 12, frame.height);
    m_pieces.clear();
    m_pieces.push_back({kSignature, sizeof kSignature});
    m_pieces.push_back({m_ihdr.data(), m_ihdr.size()});
    if (m_layout.plte) m_pieces.push_back({m_layout.plte, m_layout.plteSize});
    if (m_layout.trns) m_pieces.push_back({m_layout.trns, m_layout.trnsSize});
    // IDAT chunks go as they are in the file. An fdAT chunk's data (after
    // its sequence number) goes between an IDAT header of its own and four
    // bytes that stand for the CRC; the data itself is not copied.
    m_idatHeaders.resize(frame.chunkCount);
    for (std::size_t i = 0; i < frame.chunkCount; ++i) {
        const ApngLayout::DataChunk& chunk = m_layout.dataChunks[frame.firstChunk + i];
        if (chunk.idat) {
            m_pieces.push_back({chunk.data - 8, std::size_t{chunk.size} + 12});
            continue;
        }
        uint8_t* header = m_idatHeaders[i].data();
        PutBe32(header, chunk.size);
        std::memcpy(header + 4, "IDAT", 4);
        m_pieces.push_back({header, 8});
        m_pieces.push_back({chunk.data, std::size_t{chunk.size}});
        m_pieces.push_back({kNoCrc, sizeof kNoCrc});
    }
    m_pieces.push_back({kIend, sizeof kIend});
}

bool CApngPicture::Decode(const ApngLayout::Frame& frame) {
    // The rectangle lies inside the canvas, which is at most kMaxCanvasBytes.
    // One byte more: the composition reads pixels of three bytes as four.
    const std::size_t bytes = std::size_t{frame.width} * frame.height * 4 + 1;
    try {
        m_frame.resize(bytes);
        BuildStream(frame);
    } catch (const std::bad_alloc&) {
        m_failure = kNoMemory;
        return false;
    }
    DecodeJob job{};
    job.pieces = m_pieces.data();
    job.count = m_pieces.size();
    job.out = m_frame.data();
    job.width = frame.width;
    job.height = frame.height;
    PngReader reader;
    reader.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &job, OnError, OnWarning, &job,
                                          Allocate, Free);
    if (reader.png) reader.info = png_create_info_struct(reader.png);
    if (!reader.png || !reader.info) {
        m_failure = kNoMemory;
        return false;
    }
    if (!RunLibpng(reader.png, reader.info, &job)) {
        m_failure = job.outOfMemory ? kNoMemory : kRefused;
        return false;
    }
    m_nChannels = job.channels;
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
void CApngPicture::Compose(const ApngLayout::Frame& frame) {
    const std::size_t stride = std::size_t(m_nWidth) * 4;
    const std::size_t rowBytes = std::size_t{frame.width} * static_cast<unsigned>(m_nChannels);
    const anim::Rgb bg = m_background;
    for (uint32_t y = 0; y < frame.height; ++y) {
        const uint8_t* src = m_frame.data() + y * rowBytes;
        uint8_t* dst = m_canvas.data() + (frame.y + y) * stride + std::size_t{frame.x} * 4;
        if (m_nChannels == 3) {
            // No alpha: every pixel replaces the canvas's, whatever the blend.
            // Each pixel is read as four bytes (m_frame has one spare byte
            // at its end): R, G, B, x in a little-endian word, byte-swapped
            // and shifted, give B, G, R, 255.
            if constexpr (std::endian::native == std::endian::little) {
                for (uint32_t x = 0; x < frame.width; ++x, src += 3, dst += 4) {
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
    if (!Decode(frame)) return false;

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
    // The previous frame's disposal comes first, now that this frame decoded:
    // a frame that fails leaves the canvas as it was.
    if (index == 0) {
        if (!ResetCanvas()) {
            m_failure = kNoMemory;
            return false;
        }
    } else {
        const ApngLayout::Frame& previous = m_layout.frames[index - 1];
        const int previousDispose = index - 1 == 0 && previous.dispose == 2 ? 1 : previous.dispose;
        if (previousDispose == 1) FillBackground(previous);
        if (previousDispose == 2) RestoreRect(previous);
    }
    if (dispose == 2) {
        SaveRect(frame);
        std::swap(m_saved, m_saving);
    }
    Compose(frame);
    ++m_nDone;
    m_failure = kEnded;
    return true;
}

void CApngPicture::Rewind() {
    m_nDone = 0;
    m_failure = kEnded;
}
