// The layout of an AVI file with one video stream, written as frames arrive:
//
//   RIFF 'AVI ' { LIST 'hdrl' { avih, LIST 'strl' { strh, strf, [strn],
//                 JUNK (room for 'indx') }, JUNK (room for LIST 'odml') },
//                 LIST 'movi' { 00db|00dc ... [ix00] }, idx1 }
//   RIFF 'AVIX' { LIST 'movi' { 00db|00dc ..., ix00 } } ...
//
// The header block is written in front of the first frame with the counts
// known then, and rewritten in place (same size) when the file is completed,
// so the reservations turn into 'indx' and LIST 'odml' only when the file
// needed more than one RIFF part. Memory use is one encoded frame plus the
// indexes (16 bytes per frame of the first part, 8 per frame of the current
// part, 16 per part).
#include "avi/OpenDmlFile.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kRIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr DWORD kLIST = mmioFOURCC('L', 'I', 'S', 'T');
constexpr DWORD kAVI = mmioFOURCC('A', 'V', 'I', ' ');
constexpr DWORD kAVIX = mmioFOURCC('A', 'V', 'I', 'X');
constexpr DWORD kHdrl = mmioFOURCC('h', 'd', 'r', 'l');
constexpr DWORD kAvih = mmioFOURCC('a', 'v', 'i', 'h');
constexpr DWORD kStrl = mmioFOURCC('s', 't', 'r', 'l');
constexpr DWORD kStrh = mmioFOURCC('s', 't', 'r', 'h');
constexpr DWORD kStrf = mmioFOURCC('s', 't', 'r', 'f');
constexpr DWORD kStrn = mmioFOURCC('s', 't', 'r', 'n');
constexpr DWORD kJUNK = mmioFOURCC('J', 'U', 'N', 'K');
constexpr DWORD kOdml = mmioFOURCC('o', 'd', 'm', 'l');
constexpr DWORD kDmlh = mmioFOURCC('d', 'm', 'l', 'h');
constexpr DWORD kMovi = mmioFOURCC('m', 'o', 'v', 'i');
constexpr DWORD kIdx1 = mmioFOURCC('i', 'd', 'x', '1');
constexpr DWORD kIndx = mmioFOURCC('i', 'n', 'd', 'x');
constexpr DWORD kIx00 = mmioFOURCC('i', 'x', '0', '0');
constexpr DWORD kChunkRaw = mmioFOURCC('0', '0', 'd', 'b');
constexpr DWORD kChunkCompressed = mmioFOURCC('0', '0', 'd', 'c');
constexpr DWORD AVIF_HASINDEX = 0x10;
constexpr DWORD kNotKeyFrame = 0x80000000; // 'ix00' size bit
constexpr BYTE AVI_INDEX_OF_INDEXES = 0;
constexpr BYTE AVI_INDEX_OF_CHUNKS = 1;

constexpr std::size_t kIndxBytes = 24 + 16 * std::size_t(AVI_MAX_RIFF_PARTS);
constexpr std::size_t kDmlhBytes = 248; // dwGrandFrames and 61 reserved DWORDs
constexpr std::size_t kOdmlBytes = 4 + 8 + kDmlhBytes;
constexpr std::size_t kIx00HeaderBytes = 8 + 24;

DWORD Clamp32(std::uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

WORD Clamp16(LONG value) {
    return static_cast<WORD>(static_cast<std::int16_t>(std::clamp<LONG>(value, -32768, 32767)));
}

} // namespace

bool COpenDmlFile::Create(const char* path, std::uint64_t riffLimit) {
    m_riffLimit = riffLimit;
    return m_out.Create(path);
}

void COpenDmlFile::AddStream(const AVISTREAMINFO& info) {
    m_bHasStream = true;
    m_video.info = info;
    m_video.handler = info.fccHandler;
    m_video.quality = info.dwQuality;
}

HRESULT COpenDmlFile::SetFormat(std::vector<BYTE>&& format, DWORD handler, DWORD quality,
                                bool compressed, std::size_t frameBytes, LONG width, LONG height) {
    const DWORD chunkId = compressed ? kChunkCompressed : kChunkRaw;
    VideoStream& v = m_video;
    if (m_bBegun) {
        bool same =
            v.hasFormat && format == v.format && chunkId == v.chunkId && frameBytes == v.frameBytes;
        return same ? AVIERR_OK : AVIERR_UNSUPPORTED;
    }
    v.format = std::move(format);
    v.hasFormat = true;
    v.handler = handler;
    v.quality = quality;
    v.chunkId = chunkId;
    v.frameBytes = frameBytes;
    v.width = width;
    v.height = height;
    return AVIERR_OK;
}

bool COpenDmlFile::HasVideo() const {
    return m_bHasStream && m_video.hasFormat;
}
bool COpenDmlFile::IsOpenDml() const {
    return !m_super.empty();
}

void COpenDmlFile::PutStreamList(std::vector<BYTE>& out) const {
    using namespace riff;
    const VideoStream& v = m_video;
    const AVISTREAMINFO& info = v.info;
    std::size_t listAt = out.size();
    PutChunkHeader(out, kLIST, 0);
    PutU32(out, kStrl);

    PutChunkHeader(out, kStrh, 56);
    PutU32(out, info.fccType);
    PutU32(out, v.handler);
    PutU32(out, info.dwFlags);
    PutU16(out, info.wPriority);
    PutU16(out, info.wLanguage);
    PutU32(out, info.dwInitialFrames);
    PutU32(out, info.dwScale);
    PutU32(out, info.dwRate);
    PutU32(out, info.dwStart);
    PutU32(out, m_frames);
    PutU32(out, m_frames ? m_maxChunk : info.dwSuggestedBufferSize);
    PutU32(out, v.quality);
    PutU32(out, info.dwSampleSize);
    RECT r = info.rcFrame;
    if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) r = {0, 0, v.width, v.height};
    PutU16(out, Clamp16(r.left));
    PutU16(out, Clamp16(r.top));
    PutU16(out, Clamp16(r.right));
    PutU16(out, Clamp16(r.bottom));

    PutChunkHeader(out, kStrf, DWORD(v.format.size()));
    out.insert(out.end(), v.format.begin(), v.format.end());
    if (v.format.size() & 1) out.push_back(0);

    const void* nul = std::memchr(info.szName, 0, sizeof info.szName);
    std::size_t nameLength =
        nul ? std::size_t(static_cast<const char*>(nul) - info.szName) : sizeof info.szName;
    if (nameLength) {
        std::size_t size = nameLength + 1; // with its terminating zero
        PutChunkHeader(out, kStrn, DWORD(size));
        out.insert(out.end(), info.szName, info.szName + nameLength);
        PutZeros(out, 1 + (size & 1));
    }

    // Super index: one entry per RIFF part, pointing at that part's 'ix00'.
    if (IsOpenDml()) {
        PutChunkHeader(out, kIndx, DWORD(kIndxBytes));
        PutU16(out, 4); // wLongsPerEntry
        out.push_back(0);
        out.push_back(AVI_INDEX_OF_INDEXES);
        PutU32(out, DWORD(m_super.size()));
        PutU32(out, v.chunkId);
        PutZeros(out, 12);
        for (const SuperEntry& e : m_super) {
            PutU64(out, e.offset);
            PutU32(out, e.size);
            PutU32(out, e.frames);
        }
        PutZeros(out, 16 * (AVI_MAX_RIFF_PARTS - m_super.size()));
    } else {
        PutChunkHeader(out, kJUNK, DWORD(kIndxBytes));
        PutZeros(out, kIndxBytes);
    }
    SetU32(out, listAt + 4, DWORD(out.size() - listAt - 8));
}

std::vector<BYTE> COpenDmlFile::BuildHeader() const {
    using namespace riff;
    const VideoStream& v = m_video;
    const AVISTREAMINFO& info = v.info;
    bool video = HasVideo();
    std::vector<BYTE> out;
    out.reserve(1024 + (video ? v.format.size() + kIndxBytes : 0));

    PutChunkHeader(out, kRIFF, 0); // patched below
    PutU32(out, kAVI);
    std::size_t hdrlAt = out.size();
    PutChunkHeader(out, kLIST, 0);
    PutU32(out, kHdrl);

    PutChunkHeader(out, kAvih, 56);
    DWORD usPerFrame = 0, bytesPerSecond = 0;
    if (video) {
        usPerFrame =
            Clamp32((std::uint64_t(1000000) * info.dwScale + info.dwRate / 2) / info.dwRate);
        bytesPerSecond =
            Clamp32((std::uint64_t(m_maxChunk) * info.dwRate + info.dwScale - 1) / info.dwScale);
    }
    PutU32(out, usPerFrame);
    PutU32(out, bytesPerSecond);
    PutU32(out, 0); // dwPaddingGranularity
    PutU32(out, AVIF_HASINDEX);
    PutU32(out, DWORD(m_idx1.size())); // frames of the first part, as OpenDML wants it
    PutU32(out, 0);                    // dwInitialFrames
    PutU32(out, video ? 1 : 0);
    PutU32(out, m_frames ? m_maxChunk : (video ? info.dwSuggestedBufferSize : 0));
    PutU32(out, DWORD(v.width));
    PutU32(out, DWORD(v.height));
    PutZeros(out, 16);

    if (video) {
        PutStreamList(out);
        if (IsOpenDml()) {
            PutChunkHeader(out, kLIST, DWORD(kOdmlBytes));
            PutU32(out, kOdml);
            PutChunkHeader(out, kDmlh, DWORD(kDmlhBytes));
            PutU32(out, m_frames);
            PutZeros(out, kDmlhBytes - 4);
        } else {
            PutChunkHeader(out, kJUNK, DWORD(kOdmlBytes));
            PutZeros(out, kOdmlBytes);
        }
    }
    SetU32(out, hdrlAt + 4, DWORD(out.size() - hdrlAt - 8));

    std::size_t moviAt = out.size();
    std::uint64_t moviEnd =
        m_firstMoviEnd ? m_firstMoviEnd : std::max<std::uint64_t>(m_end, moviAt + 12);
    std::uint64_t riffEnd = m_firstRiffEnd ? m_firstRiffEnd : moviEnd;
    PutChunkHeader(out, kLIST, DWORD(moviEnd - moviAt - 8));
    PutU32(out, kMovi);
    SetU32(out, 4, DWORD(riffEnd - 8));
    return out;
}

HRESULT COpenDmlFile::Fail(HRESULT error) {
    if (m_hrFailure == AVIERR_OK) m_hrFailure = error;
    return error;
}

bool COpenDmlFile::Begin() {
    std::vector<BYTE> header = BuildHeader();
    if (!m_out.WriteAt(0, header.data(), header.size())) return false;
    m_bBegun = true;
    m_partStart = 0;
    m_moviStart = header.size() - 12;
    m_end = header.size();
    m_bPartOpen = true;
    return true;
}

// Ends the current part: its 'ix00' closes the 'movi' list (the first part
// also gets its 'idx1'), and an 'AVIX' part gets its sizes.
bool COpenDmlFile::ClosePart() {
    using namespace riff;
    bool first = m_super.empty();
    std::vector<BYTE> buf;
    buf.reserve(kIx00HeaderBytes + 8 * m_ix.size() + (first ? 8 + 16 * m_idx1.size() : 0));
    PutChunkHeader(buf, kIx00, DWORD(24 + 8 * m_ix.size()));
    PutU16(buf, 2); // wLongsPerEntry
    buf.push_back(0);
    buf.push_back(AVI_INDEX_OF_CHUNKS);
    PutU32(buf, DWORD(m_ix.size()));
    PutU32(buf, m_video.chunkId);
    PutU64(buf, m_moviStart); // qwBaseOffset
    PutU32(buf, 0);
    for (const StdEntry& e : m_ix) {
        PutU32(buf, e.offset);
        PutU32(buf, e.size);
    }
    std::size_t ixBytes = buf.size();
    if (first) {
        PutChunkHeader(buf, kIdx1, DWORD(16 * m_idx1.size()));
        for (const Idx1Entry& e : m_idx1) {
            PutU32(buf, m_video.chunkId);
            PutU32(buf, e.key ? AVIIF_KEYFRAME : 0);
            PutU32(buf, e.offset);
            PutU32(buf, e.size);
        }
    }
    if (!m_out.WriteAt(m_end, buf.data(), buf.size())) return false;
    std::uint64_t moviEnd = m_end + ixBytes;
    std::uint64_t partEnd = m_end + buf.size();
    if (first) {
        m_firstMoviEnd = moviEnd;
        m_firstRiffEnd = partEnd;
    } else {
        std::vector<BYTE> sizes;
        PutChunkHeader(sizes, kRIFF, DWORD(partEnd - m_partStart - 8));
        PutU32(sizes, kAVIX);
        PutChunkHeader(sizes, kLIST, DWORD(moviEnd - m_moviStart - 8));
        PutU32(sizes, kMovi);
        if (!m_out.WriteAt(m_partStart, sizes.data(), sizes.size())) return false;
    }
    m_super.push_back({m_end, DWORD(ixBytes), DWORD(m_ix.size())});
    m_ix.clear();
    m_end = partEnd;
    m_bPartOpen = false;
    return true;
}

HRESULT COpenDmlFile::WriteFrame(const BYTE* data, std::size_t size, bool key) {
    if (m_hrFailure != AVIERR_OK) return m_hrFailure;
    if (size > 0x7FFFFFFF) return AVIERR_BADPARAM; // 'ix00' keeps a flag in the top bit
    if (m_frames == 0xFFFFFFFF) return AVIERR_UNSUPPORTED;
    if (!m_bBegun && !Begin()) return Fail();

    std::uint64_t chunk = 8 + size + (size & 1);
    // The part as it would be closed with this frame in it: indexes included.
    std::uint64_t projected =
        m_end - m_partStart + chunk + kIx00HeaderBytes + 8 * (m_ix.size() + 1);
    if (m_super.empty()) projected += 8 + 16 * (m_idx1.size() + 1);
    bool newPart = !m_bPartOpen || (!m_ix.empty() && projected > m_riffLimit);
    if (newPart) {
        if (m_super.size() + (m_bPartOpen ? 1 : 0) >= AVI_MAX_RIFF_PARTS) return AVIERR_UNSUPPORTED;
        if (m_bPartOpen && !ClosePart()) return Fail();
    }

    std::vector<BYTE> head;
    if (newPart) {
        riff::PutChunkHeader(head, kRIFF, 0); // sizes follow when the part is closed
        riff::PutU32(head, kAVIX);
        riff::PutChunkHeader(head, kLIST, 0);
        riff::PutU32(head, kMovi);
    }
    riff::PutChunkHeader(head, m_video.chunkId, DWORD(size));
    static const BYTE kPad = 0;
    CRiffWriter::Piece pieces[] = {{head.data(), head.size()}, {data, size}, {&kPad, size & 1}};
    if (!m_out.WriteAt(m_end, pieces, 3)) return Fail();

    if (newPart) {
        m_partStart = m_end;
        m_moviStart = m_end + 12;
        m_bPartOpen = true;
    }
    std::uint64_t chunkAt = m_end + head.size() - 8;
    if (m_super.empty()) m_idx1.push_back({DWORD(chunkAt - (m_moviStart + 8)), DWORD(size), key});
    m_ix.push_back({DWORD(chunkAt + 8 - m_moviStart), DWORD(size) | (key ? 0 : kNotKeyFrame)});
    m_end = chunkAt + chunk;
    ++m_frames;
    m_maxChunk = std::max(m_maxChunk, DWORD(size));
    return AVIERR_OK;
}

HRESULT COpenDmlFile::Complete() {
    HRESULT result = m_hrFailure;
    bool ok = m_bBegun || Begin();
    if (ok) {
        if (IsOpenDml()) {
            if (m_bPartOpen) ok = ClosePart();
        } else {
            std::vector<BYTE> buf;
            riff::PutChunkHeader(buf, kIdx1, DWORD(16 * m_idx1.size()));
            for (const Idx1Entry& e : m_idx1) {
                riff::PutU32(buf, m_video.chunkId);
                riff::PutU32(buf, e.key ? AVIIF_KEYFRAME : 0);
                riff::PutU32(buf, e.offset);
                riff::PutU32(buf, e.size);
            }
            ok = m_out.WriteAt(m_end, buf.data(), buf.size());
            if (ok) {
                m_firstMoviEnd = m_end;
                m_end += buf.size();
                m_firstRiffEnd = m_end;
            }
        }
    }
    if (ok) {
        std::vector<BYTE> header = BuildHeader();
        ok = m_out.WriteAt(0, header.data(), header.size());
    }
    if (!ok && result == AVIERR_OK) result = AVIERR_FILEWRITE;
    // Drop whatever a failed write left past the last complete piece.
    if (m_hrFailure != AVIERR_OK && ok && !m_out.Truncate(m_end)) result = AVIERR_FILEWRITE;
    if (!m_out.Close() && result == AVIERR_OK) result = AVIERR_FILEWRITE;
    return result;
}
