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
// indexes: 8 bytes per frame of the current part, the 'ix00' entries as
// written, from which the first part's 'idx1' is made too; 16 per part for
// 'indx'; and a buffer of kStageBytes while indexes are written.
#include "avi/OpenDmlFile.h"

#include <algorithm>
#include <cstring>
#include <span>

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
constexpr std::size_t kIx00EntryBytes = 8;
constexpr std::size_t kIdx1EntryBytes = 16;
// 'ix00' entries per block: 32 KiB.
constexpr std::size_t kBlockEntries = 4096;
// Indexes go to the disk in writes of at most this much (one write for the
// indexes of files up to a few thousand frames).
constexpr std::size_t kStageBytes = 64 * 1024;

// Bytes gathered in a buffer of bounded size and written front to back.
class StagedWriter {
public:
    StagedWriter(CRiffWriter& out, std::uint64_t at) : out_(out), at_(at) {
        bytes_.reserve(kStageBytes);
    }
    // The buffer to append to, with room for `size` more bytes (at most
    // kStageBytes); FALSE when writing out what it held failed.
    bool Room(std::size_t size) { return bytes_.size() + size <= kStageBytes || Flush(); }
    std::vector<BYTE>& Bytes() { return bytes_; }
    bool Flush() {
        if (bytes_.empty()) return true;
        if (!out_.WriteAt(at_, bytes_.data(), bytes_.size())) return false;
        at_ += bytes_.size();
        bytes_.clear();
        return true;
    }

private:
    CRiffWriter& out_;
    std::uint64_t at_;
    std::vector<BYTE> bytes_;
};

DWORD Clamp32(std::uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

WORD Clamp16(LONG value) {
    return static_cast<WORD>(static_cast<std::int16_t>(std::clamp<LONG>(value, -32768, 32767)));
}

} // namespace

void COpenDmlFile::ChunkEntries::Push(DWORD offset, DWORD size) {
    const std::size_t at = m_size % kBlockEntries;
    if (at == 0 && m_size / kBlockEntries == m_blocks.size())
        m_blocks.push_back(std::make_unique<BYTE[]>(kBlockEntries * kIx00EntryBytes));
    BYTE* entry = m_blocks[m_size / kBlockEntries].get() + at * kIx00EntryBytes;
    for (int i = 0; i < 4; ++i) {
        entry[i] = static_cast<BYTE>(offset >> (8 * i));
        entry[4 + i] = static_cast<BYTE>(size >> (8 * i));
    }
    ++m_size;
}

DWORD COpenDmlFile::ChunkEntries::Field(std::size_t i, std::size_t at) const {
    const BYTE* p = Bytes(i) + at;
    return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}

const BYTE* COpenDmlFile::ChunkEntries::Bytes(std::size_t first) const {
    return m_blocks[first / kBlockEntries].get() + first % kBlockEntries * kIx00EntryBytes;
}

std::size_t COpenDmlFile::ChunkEntries::ContiguousFrom(std::size_t first) const {
    return std::min(m_size - first, kBlockEntries - first % kBlockEntries);
}

void COpenDmlFile::ChunkEntries::Clear() {
    m_blocks.clear();
    m_blocks.shrink_to_fit();
    m_size = 0;
}

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
    PutU32(out, FirstPartFrames()); // frames of the first part, as OpenDML wants it
    PutU32(out, 0);                 // dwInitialFrames
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

DWORD COpenDmlFile::FirstPartFrames() const {
    return m_super.empty() ? DWORD(m_ix.Size()) : m_super.front().frames;
}

bool COpenDmlFile::WriteIndexes(bool chunkIndex, bool idx1, std::uint64_t& ixBytes,
                                std::uint64_t& total) {
    using namespace riff;
    const std::size_t count = m_ix.Size();
    StagedWriter out(m_out, m_end);
    std::vector<BYTE>& bytes = out.Bytes();
    ixBytes = 0;
    if (chunkIndex) {
        PutChunkHeader(bytes, kIx00, DWORD(24 + kIx00EntryBytes * count));
        PutU16(bytes, 2); // wLongsPerEntry
        bytes.push_back(0);
        bytes.push_back(AVI_INDEX_OF_CHUNKS);
        PutU32(bytes, DWORD(count));
        PutU32(bytes, m_video.chunkId);
        PutU64(bytes, m_moviStart); // qwBaseOffset
        PutU32(bytes, 0);
        for (std::size_t i = 0; i < count;) {
            const std::size_t run = std::min(m_ix.ContiguousFrom(i), kStageBytes / kIx00EntryBytes);
            if (!out.Room(run * kIx00EntryBytes)) return false;
            const BYTE* entries = m_ix.Bytes(i);
            bytes.insert(bytes.end(), entries, entries + run * kIx00EntryBytes);
            i += run;
        }
        ixBytes = kIx00HeaderBytes + kIx00EntryBytes * count;
    }
    total = ixBytes;
    if (idx1) {
        if (!out.Room(8)) return false;
        PutChunkHeader(bytes, kIdx1, DWORD(kIdx1EntryBytes * count));
        for (std::size_t i = 0; i < count; ++i) {
            if (!out.Room(kIdx1EntryBytes)) return false;
            // The same frame's 'ix00' entry counts from the 'movi' LIST
            // header to the data; 'idx1' from the 'movi' code to the chunk
            // header, 16 bytes less.
            const DWORD size = m_ix.SizeField(i);
            PutU32(bytes, m_video.chunkId);
            PutU32(bytes, size & kNotKeyFrame ? 0 : AVIIF_KEYFRAME);
            PutU32(bytes, m_ix.Offset(i) - 16);
            PutU32(bytes, size & ~kNotKeyFrame);
        }
        total += 8 + kIdx1EntryBytes * count;
    }
    return out.Flush();
}

// Ends the current part: its 'ix00' closes the 'movi' list (the first part
// also gets its 'idx1'), and an 'AVIX' part gets its sizes.
bool COpenDmlFile::ClosePart() {
    using namespace riff;
    const bool first = m_super.empty();
    std::uint64_t ixBytes = 0, indexBytes = 0;
    if (!WriteIndexes(true, first, ixBytes, indexBytes)) return false;
    std::uint64_t moviEnd = m_end + ixBytes;
    std::uint64_t partEnd = m_end + indexBytes;
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
    m_super.push_back({m_end, DWORD(ixBytes), DWORD(m_ix.Size())});
    m_ix.Clear();
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
        m_end - m_partStart + chunk + kIx00HeaderBytes + kIx00EntryBytes * (m_ix.Size() + 1);
    if (m_super.empty()) projected += 8 + kIdx1EntryBytes * (m_ix.Size() + 1);
    bool newPart = !m_bPartOpen || (m_ix.Size() != 0 && projected > m_riffLimit);
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
    m_ix.Push(DWORD(chunkAt + 8 - m_moviStart), DWORD(size) | (key ? 0 : kNotKeyFrame));
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
            std::uint64_t ixBytes = 0, indexBytes = 0;
            ok = WriteIndexes(false, true, ixBytes, indexBytes);
            if (ok) {
                m_firstMoviEnd = m_end;
                m_end += indexBytes;
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

std::uint64_t COpenDmlFile::PlannedSize(std::size_t formatBytes, const AviFrameRun* runs,
                                        std::size_t runCount, std::uint64_t riffLimit) {
    // The header block is the one BuildHeader makes for such a stream (its
    // size does not depend on the counts in it).
    COpenDmlFile file;
    AVISTREAMINFO info{};
    info.dwRate = info.dwScale = 1;
    file.AddStream(info);
    file.SetFormat(std::vector<BYTE>(formatBytes), 0, 0, true, 0, 1, 1);
    const std::uint64_t header = file.BuildHeader().size();

    // WriteFrame's rule: a frame goes into the current part unless the part
    // already holds one and would then pass the limit, its indexes ('ix00',
    // and 'idx1' in the first part) counted. For k more frames of one size
    // the part grows by k chunks and k entries of each index, so the frames
    // that still fit are counted at once rather than one by one.
    std::uint64_t end = header, partStart = 0, inPart = 0;
    bool first = true, openDml = false;
    auto closePart = [&] {
        end += kIx00HeaderBytes + kIx00EntryBytes * inPart;
        if (first) end += 8 + kIdx1EntryBytes * inPart;
        first = false;
        openDml = true;
        partStart = end;
        end += 24; // RIFF 'AVIX' and LIST 'movi' headers of the next part
        inPart = 0;
    };
    for (const AviFrameRun& run : std::span(runs, runCount)) {
        const std::uint64_t chunk = 8 + run.bytes + (run.bytes & 1);
        std::uint64_t left = run.count;
        while (left > 0) {
            const std::uint64_t perFrame = chunk + kIx00EntryBytes + (first ? kIdx1EntryBytes : 0);
            const std::uint64_t fixed = end - partStart + kIx00HeaderBytes +
                                        kIx00EntryBytes * inPart +
                                        (first ? 8 + kIdx1EntryBytes * inPart : 0);
            std::uint64_t fit = fixed >= riffLimit ? 0 : (riffLimit - fixed) / perFrame;
            if (inPart == 0) fit = std::max<std::uint64_t>(fit, 1);
            fit = std::min(fit, left);
            if (fit == 0) {
                closePart();
                continue;
            }
            end += fit * chunk;
            inPart += fit;
            left -= fit;
        }
    }
    // Complete: a plain file gets its 'idx1'; an OpenDML one closes its last part.
    if (openDml)
        end += kIx00HeaderBytes + kIx00EntryBytes * inPart;
    else
        end += 8 + kIdx1EntryBytes * inPart;
    return end;
}
