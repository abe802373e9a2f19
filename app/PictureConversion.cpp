#include "app/PictureConversion.h"

#include "app/VideoSink.h"
#include "app/VideoTiming.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "fw/MemoryDC.h"
#include "res/Resource.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The picture's next frame, without letting an exception out: one that
// cannot be had for memory fails as kNoMemory.
bool DecodeNext(CAnimatedPicture& picture, bool* noMemory) {
    try {
        return picture.NextFrame();
    } catch (const std::bad_alloc&) {
        *noMemory = true;
    } catch (const CMemoryException&) {
        *noMemory = true;
    }
    return false;
}

// Decodes each next frame on a thread of its own while the frame before it
// is captured, encoded and written: the picture's canvas holds one frame, so
// the next is decoded once the one before has been copied out of it
// (Release). Without a thread to be had, each frame is decoded when asked for.
class FrameReader {
public:
    explicit FrameReader(CAnimatedPicture& picture) : picture_(picture) {
        try {
            thread_ = std::thread([this] { Decode(); });
        } catch (const std::system_error&) {
        }
    }
    ~FrameReader() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Waits for the next frame: the picture's pixels, or null when the frames
    // ended (NoMemory() tells a frame that failed for memory).
    const uint8_t* Next() {
        if (!thread_.joinable()) {
            return DecodeNext(picture_, &noMemory_) ? picture_.Pixels() : nullptr;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return state_ != kDecoding; });
        return state_ == kReady ? picture_.Pixels() : nullptr;
    }
    // The frame Next gave is copied out: the next may be decoded.
    void Release() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == kReady) state_ = kDecoding;
        }
        changed_.notify_all();
    }
    bool NoMemory() const { return noMemory_; }

private:
    enum State { kDecoding, kReady, kEnded };

    void Decode() {
        for (;;) {
            const bool decoded = DecodeNext(picture_, &noMemory_);
            std::unique_lock<std::mutex> lock(mutex_);
            state_ = decoded ? kReady : kEnded;
            changed_.notify_all();
            if (!decoded) return;
            changed_.wait(lock, [this] { return stop_ || state_ == kDecoding; });
            if (stop_) return;
        }
    }

    CAnimatedPicture& picture_;
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = kDecoding;
    bool stop_ = false;
    bool noMemory_ = false; // written by the decoding thread before kEnded
    std::thread thread_;
};

// Every colour the frames show, each once, in ascending 0x00BBGGRR order,
// from one reading of all of them; the picture is rewound after it. Reports
// each frame read to `progress`, which may stop the reading (false).
std::optional<std::vector<COLORREF>> CollectColours(CAnimatedPicture& picture,
                                                    const std::function<bool()>& progress) {
    constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
    const std::unique_ptr<uint64_t[]> seen(new uint64_t[kWords]());
    const std::size_t pixels = std::size_t(picture.Width()) * std::size_t(picture.Height());
    bool noMemory = false;
    while (DecodeNext(picture, &noMemory)) {
        const uint8_t* p = picture.Pixels();
        uint32_t last = 0xFFFFFFFF; // runs of one colour are common
        for (std::size_t i = 0; i < pixels; ++i, p += 4) {
            const uint32_t colour = uint32_t{p[2]} | uint32_t{p[1]} << 8 | uint32_t{p[0]} << 16;
            if (colour == last) continue;
            last = colour;
            seen[colour >> 6] |= uint64_t{1} << (colour & 63);
        }
        if (!progress()) return std::nullopt;
    }
    if (noMemory) throw CMemoryException();
    picture.Rewind();
    std::vector<COLORREF> colours;
    for (std::size_t word = 0; word < kWords; ++word)
        for (uint64_t bits = seen[word]; bits; bits &= bits - 1)
            colours.push_back(COLORREF(word * 64 + std::size_t(__builtin_ctzll(bits))));
    return colours;
}

// A width x height device bitmap for `dc`, for the frames to be copied into.
HBITMAP FrameBitmap(HDC dc, int width, int height) {
    BITMAPINFOHEADER header{sizeof header, width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    return CreateDIBitmap(dc, &header, 0, nullptr, nullptr, DIB_RGB_COLORS);
}

// Copies the picture's pixels (rows from the top, 32 bits) into the bitmap.
void CopyFrame(HDC dc, HBITMAP bitmap, const uint8_t* pixels, int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    CMemoryDC memory(dc, bitmap);
    StretchDIBits(memory.GetSafeHdc(), 0, 0, width, height, 0, 0, width, height, pixels, &info,
                  DIB_RGB_COLORS, SRCCOPY);
}

// Whether a frame of `delay` milliseconds shows for about 1/15 s, as the
// default mode shows it: 6 or 7 hundredths, rounded.
bool AboutOneFifteenth(int delay) {
    const int hundredths = (delay + 5) / 10;
    return hundredths == 6 || hundredths == 7;
}

} // namespace

int PictureDelayOf(int milliseconds) {
    return milliseconds <= 10 ? 100 : milliseconds;
}

bool PictureFaithfulDiffers(const std::vector<int>& durations) {
    return !std::all_of(durations.begin(), durations.end(),
                        [](int d) { return AboutOneFifteenth(PictureDelayOf(d)); });
}

ConversionResult ConvertPicture(CAnimatedPicture& picture, const CString& source,
                                const CString& destination, bool uncompressed, HDC dc,
                                const ProgressCallback& progress, bool faithful, int keyFrameEvery,
                                const LongVideoCallback& longVideo) {
    ConversionResult result;
    result.gif = false;
    result.path = source;
    const int width = picture.Width(), height = picture.Height();
    const int images = int(picture.Durations().size());
    std::vector<int> delays;
    for (int d : picture.Durations()) delays.push_back(PictureDelayOf(d));
    const VideoTiming timing = faithful ? TimingOf(delays, 1000) : VideoTiming{};
    if (faithful) {
        // frames x scale / rate seconds, compared exactly.
        long long frames = 0;
        for (int f : timing.frames) frames += f;
        const long long length = frames * timing.scale, rate = timing.rate;
        if (length > kLongVideoSeconds * rate) {
            result.longVideoSeconds = (length + rate / 2) / rate;
            if (longVideo) longVideo(result);
        }
    } else {
        result.faithfulDiffers = PictureFaithfulDiffers(picture.Durations());
    }

    // An RLE8 video's one colour table comes from every colour the frames
    // show, read before the first frame is written, and is realised where
    // the frames are reduced to 8 bits.
    const int readings = uncompressed ? 1 : 2;
    int read = 0;
    std::optional<CVideoPalette> palette;
    if (!uncompressed) {
        const auto colours = CollectColours(
            picture, [&] { return !progress || progress(++read, readings * images); });
        if (!colours) {
            result.cancelled = true;
            result.messageId = IDS_CANCELLED;
            return result;
        }
        if (colours->empty()) {
            // Not one frame could be decoded.
            result.messageId = IDS_LOAD_ERROR;
            return result;
        }
        palette.emplace(*colours);
        if (!palette->Realize(dc)) throw CMemoryException();
    }

    struct BitmapHolder {
        HBITMAP bitmap;
        ~BitmapHolder() {
            if (bitmap) DeleteObject(bitmap);
        }
    } canvas{FrameBitmap(dc, width, height)};
    if (!canvas.bitmap) throw CMemoryException();

    std::optional<FrameReader> reader;
    reader.emplace(picture);
    const uint8_t* pixels = reader->Next();
    if (!pixels) {
        result.messageId = reader->NoMemory()                                  ? IDS_MEMORY_ERROR
                           : picture.LastFailure() == CAnimatedPicture::kEnded ? IDS_NO_IMAGES
                                                                               : IDS_LOAD_ERROR;
        return result;
    }
    result.path = destination;
    CVideoSink sink(destination, width, height);
    if (!sink.Opened()) {
        result.messageId = IDS_WRITE_ERROR;
        result.error = sink.OpenError();
        return result;
    }
    sink.Configure(uncompressed, timing.rate, timing.scale, keyFrameEvery);
    UINT failure = 0;
    std::size_t image = 0;
    while (pixels) {
        CopyFrame(dc, canvas.bitmap, pixels, width, height);
        reader->Release();
        const int repeats = faithful && image < timing.frames.size() ? timing.frames[image] : 1;
        ++image;
        // A frame of no time is composed but gives no video frame.
        if (!sink.Add(&canvas.bitmap, repeats)) {
            failure = sink.Failure();
            break;
        }
        ++result.frames;
        if (progress &&
            !progress(read + int(image), std::max(readings * images, read + int(image)))) {
            result.cancelled = true;
            break;
        }
        pixels = reader->Next();
    }
    const bool noMemory = reader->NoMemory();
    reader.reset();
    if (result.cancelled) {
        sink.Abandon();
        result.messageId = IDS_CANCELLED;
        result.path = source;
        return result;
    }
    if (!failure && noMemory) failure = IDS_MEMORY_ERROR;
    int error = 0;
    failure = sink.Finish(failure, &error);
    if (failure) {
        result.messageId = failure;
        if (failure == IDS_WRITE_ERROR)
            result.error = error;
        else
            result.path = source;
        return result;
    }
    result.path = source;
    if (picture.LastFailure() == CAnimatedPicture::kRefused) {
        result.messageId = IDS_PARTLY_CONVERTED;
        return result;
    }
    result.converted = true;
    result.messageId = IDS_CONVERTED;
    return result;
}
