#include "app/Conversion.h"

#include "avi/AviWriter.h"
#include "avi/VideoPalette.h"
#include "fw/Exception.h"
#include "gif/GifDecoder.h"
#include "res/Resource.h"

#include <cstdio>
#include <cstdlib>
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
        // mkstemp makes the file private; the video gets the mode a newly
        // created file would have.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
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
    HBITMAP bitmap = CreateDIBitmap(dc, &header, 0, nullptr, nullptr, DIB_RGB_COLORS); // black
    if (!bitmap || colour == RGB(0, 0, 0) || width == 0 || height == 0) return bitmap;
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

CConversion::Result CConversion::Run(const CString& source, const CString& destination,
                                     bool uncompressed, HDC dc,
                                     const std::function<void(int)>& progress) {
    Result result;
    result.path = source;

    CGifDecoder decoder;
    if (!decoder.LoadFile(source)) {
        result.messageId = IDS_LOAD_ERROR;
        return result;
    }
    decoder.m_hDC = dc;

    try {
        BitmapHolder frame(decoder.GetNextFrame());
        if (!frame.get()) {
            result.messageId = IDS_NO_IMAGES;
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

        result.path = destination;
        TemporaryFile file(destination);
        if (!file.ok()) {
            result.messageId = IDS_WRITE_ERROR;
            return result;
        }
        bool written = true;
        {
            CAviWriter writer(file.path(), width, height);
            while (frame.get()) {
                DrawFrame(dc, canvas.get(), frame.get(), decoder.m_nLeft, decoder.m_nTop,
                          decoder.m_nWidth, decoder.m_nHeight);
                if (!writer.AddFrame(canvas.address(), uncompressed)) {
                    written = false;
                    break;
                }
                ++result.frames;
                if (progress) progress(result.frames);
                frame.Reset(decoder.GetNextFrame());
            }
        } // the writer completes the file here
        if (!written || AviLastCloseResult() != AVIERR_OK || !file.MoveTo(destination)) {
            result.messageId = IDS_WRITE_ERROR;
            return result;
        }
        result.converted = true;
        result.messageId = IDS_CONVERTED;
        return result;
    } catch (const CMemoryException&) {
        result.path = source;
        result.messageId = IDS_MEMORY_ERROR;
        return result;
    }
}
