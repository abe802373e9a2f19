// How long each image of an animation shows in a video that plays it in
// time: the video's rate and each image's number of frames.
#pragma once

#include "platform/WinTypes.h"

#include <vector>

struct VideoTiming {
    DWORD rate = 15, scale = 1; // rate / scale frames per second
    std::vector<int> frames;    // per image; 0 for an image that rounds to no time
};

// The timing of images that last `delays` units of 1 / `unitsPerSecond` s
// each (hundredths for GIF, milliseconds for WebP and APNG): the video runs
// at unitsPerSecond / g frames per second for g the delays' greatest common
// divisor when that is at most 50, each image lasting delay / g frames; else
// at 50 frames per second, each image starting at the frame nearest its start.
VideoTiming TimingOf(const std::vector<int>& delays, int unitsPerSecond = 100);

// The video's length in seconds, rounded, when it is more than `seconds`
// (frames × scale / rate, compared exactly); 0 otherwise.
long long LengthBeyond(const VideoTiming& timing, long long seconds);
