// CVideoSink: the video of one conversion as it is written, frame by frame,
// to a temporary file (OutputFile) that takes the destination's name only
// when the video is complete; a failed or cancelled video leaves the
// destination as it was and no file behind.
#pragma once

#include "app/OutputFile.h"
#include "avi/AviWriter.h"
#include "fw/String.h"
#include "gfx/Gdi.h"

#include <optional>

class CVideoSink {
public:
    // The temporary file beside the file `destination` leads to; Opened()
    // says whether it could be made.
    CVideoSink(const CString& destination, int width, int height);
    CVideoSink(const CVideoSink&) = delete;
    CVideoSink& operator=(const CVideoSink&) = delete;

    bool Opened() const { return m_writer.has_value(); }
    // The system's reason why the file could not be made.
    int OpenError() const { return m_file.Error(); }

    // Before the first frame: RLE8 unless `uncompressed`, at rate / scale
    // frames per second, and for RLE8 a key frame every `keyFrameEvery`
    // frames (kEvery10Seconds: every 10 seconds of video; 0: every frame).
    void Configure(bool uncompressed, DWORD rate, DWORD scale, int keyFrameEvery);
    static constexpr int kEvery10Seconds = -1;

    // Appends the bitmap *canvas as the next frame, followed by `repeats` - 1
    // empty frames; nothing for 0 repeats. False when the writer failed;
    // Failure() then says why: IDS_MEMORY_ERROR when the frame could not be
    // captured, IDS_WRITE_ERROR when the file could not be written.
    bool Add(HBITMAP* canvas, int repeats);
    UINT Failure() const { return m_failure; }

    // Completes the video, after a `failure` of the caller's or of Add (0 for
    // none): closes the writer and, without a failure, gives the file the
    // destination's name. The failure that stands (0 when the video is in
    // place); for IDS_WRITE_ERROR *error receives the system's reason.
    UINT Finish(UINT failure, int* error);
    // Closes the writer and leaves the destination as it was.
    void Abandon();

private:
    OutputFile m_file;
    std::optional<CAviWriter> m_writer;
    bool m_bUncompressed = false;
    UINT m_failure = 0;
};
