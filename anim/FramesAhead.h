// Frames decoded ahead, on threads of their own, for the pictures whose frames
// decode independently of each other (a WebP frame is a bitstream of its own,
// an APNG frame a zlib stream of its own) while each must wait for the one
// before to be composed on the canvas. Frame i decodes into the picture's
// slot i % kSlots; while one is composed the kAhead after it decode. With one
// frame ahead decoding would still go one frame at a time, only on another
// thread. Without threads to be had, a frame is decoded when asked for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

class FramesAhead {
public:
    static constexpr std::size_t kAhead = 2;
    static constexpr std::size_t kSlots = kAhead + 1;

    // `decode(frame)` decodes a frame into its slot: true when it could. It
    // runs on any thread, and must read nothing a composition changes.
    explicit FramesAhead(std::function<bool(std::size_t)> decode) : m_decode(std::move(decode)) {}
    ~FramesAhead() { Stop(); }
    FramesAhead(const FramesAhead&) = delete;
    FramesAhead& operator=(const FramesAhead&) = delete;

    // Frame `frame` of `count`, decoded here or waited for; the frames after
    // it start decoding ahead meanwhile (the first, or the first after a
    // rewind, decodes beside them). Whether it decoded.
    bool Get(std::size_t frame, std::size_t count) {
        bool decoded = false, ahead = false;
        for (Ahead& a : m_ahead)
            if (a.frame == frame) {
                a.thread.join();
                a.frame = kNone;
                decoded = a.decoded;
                ahead = true;
            }
        for (std::size_t next = frame + 1; next <= frame + kAhead && next < count; ++next)
            Start(next);
        return ahead ? decoded : m_decode(frame);
    }
    // Waits for the frames being decoded ahead and forgets them.
    void Stop() {
        for (Ahead& a : m_ahead) {
            if (a.thread.joinable()) a.thread.join();
            a.frame = kNone;
        }
    }

private:
    static constexpr std::size_t kNone = SIZE_MAX;
    // Starts decoding `frame` ahead unless it is, or there is no thread.
    void Start(std::size_t frame) {
        Ahead* free = nullptr;
        for (Ahead& a : m_ahead) {
            if (a.frame == frame) return;
            if (a.frame == kNone) free = &a;
        }
        if (!free) return;
        try {
            free->thread = std::thread([this, free, frame] { free->decoded = m_decode(frame); });
            free->frame = frame;
        } catch (const std::system_error&) {
        }
    }

    struct Ahead {
        std::thread thread;
        std::size_t frame = kNone;
        bool decoded = false; // written by the thread, read once joined
    };
    std::function<bool(std::size_t)> m_decode;
    std::array<Ahead, kAhead> m_ahead;
};
