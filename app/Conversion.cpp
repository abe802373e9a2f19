#include "app/Conversion.h"

#include "avi/AviWriter.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "gif/GifDecoder.h"
#include "res/Resource.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// A file beside the destination that the video is written to first. It is
// removed when the object goes, unless it was moved over the destination.
class TemporaryFile {
public:
    explicit TemporaryFile(const CString& destination) {
        std::string pattern = destination.str() + ".XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) return;
        // mkstemp makes the file private; the video gets the mode of the file
        // it replaces, or the one a newly created file would have.
        struct stat existing;
        if (stat(destination, &existing) == 0) {
            fchmod(fd, existing.st_mode & 07777);
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            fchmod(fd, 0666 & ~mask);
        }
        close(fd);
        path_ = CString(pattern);
    }
    ~TemporaryFile() {
        if (!path_.IsEmpty()) std::remove(path_);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool ok() const { return !path_.IsEmpty(); }
    const CString& path() const { return path_; }
    bool MoveTo(const CString& destination) {
        if (std::rename(path_, destination) != 0) return false;
        path_.Empty();
        return true;
    }

private:
    CString path_;
};

// The colour the logical screen starts with: the global table's entry at the
// background index, black without one.
COLORREF BackgroundColour(const CGifDecoder& decoder) {
    if (!decoder.m_pGlobalColors || decoder.m_nBackgroundIndex >= decoder.m_nGlobalColors)
        return RGB(0, 0, 0);
    const BYTE* c = decoder.m_pGlobalColors + 3 * decoder.m_nBackgroundIndex;
    return RGB(c[0], c[1], c[2]);
}

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
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ old = SelectObject(memory, bitmap);
    StretchDIBits(memory, 0, 0, width, height, 0, 0, 1, 1, &dot.pixel,
                  reinterpret_cast<BITMAPINFO*>(&dot), DIB_RGB_COLORS, SRCCOPY);
    SelectObject(memory, old);
    DeleteDC(memory);
    return bitmap;
}

} // namespace

HBITMAP CConversion::DrawFrame(HDC dc, HBITMAP canvas, HBITMAP frame, int x, int y, int cx,
                               int cy) {
    HDC frameDc = CreateCompatibleDC(dc);
    HDC canvasDc = CreateCompatibleDC(dc);
    HGDIOBJ oldFrame = SelectObject(frameDc, frame);
    HGDIOBJ oldCanvas = SelectObject(canvasDc, canvas);
    BitBlt(canvasDc, x, y, cx, cy, frameDc, 0, 0, SRCCOPY);
    SelectObject(frameDc, oldFrame);
    SelectObject(canvasDc, oldCanvas);
    DeleteDC(frameDc);
    DeleteDC(canvasDc);
    return canvas;
}

namespace {

// The message for an image the decoder did not give.
UINT FrameFailureMessage(const CGifDecoder& decoder) {
    return decoder.m_nFrameFailure == CGifDecoder::frameNoMemory ? IDS_MEMORY_ERROR
                                                                 : IDS_LOAD_ERROR;
}

// Where the video goes: through a symbolic link to the file it names, so that
// the link stays a link.
CString ResolvedDestination(const CString& destination) {
    std::error_code error;
    if (!std::filesystem::is_symlink(destination.str(), error)) return destination;
    const std::filesystem::path target =
        std::filesystem::weakly_canonical(destination.str(), error);
    return error ? destination : CString(target.string());
}

} // namespace

CConversion::Result CConversion::Run(const CString& source, const CString& requested,
                                     bool uncompressed, HDC dc,
                                     const std::function<void(int)>& progress) {
    Result result;
    result.path = source;
    const CString destination = ResolvedDestination(requested);

    CGifDecoder decoder;
    if (!decoder.LoadFile(source)) {
        result.messageId = IDS_LOAD_ERROR;
        return result;
    }
    decoder.m_hDC = dc;

    try {
        BitmapHolder frame(decoder.GetNextFrame());
        if (!frame.get()) {
            result.messageId = decoder.m_nFrameFailure == CGifDecoder::frameEnded
                                   ? IDS_NO_IMAGES
                                   : FrameFailureMessage(decoder);
            return result;
        }
        // The canvas is the logical screen; a screen dimension of 0 takes the
        // first image's extent.
        const int width =
            decoder.m_nScreenWidth ? decoder.m_nScreenWidth : decoder.m_nLeft + decoder.m_nWidth;
        const int height =
            decoder.m_nScreenHeight ? decoder.m_nScreenHeight : decoder.m_nTop + decoder.m_nHeight;
        if (width <= 0 || height <= 0 || 4LL * width * height > kMaxCanvasBytes) {
            result.messageId = IDS_LOAD_ERROR;
            return result;
        }

        // An RLE8 video has one colour table: made before the first frame
        // from every colour the GIF can show, and realised where the frames
        // are reduced to 8 bits. The default palette comes back when it goes.
        CVideoPalette palette(uncompressed ? std::vector<COLORREF>{} : decoder.CollectColors());
        if (!uncompressed) palette.Realize(dc);

        // A first image that is the whole screen is the canvas; otherwise the
        // screen starts in its background colour.
        BitmapHolder canvas;
        if (decoder.m_nLeft == 0 && decoder.m_nTop == 0 && decoder.m_nWidth == width &&
            decoder.m_nHeight == height)
            canvas.Reset(
                static_cast<HBITMAP>(CopyImage(frame.get(), IMAGE_BITMAP, width, height, 0)));
        else
            canvas.Reset(SolidBitmap(dc, width, height, BackgroundColour(decoder)));
        if (!canvas.get()) throw CMemoryException();

        // A file that may not be written is not replaced behind its back.
        result.path = requested;
        if (access(destination, F_OK) == 0 && access(destination, W_OK) != 0) {
            result.messageId = IDS_WRITE_ERROR;
            return result;
        }
        TemporaryFile file(destination);
        if (!file.ok()) {
            result.messageId = IDS_WRITE_ERROR;
            return result;
        }
        UINT failure = 0;
        {
            CAviWriter writer(file.path(), width, height);
            while (frame.get()) {
                DrawFrame(dc, canvas.get(), frame.get(), decoder.m_nLeft, decoder.m_nTop,
                          decoder.m_nWidth, decoder.m_nHeight);
                if (!writer.AddFrame(canvas.address(), uncompressed)) {
                    // A writer still usable refused the capture (memory); an
                    // unusable one met a failing library call (the disk).
                    failure = writer.IsAvailable() ? IDS_MEMORY_ERROR : IDS_WRITE_ERROR;
                    break;
                }
                ++result.frames;
                if (progress) progress(result.frames);
                frame.Reset(decoder.GetNextFrame());
            }
            // An image the decoder refused, or had no memory for, is not the
            // end of the images.
            if (!failure && decoder.m_nFrameFailure != CGifDecoder::frameEnded)
                failure = FrameFailureMessage(decoder);
        } // the writer completes the file here
        if (!failure && (AviLastCloseResult() != AVIERR_OK || !file.MoveTo(destination)))
            failure = IDS_WRITE_ERROR;
        if (failure) {
            result.messageId = failure;
            if (failure != IDS_WRITE_ERROR) result.path = source;
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
