// The AVI file library's entry points: handles of files and streams, their
// reference counts, the checks of every argument and format, and the
// compressing streams that encode frames before the file stream writes them.
#include "avi/AviFile.h"
#include "avi/AviTesting.h"

#include "avi/OpenDmlFile.h"
#include "avi/Rle8.h"
#include "platform/HandleTable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace {

constexpr DWORD kHandlerDib = mmioFOURCC('D', 'I', 'B', ' ');
constexpr DWORD kHandlerRle = mmioFOURCC('m', 'r', 'l', 'e');

constexpr std::uint64_t kDefaultRiffLimit = std::uint64_t(1) << 30;
// Sizes are 32-bit fields and readers differ on their sign: no part may grow
// past 2 GiB plus one frame.
constexpr std::uint64_t kMaxRiffLimit = std::uint64_t(1) << 31;
constexpr std::size_t kMaxFormatBytes = 65536;
constexpr DWORD kDefaultVersion = 0x010A0000;

std::uint64_t g_riffLimit = kDefaultRiffLimit;
DWORD g_version = 0;
long g_inits = 0;
HRESULT g_lastClose = AVIERR_OK;
int g_lastCloseErrno = 0;
long g_memoryCountdown = -1; // AviInjectMemoryFailure

// Counts one frame write against the injected memory failure.
void TakeFrameMemory() {
    if (g_memoryCountdown < 0) return;
    if (g_memoryCountdown-- == 0) throw std::bad_alloc();
}

struct FileObj {
    ULONG refs = 1;
    COpenDmlFile file;
};

struct StreamObj {
    ULONG refs = 1;
    PAVIFILE file = nullptr;     // streams of a file
    PAVISTREAM source = nullptr; // compressing streams: the stream they write to
    DWORD handler = 0;           // compressing streams: kHandlerDib or kHandlerRle
    DWORD quality = 0;
    bool hasFormat = false;
    LONG width = 0, height = 0;
    std::size_t stride = 0, imageBytes = 0;
    std::vector<BYTE> encoded; // one frame's encoding, reused
    // RLE8 with delta frames: a key frame every keyEvery samples (0: every
    // frame is one), the last frame's pixels and sample index.
    DWORD keyEvery = 0;
    std::vector<BYTE> previous, keyEncoded;
    DWORD lastFrame = 0;
    std::size_t keySize = 0; // the size of the last frame coded whole
};

// Files and streams have tables (and handle tags) of their own, so a stream
// handle passed as a file, or a released handle, is recognised.
HandleTable<PAVIFILE, FileObj, 1>& Files() {
    static HandleTable<PAVIFILE, FileObj, 1> files;
    return files;
}
HandleTable<PAVISTREAM, StreamObj, 2>& Streams() {
    static HandleTable<PAVISTREAM, StreamObj, 2> streams;
    return streams;
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

ULONG ReleaseFile(PAVIFILE handle) {
    FileObj* object = Files().Find(handle);
    if (!object) return 0;
    if (--object->refs > 0) return object->refs;
    HRESULT result;
    try {
        result = object->file.Complete();
    } catch (const std::bad_alloc&) {
        result = AVIERR_MEMORY;
    }
    g_lastClose = result;
    g_lastCloseErrno = result == AVIERR_OK ? 0 : object->file.Error();
    Files().Remove(handle);
    return 0;
}

// The file a stream writes to, through its compressing layers.
COpenDmlFile* FileOf(const StreamObj& s) {
    PAVIFILE handle = s.file;
    if (!handle) {
        const StreamObj* source = Streams().Find(s.source);
        if (!source) return nullptr;
        handle = source->file;
    }
    FileObj* object = Files().Find(handle);
    return object ? &object->file : nullptr;
}

HRESULT SetCompressedFormat(StreamObj& s, COpenDmlFile& file, LPVOID format, LONG size) {
    BITMAPINFOHEADER h;
    if (!ReadHeader(format, size, h)) return AVIERR_BADFORMAT;
    DibLayout layout;
    if (HRESULT hr = CheckRgbFormat(h, std::size_t(size), layout)) return hr;
    const BYTE* bytes = static_cast<const BYTE*>(format);
    std::vector<BYTE> strf;
    const bool compressed = s.handler == kHandlerRle;
    if (compressed) {
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
    } else {
        strf.assign(bytes, bytes + size);
    }
    HRESULT hr = file.SetFormat(std::move(strf), s.handler, s.quality, compressed,
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
HRESULT SetDirectFormat(COpenDmlFile& file, LPVOID format, LONG size) {
    BITMAPINFOHEADER h;
    if (!ReadHeader(format, size, h)) return AVIERR_BADFORMAT;
    const BYTE* bytes = static_cast<const BYTE*>(format);
    std::vector<BYTE> strf(bytes, bytes + size);
    const AVISTREAMINFO& info = file.StreamInfo();
    if (h.biCompression == BI_RGB) {
        DibLayout layout;
        if (HRESULT hr = CheckRgbFormat(h, std::size_t(size), layout)) return hr;
        return file.SetFormat(std::move(strf), info.fccHandler, info.dwQuality, false,
                              layout.imageBytes, layout.width, layout.height);
    }
    if (h.biSize < sizeof h || h.biSize > DWORD(size) || h.biWidth <= 0 || h.biHeight <= 0)
        return AVIERR_BADFORMAT;
    return file.SetFormat(std::move(strf), info.fccHandler, info.dwQuality, true, 0, h.biWidth,
                          h.biHeight);
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
        auto [handle, object] = Files().Add();
        if (!object.file.Create(path, g_riffLimit)) {
            const int reason = object.file.Error();
            Files().Remove(handle);
            errno = reason;
            return AVIERR_FILEOPEN;
        }
        *file = handle;
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, AVISTREAMINFO* info) {
    if (!stream) return AVIERR_BADPARAM;
    *stream = nullptr;
    FileObj* f = Files().Find(file);
    if (!f || !info) return AVIERR_BADPARAM;
    if (f->file.Failure() != AVIERR_OK) return f->file.Failure();
    if (info->fccType != streamtypeVIDEO || f->file.HasStream()) return AVIERR_UNSUPPORTED;
    if (info->dwRate == 0 || info->dwScale == 0) return AVIERR_BADPARAM;
    try {
        auto [handle, object] = Streams().Add();
        object.file = file;
        f->file.AddStream(*info);
        ++f->refs;
        *stream = handle;
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                AVICOMPRESSOPTIONS* options, CLSID* handler) {
    if (!compressed) return AVIERR_BADPARAM;
    *compressed = nullptr;
    StreamObj* src = Streams().Find(source);
    if (!src || !options) return AVIERR_BADPARAM;
    if (handler || !src->file) return AVIERR_UNSUPPORTED; // one layer over a file's stream
    if (options->fccType != 0 && options->fccType != streamtypeVIDEO) return AVIERR_BADPARAM;
    if (options->fccHandler != kHandlerDib && options->fccHandler != kHandlerRle)
        return AVIERR_NOCOMPRESSOR;
    try {
        auto [handle, object] = Streams().Add();
        object.source = source;
        object.handler = options->fccHandler;
        object.quality = options->dwQuality;
        if ((options->dwFlags & AVICOMPRESSF_KEYFRAMES) && options->dwKeyFrameEvery > 1)
            object.keyEvery = options->dwKeyFrameEvery;
        ++src->refs;
        *compressed = handle;
        return AVIERR_OK;
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    }
}

HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG position, LPVOID format, LONG formatSize) {
    StreamObj* s = Streams().Find(stream);
    if (!s) return AVIERR_BADPARAM;
    COpenDmlFile* f = FileOf(*s);
    if (!f) return AVIERR_BADPARAM;
    if (f->Failure() != AVIERR_OK) return f->Failure();
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
    StreamObj* s = Streams().Find(stream);
    if (!s) return AVIERR_BADPARAM;
    COpenDmlFile* f = FileOf(*s);
    if (!f) return AVIERR_BADPARAM;
    if (f->Failure() != AVIERR_OK) return f->Failure();
    if (!f->HasFormat() || (!s->file && !s->hasFormat)) return AVIERR_BADFORMAT;
    if (start < 0 || DWORD(start) != f->Frames() || samples != 1) return AVIERR_BADPARAM;
    if (!buffer && bufferSize == 0) {
        // An empty sample: the previous frame shows on.
        try {
            TakeFrameMemory();
            if (HRESULT hr = f->WriteFrame(nullptr, 0, false)) return hr;
        } catch (const std::bad_alloc&) {
            return AVIERR_MEMORY;
        }
        if (samplesWritten) *samplesWritten = 1;
        return AVIERR_OK;
    }
    if (!buffer || bufferSize <= 0) return AVIERR_BADPARAM;
    const BYTE* pixels = static_cast<const BYTE*>(buffer);
    std::size_t expected = s->file ? f->FrameBytes() : s->imageBytes;
    if (expected != 0 && std::size_t(bufferSize) != expected) return AVIERR_BADPARAM;

    HRESULT hr;
    std::size_t written = std::size_t(bufferSize);
    try {
        TakeFrameMemory();
        if (s->handler == kHandlerRle) {
            s->encoded.clear();
            // (The encoders never make a frame of exactly stride x height
            // bytes, which readers would take for an uncompressed one.)
            const DWORD at = f->Frames();
            // Key frames at every keyEvery-th sample, or the first frame
            // after one when that sample is empty.
            bool key = s->keyEvery == 0 || s->previous.empty() ||
                       at / s->keyEvery != s->lastFrame / s->keyEvery;
            if (key) {
                s->keySize = Rle8Encode(pixels, s->width, s->height, s->stride, s->encoded);
            } else {
                // What changed since the frame before; a frame that changed
                // much may code smaller whole, and is then a key frame.
                Rle8EncodeDelta(pixels, s->previous.data(), s->width, s->height, s->stride,
                                s->encoded);
                // (Against the last whole coding's size, so that frames of
                // small changes are not coded twice.)
                if (s->encoded.size() > s->keySize / 2) {
                    s->keyEncoded.clear();
                    Rle8Encode(pixels, s->width, s->height, s->stride, s->keyEncoded);
                    s->keySize = s->keyEncoded.size();
                    if (s->keyEncoded.size() <= s->encoded.size()) {
                        s->encoded.swap(s->keyEncoded);
                        key = true;
                    }
                }
            }
            written = s->encoded.size();
            hr = f->WriteFrame(s->encoded.data(), written, key);
            if (hr == AVIERR_OK && s->keyEvery != 0) {
                s->previous.assign(pixels, pixels + s->imageBytes);
                s->lastFrame = at;
            }
        } else {
            bool key = !s->file || (flags & AVIIF_KEYFRAME);
            hr = f->WriteFrame(pixels, written, key);
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
    StreamObj* s = Streams().Find(stream);
    if (!s) return 0;
    if (--s->refs > 0) return s->refs;
    const PAVIFILE file = s->file;
    const PAVISTREAM source = s->source;
    Streams().Remove(stream);
    if (source) AVIStreamRelease(source);
    if (file) ReleaseFile(file);
    return 0;
}

ULONG AVIFileRelease(PAVIFILE file) {
    return ReleaseFile(file);
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
    return long(Files().Size() + Streams().Size());
}

long AviInitCount() {
    return g_inits;
}

std::uint64_t AviPlannedFileSize(std::size_t formatBytes, const AviFrameRun* runs,
                                 std::size_t runCount) {
    return COpenDmlFile::PlannedSize(formatBytes, runs, runCount, g_riffLimit);
}

HRESULT AviLastCloseResult() {
    return g_lastClose;
}

int AviLastCloseErrno() {
    return g_lastCloseErrno;
}
