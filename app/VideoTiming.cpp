#include "app/VideoTiming.h"

#include <numeric>

VideoTiming TimingOf(const std::vector<int>& delays, int unitsPerSecond) {
    VideoTiming timing;
    int g = 0;
    for (int d : delays) g = std::gcd(g, d);
    if (g == 0) return timing;
    if (unitsPerSecond / g <= 50) {
        // Every image lasts a whole number of frames of g units.
        timing.rate = DWORD(unitsPerSecond);
        timing.scale = DWORD(g);
        for (int d : delays) timing.frames.push_back(d / g);
        return timing;
    }
    // 50 frames per second: each image starts at the frame nearest its start.
    timing.rate = 50;
    timing.scale = 1;
    const long long units = unitsPerSecond;
    long long start = 0;
    for (int d : delays) {
        const long long first = (start * 50 + units / 2) / units;
        const long long next = ((start + d) * 50 + units / 2) / units;
        timing.frames.push_back(int(next - first));
        start += d;
    }
    return timing;
}

long long LengthBeyond(const VideoTiming& timing, long long seconds) {
    long long frames = 0;
    for (int f : timing.frames) frames += f;
    const long long length = frames * timing.scale, rate = timing.rate;
    return length > seconds * rate ? (length + rate / 2) / rate : 0;
}
