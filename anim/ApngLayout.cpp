#include "anim/ApngLayout.h"

#include <libdeflate.h>

#include <cstring>
#include <optional>

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

constexpr uint32_t ChunkType(const char (&name)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

constexpr uint32_t kIHDR = ChunkType("IHDR"), kPLTE = ChunkType("PLTE"), kTRNS = ChunkType("tRNS"),
                   kBKGD = ChunkType("bKGD"), kIDAT = ChunkType("IDAT"), kIEND = ChunkType("IEND"),
                   kACTL = ChunkType("acTL"), kFCTL = ChunkType("fcTL"), kFDAT = ChunkType("fdAT");

uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

unsigned Be16(const uint8_t* p) {
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

// A chunk that lies whole inside the data: `start` is its length field.
struct Chunk {
    const uint8_t* start;
    uint32_t length;
    uint32_t type;
    const uint8_t* data() const { return start + 8; }
    std::size_t size() const { return 12 + std::size_t{length}; }
    // The CRC covers the type and the data. libdeflate's CRC-32 is the
    // same function as zlib's, several times faster: every byte of the file
    // passes through it before the first frame is decoded.
    bool CrcMatches() const {
        return libdeflate_crc32(0, start + 4, std::size_t{length} + 4) == Be32(data() + length);
    }
};

// The bit depths PNG allows for each colour type.
bool ValidDepth(unsigned colorType, unsigned depth) {
    switch (colorType) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

// A bKGD sample made 8 bits: 16-bit samples keep their high byte (as the
// frames' pixels do), samples of fewer bits are scaled to 0..255. Empty when
// the value lies outside the bit depth's range.
std::optional<uint8_t> BackgroundSample(unsigned value, unsigned depth) {
    if (depth == 16) return static_cast<uint8_t>(value >> 8);
    const unsigned max = (1u << depth) - 1;
    if (value > max) return std::nullopt;
    return static_cast<uint8_t>(value * 255 / max);
}

// The walk over the chunks after IHDR. Frames are kept in the layout as they
// complete; `open` is the frame whose fcTL was read last and whose data
// chunks are still being collected.
class ChunkWalk {
public:
    ChunkWalk(ApngLayout& layout, const uint8_t* bytes, std::size_t size)
        : m_layout(layout), m_bytes(bytes), m_size(size) {}

    void Run();
    // The bKGD chunk met before the image data, if any.
    const std::optional<Chunk>& Background() const { return m_bkgd; }

private:
    struct OpenFrame {
        ApngLayout::Frame frame;
        bool fromIdat = false;
        bool hasData = false;
    };

    // The open frame's data are complete: keep it. True while more frames
    // may follow.
    bool Commit();
    // Damage ends the walk. An open frame that has data is kept unless the
    // damaged chunk could be one of its own (a cut may have taken the rest of
    // its data, which the decoder would then miss).
    void Damage(bool chunkOfOpenFrame);
    void AddData(const Chunk& chunk, bool idat);
    // An fcTL read in full: false on damage.
    bool OpenFrameControl(const Chunk& chunk);

    ApngLayout& m_layout;
    const uint8_t* m_bytes;
    std::size_t m_size;
    std::optional<OpenFrame> m_open;
    bool m_bSeenIdat = false;
    bool m_bIdatEnded = false;
    bool m_bSeenActl = false;
    uint32_t m_nFramesAnnounced = 0; // acTL's num_frames; 0 for a still PNG
    uint32_t m_nSequence = 0;        // the next fcTL or fdAT sequence number
    std::optional<Chunk> m_bkgd;
};

bool ChunkWalk::Commit() {
    m_layout.frames.push_back(m_open->frame);
    m_open.reset();
    // A still PNG has its one frame; frames past acTL's count are ignored.
    return m_nFramesAnnounced != 0 && m_layout.frames.size() < m_nFramesAnnounced;
}

void ChunkWalk::Damage(bool chunkOfOpenFrame) {
    if (m_open && m_open->hasData && !chunkOfOpenFrame) Commit();
    m_open.reset();
    m_layout.damaged = true;
}

void ChunkWalk::AddData(const Chunk& chunk, bool idat) {
    ApngLayout::Frame& frame = m_open->frame;
    if (!m_open->hasData) frame.firstChunk = m_layout.dataChunks.size();
    m_open->hasData = true;
    if (idat)
        m_layout.dataChunks.push_back({chunk.data(), chunk.length, true});
    else // fdAT: the data after the sequence number
        m_layout.dataChunks.push_back({chunk.data() + 4, chunk.length - 4, false});
    ++frame.chunkCount;
}

bool ChunkWalk::OpenFrameControl(const Chunk& chunk) {
    // fcTL: sequence number, width, height, x and y offsets, delay
    // numerator and denominator (16 bits each), dispose op, blend op.
    if (chunk.length != 26 || !chunk.CrcMatches()) return false;
    const uint8_t* p = chunk.data();
    if (Be32(p) != m_nSequence) return false;
    ApngLayout::Frame frame;
    frame.width = Be32(p + 4);
    frame.height = Be32(p + 8);
    frame.x = Be32(p + 12);
    frame.y = Be32(p + 16);
    const unsigned delayNum = Be16(p + 20), delayDen = Be16(p + 22);
    frame.dispose = p[24];
    frame.blend = p[25];
    // Sums in 64 bits: an offset near 2^32 must not wrap into the canvas.
    if (frame.width == 0 || frame.height == 0 || uint64_t{frame.x} + frame.width > m_layout.width ||
        uint64_t{frame.y} + frame.height > m_layout.height || frame.dispose > 2 || frame.blend > 1)
        return false;
    // The frame whose fcTL comes before IDAT is the IDAT image, so it must be
    // the whole canvas.
    const bool fromIdat = !m_bSeenIdat;
    if (fromIdat && (frame.x != 0 || frame.y != 0 || frame.width != m_layout.width ||
                     frame.height != m_layout.height))
        return false;
    // delay_num / delay_den seconds, to the nearest millisecond; a zero
    // denominator means hundredths.
    const unsigned den = delayDen == 0 ? 100 : delayDen;
    frame.duration = static_cast<int>((delayNum * 1000u + den / 2) / den);
    ++m_nSequence;
    m_open = OpenFrame{frame, fromIdat, false};
    return true;
}

void ChunkWalk::Run() {
    std::size_t at = 8 + 25; // after the signature and IHDR
    for (;;) {
        const std::size_t left = m_size - at;
        if (left == 0) break; // no IEND: what was read in full still counts
        if (left < 8) {
            Damage(false);
            return;
        }
        const Chunk chunk{m_bytes + at, Be32(m_bytes + at), Be32(m_bytes + at + 4)};
        const bool dataOfOpen = m_open && chunk.type == (m_open->fromIdat ? kIDAT : kFDAT);
        // PNG caps chunk lengths at 2^31 - 1.
        if (chunk.length > 0x7FFFFFFF || chunk.length > left - 8 || left - 8 - chunk.length < 4) {
            Damage(dataOfOpen);
            return;
        }
        at += chunk.size();
        if (chunk.type != kIDAT && m_bSeenIdat) m_bIdatEnded = true;

        if (chunk.type == kIEND) break;
        // A still PNG's one frame is its IDAT run.
        if (m_nFramesAnnounced == 0 && m_bIdatEnded) break;

        if (chunk.type == kIDAT) {
            // A second run of IDAT chunks is no part of the image.
            if (m_bIdatEnded) continue;
            const bool first = !m_bSeenIdat;
            m_bSeenIdat = true;
            if (m_nFramesAnnounced == 0 && first) {
                ApngLayout::Frame whole;
                whole.width = m_layout.width;
                whole.height = m_layout.height;
                m_open = OpenFrame{whole, true, false};
            }
            // IDAT without an fcTL before it is the default image, which the
            // animation does not show.
            if (!m_open) continue;
            if (!chunk.CrcMatches()) {
                Damage(true);
                return;
            }
            AddData(chunk, true);
        } else if (chunk.type == kFCTL && m_nFramesAnnounced != 0) {
            if (m_open) {
                if (!m_open->hasData) { // a frame of no data
                    Damage(false);
                    return;
                }
                if (!Commit()) return;
            }
            if (!OpenFrameControl(chunk)) {
                Damage(false);
                return;
            }
        } else if (chunk.type == kFDAT && m_nFramesAnnounced != 0) {
            if (chunk.length < 4 || !chunk.CrcMatches() || Be32(chunk.data()) != m_nSequence ||
                !m_open || m_open->fromIdat) {
                Damage(true);
                return;
            }
            ++m_nSequence;
            AddData(chunk, false);
        } else if (!m_bSeenIdat) {
            // The chunks that matter before the image data. Ancillary chunks
            // with a bad CRC are dropped, as PNG decoders do by default.
            if (chunk.type == kPLTE && m_layout.colorType == 3 && !m_layout.plte) {
                // A palette the decoder would refuse ends every frame there.
                if (!chunk.CrcMatches()) {
                    Damage(false);
                    return;
                }
                m_layout.plte = chunk.start;
                m_layout.plteSize = chunk.size();
            } else if (chunk.type == kTRNS && !m_layout.trns && chunk.CrcMatches()) {
                // A tRNS of the wrong size for its colour type is ignored
                // (libpng warns and drops it).
                const unsigned type = m_layout.colorType;
                if ((type == 0 && chunk.length == 2) || (type == 2 && chunk.length == 6) ||
                    (type == 3 && chunk.length >= 1 && chunk.length <= 256)) {
                    m_layout.trns = chunk.start;
                    m_layout.trnsSize = chunk.size();
                }
            } else if (chunk.type == kBKGD && !m_bkgd && chunk.CrcMatches()) {
                m_bkgd = chunk;
            } else if (chunk.type == kACTL && !m_bSeenActl && chunk.length == 8 &&
                       chunk.CrcMatches()) {
                // acTL: num_frames, num_plays. An animation of no frames is
                // no animation: the file reads as a still PNG.
                m_bSeenActl = true;
                m_nFramesAnnounced = Be32(chunk.data());
            }
        }
    }
    // The end of the data or IEND.
    if (m_open) {
        if (!m_open->hasData) {
            Damage(false);
            return;
        }
        Commit();
    }
    if (m_layout.frames.size() < m_nFramesAnnounced) m_layout.damaged = true;
}

} // namespace

bool ApngLayout::Read(const uint8_t* bytes, std::size_t size, long long maxCanvasBytes) {
    *this = ApngLayout{};
    // The signature, then IHDR: width, height, bit depth, colour type,
    // compression, filter and interlace methods.
    if (size < 8 + 25 || std::memcmp(bytes, kSignature, 8) != 0) return false;
    const Chunk ihdr{bytes + 8, Be32(bytes + 8), Be32(bytes + 12)};
    if (ihdr.length != 13 || ihdr.type != kIHDR || !ihdr.CrcMatches()) return false;
    const uint8_t* p = ihdr.data();
    width = Be32(p);
    height = Be32(p + 4);
    bitDepth = p[8];
    colorType = p[9];
    interlace = p[12];
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF ||
        !ValidDepth(colorType, bitDepth) || p[10] != 0 || p[11] != 0 || interlace > 1)
        return false;
    // Both below 2^31: the product cannot overflow 64 bits.
    if (uint64_t{width} * height > static_cast<uint64_t>(maxCanvasBytes / 4)) return false;

    ChunkWalk walk(*this, bytes, size);
    walk.Run();
    // A palette image cannot be decoded without its palette.
    if (colorType == 3 && !plte) frames.clear();
    if (frames.empty()) return false;

    if (walk.Background()) {
        // bKGD: a palette index, a gray sample or red, green and blue
        // samples, each sample in two bytes.
        const Chunk& chunk = *walk.Background();
        const uint8_t* d = chunk.data();
        if (colorType == 3 && chunk.length == 1) {
            if (d[0] < (plteSize - 12) / 3) {
                const uint8_t* entry = plte + 8 + 3 * d[0];
                background = {entry[0], entry[1], entry[2]};
            }
        } else if ((colorType == 0 || colorType == 4) && chunk.length == 2) {
            if (const auto gray = BackgroundSample(Be16(d), bitDepth))
                background = {*gray, *gray, *gray};
        } else if ((colorType == 2 || colorType == 6) && chunk.length == 6) {
            const auto r = BackgroundSample(Be16(d), bitDepth);
            const auto g = BackgroundSample(Be16(d + 2), bitDepth);
            const auto b = BackgroundSample(Be16(d + 4), bitDepth);
            if (r && g && b) background = {*r, *g, *b};
        }
    }
    return true;
}
