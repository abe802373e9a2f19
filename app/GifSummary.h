// CGifSummary: what can be said of a GIF before it is converted, for the
// dialog's preview (a WebP or PNG picture is summed up the same way, its
// frames counted from its structure and its first frame decoded). The images are counted and their
// graphic controls read by the decoder's block walk, without decoding them; only the first image is
// decoded, and drawn as each mode's first video frame. Nothing here uses Qt,
// and a summary may be read on any thread: every object it draws with is its
// own, it realises no palette on the screen, and it shows no message box. (On
// a screen of 8 bits or fewer device bitmaps index the screen's palette,
// which a conversion realises: there it belongs on the conversion's thread.)
#pragma once

#include "fw/String.h"
#include "platform/WinTypes.h"

#include <cstdint>
#include <functional>
#include <vector>

class CGifSummary {
public:
    // The video of one playing mode: the default (one frame per image at 15
    // frames per second) or the faithful one.
    struct Video {
        long long frames = 0;          // video frames, the empty ones included
        DWORD rate = 15, scale = 1;    // rate / scale frames per second
        std::vector<DWORD> firstFrame; // 0x00RRGGBB, top row first, m_nWidth a row
        // The uncompressed file's size, exact: every frame is the canvas
        // captured whole, so the frame's size, the count of frames (and of
        // empty ones) and the file layout (AviPlannedFileSize) give it.
        std::uint64_t uncompressedBytes = 0;
        // About the RLE8 file's size: the first frame's encoding taken for
        // every image's frame, on the video's palette, in the same layout.
        // Animations whose images differ in detail from the first differ
        // from it by as much. Delta frames are never larger than whole ones,
        // so it is also about the most a delta-frame file takes.
        std::uint64_t rle8Bytes = 0;
    };

    // Reads the GIF at `path`. `stale`, when given, is asked between the
    // steps; when it answers true the reading stops and the summary is
    // marked stale.
    static CGifSummary Read(const CString& path, const std::function<bool()>& stale = {});

    // The file is a GIF (else a WebP or PNG picture, or unknown).
    bool m_bGif = true;
    // Why the file cannot be converted, in words; empty when it can.
    CString m_strError;
    bool m_bStale = false;
    int m_nWidth = 0, m_nHeight = 0; // the video's frame: the logical screen
    int m_nImages = 0;
    // The images' delays as the faithful mode takes them (CConversion::DelayOf).
    long long m_nDelayHundredths = 0;
    // The default mode leaves out transparency, disposal or timing the GIF
    // asks for (the command line's hint).
    bool m_bFaithfulDiffers = false;
    Video m_default, m_faithful;

    bool IsReadable() const { return !m_bStale && m_strError.IsEmpty(); }
    // The default video's length: one frame per image at 15 frames per second.
    double SecondsAt15() const { return m_nImages / 15.0; }
    double OwnSeconds() const { return static_cast<double>(m_nDelayHundredths) / 100.0; }
    const Video& VideoOf(bool faithful) const { return faithful ? m_faithful : m_default; }
};
