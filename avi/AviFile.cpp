// The AVI file library on real files. A file holds one video stream, written
// as frames arrive:
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
#include "avi/AviFile.h"
#include "avi/AviTesting.h"

#include "avi/RiffWriter.h"
#include "avi/Rle8.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>

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
constexpr DWORD kHandlerDib = mmioFOURCC('D', 'I', 'B', ' ');
constexpr DWORD kHandlerRle = mmioFOURCC('m', 'r', 'l', 'e');

constexpr DWORD AVIF_HASINDEX = 0x10;
constexpr DWORD kNotKeyFrame = 0x80000000; // 'ix00' size bit
constexpr BYTE AVI_INDEX_OF_INDEXES = 0;
constexpr BYTE AVI_INDEX_OF_CHUNKS = 1;

constexpr std::uint64_t kDefaultRiffLimit = std::uint64_t(1) << 30;
// Sizes are 32-bit fields and readers differ on their sign: no part may grow
// past 2 GiB plus one frame.
constexpr std::uint64_t kMaxRiffLimit = std::uint64_t(1) << 31;
constexpr std::size_t kIndxBytes = 24 + 16 * std::size_t(AVI_MAX_RIFF_PARTS);
constexpr std::size_t kDmlhBytes = 248; // dwGrandFrames and 61 reserved DWORDs
constexpr std::size_t kOdmlBytes = 4 + 8 + kDmlhBytes;
constexpr std::size_t kIx00HeaderBytes = 8 + 24;
constexpr std::size_t kMaxFormatBytes = 65536;
constexpr DWORD kDefaultVersion = 0x010A0000;

std::uint64_t g_riffLimit = kDefaultRiffLimit;
DWORD g_version = 0;
long g_inits = 0;
HRESULT g_lastClose = AVIERR_OK;
long g_memoryCountdown = -1; // AviInjectMemoryFailure

// Counts one frame write against the injected memory failure.
void TakeFrameMemory() {
    if (g_memoryCountdown < 0) return;
    if (g_memoryCountdown-- == 0) throw std::bad_alloc();
}

// ---------------------------------------------------------------------------
// The file and its one video stream.

struct Idx1Entry {
    DWORD offset; // from the 'movi' code of the first part
    DWORD size;
    bool key;
};

struct StdEntry {
    DWORD offset; // of the data, from the part's 'movi' LIST header
    DWORD size;   // kNotKeyFrame set for other frames
};

struct SuperEntry {
    std::uint64_t offset; // of the 'ix00' chunk header
    DWORD size;           // of the whole 'ix00' chunk
    DWORD frames;
};

struct VideoStream {
    AVISTREAMINFO info{};
    bool hasFormat = false;
    std::vector<BYTE> format; // 'strf' as written
    DWORD handler = 0;        // strh fccHandler
    DWORD quality = 0;
    DWORD chunkId = kChunkRaw;
    std::size_t frameBytes = 0; // exact size of uncompressed frames, 0: any size
    LONG width = 0, height = 0;
};

struct AviFile {
    CRiffWriter out;
    ULONG refs = 1;
    HRESULT failure = AVIERR_OK; // first failed write; later calls report it
    std::uint64_t riffLimit = kDefaultRiffLimit;
    bool hasStream = false;
    VideoStream video;

    bool begun = false;             // header block written
    std::uint64_t end = 0;          // end of what was written successfully
    std::uint64_t moviStart = 0;    // LIST 'movi' header of the current part
    std::uint64_t partStart = 0;    // RIFF header of the current part
    bool partOpen = false;          // the current part still takes frames
    std::uint64_t firstMoviEnd = 0; // the first part, once closed
    std::uint64_t firstRiffEnd = 0;
    std::vector<Idx1Entry> idx1;
    std::vector<StdEntry> ix;
    std::vector<SuperEntry> super;
    DWORD frames = 0;
    DWORD maxChunk = 0;
};

// Files and streams are looked up by serial numbers that are never reused, so
// a released or foreign handle is recognised instead of followed.
struct StreamObj {
    ULONG refs = 1;
    std::uintptr_t file = 0;   // streams of a file
    std::uintptr_t source = 0; // compressing streams: the stream they write to
    DWORD handler = 0;         // compressing streams: kHandlerDib or kHandlerRle
    DWORD quality = 0;
    bool hasFormat = false;
    LONG width = 0, height = 0;
    std::size_t stride = 0, imageBytes = 0;
    std::vector<BYTE> encoded; // one frame's encoding, reused
};

struct Registry {
    std::unordered_map<std::uintptr_t, std::unique_ptr<AviFile>> files;
    std::unordered_map<std::uintptr_t, std::unique_ptr<StreamObj>> streams;
    std::uintptr_t next = 1;
};

Registry& Objects() {
    static Registry registry;
    return registry;
}

AviFile* FindFile(std::uintptr_t id) {
    auto& files = Objects().files;
    auto it = files.find(id);
    return it == files.end() ? nullptr : it->second.get();
}

StreamObj* FindStream(std::uintptr_t id) {
    auto& streams = Objects().streams;
    auto it = streams.find(id);
    return it == streams.end() ? nullptr : it->second.get();
}

std::uintptr_t Id(PAVIFILE file) {
    return reinterpret_cast<std::uintptr_t>(file);
}
std::uintptr_t Id(PAVISTREAM stream) {
    return reinterpret_cast<std::uintptr_t>(stream);
}

DWORD Clamp32(std::uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

WORD Clamp16(LONG value) {
    return static_cast<WORD>(static_cast<std::int16_t>(std::clamp<LONG>(value, -32768, 32767)));
}

// ---------------------------------------------------------------------------
// Formats.

struct DibLayout {
    LONG width = 0, height = 0;
    WORD bitCount = 0;
    DWORD colors = 0;
    std::size_t stride = 0, imageBytes = 0;
};

// An uncompressed bottom-up DIB header with its whole colour table within
// `size` bytes. Top-down pictures are refused: readers disagree on them and
// BI_RLE8 cannot express them.
HRESULT CheckRgbFormat(const BITMAPINFOHEADER& h, std::size_t size, DibLayout& layout) {
    if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > size) return AVIERR_BADFORMAT;
    if (h.biWidth <= 0 || h.biHeight <= 0 || h.biCompression != BI_RGB) return AVIERR_BADFORMAT;
    switch (h.biBitCount) {
    case 1:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        return AVIERR_BADFORMAT;
    }
    DWORD implicit = DibTableEntries(h.biBitCount);
    DWORD colors = h.biClrUsed ? h.biClrUsed : implicit;
    if (colors > 256 || (implicit && colors > implicit)) return AVIERR_BADFORMAT;
    if (size - h.biSize < 4 * std::size_t(colors)) return AVIERR_BADFORMAT;
    std::uint64_t stride = DibRowBytes(static_cast<std::uint64_t>(h.biWidth), h.biBitCount);
    std::uint64_t image = stride * std::uint64_t(h.biHeight);
    if (image > 0x7FFFFFFF) return AVIERR_BADFORMAT; // AVIStreamWrite sizes are LONG
    if (h.biSizeImage != 0 && h.biSizeImage != image) return AVIERR_BADFORMAT;
    layout = {h.biWidth, h.biHeight, h.biBitCount, colors, std::size_t(stride), std::size_t(image)};
    return AVIERR_OK;
}

bool ReadHeader(LPVOID format, LONG size, BITMAPINFOHEADER& h) {
    if (!format || size < LONG(sizeof(BITMAPINFOHEADER)) || std::size_t(size) > kMaxFormatBytes)
        return false;
    std::memcpy(&h, format, sizeof h);
    return true;
}

// Gives the file's stream its 'strf'. The header block's size depends on it,
// so once frames are written only the same format is accepted again.
HRESULT SetStreamFormat(AviFile& file, std::vector<BYTE>&& format, DWORD handler, DWORD quality,
                        DWORD chunkId, std::size_t frameBytes, LONG width, LONG height) {
    VideoStream& v = file.video;
    if (file.begun) {
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

// ---------------------------------------------------------------------------
// Layout.

bool HasVideo(const AviFile& f) {
    return f.hasStream && f.video.hasFormat;
}
bool IsOpenDml(const AviFile& f) {
    return !f.super.empty();
}

void PutStreamList(const AviFile& f, std::vector<BYTE>& out) {
    using namespace riff;
    const VideoStream& v = f.video;
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
    PutU32(out, f.frames);
    PutU32(out, f.frames ? f.maxChunk : info.dwSuggestedBufferSize);
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
    if (IsOpenDml(f)) {
        PutChunkHeader(out, kIndx, DWORD(kIndxBytes));
        PutU16(out, 4); // wLongsPerEntry
        out.push_back(0);
        out.push_back(AVI_INDEX_OF_INDEXES);
        PutU32(out, DWORD(f.super.size()));
        PutU32(out, v.chunkId);
        PutZeros(out, 12);
        for (const SuperEntry& e : f.super) {
            PutU64(out, e.offset);
            PutU32(out, e.size);
            PutU32(out, e.frames);
        }
        PutZeros(out, 16 * (AVI_MAX_RIFF_PARTS - f.super.size()));
    } else {
        PutChunkHeader(out, kJUNK, DWORD(kIndxBytes));
        PutZeros(out, kIndxBytes);
    }
    SetU32(out, listAt + 4, DWORD(out.size() - listAt - 8));
}

// The first part's header block followed by its LIST 'movi' header, with the
// sizes and counts as they stand.
std::vector<BYTE> BuildHeader(const AviFile& f) {
    using namespace riff;
    const VideoStream& v = f.video;
    const AVISTREAMINFO& info = v.info;
    bool video = HasVideo(f);
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
            Clamp32((std::uint64_t(f.maxChunk) * info.dwRate + info.dwScale - 1) / info.dwScale);
    }
    PutU32(out, usPerFrame);
    PutU32(out, bytesPerSecond);
    PutU32(out, 0); // dwPaddingGranularity
    PutU32(out, AVIF_HASINDEX);
    PutU32(out, DWORD(f.idx1.size())); // frames of the first part, as OpenDML wants it
    PutU32(out, 0);                    // dwInitialFrames
    PutU32(out, video ? 1 : 0);
    PutU32(out, f.frames ? f.maxChunk : (video ? info.dwSuggestedBufferSize : 0));
    PutU32(out, DWORD(v.width));
    PutU32(out, DWORD(v.height));
    PutZeros(out, 16);

    if (video) {
        PutStreamList(f, out);
        if (IsOpenDml(f)) {
            PutChunkHeader(out, kLIST, DWORD(kOdmlBytes));
            PutU32(out, kOdml);
            PutChunkHeader(out, kDmlh, DWORD(kDmlhBytes));
            PutU32(out, f.frames);
            PutZeros(out, kDmlhBytes - 4);
        } else {
            PutChunkHeader(out, kJUNK, DWORD(kOdmlBytes));
            PutZeros(out, kOdmlBytes);
        }
    }
    SetU32(out, hdrlAt + 4, DWORD(out.size() - hdrlAt - 8));

    std::size_t moviAt = out.size();
    std::uint64_t moviEnd =
        f.firstMoviEnd ? f.firstMoviEnd : std::max<std::uint64_t>(f.end, moviAt + 12);
    std::uint64_t riffEnd = f.firstRiffEnd ? f.firstRiffEnd : moviEnd;
    PutChunkHeader(out, kLIST, DWORD(moviEnd - moviAt - 8));
    PutU32(out, kMovi);
    SetU32(out, 4, DWORD(riffEnd - 8));
    return out;
}

HRESULT Fail(AviFile& f, HRESULT error = AVIERR_FILEWRITE) {
    if (f.failure == AVIERR_OK) f.failure = error;
    return error;
}

bool Begin(AviFile& f) {
    std::vector<BYTE> header = BuildHeader(f);
    if (!f.out.WriteAt(0, header.data(), header.size())) return false;
    f.begun = true;
    f.partStart = 0;
    f.moviStart = header.size() - 12;
    f.end = header.size();
    f.partOpen = true;
    return true;
}

// Ends the current part: its 'ix00' closes the 'movi' list (the first part
// also gets its 'idx1'), and an 'AVIX' part gets its sizes.
bool ClosePart(AviFile& f) {
    using namespace riff;
    bool first = f.super.empty();
    std::vector<BYTE> buf;
    buf.reserve(kIx00HeaderBytes + 8 * f.ix.size() + (first ? 8 + 16 * f.idx1.size() : 0));
    PutChunkHeader(buf, kIx00, DWORD(24 + 8 * f.ix.size()));
    PutU16(buf, 2); // wLongsPerEntry
    buf.push_back(0);
    buf.push_back(AVI_INDEX_OF_CHUNKS);
    PutU32(buf, DWORD(f.ix.size()));
    PutU32(buf, f.video.chunkId);
    PutU64(buf, f.moviStart); // qwBaseOffset
    PutU32(buf, 0);
    for (const StdEntry& e : f.ix) {
        PutU32(buf, e.offset);
        PutU32(buf, e.size);
    }
    std::size_t ixBytes = buf.size();
    if (first) {
        PutChunkHeader(buf, kIdx1, DWORD(16 * f.idx1.size()));
        for (const Idx1Entry& e : f.idx1) {
            PutU32(buf, f.video.chunkId);
            PutU32(buf, e.key ? AVIIF_KEYFRAME : 0);
            PutU32(buf, e.offset);
            PutU32(buf, e.size);
        }
    }
    if (!f.out.WriteAt(f.end, buf.data(), buf.size())) return false;
    std::uint64_t moviEnd = f.end + ixBytes;
    std::uint64_t partEnd = f.end + buf.size();
    if (first) {
        f.firstMoviEnd = moviEnd;
        f.firstRiffEnd = partEnd;
    } else {
        std::vector<BYTE> sizes;
        PutChunkHeader(sizes, kRIFF, DWORD(partEnd - f.partStart - 8));
        PutU32(sizes, kAVIX);
        PutChunkHeader(sizes, kLIST, DWORD(moviEnd - f.moviStart - 8));
        PutU32(sizes, kMovi);
        if (!f.out.WriteAt(f.partStart, sizes.data(), sizes.size())) return false;
    }
    f.super.push_back({f.end, DWORD(ixBytes), DWORD(f.ix.size())});
    f.ix.clear();
    f.end = partEnd;
    f.partOpen = false;
    return true;
}

HRESULT WriteFrame(AviFile& f, const BYTE* data, std::size_t size, bool key) {
    if (f.failure != AVIERR_OK) return f.failure;
    if (size > 0x7FFFFFFF) return AVIERR_BADPARAM; // 'ix00' keeps a flag in the top bit
    if (f.frames == 0xFFFFFFFF) return AVIERR_UNSUPPORTED;
    if (!f.begun && !Begin(f)) return Fail(f);

    std::uint64_t chunk = 8 + size + (size & 1);
    // The part as it would be closed with this frame in it: indexes included.
    std::uint64_t projected =
        f.end - f.partStart + chunk + kIx00HeaderBytes + 8 * (f.ix.size() + 1);
    if (f.super.empty()) projected += 8 + 16 * (f.idx1.size() + 1);
    bool newPart = !f.partOpen || (!f.ix.empty() && projected > f.riffLimit);
    if (newPart) {
        if (f.super.size() + (f.partOpen ? 1 : 0) >= AVI_MAX_RIFF_PARTS) return AVIERR_UNSUPPORTED;
        if (f.partOpen && !ClosePart(f)) return Fail(f);
    }

    std::vector<BYTE> head;
    if (newPart) {
        riff::PutChunkHeader(head, kRIFF, 0); // sizes follow when the part is closed
        riff::PutU32(head, kAVIX);
        riff::PutChunkHeader(head, kLIST, 0);
        riff::PutU32(head, kMovi);
    }
    riff::PutChunkHeader(head, f.video.chunkId, DWORD(size));
    static const BYTE kPad = 0;
    CRiffWriter::Piece pieces[] = {{head.data(), head.size()}, {data, size}, {&kPad, size & 1}};
    if (!f.out.WriteAt(f.end, pieces, 3)) return Fail(f);

    if (newPart) {
        f.partStart = f.end;
        f.moviStart = f.end + 12;
        f.partOpen = true;
    }
    std::uint64_t chunkAt = f.end + head.size() - 8;
    if (f.super.empty()) f.idx1.push_back({DWORD(chunkAt - (f.moviStart + 8)), DWORD(size), key});
    f.ix.push_back({DWORD(chunkAt + 8 - f.moviStart), DWORD(size) | (key ? 0 : kNotKeyFrame)});
    f.end = chunkAt + chunk;
    ++f.frames;
    f.maxChunk = std::max(f.maxChunk, DWORD(size));
    return AVIERR_OK;
}

// Completes the file when its last reference goes. After an earlier failed
// write the frames before it are still indexed and the headers patched, so
// what reached the disk stays playable; the result reports the first failure.
HRESULT Complete(AviFile& f) {
    HRESULT result = f.failure;
    bool ok = f.begun || Begin(f);
    if (ok) {
        if (IsOpenDml(f)) {
            if (f.partOpen) ok = ClosePart(f);
        } else {
            std::vector<BYTE> buf;
            riff::PutChunkHeader(buf, kIdx1, DWORD(16 * f.idx1.size()));
            for (const Idx1Entry& e : f.idx1) {
                riff::PutU32(buf, f.video.chunkId);
                riff::PutU32(buf, e.key ? AVIIF_KEYFRAME : 0);
                riff::PutU32(buf, e.offset);
                riff::PutU32(buf, e.size);
            }
            ok = f.out.WriteAt(f.end, buf.data(), buf.size());
            if (ok) {
                f.firstMoviEnd = f.end;
                f.end += buf.size();
                f.firstRiffEnd = f.end;
            }
        }
    }
    if (ok) {
        std::vector<BYTE> header = BuildHeader(f);
        ok = f.out.WriteAt(0, header.data(), header.size());
    }
    if (!ok && result == AVIERR_OK) result = AVIERR_FILEWRITE;
    // Drop whatever a failed write left past the last complete piece.
    if (f.failure != AVIERR_OK && ok && !f.out.Truncate(f.end)) result = AVIERR_FILEWRITE;
    if (!f.out.Close() && result == AVIERR_OK) result = AVIERR_FILEWRITE;
    return result;
}

ULONG ReleaseFile(std::uintptr_t id) {
    AviFile* file = FindFile(id);
    if (!file) return 0;
    if (--file->refs > 0) return file->refs;
    HRESULT result;
    try {
        result = Complete(*file);
    } catch (const std::bad_alloc&) {
        result = AVIERR_MEMORY;
    }
    g_lastClose = result;
    Objects().files.erase(id);
    return 0;
}

// The file a stream writes to, through its compressing layers.
AviFile* FileOf(const StreamObj& s) {
    if (s.file) return FindFile(s.file);
    const StreamObj* source = FindStream(s.source);
    return source ? FindFile(source->file) : nullptr;
}

HRESULT SetCompressedFormat(StreamObj& s, AviFile& file, LPVOID format, LONG size) {
    BITMAPINFOHEADER h;
    if (!ReadHeader(format, size, h)) return AVIERR_BADFORMAT;
    DibLayout layout;
    if (HRESULT hr = CheckRgbFormat(h, std::size_t(size), layout)) return hr;
    const BYTE* bytes = static_cast<const BYTE*>(format);
    std::vector<BYTE> strf;
    DWORD chunkId = kChunkRaw;
    if (s.handler == kHandlerRle) {
        if (layout.bitCount != 8) return AVIERR_BADFORMAT;
        // A plain 40-byte header whatever came in, with its table spelled out.
        BITMAPINFOHEADER out = h;
        out.biSize = sizeof(BITMAPINFOHEADER);
        out.biCompression = BI_RLE8;
        out.biSizeImage = 0;
        out.biClrUsed = layout.colors;
        if (out.biClrImportant > layout.colors) out.biClrImportant = 0;
        strf.resize(sizeof out + 4 * std::size_t(layout.colors));
        std::memcpy(strf.data(), &out, sizeof out);
        std::memcpy(strf.data() + sizeof out, bytes + h.biSize, 4 * std::size_t(layout.colors));
        chunkId = kChunkCompressed;
    } else {
        strf.assign(bytes, bytes + size);
    }
    HRESULT hr = SetStreamFormat(file, std::move(strf), s.handler, s.quality, chunkId,
                                 layout.imageBytes, layout.width, layout.height);
    if (hr != AVIERR_OK) return hr;
    s.hasFormat = true;
    s.width = layout.width;
    s.height = layout.height;
    s.stride = layout.stride;
    s.imageBytes = layout.imageBytes;
    return AVIERR_OK;
}

// A stream of the file itself takes frames as they are: uncompressed DIBs of
// the exact size, or data already compressed (biCompression other than
// BI_RGB) of any size, flagged as the caller says.
HRESULT SetDirectFormat(AviFile& file, LPVOID format, LONG size) {
    BITMAPINFOHEADER h;
    if (!ReadHeader(format, size, h)) return AVIERR_BADFORMAT;
    const BYTE* bytes = static_cast<const BYTE*>(format);
    std::vector<BYTE> strf(bytes, bytes + size);
    if (h.biCompression == BI_RGB) {
        DibLayout layout;
        if (HRESULT hr = CheckRgbFormat(h, std::size_t(size), layout)) return hr;
        return SetStreamFormat(file, std::move(strf), file.video.info.fccHandler,
                               file.video.info.dwQuality, kChunkRaw, layout.imageBytes,
                               layout.width, layout.height);
    }
    if (h.biSize < sizeof h || h.biSize > DWORD(size) || h.biWidth <= 0 || h.biHeight <= 0)
        return AVIERR_BADFORMAT;
    return SetStreamFormat(file, std::move(strf), file.video.info.fccHandler,
                           file.video.info.dwQuality, kChunkCompressed, 0, h.biWidth, h.biHeight);
}

} // namespace

// ---------------------------------------------------------------------------
// The library's entry points.

DWORD VideoForWindowsVersion() {
    return g_version ? g_version : kDefaultVersion;
}

void AVIFileInit() {
    ++g_inits;
}

void AVIFileExit() {
    if (g_inits > 0) --g_inits;
}

HRESULT AVIFileOpen(PAVIFILE* file, LPCTSTR path, UINT mode, CLSID* handler) {
    if (!file) return AVIERR_BADPARAM;
    *file = nullptr;
    if (!path || !*path) return AVIERR_BADPARAM;
    // Only the creation of new files is implemented: there is no AVI reader.
    if (!(mode & OF_CREATE) || handler) return AVIERR_UNSUPPORTED;
    try {
        auto object = std::make_unique<AviFile>();
        if (!object->out.Create(path)) return AVIERR_FILEOPEN;
        object->riffLimit = g_riffLimit;
        Registry& r = Objects();
        std::uintptr_t id = r.next++;
        r.files.emplace(id, std::move(object));
        *file = reinterpret_cast<PAVIFILE>(id);
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, AVISTREAMINFO* info) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    AviFile* f = FindFile(Id(file));
    if (!f || !info) return AVIERR_BADPARAM;
    if (f->failure != AVIERR_OK) return f->failure;
    if (info->fccType != streamtypeVIDEO || f->hasStream) return AVIERR_UNSUPPORTED;
    if (info->dwRate == 0 || info->dwScale == 0) return AVIERR_BADPARAM;
    try {
        auto object = std::make_unique<StreamObj>();
        object->file = Id(file);
        Registry& r = Objects();
        std::uintptr_t id = r.next++;
        r.streams.emplace(id, std::move(object));
        f->hasStream = true;
        f->video.info = *info;
        f->video.handler = info->fccHandler;
        f->video.quality = info->dwQuality;
        ++f->refs;
        *stream = reinterpret_cast<PAVISTREAM>(id);
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                AVICOMPRESSOPTIONS* options, CLSID* handler) {
    if (!compressed) return AVIERR_BADPARAM;
    *compressed = nullptr;
    StreamObj* src = FindStream(Id(source));
    if (!src || !options) return AVIERR_BADPARAM;
    if (handler || !src->file) return AVIERR_UNSUPPORTED; // one layer over a file's stream
    if (options->fccType != 0 && options->fccType != streamtypeVIDEO) return AVIERR_BADPARAM;
    if (options->fccHandler != kHandlerDib && options->fccHandler != kHandlerRle)
        return AVIERR_NOCOMPRESSOR;
    try {
        auto object = std::make_unique<StreamObj>();
        object->source = Id(source);
        object->handler = options->fccHandler;
        object->quality = options->dwQuality;
        Registry& r = Objects();
        std::uintptr_t id = r.next++;
        r.streams.emplace(id, std::move(object));
        ++src->refs;
        *compressed = reinterpret_cast<PAVISTREAM>(id);
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG position, LPVOID format, LONG formatSize) {
    StreamObj* s = FindStream(Id(stream));
    if (!s) return AVIERR_BADPARAM;
    AviFile* f = FileOf(*s);
    if (!f) return AVIERR_BADPARAM;
    if (f->failure != AVIERR_OK) return f->failure;
    // Palette or format changes along the stream are not written.
    if (position != 0) return AVIERR_UNSUPPORTED;
    try {
        return s->file ? SetDirectFormat(*f, format, formatSize)
                       : SetCompressedFormat(*s, *f, format, formatSize);
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples, LPVOID buffer, LONG bufferSize,
                       DWORD flags, LONG* samplesWritten, LONG* bytesWritten) {
    if (samplesWritten) *samplesWritten = 0;
    if (bytesWritten) *bytesWritten = 0;
    StreamObj* s = FindStream(Id(stream));
    if (!s) return AVIERR_BADPARAM;
    AviFile* f = FileOf(*s);
    if (!f) return AVIERR_BADPARAM;
    if (f->failure != AVIERR_OK) return f->failure;
    if (!f->video.hasFormat || (!s->file && !s->hasFormat)) return AVIERR_BADFORMAT;
    if (start < 0 || DWORD(start) != f->frames || samples != 1 || !buffer || bufferSize <= 0)
        return AVIERR_BADPARAM;
    const BYTE* pixels = static_cast<const BYTE*>(buffer);
    std::size_t expected = s->file ? f->video.frameBytes : s->imageBytes;
    if (expected != 0 && std::size_t(bufferSize) != expected) return AVIERR_BADPARAM;

    HRESULT hr;
    std::size_t written = std::size_t(bufferSize);
    try {
        TakeFrameMemory();
        if (s->handler == kHandlerRle) {
            s->encoded.clear();
            // (The encoder never makes a frame of exactly stride x height
            // bytes, which readers would take for an uncompressed one.)
            Rle8Encode(pixels, s->width, s->height, s->stride, s->encoded);
            written = s->encoded.size();
            // Every frame is encoded whole: each one is a key frame.
            hr = WriteFrame(*f, s->encoded.data(), written, true);
        } else {
            bool key = !s->file || (flags & AVIIF_KEYFRAME);
            hr = WriteFrame(*f, pixels, written, key);
        }
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
    if (hr != AVIERR_OK) return hr;
    if (samplesWritten) *samplesWritten = 1;
    if (bytesWritten) *bytesWritten = LONG(written);
    return AVIERR_OK;
}

ULONG AVIStreamRelease(PAVISTREAM stream) {
    auto& streams = Objects().streams;
    auto it = streams.find(Id(stream));
    if (it == streams.end()) return 0;
    StreamObj& s = *it->second;
    if (--s.refs > 0) return s.refs;
    std::uintptr_t file = s.file, source = s.source;
    streams.erase(it);
    if (source) AVIStreamRelease(reinterpret_cast<PAVISTREAM>(source));
    if (file) ReleaseFile(file);
    return 0;
}

ULONG AVIFileRelease(PAVIFILE file) {
    return ReleaseFile(Id(file));
}

void AviSetRiffLimit(std::uint64_t bytes) {
    g_riffLimit = bytes == 0 ? kDefaultRiffLimit : std::min(bytes, kMaxRiffLimit);
}

void AviInjectWriteFailure(long countdown) {
    RiffInjectWriteFailure(countdown);
}

void AviInjectMemoryFailure(long countdown) {
    g_memoryCountdown = countdown;
}

void AviSetLibraryVersion(DWORD version) {
    g_version = version;
}

long AviLiveObjects() {
    const Registry& r = Objects();
    return long(r.files.size() + r.streams.size());
}

long AviInitCount() {
    return g_inits;
}

HRESULT AviLastCloseResult() {
    return g_lastClose;
}
