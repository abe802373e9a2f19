#include "app/PictureConversion.h"

#include "app/LargeBlock.h"
#include "app/PaletteMap.h"
#include "app/VideoSink.h"
#include "app/VideoTiming.h"
#include "app/WorkerThread.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "res/Resource.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <unistd.h>

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

// The frames of an RLE8 conversion's first reading, kept so that the second
// need not decode them again. The conversions of one process (a batch runs
// several at once) share one allowance, `budget` bytes: a conversion takes
// what all its frames need from what is left of it, or keeps none. The frames
// go into one block, reserved at once; the system gives it memory only where
// frames are written.
class KeptFrames {
public:
    KeptFrames(std::size_t frameBytes, std::size_t frames, std::size_t budget)
        : frameBytes_(frameBytes), capacity_(frames) {
        if (frameBytes == 0 || frames == 0 || frames > budget / frameBytes) return;
        const std::size_t bytes = frames * frameBytes;
        std::size_t taken = taken_.load();
        do {
            if (taken > budget || bytes > budget - taken) return;
        } while (!taken_.compare_exchange_weak(taken, taken + bytes));
        reserved_ = bytes;
        block_ = AllocateLargeBlock(bytes);
    }
    ~KeptFrames() { taken_ -= reserved_; }
    KeptFrames(const KeptFrames&) = delete;
    KeptFrames& operator=(const KeptFrames&) = delete;

    // Keeps a copy of the next frame (frameBytes of `pixels`); one more than
    // the block holds ends the keeping.
    void Keep(const uint8_t* pixels) {
        if (!block_) return;
        if (count_ == capacity_) {
            block_.reset();
            return;
        }
        std::memcpy(block_.get() + count_++ * frameBytes_, pixels, frameBytes_);
    }
    // Whether every frame read is kept.
    bool Complete() const { return block_ != nullptr; }
    std::size_t Count() const { return count_; }
    const uint8_t* operator[](std::size_t i) const { return block_.get() + i * frameBytes_; }

private:
    static inline std::atomic<std::size_t> taken_{0}; // of the allowance, by all conversions
    std::size_t frameBytes_, capacity_, count_ = 0, reserved_ = 0;
    LargeBlock block_;
};

// Every colour the frames show, each once, in ascending 0x00BBGGRR order,
// from one reading of all of them, which `kept` keeps. Reports each frame
// read to `progress`, which may stop the reading (false).
std::optional<std::vector<COLORREF>> CollectColours(CAnimatedPicture& picture, KeptFrames& kept,
                                                    const std::function<bool()>& progress) {
    constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
    const LargeBlock block = AllocateLargeBlock(kWords * sizeof(uint64_t));
    if (!block) throw CMemoryException();
    uint64_t* const seen = reinterpret_cast<uint64_t*>(block.get());
    std::fill_n(seen, kWords, uint64_t{0});
    const std::size_t pixels = std::size_t(picture.Width()) * std::size_t(picture.Height());
    bool noMemory = false;
    {
        FrameReader reader(picture);
        while (const uint8_t* p = reader.Next()) {
            kept.Keep(p);
            // No test for runs of one colour: in frames of many colours it
            // would mostly be mispredicted.
            for (std::size_t i = 0; i < pixels; ++i, p += 4) {
                const uint32_t colour = uint32_t{p[2]} | uint32_t{p[1]} << 8 | uint32_t{p[0]} << 16;
                seen[colour >> 6] |= uint64_t{1} << (colour & 63);
            }
            reader.Release();
            if (!progress()) return std::nullopt;
        }
        noMemory = reader.NoMemory();
    }
    if (noMemory) throw CMemoryException();
    std::size_t count = 0;
    for (std::size_t word = 0; word < kWords; ++word)
        count += std::size_t(__builtin_popcountll(seen[word]));
    std::vector<COLORREF> colours;
    colours.reserve(count);
    for (std::size_t word = 0; word < kWords; ++word)
        for (uint64_t bits = seen[word]; bits; bits &= bits - 1)
            colours.push_back(COLORREF(word * 64 + std::size_t(__builtin_ctzll(bits))));
    return colours;
}

// The kept frames reduced to the palette on two threads ahead of the writer,
// which takes them in order; without threads, each when asked for.
class MappedFrames {
public:
    MappedFrames(const KeptFrames& kept, const PaletteMap& map) : kept_(kept), map_(map) {
        for (auto& slot : slots_) slot.resize(map.DibBytes());
        for (std::thread& worker : workers_) {
            try {
                worker = std::thread([this] { Work(); });
            } catch (const std::system_error&) {
            }
        }
        threaded_ = std::any_of(std::begin(workers_), std::end(workers_),
                                [](const std::thread& t) { return t.joinable(); });
    }
    MappedFrames(const MappedFrames&) = delete;
    MappedFrames& operator=(const MappedFrames&) = delete;
    ~MappedFrames() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& worker : workers_)
            if (worker.joinable()) worker.join();
    }

    // The next frame, null after the last; valid until Release.
    const BITMAPINFOHEADER* Next() {
        if (taken_ == kept_.Count()) return nullptr;
        uint8_t* dib = slots_[taken_ % kSlots].data();
        if (!threaded_) {
            map_.Map(kept_[taken_], dib);
        } else {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return mapped_[taken_ % kSlots] == taken_; });
        }
        ++taken_;
        return reinterpret_cast<const BITMAPINFOHEADER*>(dib);
    }
    void Release() {
        if (!threaded_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++released_;
        }
        changed_.notify_all();
    }

private:
    static constexpr std::size_t kSlots = 4;
    // Takes the next frame not yet taken by a worker, once its slot is free.
    void Work() {
        for (;;) {
            std::size_t frame;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return stopping_ || claimed_ == kept_.Count() || claimed_ < released_ + kSlots;
                });
                if (stopping_ || claimed_ == kept_.Count()) return;
                frame = claimed_++;
            }
            map_.Map(kept_[frame], slots_[frame % kSlots].data());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                mapped_[frame % kSlots] = frame;
            }
            changed_.notify_all();
        }
    }

    const KeptFrames& kept_;
    const PaletteMap& map_;
    std::vector<uint8_t> slots_[kSlots];
    std::size_t taken_ = 0; // by the writer alone
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t mapped_[kSlots] = {SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
    std::size_t claimed_ = 0, released_ = 0;
    bool stopping_ = false;
    bool threaded_ = false;
    std::thread workers_[2]; // last: they stop before the rest goes
};

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
            Pack32To24(in, width_, rows + std::size_t(y) * stride_);
        }
        return reinterpret_cast<const BITMAPINFOHEADER*>(block_.data());
    }

private:
    int width_, height_;
    std::size_t stride_;
    std::vector<uint8_t> block_; // zeroed: the rows' padding stays 0
};

// The frames of the reading that writes, as the writer takes them (packed
// DIBs), each valid until Release: uncompressed ones packed as they are
// decoded; RLE8 ones reduced to the palette, from the kept frames or as they
// are decoded again.
class WriterFrames {
public:
    WriterFrames(CAnimatedPicture& picture, int width, int height)
        : reader_(std::in_place, picture) {
        packed_.emplace(width, height);
    }
    WriterFrames(CAnimatedPicture& picture, const PaletteMap& map)
        : reader_(std::in_place, picture), map_(&map), dib_(map.DibBytes()) {}
    WriterFrames(const KeptFrames& kept, const PaletteMap& map)
        : mapped_(std::in_place, kept, map) {}

    // The next frame, null after the last.
    const BITMAPINFOHEADER* Next() {
        if (mapped_) return mapped_->Next();
        const uint8_t* pixels = reader_->Next();
        if (!pixels) return nullptr;
        const BITMAPINFOHEADER* frame;
        if (packed_) {
            frame = packed_->From(pixels);
        } else {
            map_->Map(pixels, dib_.data());
            frame = reinterpret_cast<const BITMAPINFOHEADER*>(dib_.data());
        }
        reader_->Release();
        return frame;
    }
    void Release() {
        if (mapped_) mapped_->Release();
    }
    // Whether a frame failed to decode for memory.
    bool NoMemory() const { return reader_ && reader_->NoMemory(); }

private:
    std::optional<FrameReader> reader_;
    std::optional<PackedFrame> packed_;
    const PaletteMap* map_ = nullptr;
    std::vector<uint8_t> dib_;
    std::optional<MappedFrames> mapped_;
};

// Deletes an RLE8 video's palette when the conversion ends.
struct PaletteHolder {
    HPALETTE handle;
    ~PaletteHolder() {
        if (handle) DeleteObject(handle);
    }
};

// Whether a frame of `delay` milliseconds shows for about 1/15 s, as the
// default mode shows it: 6 or 7 hundredths, rounded.
bool AboutOneFifteenth(int delay) {
    const int hundredths = (delay + 5) / 10;
    return hundredths == 6 || hundredths == 7;
}

} // namespace

std::size_t KeptFramesBudget() {
    std::size_t budget = std::size_t{512} << 20;
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        budget = std::min<std::size_t>(budget, std::size_t(pages) / 8 * std::size_t(pageSize));
    return budget;
}

int PictureDelayOf(int milliseconds) {
    return milliseconds <= 10 ? 100 : milliseconds;
}

bool PictureFaithfulDiffers(const std::vector<int>& durations) {
    return !std::all_of(durations.begin(), durations.end(),
                        [](int d) { return AboutOneFifteenth(PictureDelayOf(d)); });
}

ConversionResult ConvertPicture(CAnimatedPicture& picture, const CString& source,
                                const CString& destination, bool uncompressed,
                                const ProgressCallback& progress, bool faithful, int keyFrameEvery,
                                const LongVideoCallback& longVideo, std::size_t keptBytes) {
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
    // show, read before the first frame is written. The frames of that
    // reading are kept when they fit, and reduced to the table for the
    // writer; uncompressed ones go to it as they are decoded.
    const int readings = uncompressed ? 1 : 2;
    int read = 0;
    PaletteHolder palette{nullptr};
    std::optional<PaletteMap> map;
    KeptFrames kept(std::size_t(width) * std::size_t(height) * 4, uncompressed ? 0 : images,
                    keptBytes);
    if (!uncompressed) {
        const auto colours = CollectColours(
            picture, kept, [&] { return !progress || progress(++read, readings * images); });
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
        palette.handle = CreateVideoPalette(*colours);
        if (!palette.handle) throw CMemoryException();
        map.emplace(palette.handle, *colours, width, height);
        if (!kept.Complete()) picture.Rewind();
    }
    std::optional<WriterFrames> frames;
    if (uncompressed)
        frames.emplace(picture, width, height);
    else if (kept.Complete())
        frames.emplace(kept, *map);
    else
        frames.emplace(picture, *map);

    const BITMAPINFOHEADER* frame = frames->Next();
    if (!frame) {
        result.messageId = frames->NoMemory()                                  ? IDS_MEMORY_ERROR
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
    while (frame) {
        const int repeats = faithful && image < timing.frames.size() ? timing.frames[image] : 1;
        ++image;
        // A frame of no time is composed but gives no video frame.
        const bool added = sink.AddPacked(frame, repeats);
        frames->Release();
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
        frame = frames->Next();
    }
    const bool noMemory = frames->NoMemory();
    frames.reset();
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
