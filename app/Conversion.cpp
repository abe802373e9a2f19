#include "app/Conversion.h"

#include "anim/PictureFile.h"
#include "app/OutputFile.h"
#include "app/PictureConversion.h"
#include "app/WorkerThread.h"
#include "avi/AviWriter.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "fw/MemoryDC.h"
#include "gif/GifDecoder.h"
#include "res/Resource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>

namespace {

// Deletes a device bitmap when it goes.
class BitmapHolder {
public:
    explicit BitmapHolder(HBITMAP bitmap = nullptr) : bitmap_(bitmap) {}
    ~BitmapHolder() { Reset(); }
    BitmapHolder(const BitmapHolder&) = delete;
    BitmapHolder& operator=(const BitmapHolder&) = delete;
    void Reset(HBITMAP bitmap = nullptr) {
        if (bitmap_) DeleteObject(bitmap_);
        bitmap_ = bitmap;
    }
    HBITMAP get() const { return bitmap_; }
    HBITMAP* address() { return &bitmap_; }

private:
    HBITMAP bitmap_;
};

// One image as the decoder hands it out: its frame bitmap and mask (owned by
// whoever holds the DecodedImage), where it goes, its graphic control, and
// why there is no frame when there is none.
struct DecodedImage {
    HBITMAP frame = nullptr, mask = nullptr;
    int left = 0, top = 0, width = 0, height = 0;
    CGifDecoder::ImageControl control;
    int failure = CGifDecoder::frameEnded;

    void Delete() {
        if (frame) DeleteObject(frame);
        if (mask) DeleteObject(mask);
        frame = mask = nullptr;
    }
};

// The decoder's next image, the mask taken from it.
DecodedImage TakeNextImage(CGifDecoder& decoder) {
    DecodedImage image;
    try {
        image.frame = decoder.GetNextFrame();
        image.failure = decoder.m_nFrameFailure;
    } catch (const CMemoryException&) {
        image.failure = CGifDecoder::frameNoMemory;
    } catch (const std::bad_alloc&) {
        image.failure = CGifDecoder::frameNoMemory;
    }
    if (!image.frame) return image;
    image.mask = decoder.m_hMask;
    decoder.m_hMask = nullptr;
    image.left = decoder.m_nLeft;
    image.top = decoder.m_nTop;
    image.width = decoder.m_nWidth;
    image.height = decoder.m_nHeight;
    image.control = decoder.m_imageControl;
    return image;
}

// Decodes the images that follow on a thread of its own, ahead of the thread
// that composes, captures, encodes and writes them, so that the two halves of
// a conversion share two processors. The decoder is this thread's alone until
// the object goes. kAhead decoded images wait while the next is decoded: one
// is as fast as more on the benchmark GIF and keeps memory to a few frames.
// The graphics calls of both threads work on objects of their own, beside the
// shared device context and its realised palette.
class DecodingThread {
public:
    // Unless `threaded`, or without a thread to be had, the images are
    // decoded as they are asked for.
    DecodingThread(CGifDecoder& decoder, bool threaded) : decoder_(decoder) {
        if (threaded) worker_.Start([this] { Decode(); });
    }
    // Stops decoding and deletes the images nobody took.
    ~DecodingThread() {
        if (!worker_.Running()) return;
        worker_.Stop();
        for (DecodedImage& image : queue_) image.Delete();
    }
    DecodingThread(const DecodingThread&) = delete;
    DecodingThread& operator=(const DecodingThread&) = delete;

    // The next image, waiting for it; one without a frame ends the images.
    DecodedImage Next() {
        if (!worker_.Running()) return TakeNextImage(decoder_);
        std::unique_lock<std::mutex> lock(worker_.mutex);
        worker_.changed.wait(lock, [this] { return !queue_.empty(); });
        DecodedImage image = queue_.front();
        queue_.pop_front();
        lock.unlock();
        worker_.changed.notify_all();
        return image;
    }

private:
    static constexpr std::size_t kAhead = 1;

    void Decode() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(worker_.mutex);
                worker_.changed.wait(lock,
                                     [this] { return worker_.stopping || queue_.size() < kAhead; });
                if (worker_.stopping) return;
            }
            DecodedImage image = TakeNextImage(decoder_);
            const bool last = !image.frame;
            {
                std::lock_guard<std::mutex> lock(worker_.mutex);
                queue_.push_back(image);
            }
            worker_.changed.notify_all();
            if (last) return;
        }
    }

    CGifDecoder& decoder_;
    std::deque<DecodedImage> queue_; // push_back of a trivially copyable struct
    WorkerThread worker_;            // last: it stops before the rest goes
};

// The colour the logical screen starts with: the global table's entry at the
// background index, black without one.
COLORREF BackgroundColour(const CGifDecoder& decoder) {
    if (!decoder.m_pGlobalColors || decoder.m_nBackgroundIndex >= decoder.m_nGlobalColors)
        return RGB(0, 0, 0);
    const BYTE* c = decoder.m_pGlobalColors + 3 * decoder.m_nBackgroundIndex;
    return RGB(c[0], c[1], c[2]);
}

// Paints a rectangle of the canvas in one colour.
void FillWith(HDC dc, HBITMAP canvas, const RECT& rect, COLORREF colour) {
    CMemoryDC memory(dc, canvas);
    const HBRUSH brush = CreateSolidBrush(colour);
    if (!brush) throw CMemoryException();
    const HGDIOBJ old = SelectObject(memory.GetSafeHdc(), brush);
    PatBlt(memory.GetSafeHdc(), rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
           PATCOPY);
    SelectObject(memory.GetSafeHdc(), old);
    DeleteObject(brush);
}

// Copies a rectangle of one bitmap onto the same place of another.
void Restore(HDC dc, HBITMAP to, HBITMAP from, const RECT& rect) {
    CMemoryDC source(dc, from);
    CMemoryDC target(dc, to);
    BitBlt(target.GetSafeHdc(), rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
           source.GetSafeHdc(), rect.left, rect.top, SRCCOPY);
}

// An image's disposal method: 4 to 7 act as 0.
int DisposalOf(const CGifDecoder::ImageControl& control) {
    return control.seen && control.disposal < 4 ? control.disposal : 0;
}

// The faithful mode's picture: before each image the one before it leaves as
// its disposal says, then the image is drawn, through its mask when it has
// transparent pixels.
class Composer {
public:
    Composer(HDC dc, HBITMAP canvas, COLORREF background, int width, int height)
        : dc_(dc), canvas_(canvas), background_(background), width_(width), height_(height) {}

    // Throws CMemoryException when the copy that disposal 3 restores from
    // cannot be had.
    void Draw(const DecodedImage& image) {
        if (previousDisposal_ == 2) FillWith(dc_, canvas_, previous_, background_);
        if (previousDisposal_ == 3 && saved_.get()) Restore(dc_, canvas_, saved_.get(), previous_);
        const int disposal = DisposalOf(image.control);
        if (disposal == 3) {
            if (!saved_.get())
                saved_.Reset(static_cast<HBITMAP>(CopyImage(canvas_, IMAGE_BITMAP, 0, 0, 0)));
            else
                Restore(dc_, saved_.get(), canvas_, RECT{0, 0, width_, height_});
            if (!saved_.get()) throw CMemoryException();
        }
        CConversion::DrawImage(dc_, canvas_, image.frame, image.mask, image.left, image.top,
                               image.width, image.height);
        previous_ = RECT{image.left, image.top, image.left + image.width, image.top + image.height};
        previousDisposal_ = disposal;
    }

private:
    HDC dc_;
    HBITMAP canvas_;
    COLORREF background_;
    int width_, height_;
    BitmapHolder saved_; // the canvas before the last image of disposal 3
    RECT previous_{};
    int previousDisposal_ = 0;
};

// A width x height device bitmap for `dc`, all of one colour.
HBITMAP SolidBitmap(HDC dc, int width, int height, COLORREF colour) {
    BITMAPINFOHEADER header{sizeof header, width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    HBITMAP bitmap = CreateDIBitmap(dc, &header, 0, nullptr, nullptr, DIB_RGB_COLORS);
    // Filled even with black: zero pixels are black only in direct colour.
    if (!bitmap || width == 0 || height == 0) return bitmap;
    struct {
        BITMAPINFOHEADER header;
        DWORD pixel;
    } dot{{sizeof(BITMAPINFOHEADER), 1, 1, 1, 32, BI_RGB, 0, 0, 0, 0, 0},
          (DWORD{GetRValue(colour)} << 16) | (DWORD{GetGValue(colour)} << 8) | GetBValue(colour)};
    CMemoryDC memory(dc, bitmap);
    StretchDIBits(memory.GetSafeHdc(), 0, 0, width, height, 0, 0, 1, 1, &dot.pixel,
                  reinterpret_cast<BITMAPINFO*>(&dot), DIB_RGB_COLORS, SRCCOPY);
    return bitmap;
}

} // namespace

HBITMAP CConversion::DrawFrame(HDC dc, HBITMAP canvas, HBITMAP frame, int x, int y, int cx,
                               int cy) {
    CMemoryDC frameDc(dc, frame);
    CMemoryDC canvasDc(dc, canvas);
    BitBlt(canvasDc.GetSafeHdc(), x, y, cx, cy, frameDc.GetSafeHdc(), 0, 0, SRCCOPY);
    return canvas;
}

HBITMAP CConversion::DrawMasked(HDC dc, HBITMAP canvas, HBITMAP frame, HBITMAP mask, int x, int y,
                                int cx, int cy) {
    CMemoryDC frameDc(dc, frame);
    CMemoryDC canvasDc(dc, canvas);
    MaskBlt(canvasDc.GetSafeHdc(), x, y, cx, cy, frameDc.GetSafeHdc(), 0, 0, mask, 0, 0,
            MAKEROP4(DSTCOPY, SRCCOPY));
    return canvas;
}

HBITMAP CConversion::DrawImage(HDC dc, HBITMAP canvas, HBITMAP frame, HBITMAP mask, int x, int y,
                               int cx, int cy) {
    return mask ? DrawMasked(dc, canvas, frame, mask, x, y, cx, cy)
                : DrawFrame(dc, canvas, frame, x, y, cx, cy);
}

int CConversion::DelayOf(const CGifDecoder::ImageControl& control) {
    return control.seen && control.delay > 1 ? control.delay : 10;
}

namespace {

// The canvas is the logical screen; a screen dimension of 0 takes the first
// image's extent. It starts as the first image when that image is the whole
// screen, else in the background colour.
struct Canvas {
    int width, height;
    bool fromFirstImage;
};
Canvas CanvasFor(const CGifDecoder& decoder, const RECT& first) {
    Canvas canvas{
        decoder.m_nScreenWidth ? decoder.m_nScreenWidth : static_cast<int>(first.right),
        decoder.m_nScreenHeight ? decoder.m_nScreenHeight : static_cast<int>(first.bottom), false};
    canvas.fromFirstImage = first.left == 0 && first.top == 0 && first.right == canvas.width &&
                            first.bottom == canvas.height && canvas.width > 0 && canvas.height > 0;
    return canvas;
}

// Why the source cannot be read: the system's reason for a file that cannot
// be opened (EISDIR for a folder), -1 for a FIFO or a device, which the
// decoder refuses without a reason; 0 for a regular file. Opened without
// waiting, as a FIFO with no writer would make it wait.
int SourceError(const CString& source) {
    const int fd = open(source, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat file;
    int error = fstat(fd, &file) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(file.st_mode)) error = S_ISDIR(file.st_mode) ? EISDIR : -1;
    close(fd);
    return error;
}

// Reads into [data, data + size) up to the end of the file; the bytes read,
// or -1 on an error.
long long ReadFully(int fd, uint8_t* data, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += std::size_t(n);
    }
    return static_cast<long long>(got);
}

// The bytes of a source whose first bytes are those of a WebP or PNG
// picture; nothing for any other file (a GIF), or when it cannot be read or
// holds kMaxPictureBytes or more (then refused as a GIF of that size is).
constexpr std::size_t kMaxPictureBytes = std::size_t{1} << 31;
std::optional<std::vector<uint8_t>> PictureBytes(const CString& source) {
    const int fd = open(source, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::vector<uint8_t> bytes(12);
    struct stat file;
    long long got = fstat(fd, &file) == 0 ? ReadFully(fd, bytes.data(), bytes.size()) : -1;
    const PictureFormat format =
        got < 0 ? PictureFormat::kUnknown : SniffPictureFormat(bytes.data(), std::size_t(got));
    bool picture = format == PictureFormat::kWebp || format == PictureFormat::kPng;
    // The rest, to the end of the file whatever its size said.
    std::size_t size = std::size_t(std::max<long long>(got, 0));
    while (picture && size == bytes.size()) {
        if (size >= kMaxPictureBytes || uint64_t(file.st_size) >= kMaxPictureBytes) {
            picture = false;
            break;
        }
        bytes.resize(std::min(kMaxPictureBytes,
                              std::max<std::size_t>(2 * size, std::size_t(file.st_size) + 1)));
        got = ReadFully(fd, bytes.data() + size, bytes.size() - size);
        picture = got >= 0;
        size += std::size_t(std::max<long long>(got, 0));
    }
    close(fd);
    if (!picture) return std::nullopt;
    bytes.resize(size);
    return bytes;
}

} // namespace

bool CConversion::FaithfulDiffers(const std::vector<CGifDecoder::ImageControl>& controls) {
    for (const auto& c : controls) {
        const int delay = DelayOf(c);
        if ((c.seen && c.transparent) || DisposalOf(c) >= 2 || delay < 6 || delay > 7) return true;
    }
    return false;
}

std::vector<COLORREF>
CConversion::VideoColours(const CGifDecoder& decoder,
                          const std::vector<CGifDecoder::ImageControl>& controls, bool faithful) {
    // Transparency and disposal 2 can show the background where the first
    // image covers the screen.
    bool showsBackground = false;
    for (const auto& c : controls)
        showsBackground |= (c.seen && c.transparent) || DisposalOf(c) == 2;
    RECT first;
    std::vector<COLORREF> colours = decoder.CollectColors(&first);
    if (!CanvasFor(decoder, first).fromFirstImage || (faithful && showsBackground))
        colours.push_back(BackgroundColour(decoder));
    return colours;
}

HBITMAP CConversion::StartCanvas(HDC dc, const CGifDecoder& decoder, HBITMAP first,
                                 const RECT& place, bool faithful, int* width, int* height) {
    const Canvas shape = CanvasFor(decoder, place);
    *width = *height = 0;
    if (shape.width <= 0 || shape.height <= 0 || 4LL * shape.width * shape.height > kMaxCanvasBytes)
        return nullptr;
    *width = shape.width;
    *height = shape.height;
    return shape.fromFirstImage && !faithful
               ? static_cast<HBITMAP>(CopyImage(first, IMAGE_BITMAP, shape.width, shape.height, 0))
               : SolidBitmap(dc, shape.width, shape.height, BackgroundColour(decoder));
}

namespace {

// The message of a refused destination; 0 for one that is accepted, and for
// a read-only file, which Run refuses as a file that cannot be written.
UINT RefusalMessage(OutputFile::Refusal refusal) {
    switch (refusal) {
    case OutputFile::kIsSource:
        return IDS_DEST_IS_SOURCE;
    case OutputFile::kNotFile:
        return IDS_DEST_NOT_FILE;
    default:
        return 0;
    }
}

} // namespace

UINT CConversion::CheckDestination(const CString& source, const CString& destination) {
    return RefusalMessage(OutputFile::Check(source, destination));
}

CString CConversion::Message(UINT id, const CString& path, int frames) {
    CString text;
    AfxFormatString2(text, id, path, std::to_string(frames).c_str());
    if ((id == IDS_BAD_SOURCE_EXT || id == IDS_BAD_DEST_EXT) && !path.IsEmpty())
        text += ": " + path.str();
    return text;
}

CString CConversion::Message(const Result& result) {
    CString text = Message(result.messageId, result.path, result.frames);
    if (result.error != 0) text += ": " + Reason(result).str();
    return text;
}

CString CConversion::Reason(const Result& result) {
    if (result.error == 0) return CString();
    return CString(std::system_category().message(result.error));
}

CString CConversion::LongVideoNotice(const CString& source, long long seconds) {
    char length[32];
    std::snprintf(length, sizeof length, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    CString text;
    AfxFormatString2(text, IDS_LONG_VIDEO, source, length);
    return text;
}

CConversion::Result CConversion::Run(const CString& source, const CString& requested,
                                     bool uncompressed, HDC dc, const Progress& progress,
                                     bool faithful, int keyFrameEvery, const LongVideo& longVideo) {
    Result result;
    result.path = requested;
    // A file that may not be written is not replaced behind its back.
    const OutputFile::Refusal refusal = OutputFile::Check(source, requested);
    result.messageId = refusal == OutputFile::kReadOnly ? IDS_WRITE_ERROR : RefusalMessage(refusal);
    if (refusal == OutputFile::kReadOnly) result.error = EACCES;
    if (result.messageId) return result;
    result.path = source;

    // A source that cannot be read is said once, with the system's reason,
    // and not as the decoder says it, in a message of its own before the
    // conversion's "Error loading file".
    if (const int error = SourceError(source)) {
        result.messageId = IDS_OPEN_ERROR;
        result.error = std::max(error, 0);
        return result;
    }
    try {
        if (std::optional<std::vector<uint8_t>> bytes = PictureBytes(source)) {
            const std::unique_ptr<CAnimatedPicture> picture = OpenPicture(std::move(*bytes));
            if (!picture) {
                result.messageId = IDS_LOAD_ERROR;
                return result;
            }
            return ConvertPicture(*picture, source, requested, uncompressed, progress, faithful,
                                  keyFrameEvery, longVideo);
        }
    } catch (const CMemoryException&) {
        result.messageId = IDS_MEMORY_ERROR;
        return result;
    } catch (const std::bad_alloc&) {
        result.messageId = IDS_MEMORY_ERROR;
        return result;
    }
    CGifDecoder decoder;
    if (!decoder.LoadFile(source)) {
        result.messageId = IDS_LOAD_ERROR;
        return result;
    }
    decoder.m_hDC = dc;
    decoder.m_bMakeMasks = faithful;

    try {
        const std::vector<CGifDecoder::ImageControl> controls = decoder.CollectControls();
        std::vector<int> delays;
        for (const auto& c : controls) delays.push_back(DelayOf(c));
        const Timing timing = faithful ? TimingOf(delays) : Timing{};
        if (!faithful) result.faithfulDiffers = FaithfulDiffers(controls);
        if (faithful) {
            result.longVideoSeconds = LengthBeyond(timing, kLongVideoSeconds);
            if (result.longVideoSeconds && longVideo) longVideo(result);
        }

        // An RLE8 video has one colour table, made from every colour the GIF
        // can show and realised where the frames are reduced to 8 bits. It is
        // realised before the first image is decoded: on an 8-bit screen that
        // rewrites the system palette, which device bitmaps index. The
        // default palette comes back when it goes.
        std::optional<CVideoPalette> palette;
        if (!uncompressed) {
            palette.emplace(VideoColours(decoder, controls, faithful));
            if (!palette->Realize(dc)) throw CMemoryException();
        }

        const COLORREF background = BackgroundColour(decoder);
        DecodedImage current = TakeNextImage(decoder);
        BitmapHolder frame(current.frame), mask(current.mask);
        if (!frame.get()) {
            result.messageId = current.failure == CGifDecoder::frameEnded      ? IDS_NO_IMAGES
                               : current.failure == CGifDecoder::frameNoMemory ? IDS_MEMORY_ERROR
                                                                               : IDS_LOAD_ERROR;
            return result;
        }
        int width = 0, height = 0;
        BitmapHolder canvas(
            StartCanvas(dc, decoder, frame.get(),
                        RECT{current.left, current.top, current.left + current.width,
                             current.top + current.height},
                        faithful, &width, &height));
        if (width == 0) {
            result.messageId = IDS_LOAD_ERROR;
            return result;
        }
        if (!canvas.get()) throw CMemoryException();
        // From here the decoder belongs to the decoding thread. Device
        // bitmaps of 8 bits or fewer index the screen's palette, which
        // capturing a frame may realise anew: there, each image is decoded
        // after the frame before it is written, as the order of the calls
        // says.
        BITMAP device{};
        GetObject(frame.get(), sizeof device, &device);
        std::optional<DecodingThread> decoding;
        decoding.emplace(decoder, device.bmBitsPixel > 8);

        result.path = requested;
        CVideoSink sink(requested, width, height);
        if (!sink.Opened()) {
            result.messageId = IDS_WRITE_ERROR;
            result.error = sink.OpenError();
            return result;
        }
        sink.Configure(uncompressed, faithful ? timing.rate : 15, faithful ? timing.scale : 1,
                       keyFrameEvery);
        UINT failure = 0;
        std::optional<Composer> composer;
        if (faithful) composer.emplace(dc, canvas.get(), background, width, height);
        std::size_t image = 0;
        while (current.frame) {
            int repeats = 1;
            if (composer) {
                composer->Draw(current);
                repeats = image < timing.frames.size() ? timing.frames[image] : 1;
            } else {
                DrawFrame(dc, canvas.get(), current.frame, current.left, current.top, current.width,
                          current.height);
            }
            ++image;
            // An image of no time is composed but gives no frame.
            if (!sink.Add(canvas.address(), repeats)) {
                failure = sink.Failure();
                break;
            }
            ++result.frames;
            if (progress && !progress(int(image), std::max(int(controls.size()), int(image)))) {
                result.cancelled = true;
                break;
            }
            current = decoding->Next();
            frame.Reset(current.frame);
            mask.Reset(current.mask);
        }
        decoding.reset();
        if (result.cancelled) {
            // The temporary file goes with the sink; the destination is untouched.
            sink.Abandon();
            result.messageId = IDS_CANCELLED;
            result.path = source;
            return result;
        }
        if (!failure && current.failure == CGifDecoder::frameNoMemory) failure = IDS_MEMORY_ERROR;
        int error = 0;
        failure = sink.Finish(failure, &error);
        if (failure) {
            result.messageId = failure;
            if (failure != IDS_WRITE_ERROR) result.path = source;
            if (failure == IDS_WRITE_ERROR) result.error = error;
            return result;
        }
        // An image the decoder refused ends the video there: the frames
        // before it are kept, and said to be all there is.
        result.path = source;
        if (current.failure == CGifDecoder::frameRefused) {
            result.messageId = IDS_PARTLY_CONVERTED;
            return result;
        }
        result.converted = true;
        result.messageId = IDS_CONVERTED;
        return result;
    } catch (const CMemoryException&) {
    } catch (const std::bad_alloc&) {
    }
    result.path = source;
    result.messageId = IDS_MEMORY_ERROR;
    return result;
}
