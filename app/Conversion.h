// One conversion of a GIF file into an AVI file, from loading the GIF to the
// complete video on disk: the part that the dialog and the command line
// share. It shows no message of its own (the GIF decoder reports a file it
// cannot open); it answers with the message its caller shows.
//
// Every GIF image is drawn opaquely at its place on a canvas of the logical
// screen's size, and the canvas is appended after each image as the next video
// frame, at 15 frames per second. Transparency, disposal and delays are not
// applied. The video is written to a temporary file (TemporaryFile) and takes
// the destination's name only when complete, so a failed or interrupted
// conversion leaves the destination as it was.
#pragma once

#include "fw/String.h"
#include "gfx/Gdi.h"

#include <functional>

class CConversion {
public:
    struct Result {
        bool converted = false;
        UINT messageId = 0; // IDS_CONVERTED, or what to show instead
        CString path;       // the file the message names ("%1")
        int frames = 0;     // video frames written ("%2")
    };

    // Converts `source` into `destination` (both already checked), drawing
    // through `dc`, the front end's device context: the dialog window's, or
    // the screen's. RLE8 frames unless `uncompressed`. `progress`, when given,
    // hears the number of frames written after each one. A destination that
    // is a symbolic link is written through it. An image the decoder refuses
    // after the first ends the video there: the video is complete, and the
    // result is IDS_PARTLY_CONVERTED, not a success.
    static Result Run(const CString& source, const CString& destination, bool uncompressed, HDC dc,
                      const std::function<void(int)>& progress = {});

    // Why `destination` may not receive a video from `source`, before
    // anything is read or written: IDS_DEST_IS_SOURCE when it is the source
    // file itself (through a link or under another name), IDS_DEST_NOT_FILE
    // when it exists and is not a regular file (a folder, a FIFO, a device, or
    // a link to one). 0 when it may.
    static UINT CheckDestination(const CString& source, const CString& destination);

    // The text of message `id` with its path ("%1") and frame count ("%2").
    static CString Message(UINT id, const CString& path, int frames = 0);
    static CString Message(const Result& result) {
        return Message(result.messageId, result.path, result.frames);
    }

    // Copies the frame's top-left cx x cy pixels onto the canvas at (x, y),
    // opaquely, clipped at the canvas edges; returns the canvas.
    static HBITMAP DrawFrame(HDC dc, HBITMAP canvas, HBITMAP frame, int x, int y, int cx, int cy);

    // No canvas may need more than this (256 MiB at 32 bits per pixel).
    static constexpr long long kMaxCanvasBytes = 256LL << 20;
};
