#include "app/PictureConversion.h"

#include "app/VideoSink.h"
#include "app/VideoTiming.h"
#include "app/WorkerThread.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "fw/MemoryDC.h"
#include "res/Resource.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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
// is read (its colours counted, or captured, encoded and written). A picture
// keeps its last two frames (CAnimatedPicture::Pixels), so the thread decodes
// one frame ahead and waits, before the one after, until the frame before is
// released. Without a thread to be had, each frame is decoded when asked for.
class FrameReader {
public:
    explicit FrameReader(CAnimatedPicture& picture) : picture_(picture) {
        worker_.Start([this] { Decode(); });
    }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Waits for the next frame: its pixels, or null when the frames ended
    // (NoMemory() tells a frame that failed for memory).
    const uint8_t* Next() {
        if (!worker_.Running()) {
            return DecodeNext(picture_, &noMemory_) ? picture_.Pixels() : nullptr;
        }
        std::unique_lock<std::mutex> lock(worker_.mutex);
        worker_.changed.wait(lock, [this] { return produced_ > taken_ || ended_; });
        if (produced_ == taken_) return nullptr;
        return frames_[taken_++ % 2];
    }
    // The frame Next gave last is read: its buffer may take a later frame.
    void Release() {
        if (!worker_.Running()) return;
        {
            std::lock_guard<std::mutex> lock(worker_.mutex);
            ++released_;
        }
        worker_.changed.notify_all();
    }
    bool NoMemory() const { return noMemory_; }

private:
    void Decode() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(worker_.mutex);
                worker_.changed.wait(
                    lock, [this] { return worker_.stopping || produced_ - released_ < 2; });
                if (worker_.stopping) return;
            }
            const bool decoded = DecodeNext(picture_, &noMemory_);
            {
                std::lock_guard<std::mutex> lock(worker_.mutex);
                if (decoded)
                    frames_[produced_++ % 2] = picture_.Pixels();
                else
                    ended_ = true;
            }
            worker_.changed.notify_all();
            if (!decoded) return;
        }
    }

    CAnimatedPicture& picture_;
    const uint8_t* frames_[2] = {};
    long long produced_ = 0, taken_ = 0, released_ = 0;
    bool ended_ = false;
    bool noMemory_ = false; // written by the decoding thread before ended_
    WorkerThread worker_;   // last: it stops before the rest goes
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
    {
        FrameReader reader(picture);
        while (const uint8_t* p = reader.Next()) {
            uint32_t last = 0xFFFFFFFF; // runs of one colour are common
            for (std::size_t i = 0; i < pixels; ++i, p += 4) {
                const uint32_t colour = uint32_t{p[2]} | uint32_t{p[1]} << 8 | uint32_t{p[0]} << 16;
                if (colour == last) continue;
                last = colour;
                seen[colour >> 6] |= uint64_t{1} << (colour & 63);
            }
            reader.Release();
            if (!progress()) return std::nullopt;
        }
        noMemory = reader.NoMemory();
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

// An uncompressed video frame as the writer takes it: a packed 24-bit DIB,
// rows from the bottom, made from the picture's pixels in one pass (a device
// bitmap and its capture would copy each frame twice more).
class PackedFrame {
public:
    PackedFrame(int width, int height)
        : width_(width), height_(height), stride_(std::size_t(DibRowBytes(unsigned(width), 24))),
          block_(sizeof(BITMAPINFOHEADER) + stride_ * std::size_t(height)) {
        const BITMAPINFOHEADER header{sizeof header,
                                      width,
                                      height,
                                      1,
                                      24,
                                      BI_RGB,
                                      DWORD(stride_ * std::size_t(height)),
                                      0,
                                      0,
                                      0,
                                      0};
        std::memcpy(block_.data(), &header, sizeof header);
    }
    // The frame of `pixels` (rows from the top, blue, green, red, unused).
    const BITMAPINFOHEADER* From(const uint8_t* pixels) {
        uint8_t* rows = block_.data() + sizeof(BITMAPINFOHEADER);
        for (int y = 0; y < height_; ++y) {
            const uint8_t* in = pixels + std::size_t(height_ - 1 - y) * std::size_t(width_) * 4;
            uint8_t* out = rows + std::size_t(y) * stride_;
            for (int x = 0; x < width_; ++x, in += 4, out += 3) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
            }
        }
        return reinterpret_cast<const BITMAPINFOHEADER*>(block_.data());
    }

private:
    int width_, height_;
    std::size_t stride_;
    std::vector<uint8_t> block_; // zeroed: the rows' padding stays 0
};

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
        result.longVideoSeconds = LengthBeyond(timing, kLongVideoSeconds);
        if (result.longVideoSeconds && longVideo) longVideo(result);
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

    // RLE8 frames are reduced to the palette through a device bitmap, as a
    // GIF's are; uncompressed ones go to the writer as they are.
    struct BitmapHolder {
        HBITMAP bitmap;
        ~BitmapHolder() {
            if (bitmap) DeleteObject(bitmap);
        }
    } canvas{uncompressed ? nullptr : FrameBitmap(dc, width, height)};
    if (!uncompressed && !canvas.bitmap) throw CMemoryException();
    std::optional<PackedFrame> packed;
    if (uncompressed) packed.emplace(width, height);

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
        const int repeats = faithful && image < timing.frames.size() ? timing.frames[image] : 1;
        ++image;
        // A frame of no time is composed but gives no video frame.
        bool added;
        if (packed) {
            const BITMAPINFOHEADER* frame = packed->From(pixels);
            reader->Release();
            added = sink.AddPacked(frame, repeats);
        } else {
            CopyFrame(dc, canvas.bitmap, pixels, width, height);
            reader->Release();
            added = sink.Add(&canvas.bitmap, repeats);
        }
        if (!added) {
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
