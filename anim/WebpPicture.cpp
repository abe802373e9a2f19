#include "anim/WebpPicture.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>

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
// broken) shortened to the frames before the damage, for the demultiplexer,
// which reads only whole and sound files; empty when not even the
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
    // The first image's header must be readable too, as libwebp's animation
    // decoder asks: the demultiplexer tolerates more.
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(data.bytes, data.size, &features) != VP8_STATUS_OK) return nullptr;

    // The canvas is checked before it is allocated (three times over).
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
    // The frames' bitstreams point into m_bytes, which the picture keeps;
    // the demultiplexer is not needed after this. (A still picture is one
    // frame over the whole canvas.)
    WebPIterator iterator;
    if (WebPDemuxGetFrame(demux.demux, 1, &iterator)) {
        do {
            WebpFrame frame;
            frame.data = iterator.fragment.bytes;
            frame.size = iterator.fragment.size;
            frame.x = iterator.x_offset;
            frame.y = iterator.y_offset;
            frame.width = iterator.width;
            frame.height = iterator.height;
            frame.hasAlpha = iterator.has_alpha != 0;
            frame.blend = iterator.blend_method == WEBP_MUX_BLEND;
            frame.disposeBackground = iterator.dispose_method == WEBP_MUX_DISPOSE_BACKGROUND;
            picture->m_frames.push_back(frame);
            picture->m_durations.push_back(iterator.duration);
        } while (WebPDemuxNextFrame(&iterator));
        WebPDemuxReleaseIterator(&iterator);
    }
    if (picture->m_frames.empty()) return nullptr;

    picture->m_canvas.assign(std::size_t(width) * height * 4, 0);
    return picture;
}

bool CWebpPicture::Decode(const WebpFrame& frame, Slot& slot) {
    try {
        slot.pixels.resize(std::size_t(frame.width) * std::size_t(frame.height) * 4);
    } catch (const std::bad_alloc&) {
        slot.failure = kNoMemory;
        return false;
    }
    // Set as the animation decoder sets its own: colours not premultiplied,
    // into memory given, on the calling thread alone.
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) {
        slot.failure = kRefused;
        return false;
    }
    config.output.colorspace = MODE_BGRA;
    config.output.is_external_memory = 1;
    config.options.use_threads = 0;
    WebPRGBABuffer& out = config.output.u.RGBA;
    out.rgba = slot.pixels.data();
    out.stride = frame.width * 4;
    out.size = slot.pixels.size();
    // Any failure, libwebp's own allocations included, refuses the frame,
    // as the animation decoder did.
    if (WebPDecode(frame.data, frame.size, &config) != VP8_STATUS_OK) {
        slot.failure = kRefused;
        return false;
    }
    return true;
}

bool CWebpPicture::NextFrame() {
    const std::size_t index = std::size_t(m_nDone);
    if (index >= m_frames.size()) {
        // Damage after the last good frame: the caller reports how far the
        // conversion came.
        m_failure = m_bDamaged ? kRefused : kEnded;
        return false;
    }
    Slot& slot = m_slots[index % m_slots.size()];
    const bool decoded = m_ahead.Get(index, m_frames.size());
    if (!decoded) {
        m_failure = slot.failure;
        return false;
    }
    // The canvas with its alpha is made for the first frame, not on opening:
    // a picture may be opened only for its size and durations. The frame
    // handed out before stays as it is in the other buffer.
    if (!m_composed.Allocate(m_nWidth, m_nHeight) || !FlipCanvas(false)) {
        m_failure = kNoMemory;
        return false;
    }
    m_composed.Draw(m_frames[index], slot.pixels.data());
    anim::OverBackground(m_composed.Pixels(), m_canvas.data(), m_canvas.size() / 4, m_background);
    ++m_nDone;
    return true;
}

CWebpPicture::~CWebpPicture() {
    m_ahead.Stop();
}

void CWebpPicture::Rewind() {
    m_ahead.Stop();
    m_composed.Rewind();
    m_nDone = 0;
    m_failure = kEnded;
}
