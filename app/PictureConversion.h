// The conversion of a WebP or PNG picture (an animated one, or a still one,
// which becomes a one-frame video) into an AVI file.
//
// Each frame of the picture, composed on its canvas by the format's rules and
// made opaque over its background (CAnimatedPicture), becomes a video frame:
// by default one per frame at 15 frames per second; in the faithful mode each
// lasts its duration (10 milliseconds or less counting as 100, as browsers
// take them), at the rate VideoTiming chooses from the durations in
// milliseconds. An RLE8 video's palette is made from every colour the frames
// show, which takes a first reading of the frames before the second writes
// them; it is exact when they are at most 256. A frame that cannot be decoded
// ends the video there, as a damaged GIF does.
#pragma once

#include "anim/AnimatedPicture.h"
#include "app/ConversionResult.h"
#include "fw/String.h"
#include "gfx/Gdi.h"

#include <cstddef>
#include <vector>

// How much memory the RLE8 conversions of this process may keep the frames
// of their first readings in, so as to decode them once: 512 MiB, or an
// eighth of the machine's memory when that is less. The conversions running
// at once share it; a picture whose frames need more than is left of it is
// decoded twice.
std::size_t KeptFramesBudget();

// Converts `picture`, read from `source`, into `destination` (checked, as the
// source, by the caller), as CConversion::Run describes, keeping decoded
// frames within an allowance of `keptBytes` shared by all conversions.
ConversionResult ConvertPicture(CAnimatedPicture& picture, const CString& source,
                                const CString& destination, bool uncompressed,
                                const ProgressCallback& progress, bool faithful, int keyFrameEvery,
                                const LongVideoCallback& longVideo,
                                std::size_t keptBytes = KeptFramesBudget());

// A frame's duration as browsers take it, in milliseconds: 10 or less count
// as 100.
int PictureDelayOf(int milliseconds);
// Whether the default mode leaves out the frames' timing: a duration (as
// PictureDelayOf takes it) other than about 1/15 s, 6 or 7 hundredths.
bool PictureFaithfulDiffers(const std::vector<int>& durations);
