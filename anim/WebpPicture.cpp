#include "anim/WebpPicture.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Owns a demultiplexer.
struct Demuxer {
    WebPDemuxer* demux = nullptr;
    ~Demuxer() { WebPDemuxDelete(demux); }
};

uint32_t ReadLe32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The first `end` bytes of a WebP file, its RIFF size made to agree.
std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, std::size_t end) {
    std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + std::ptrdiff_t(end));
    const uint32_t riffSize = uint32_t(end - 8);
    for (int i = 0; i < 4; ++i) prefix[4 + i] = uint8_t(riffSize >> (8 * i));
    return prefix;
}

bool Demuxes(const std::vector<uint8_t>& bytes) {
    const WebPData data{bytes.data(), bytes.size()};
    return Demuxer{WebPDemux(&data)}.demux != nullptr;
}

// A damaged WebP file (cut short, or a frame whose chunk or image header is
// broken) shortened to the frames before the damage, for the animation
// decoder, which reads only whole and sound files; empty when not even the
// first frame is sound. The file is cut after one of its chunks: once the
// chunks up to the first frame are in, a longer cut is sound only while no
// damaged chunk is in it, so the longest sound cut is found by halving.
std::vector<uint8_t> SoundFrames(const std::vector<uint8_t>& bytes) {
    std::vector<std::size_t> ends; // after each whole chunk, padded to an even size
    std::size_t first = SIZE_MAX;  // the index of the first image or frame chunk
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const uint64_t end = at + 8 + uint64_t{ReadLe32(&bytes[at + 4])};
        if (end + (end & 1) > bytes.size() && end != bytes.size()) break;
        const char* id = reinterpret_cast<const char*>(&bytes[at]);
        if (first == SIZE_MAX &&
            (std::memcmp(id, "ANMF", 4) == 0 || std::memcmp(id, "VP8 ", 4) == 0 ||
             std::memcmp(id, "VP8L", 4) == 0))
            first = ends.size();
        at = std::size_t(end + (end & 1));
        ends.push_back(std::min(at, bytes.size()));
    }
    if (first == SIZE_MAX || !Demuxes(Prefix(bytes, ends[first]))) return {};
    std::size_t sound = first, broken = ends.size();
    while (broken - sound > 1) {
        const std::size_t middle = sound + (broken - sound) / 2;
        (Demuxes(Prefix(bytes, ends[middle])) ? sound : broken) = middle;
    }
    return Prefix(bytes, ends[sound]);
}

} // namespace

std::unique_ptr<CWebpPicture> CWebpPicture::Open(std::vector<uint8_t> bytes) {
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WEBP", 4) != 0)
        return nullptr;
    std::unique_ptr<CWebpPicture> picture(new CWebpPicture);
    // Bytes past the RIFF chunk (some writers pad files) are not the picture's.
    const uint64_t riffEnd = uint64_t{ReadLe32(bytes.data() + 4)} + 8;
    if ((riffEnd & 1) == 0 && riffEnd >= 12 && riffEnd < bytes.size()) bytes.resize(riffEnd);
    {
        const WebPData data{bytes.data(), bytes.size()};
        Demuxer whole{WebPDemux(&data)};
        if (!whole.demux) {
            bytes = SoundFrames(bytes);
            if (bytes.empty()) return nullptr;
            picture->m_bDamaged = true;
        }
    }
    picture->m_bytes = std::move(bytes);
    const WebPData data{picture->m_bytes.data(), picture->m_bytes.size()};
    Demuxer demux{WebPDemux(&data)};
    if (!demux.demux) return nullptr;

    // The canvas is checked before the decoder allocates it (twice over).
    const uint32_t width = WebPDemuxGetI(demux.demux, WEBP_FF_CANVAS_WIDTH);
    const uint32_t height = WebPDemuxGetI(demux.demux, WEBP_FF_CANVAS_HEIGHT);
    if (width == 0 || height == 0 || 4ULL * width * height > uint64_t(kMaxCanvasBytes))
        return nullptr;
    picture->m_nWidth = int(width);
    picture->m_nHeight = int(height);
    if (WebPDemuxGetI(demux.demux, WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) {
        // Stored as blue, green, red, alpha; the alpha is not used: the
        // background is opaque.
        const uint32_t colour = WebPDemuxGetI(demux.demux, WEBP_FF_BACKGROUND_COLOR);
        picture->m_background = {uint8_t(colour >> 16), uint8_t(colour >> 8), uint8_t(colour)};
    }
    WebPIterator frame;
    if (WebPDemuxGetFrame(demux.demux, 1, &frame)) {
        do picture->m_durations.push_back(frame.duration);
        while (WebPDemuxNextFrame(&frame));
        WebPDemuxReleaseIterator(&frame);
    }
    if (picture->m_durations.empty()) return nullptr;

    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) return nullptr;
    options.color_mode = MODE_BGRA;
    // libwebp's own worker thread does not pay here: the conversion already
    // decodes on a thread of its own beside the one that writes.
    options.use_threads = 0;
    picture->m_pDecoder = WebPAnimDecoderNew(&data, &options);
    if (!picture->m_pDecoder) return nullptr;
    picture->m_canvas.assign(std::size_t(width) * height * 4, 0);
    return picture;
}

CWebpPicture::~CWebpPicture() {
    WebPAnimDecoderDelete(m_pDecoder);
}

bool CWebpPicture::NextFrame() {
    if (m_nDone >= int(m_durations.size()) || !WebPAnimDecoderHasMoreFrames(m_pDecoder)) {
        m_failure = m_bDamaged ? kRefused : kEnded;
        return false;
    }
    uint8_t* pixels = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(m_pDecoder, &pixels, &timestamp)) {
        m_failure = kRefused;
        return false;
    }
    if (!FlipCanvas(false)) {
        m_failure = kNoMemory;
        return false;
    }
    anim::OverBackground(pixels, m_canvas.data(), m_canvas.size() / 4, m_background);
    ++m_nDone;
    return true;
}

void CWebpPicture::Rewind() {
    WebPAnimDecoderReset(m_pDecoder);
    m_nDone = 0;
    m_failure = kEnded;
}
