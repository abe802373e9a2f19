// One conversion of an animated picture into an AVI file, from loading the
// source to the complete video on disk: the part that the dialog and the
// command line share. The source's first bytes say what it is: a GIF file is
// converted as below; a WebP or PNG (APNG) picture as PictureConversion.h
// says; anything else is refused as a GIF that cannot be loaded. It shows no message of its own; it
// answers with the message its caller shows, and the system's reason for it when there is one.
//
// By default every GIF image is drawn opaquely at its place on a canvas of the
// logical screen's size, and the canvas is appended after each image as the
// next video frame, at 15 frames per second: transparency, disposal and delays
// are not applied. The faithful mode plays the animation as browsers do: each
// image's graphic control extension governs it alone; transparent pixels
// leave the canvas as it was; before each image the previous one's disposal
// applies (2: its rectangle back to the background colour, 3: back to what
// it was before it was drawn; 0, 1 and 4 to 7 leave it); and each image shows
// for its delay (0, 1 or none counting as 10 hundredths), the video running
// at 100 / g frames per second for g the delays' greatest common divisor, at
// most 50 (image starts then rounded to the nearest frame). An image that
// lasts k frames is written once and followed by k - 1 empty frames. The video is written to a
// temporary file (TemporaryFile) and takes the destination's name only when complete, so a failed
// or interrupted conversion leaves the destination as it was.
#pragma once

#include "app/ConversionResult.h"
#include "app/VideoSink.h"
#include "app/VideoTiming.h"
#include "fw/String.h"
#include "gfx/Gdi.h"
#include "gif/GifDecoder.h"

#include <vector>

class CConversion {
public:
    using Result = ConversionResult;
    using Progress = ProgressCallback;
    using LongVideo = LongVideoCallback;
    static constexpr long long kLongVideoSeconds = ::kLongVideoSeconds;

    // Converts `source` into `destination` (both already checked), drawing
    // through `dc`, the front end's device context: the dialog window's, or
    // the screen's. RLE8 frames unless `uncompressed`. `progress`, when given,
    // hears of each image; when it answers false the conversion stops,
    // writes nothing and gives IDS_CANCELLED. A destination that
    // is a symbolic link is written through it; a read-only one (no write
    // bit for its owner, whoever runs the program) gives IDS_WRITE_ERROR
    // with EACCES before anything is read (OutputFile). A source that cannot
    // be opened, or is no regular file, gives IDS_OPEN_ERROR with the
    // system's reason (none for a FIFO or a device). An image the decoder refuses
    // (or a frame of a damaged WebP or PNG picture) after the first ends the video there: the video
    // is complete, and the result is IDS_PARTLY_CONVERTED, not a success. `keyFrameEvery` (RLE8
    // only) asks for delta frames: a key frame every that many video frames, kDeltaEvery10Seconds
    // for one every 10 seconds of video; 0 (the default) makes every frame a key frame.
    static Result Run(const CString& source, const CString& destination, bool uncompressed, HDC dc,
                      const Progress& progress = {}, bool faithful = false, int keyFrameEvery = 0,
                      const LongVideo& longVideo = {});
    static constexpr int kDeltaEvery10Seconds = CVideoSink::kEvery10Seconds;

    // Why `destination` may not receive a video from `source`, before
    // anything is read or written: IDS_DEST_IS_SOURCE when it is the source
    // file itself (through a link or under another name), IDS_DEST_NOT_FILE
    // when it exists and is not a regular file (a folder, a FIFO, a device, or
    // a link to one). 0 when it may.
    static UINT CheckDestination(const CString& source, const CString& destination);

    // The text of message `id` with its path ("%1") and frame count ("%2").
    // A text that names no file (IDS_BAD_SOURCE_EXT, IDS_BAD_DEST_EXT) is
    // followed by ": " and `path` when one is given.
    static CString Message(UINT id, const CString& path, int frames = 0);
    // The result's message, followed on the same line by ": " and the
    // system's reason when there is one ("Error writing file clip.avi: No
    // space left on device").
    static CString Message(const Result& result);
    // The system's reason alone, as the system words it ("No space left on
    // device"); empty when the result has none.
    static CString Reason(const Result& result);
    // What to say of a long video (IDS_LONG_VIDEO): `source` and the length
    // as hours, minutes and seconds.
    static CString LongVideoNotice(const CString& source, long long seconds);

    // Copies the frame's top-left cx x cy pixels onto the canvas at (x, y),
    // opaquely, clipped at the canvas edges; returns the canvas.
    static HBITMAP DrawFrame(HDC dc, HBITMAP canvas, HBITMAP frame, int x, int y, int cx, int cy);
    // As DrawFrame, but where the monochrome `mask` is white the canvas stays
    // as it was (MaskBlt).
    static HBITMAP DrawMasked(HDC dc, HBITMAP canvas, HBITMAP frame, HBITMAP mask, int x, int y,
                              int cx, int cy);
    // DrawMasked with a mask, DrawFrame without one.
    static HBITMAP DrawImage(HDC dc, HBITMAP canvas, HBITMAP frame, HBITMAP mask, int x, int y,
                             int cx, int cy);

    // The canvas a video starts from, before its first image is drawn on it:
    // the logical screen (a dimension of 0 takes the first image's extent),
    // a copy of the first image when that covers it and the mode is not
    // faithful, else the background colour. `first` is the first image's
    // device bitmap, `place` where it goes; *width and *height receive the
    // canvas size. Null, with a size of 0 x 0, for a canvas of no pixels or
    // above kMaxCanvasBytes; null with the size set when memory failed.
    static HBITMAP StartCanvas(HDC dc, const CGifDecoder& decoder, HBITMAP first, const RECT& place,
                               bool faithful, int* width, int* height);
    // The colours an RLE8 video's palette is made from (CreateVideoPalette):
    // every colour the images can show, and the background where it can
    // show.
    static std::vector<COLORREF>
    VideoColours(const CGifDecoder& decoder, const std::vector<CGifDecoder::ImageControl>& controls,
                 bool faithful);

    // An image's delay as browsers take it, in hundredths of a second: 0, 1
    // or no graphic control extension count as 10.
    static int DelayOf(const CGifDecoder::ImageControl& control);
    // Whether the default mode leaves out what the images ask for:
    // transparency, disposal 2 or 3, or delays other than about 1/15 s.
    static bool FaithfulDiffers(const std::vector<CGifDecoder::ImageControl>& controls);

    // How long each image shows in the faithful mode (VideoTiming.h).
    using Timing = VideoTiming;
    static Timing TimingOf(const std::vector<int>& delays) { return ::TimingOf(delays); }

    // No canvas may need more than this (256 MiB at 32 bits per pixel).
    static constexpr long long kMaxCanvasBytes = 256LL << 20;
};
