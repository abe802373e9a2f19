// The AVI file library: files with one video stream, compressing streams
// layered on it, and the video library's version query, with the platform's
// names, records and argument order. Files are real RIFF AVI files written as
// frames come (memory stays bounded by one frame plus the index): RIFF 'AVI '
// with 'hdrl', 'movi' and an 'idx1' index, continued in the OpenDML form
// ('AVIX' parts, 'indx'/'ix00' indexes, 'dmlh' frame count) once the first
// RIFF reaches its size limit. Headers are patched when the last reference to
// the file is released. Every failure of the file system is reported by the
// failing call's result; after one, the file's later calls fail with it too,
// and the file is still completed as far as the disk allows.
//
// Compressors: "DIB " passes frames through unchanged; "mrle" encodes 8-bit
// frames losslessly as BI_RLE8.
//
// Handles are checked: a released or unknown handle gives AVIERR_BADPARAM (a
// count of 0 from the release calls) and is never followed. Single-threaded.
#pragma once

#include "gfx/Gdi.h"
#include "platform/WinTypes.h"

#include <cstddef>
#include <cstdint>

using HRESULT = LONG;
constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT AVIERR_UNSUPPORTED = static_cast<HRESULT>(0x80044065);
constexpr HRESULT AVIERR_BADFORMAT = static_cast<HRESULT>(0x80044066);
constexpr HRESULT AVIERR_MEMORY = static_cast<HRESULT>(0x80044067);
constexpr HRESULT AVIERR_FILEWRITE = static_cast<HRESULT>(0x8004406D);
constexpr HRESULT AVIERR_FILEOPEN = static_cast<HRESULT>(0x8004406E);
constexpr HRESULT AVIERR_BADPARAM = static_cast<HRESULT>(0x80044069);
constexpr HRESULT AVIERR_NOCOMPRESSOR = static_cast<HRESULT>(0x80044071);
constexpr HRESULT AVIERR_ERROR = static_cast<HRESULT>(0x800440C7);

constexpr UINT OF_WRITE = 0x0001;
constexpr UINT OF_CREATE = 0x1000;
constexpr DWORD AVIIF_KEYFRAME = 0x10;
constexpr DWORD AVICOMPRESSF_KEYFRAMES = 0x04; // dwKeyFrameEvery holds
constexpr DWORD AVICOMPRESSF_VALID = 0x08;

// Four-character codes, stored as their bytes in the order written.
constexpr DWORD mmioFOURCC(char a, char b, char c, char d) {
    return static_cast<DWORD>(static_cast<BYTE>(a)) |
           (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) |
           (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}
constexpr DWORD streamtypeVIDEO = mmioFOURCC('v', 'i', 'd', 's');

struct CLSID;
struct IAVIFile;
struct IAVIStream;
using PAVIFILE = IAVIFile*;
using PAVISTREAM = IAVIStream*;

struct AVISTREAMINFO {
    DWORD fccType;
    DWORD fccHandler;
    DWORD dwFlags;
    DWORD dwCaps;
    WORD wPriority;
    WORD wLanguage;
    DWORD dwScale;
    DWORD dwRate; // dwRate / dwScale samples per second
    DWORD dwStart;
    DWORD dwLength;
    DWORD dwInitialFrames;
    DWORD dwSuggestedBufferSize;
    DWORD dwQuality;
    DWORD dwSampleSize;
    RECT rcFrame;
    DWORD dwEditCount;
    DWORD dwFormatChangeCount;
    char szName[64];
};

struct AVICOMPRESSOPTIONS {
    DWORD fccType;
    DWORD fccHandler;
    DWORD dwKeyFrameEvery;
    DWORD dwQuality;
    DWORD dwBytesPerSecond;
    DWORD dwFlags;
    LPVOID lpFormat;
    DWORD cbFormat;
    LPVOID lpParms;
    DWORD cbParms;
    DWORD dwInterleaveEvery;
};

// The video library's version: major * 256 + minor in the high 16 bits.
DWORD VideoForWindowsVersion();

void AVIFileInit();
void AVIFileExit();

// Creates (or empties) the file with OF_WRITE | OF_CREATE. No handler class:
// without OF_CREATE, or with a handler, AVIERR_UNSUPPORTED (files are only
// written). AVIERR_FILEOPEN when the file cannot be created, errno then
// saying why. Nothing is written before the first frame.
HRESULT AVIFileOpen(PAVIFILE* file, LPCTSTR path, UINT mode, CLSID* handler);
// A new stream with the given header: one video stream per file (a second
// one, or another type, gives AVIERR_UNSUPPORTED); dwRate and dwScale must not
// be 0. The stream holds a reference to the file.
HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, AVISTREAMINFO* info);
// A stream that compresses what is written to it with options->fccHandler
// ("DIB " or "mrle"; others give AVIERR_NOCOMPRESSOR) and writes the result
// to `source`, a stream of a file. It holds a reference to the source stream.
// Both compressors turn every frame into a key frame, unless the options ask
// for one every dwKeyFrameEvery frames (AVICOMPRESSF_KEYFRAMES, 2 or more):
// "mrle" then makes key frames of the samples at multiples of it (or, when
// such a sample is empty, of the next frame), codes the frames between as
// delta frames over the frame before (moves over what did not change), and
// makes a frame that codes smaller whole a key frame too.
HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                AVICOMPRESSOPTIONS* options, CLSID* handler);
// The stream format: a BITMAPINFOHEADER and its colour table, at position 0
// (other positions: AVIERR_UNSUPPORTED). Through a compressing stream it must
// be an uncompressed bottom-up DIB with its whole colour table, 8 bits per
// pixel for "mrle" (which stores it as BI_RLE8 with the same table), else
// AVIERR_BADFORMAT; "DIB " stores it as given. A file's own stream also takes
// compressed formats, whose frames are then stored as given. Once frames are
// written only the same format is accepted again.
HRESULT AVIStreamSetFormat(PAVISTREAM stream, LONG position, LPVOID format, LONG formatSize);
// Appends one sample at `start`, which must be the next sample index; an
// uncompressed frame must be exactly the format's stride x height bytes
// (AVIERR_BADPARAM otherwise, AVIERR_BADFORMAT before any format). A file's
// own stream flags the frame as a key frame when `flags` has AVIIF_KEYFRAME.
// AVIERR_FILEWRITE when the disk refuses the data; AVIERR_UNSUPPORTED when the
// file would need more than AVI_MAX_RIFF_PARTS RIFF parts. No buffer and a
// size of 0 append an empty sample, in any stream and never compressed: a
// chunk of no bytes, no key frame, which readers take for "the previous frame
// again".
HRESULT AVIStreamWrite(PAVISTREAM stream, LONG start, LONG samples, LPVOID buffer, LONG bufferSize,
                       DWORD flags, LONG* samplesWritten, LONG* bytesWritten);
// Drop one reference; the count left. The file is completed on disk when the
// last reference to it (its own and its streams') goes; AviLastCloseResult
// then tells whether that reached the disk.
ULONG AVIStreamRelease(PAVISTREAM stream);
ULONG AVIFileRelease(PAVIFILE file);

// RIFF parts a file can have: the 'indx' super index has room for this many
// entries, which it reserves in the first part. At the default limit of 1 GiB
// per part that is about 1 TiB of frames.
constexpr DWORD AVI_MAX_RIFF_PARTS = 1024;
// The size of the file that one video stream with a format (header and
// colour table) of `formatBytes` and the frames of `runs` would make, as
// AVIStreamWrite writes them in order: `count` frames of `bytes` each per run
// (compressed or not: the bytes as stored), empty samples as runs of 0 bytes.
// Exact, OpenDML parts included, for a file completed without a failure.
struct AviFrameRun {
    std::size_t bytes;
    std::uint64_t count;
};
std::uint64_t AviPlannedFileSize(std::size_t formatBytes, const AviFrameRun* runs,
                                 std::size_t runCount);

// The result of completing the file whose last reference went most recently:
// AVIERR_OK, or the first failure of any write to it (frames, indexes,
// header patches, close), AVIERR_FILEWRITE or AVIERR_MEMORY.
HRESULT AviLastCloseResult();
// The system's reason (errno) behind that failure, when the disk refused a
// call (ENOSPC, EFBIG, EIO...); 0 after AVIERR_OK or a failure of memory.
int AviLastCloseErrno();
