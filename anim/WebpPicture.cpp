#include "anim/WebpPicture.h"

#include <webp/decode.h>
#include <webp/demux.h>

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

// The bytes of a WebP file cut short, shortened to its frames that arrived
// whole, its RIFF size made to agree; empty when not even one frame did.
// The animation decoder reads only whole files.
std::vector<uint8_t> WholeFrames(const std::vector<uint8_t>& bytes) {
    const WebPData data{bytes.data(), bytes.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    Demuxer partial{WebPDemuxPartial(&data, &state)};
    if (!partial.demux || state < WEBP_DEMUX_PARSED_HEADER) return {};
    // A frame's chunk ends where its image data ends, padded to an even size.
    std::size_t end = 0;
    WebPIterator frame;
    if (WebPDemuxGetFrame(partial.demux, 1, &frame)) {
        do {
            if (!frame.complete) break;
            end = std::size_t(frame.fragment.bytes - bytes.data()) + frame.fragment.size;
            end += end & 1;
        } while (WebPDemuxNextFrame(&frame));
        WebPDemuxReleaseIterator(&frame);
    }
    if (end == 0 || end > bytes.size() || end < 12) return {};
    std::vector<uint8_t> whole(bytes.begin(), bytes.begin() + std::ptrdiff_t(end));
    const uint32_t riffSize = uint32_t(end - 8);
    for (int i = 0; i < 4; ++i) whole[4 + i] = uint8_t(riffSize >> (8 * i));
    return whole;
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
            bytes = WholeFrames(bytes);
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
    std::memcpy(m_canvas.data(), pixels, m_canvas.size());
    anim::OverBackground(m_canvas.data(), m_canvas.size() / 4, m_background);
    ++m_nDone;
    return true;
}

void CWebpPicture::Rewind() {
    WebPAnimDecoderReset(m_pDecoder);
    m_nDone = 0;
    m_failure = kEnded;
}
