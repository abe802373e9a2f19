// What one conversion answers, and the callbacks that hear of it on the way.
#pragma once

#include "fw/String.h"
#include "platform/WinTypes.h"

#include <functional>

struct ConversionResult {
    bool converted = false;
    UINT messageId = 0; // IDS_CONVERTED, or what to show instead
    CString path;       // the file the message names ("%1")
    int frames = 0;     // images written ("%2")
    // The default mode left out what the source asks for: for a GIF
    // transparency, disposal 2 or 3, or delays other than about 1/15 s; for
    // a WebP or PNG picture, durations other than about 1/15 s.
    bool faithfulDiffers = false;
    bool gif = true;        // the source was a GIF (else a WebP or PNG picture)
    bool cancelled = false; // the progress callback stopped it
    // The faithful video's length in seconds, as the delays make it,
    // when that is more than kLongVideoSeconds; 0 otherwise.
    long long longVideoSeconds = 0;
    // The system's reason for the failure (errno: ENOSPC, ENOENT,
    // EACCES...), taken where the failing call happened; 0 when the
    // failure has none (a source that cannot be read, memory).
    int error = 0;
};

// Hears, after each image, how many images are done and how many there are
// (for a GIF counted from the image descriptors before any is decoded, an
// image cut short at the end of the file may come on top; a WebP or PNG
// picture that an RLE8 video reads twice, its colours first, counts each
// frame twice). Returns false to stop the conversion.
using ProgressCallback = std::function<bool(int done, int images)>;
// Hears, once the source is read and before the first frame is written, of
// a video longer than kLongVideoSeconds (the result has its length), so
// that the caller can say so before the wait.
using LongVideoCallback = std::function<void(const ConversionResult& planned)>;
constexpr long long kLongVideoSeconds = 3600;
