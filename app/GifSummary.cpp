#include "app/GifSummary.h"

#include "anim/PictureFile.h"
#include "app/Conversion.h"
#include "app/PictureConversion.h"
#include "avi/AviFile.h"
#include "avi/Rle8.h"
#include "avi/VideoPalette.h"
#include "dib/Dib.h"
#include "fw/Exception.h"
#include "fw/MemoryDC.h"
#include "gfx/Palette.h"
#include "gif/GifDecoder.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <string>

#include <sys/stat.h>

namespace {

struct GdiDelete {
    void operator()(void* object) const { DeleteObject(object); }
};
using BitmapPtr = std::unique_ptr<std::remove_pointer_t<HBITMAP>, GdiDelete>;
using PalettePtr = std::unique_ptr<std::remove_pointer_t<HPALETTE>, GdiDelete>;

// A screen context of this reading's own.
class ScreenDC {
public:
    ScreenDC() : dc_(GetDC(nullptr)) {}
    ~ScreenDC() {
        if (dc_) ReleaseDC(nullptr, dc_);
    }
    ScreenDC(const ScreenDC&) = delete;
    ScreenDC& operator=(const ScreenDC&) = delete;
    HDC get() const { return dc_; }

private:
    HDC dc_;
};

// Why a path is no GIF that LoadFile would take, before it is loaded; empty
// when it may be. LoadFile itself only answers FALSE.
std::string CheckFile(const CString& path) {
    struct stat status {};
    if (::stat(path, &status) != 0)
        return std::string("The file cannot be opened: ") + std::strerror(errno) + ".";
    if (!S_ISREG(status.st_mode)) return "This is not a file but a folder or a device.";
    std::ifstream in(path.str(), std::ios::binary);
    char header[13] = {};
    if (!in) return "The file cannot be opened for reading.";
    in.read(header, sizeof header);
    const std::string signature(header, header + 6);
    const PictureFormat format =
        SniffPictureFormat(reinterpret_cast<const uint8_t*>(header), std::size_t(in.gcount()));
    if (format == PictureFormat::kWebp || format == PictureFormat::kPng) return {};
    if (in.gcount() >= 6 && signature != "GIF87a" && signature != "GIF89a")
        return "This is not a GIF, WebP or PNG file: it does not begin with the signature of "
               "one.";
    if (in.gcount() < static_cast<std::streamsize>(sizeof header))
        return "The file ends before its screen size.";
    return {};
}

// The format the file's first bytes say.
PictureFormat FormatOf(const CString& path) {
    std::ifstream in(path.str(), std::ios::binary);
    uint8_t header[12] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    return SniffPictureFormat(header, std::size_t(in.gcount()));
}

// The canvas's pixels as 0x00RRGGBB, top row first; empty on failure.
std::vector<DWORD> PixelsOf(HBITMAP canvas, int width, int height) {
    BITMAPINFOHEADER header{sizeof header, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<DWORD> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    CMemoryDC memory(nullptr);
    if (!memory.GetSafeHdc() ||
        GetDIBits(memory.GetSafeHdc(), canvas, 0, static_cast<UINT>(height), pixels.data(),
                  reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS) == 0)
        return {};
    for (DWORD& pixel : pixels) pixel &= 0xFFFFFF;
    return pixels;
}

// The BI_RLE8 size of the canvas reduced to the video's palette, as the RLE8
// writer captures a frame, but through a palette realised in a memory
// context of its own rather than on the screen (which a conversion on
// another thread may be using). 0 when it cannot be had.
std::size_t Rle8Size(HBITMAP canvas, int width, int height, std::vector<COLORREF> colours) {
    const PalettePtr palette(CreateVideoPalette(std::move(colours)));
    if (!palette) return 0;
    const std::size_t stride = DibRowBytes(static_cast<std::uint64_t>(width), 8);
    std::vector<BYTE> info(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
    auto* header = reinterpret_cast<BITMAPINFOHEADER*>(info.data());
    *header = {sizeof(BITMAPINFOHEADER), width, height, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<BYTE> indices(stride * static_cast<std::size_t>(height));
    {
        CMemoryDC memory(nullptr);
        const HDC dc = memory.GetSafeHdc();
        if (!dc || !SelectPalette(dc, palette.get(), TRUE)) return 0;
        RealizePalette(dc);
        const int lines = GetDIBits(dc, canvas, 0, static_cast<UINT>(height), indices.data(),
                                    reinterpret_cast<BITMAPINFO*>(header), DIB_RGB_COLORS);
        SelectPalette(dc, static_cast<HPALETTE>(GetStockObject(DEFAULT_PALETTE)), TRUE);
        if (lines == 0) return 0;
    }
    std::vector<BYTE> encoded;
    return Rle8Encode(indices.data(), width, height, stride, encoded);
}

// The frames a mode writes and the files' sizes: one frame per image, or in
// the faithful mode (`faithful`, with its `timing`) each image once and then
// as many empty frames as its time takes (an image of no time gives none).
// `canvas` is the first frame, `colours` what the RLE8 palette is made from.
void FillVideo(CGifSummary::Video& video, HBITMAP canvas, int width, int height,
               std::vector<COLORREF> colours, const VideoTiming& timing, int images,
               bool faithful) {
    CDIB capture;
    if (!capture.CreateFromBitmap(canvas)) throw CMemoryException();
    const std::size_t format = capture.m_pBMI->biSize + 4 * std::size_t{capture.m_pBMI->biClrUsed};
    const std::size_t whole = capture.m_pBMI->biSizeImage;
    const std::size_t rle8 = Rle8Size(canvas, width, height, std::move(colours));
    std::vector<AviFrameRun> uncompressed, compressed;
    if (faithful) {
        video.rate = timing.rate;
        video.scale = timing.scale;
        for (const int frames : timing.frames) {
            if (frames <= 0) continue;
            uncompressed.push_back({whole, 1});
            compressed.push_back({rle8, 1});
            if (frames > 1) {
                uncompressed.push_back({0, std::uint64_t(frames - 1)});
                compressed.push_back({0, std::uint64_t(frames - 1)});
            }
            video.frames += frames;
        }
    } else {
        video.frames = images;
        uncompressed.push_back({whole, std::uint64_t(images)});
        compressed.push_back({rle8, std::uint64_t(images)});
    }
    video.uncompressedBytes = AviPlannedFileSize(format, uncompressed.data(), uncompressed.size());
    // The RLE8 stream's format is the 8-bit header and its whole table.
    video.rle8Bytes = rle8 ? AviPlannedFileSize(sizeof(BITMAPINFOHEADER) + 1024, compressed.data(),
                                                compressed.size())
                           : 0;
}

// The summary of a WebP or PNG picture: its frames counted and their
// durations read from its structure, its first frame decoded (the same in
// both modes: these frames are always composed), and the RLE8 estimate made
// on the first frame's own colours.
void ReadPicture(CGifSummary& summary, const CString& path, const std::function<bool()>& gone) {
    std::ifstream in(path.str(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    const std::unique_ptr<CAnimatedPicture> picture = OpenPicture(std::move(bytes));
    if (!picture) {
        summary.m_strError = "The picture cannot be read: its header is damaged, it holds no "
                             "frame, or its canvas is too large for a video.";
        return;
    }
    std::vector<int> delays;
    long long milliseconds = 0;
    for (const int duration : picture->Durations()) {
        delays.push_back(PictureDelayOf(duration));
        milliseconds += delays.back();
    }
    summary.m_nImages = int(delays.size());
    summary.m_nDelayHundredths = (milliseconds + 5) / 10;
    summary.m_bFaithfulDiffers = PictureFaithfulDiffers(picture->Durations());
    if (gone()) return;
    if (!picture->NextFrame()) {
        summary.m_strError = picture->LastFailure() == CAnimatedPicture::kNoMemory
                                 ? "There is not enough memory for its first frame."
                                 : "Its first frame cannot be decoded: its data is corrupt.";
        return;
    }
    const int width = picture->Width(), height = picture->Height();
    summary.m_nWidth = width;
    summary.m_nHeight = height;
    std::vector<DWORD> first(std::size_t(width) * std::size_t(height));
    std::vector<COLORREF> colours(first.size());
    const uint8_t* p = picture->Pixels();
    for (std::size_t i = 0; i < first.size(); ++i, p += 4) {
        first[i] = DWORD{p[2]} << 16 | DWORD{p[1]} << 8 | p[0];
        colours[i] = RGB(p[2], p[1], p[0]);
    }
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    const ScreenDC screen;
    const BitmapPtr canvas(CreateDIBitmap(screen.get(), &info.bmiHeader, CBM_INIT,
                                          picture->Pixels(), &info, DIB_RGB_COLORS));
    if (!canvas) throw CMemoryException();
    for (const bool faithful : {false, true}) {
        CGifSummary::Video& video = faithful ? summary.m_faithful : summary.m_default;
        video.firstFrame = first;
        FillVideo(video, canvas.get(), width, height, colours,
                  faithful ? TimingOf(delays, 1000) : VideoTiming{}, summary.m_nImages, faithful);
        if (gone()) return;
    }
}

} // namespace

CGifSummary CGifSummary::Read(const CString& path, const std::function<bool()>& stale) {
    CGifSummary summary;
    auto gone = [&] { return stale && (summary.m_bStale = stale()); };
    if (const std::string why = CheckFile(path); !why.empty()) {
        summary.m_strError = CString(why);
        return summary;
    }
    try {
        if (FormatOf(path) != PictureFormat::kGif) {
            summary.m_bGif = false;
            ReadPicture(summary, path, gone);
            return summary;
        }
        CGifDecoder decoder;
        decoder.m_bQuiet = true;
        if (!decoder.LoadFile(path)) {
            summary.m_strError = "The file cannot be read whole: it is cut short in its colour "
                                 "table, or too large for memory.";
            return summary;
        }
        if (gone()) return summary;

        // The images and their controls, from the block walk alone.
        const std::vector<CGifDecoder::ImageControl> controls = decoder.CollectControls();
        std::vector<int> delays;
        for (const auto& control : controls) {
            delays.push_back(CConversion::DelayOf(control));
            summary.m_nDelayHundredths += delays.back();
        }
        summary.m_nImages = static_cast<int>(controls.size());
        summary.m_bFaithfulDiffers = CConversion::FaithfulDiffers(controls);
        if (gone()) return summary;

        // The first image, with its mask for the faithful mode.
        const ScreenDC screen;
        const HDC dc = screen.get();
        decoder.m_hDC = dc;
        decoder.m_bMakeMasks = true;
        const BitmapPtr frame(decoder.GetNextFrame());
        if (!frame) {
            summary.m_strError =
                decoder.m_nFrameFailure == CGifDecoder::frameEnded ? "The GIF holds no image."
                : decoder.m_nFrameFailure == CGifDecoder::frameNoMemory
                    ? "There is not enough memory for its first image."
                    : "Its first image cannot be decoded: its data is corrupt, or it is too large.";
            return summary;
        }
        // An image cut short at the end of the data is decoded, not counted.
        if (summary.m_nImages == 0) {
            summary.m_nImages = 1;
            delays.push_back(CConversion::DelayOf(decoder.m_imageControl));
            summary.m_nDelayHundredths = delays.back();
        }
        const RECT place{decoder.m_nLeft, decoder.m_nTop, decoder.m_nLeft + decoder.m_nWidth,
                         decoder.m_nTop + decoder.m_nHeight};
        if (gone()) return summary;

        for (const bool faithful : {false, true}) {
            Video& video = faithful ? summary.m_faithful : summary.m_default;
            int width = 0, height = 0;
            const BitmapPtr canvas(CConversion::StartCanvas(dc, decoder, frame.get(), place,
                                                            faithful, &width, &height));
            if (width == 0) {
                summary.m_strError = "Its screen is empty, or too large for a video.";
                return summary;
            }
            if (!canvas) throw CMemoryException();
            CConversion::DrawImage(dc, canvas.get(), frame.get(),
                                   faithful ? decoder.m_hMask : nullptr, decoder.m_nLeft,
                                   decoder.m_nTop, decoder.m_nWidth, decoder.m_nHeight);
            summary.m_nWidth = width;
            summary.m_nHeight = height;
            video.firstFrame = PixelsOf(canvas.get(), width, height);

            FillVideo(video, canvas.get(), width, height,
                      CConversion::VideoColours(decoder, controls, faithful),
                      faithful ? CConversion::TimingOf(delays) : CConversion::Timing{},
                      summary.m_nImages, faithful);
            if (gone()) return summary;
        }
    } catch (const CMemoryException&) {
        summary.m_strError = "There is not enough memory to read it.";
    } catch (const std::bad_alloc&) {
        summary.m_strError = "There is not enough memory to read it.";
    }
    return summary;
}
