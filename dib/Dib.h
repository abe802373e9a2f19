// CDIB: one device-independent bitmap held as a packed DIB (BITMAPINFOHEADER,
// colour table, pixel rows bottom-up) in a single global memory block,
// together with the logical palette made from its colour table.
#pragma once

#include "fw/DC.h"
#include "fw/Object.h"
#include "fw/Palette.h"
#include "gfx/Gdi.h"
#include "platform/GlobalMemory.h"

#include <cstddef>

class CArchive;
class CFile;

class CDIB : public CObject {
    DECLARE_SERIAL(CDIB)

public:
    explicit CDIB(BOOL borrowed = FALSE);
    ~CDIB() override;
    CDIB(const CDIB&) = delete;
    CDIB& operator=(const CDIB& source);

    // Virtual operations, in the order of the class's table.
    virtual LONG GetWidth() const { return m_pBMI->biWidth; }
    virtual LONG GetHeight() const { return m_pBMI->biHeight; }
    virtual DWORD GetBytesPerLine() const;

    // BMP files. The readers take BITMAPINFOHEADER and BITMAPCOREHEADER files
    // of 1, 4, 8, 16, 24 and 32 bits, uncompressed, bottom-up or top-down (held
    // bottom-up); anything else, and sizes the data cannot back, give FALSE
    // with the object unchanged. File errors other than a short file throw
    // CFileException, the object unchanged.
    virtual BOOL ReadFromArchive(CArchive& ar);
    // From the file's position, which is where the "BM" stands.
    virtual BOOL ReadFromFile(CFile* file);
    virtual BOOL Load(LPCTSTR path);
    // A bitmap resource of the program, adopted in place: borrowed, so the
    // object never frees it. Each load is a writable copy of its own, which
    // lives until FreeResource(m_hDIB) or the end of the program.
    virtual BOOL LoadFromResource(UINT id);
    // The writers need an image; a write error gives FALSE.
    virtual BOOL WriteToArchive(CArchive& ar);
    // Picture rows first to last - 1, counted from the top.
    virtual BOOL WriteRowsToFile(CFile* file, int first, int last);
    virtual BOOL WriteToFile(CFile* file);
    // The whole image when first == last, else rows first to last - 1.
    virtual BOOL Save(LPCTSTR path, int first = 0, int last = 0);
    virtual void SerializeUnless(CArchive& ar, BOOL skip);

    virtual int Draw(CDC* dc, const RECT& dest, const RECT& source);
    virtual int Draw(CDC* dc, int x, int y);
    virtual int DrawMask(CDC* dc, const RECT& dest, const RECT& source);

    // Pixel addressing, block copy and palette mapping. Picture coordinates:
    // x from the left, y from the top row of the picture.

    // Remaps a 4-, 8- or 24-bit image onto the palette: indexed pixels through
    // the nearest entry of each colour-table entry, 24-bit pixels to the
    // colour of their nearest entry. The colour table the image has (up to
    // the palette's count) becomes the palette's; biClrUsed says how many
    // entries were rewritten, and m_Palette follows. An indexed image whose
    // block holds fewer table entries than the palette has is made anew in a
    // block of its own with the palette as its table, so that every index
    // its pixels take has its colour. FALSE with nothing changed for a null
    // or unreadable palette, other depths, compressed pixels, and a 4-bit
    // image with a palette of more than 16 entries.
    virtual BOOL MapToPalette(CPalette* palette);
    // (0, 0, biWidth, biHeight).
    virtual RECT GetRect();
    // Copies nRows rows of nBytes bytes from pixel (xSrc, ySrc) of this image to
    // pixel (xDest, yDest) of `dest`; a source byte equal to the low byte of
    // nTransparent leaves its destination byte alone (-1: every byte is
    // copied). Rows and bytes outside either image are left out.
    virtual void CopyBlockTo(CDIB* dest, int xDest, int yDest, int nBytes, int nRows, int xSrc,
                             int ySrc, int nTransparent);

    // Transfers. D is the destination rectangle, S the source rectangle, in
    // picture coordinates; rop is a raster operation (BitBlt's).

    // Draws this image into a device bitmap made from the target's image and
    // captures the result back into the target (at the depth the device
    // bitmap has). FALSE, the target unchanged, when it holds no image.
    virtual BOOL RenderInto(CDIB* target, int xD, int yD, int wD, int hD, int xS, int yS, int wS,
                            int hS, DWORD rop);
    // StretchDIBits of this image into the context; PatBlt of the rectangle
    // when there is no image.
    virtual int StretchToDC(HDC dc, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                            DWORD rop);
    // Stretches this image onto `dest` through two DIB sections (StretchBlt,
    // nearest pixels), converting colours into dest's format and colour table;
    // dest keeps its size, format and table. Parts of either rectangle outside
    // its image are clipped. Nothing happens when either holds no image or a
    // section cannot be made.
    virtual void StretchInto(CDIB* dest, int xD, int yD, int wD, int hD, int xS, int yS, int wS,
                             int hS, DWORD rop);
    // StretchInto that says whether it drew: FALSE, with dest unchanged, when
    // either image is missing or a DIB section could not be made.
    BOOL TryStretchInto(CDIB* dest, int xD, int yD, int wD, int hD, int xS, int yS, int wS, int hS,
                        DWORD rop);
    // Fill(left, top, right - left, bottom - top, rop).
    virtual void FillRect(const RECT* rect, DWORD rop);
    // Paints the rectangle black (BLACKNESS) or white (WHITENESS), or the
    // nearest colour of the palette; other operations do nothing.
    virtual void Fill(int x, int y, int width, int height, DWORD rop);
    // Keeps the part of the picture from (left, top) up to (right, bottom),
    // in the same format and colour table; what lies outside the picture comes
    // out white. An empty rectangle, no image, or a copy that cannot be made
    // changes nothing.
    virtual void Crop(int left, int top, int right, int bottom);
    // The clipboard, which the caller opens (and empties before a copy) and
    // closes. A copy puts a CF_DIB block of the header, the colour table and
    // the pixels on it. A paste takes an uncompressed bottom-up CF_DIB block
    // whose size holds what its header describes (else FALSE, nothing
    // changed) and sets m_nBitsFlag to 1.
    virtual BOOL CopyToClipboard();
    virtual BOOL PasteFromClipboard(int unused);

    // Filters and geometry. Rows here are stored rows: row 0 is the bottom row
    // of the picture.

    // Stretches the levels of a 24-bit image: each byte of the pixel area,
    // taken in groups of three from its first byte across row ends, becomes
    // (byte - low) x (255 / (high - low)) modulo 256, with the high value of
    // blue, green or red by its place in the group. Only the low 8 bits of
    // each argument count. Other depths, and a high value equal to the low
    // one, leave the image as it is.
    virtual void AdjustLevels(int low, int highBlue, int highGreen, int highRed);
    // Turns the picture counter-clockwise by whole degrees about the corner of
    // the first stored pixel onto a canvas that holds the turned rectangle,
    // by nearest pixels from single-precision sine and cosine (so 90 degrees
    // is not an exact quarter turn). Canvas pixels outside the picture get
    // the background colour (1 bit: white only when it is exactly white;
    // 4 and 8 bits: the first table entry of that colour, else index 0).
    // FALSE, nothing changed, for no image, top-down rows and compressed
    // pixels; CMemoryException, nothing changed, for a canvas that cannot be
    // had or would exceed 256 MiB.
    virtual BOOL Rotate(int degrees, COLORREF background);
    // 1-bit images: a pixel stays 1 when, in the row before, its own row and
    // the row after, every pixel the row's pattern selects is 1 (bit 2: the
    // left neighbour, bit 1: the pixel, bit 0: the right one; higher bits are
    // ignored). Pixels outside the image count as 0, padding bits count as
    // pixels, and bit 0 of the last byte of each row comes out 0. FALSE for
    // no image or other depths; CMemoryException, nothing changed, when the
    // row buffers cannot be had.
    virtual BOOL Erode(int patternPrev, int patternCur, int patternNext);
    // Erode(7, 7, 7) as many times as the low 16 bits of `times` say.
    virtual BOOL ErodeRepeat(int times);
    // As Erode, but a pixel becomes 1 when any selected pixel is 1.
    virtual BOOL Dilate(int patternPrev, int patternCur, int patternNext);
    virtual BOOL DilateRepeat(int times);
    // BlurStep(n), BlurStep(n - 1), ..., BlurStep(1); always TRUE.
    virtual BOOL Blur(int n);
    // One in-place pass of 16- or 24-bit images: each pixel becomes the
    // average of the four pixels d rows and columns away diagonally (clamped
    // at the edges; rows and pixels already passed read new). FALSE for other
    // depths.
    virtual BOOL BlurStep(int d);
    virtual BOOL BlurStep16(int d);
    virtual BOOL BlurStep24(int d);
    // In place over 16- and 24-bit images: each inner pixel becomes the sum
    // of its 3 x 3 block, with the right-hand neighbour counted `weight`
    // times instead of once, over weight + 8 (neighbours already smoothed
    // read new). Other depths, and weights of -8 or less, leave the image as
    // it is.
    virtual void SmoothWeighted(int weight);

    // The byte holding pixel (x, y) of a 1-, 4-, 8-, 16- or 24-bit image; null
    // outside the image and at other depths.
    BYTE* GetPixelAddress(int x, int y);
    // The first entry among nColors of the header's colour table with the
    // colour's red, green and blue; -1 when none has.
    static int FindColor(const BITMAPINFOHEADER* header, int nColors, COLORREF colour);

    // Four 32-bit fields (m_bBorrowed, m_nBitsFlag, m_nFormatTag, m_nXDpi),
    // then the BMP file; nothing for an empty object. Throws CMemoryException
    // when the BMP cannot be written or read back.
    void Serialize(CArchive& ar) override;

    BOOL IsValid() const { return m_pBMI != nullptr; }
    // The bytes of the held pixels: stride x |biHeight| for uncompressed
    // images, whatever biSizeImage says (BI_RGB headers may leave it 0), and
    // biSizeImage for compressed ones; 0 when there is no image or its block
    // cannot hold them. Every operation that copies or walks the pixels
    // takes their size from here.
    std::size_t GetPixelBytes() const;

    // Colour count: biClrUsed when set, else 2, 16 or 256 for 1, 4 or 8 bits,
    // else 0 (core headers: by bit count alone).
    static int GetNumColors(const BITMAPINFOHEADER* header);
    static int NumColors(const BITMAPINFOHEADER* header) { return GetNumColors(header); }
    int GetNumColors() const { return GetNumColors(m_pBMI); }
    // TRUE unless the header is a 12-byte BITMAPCOREHEADER.
    static BOOL IsInfoHeader(const BITMAPINFOHEADER* header) { return header->biSize != 12; }
    void GetResolution(int* x, int* y) const {
        *x = m_nXDpi;
        *y = m_nYDpi;
    }

    // A blank width x height image in the format of `format` (bit count,
    // planes, pixels per metre, and its colour table when format->biSize is
    // non-zero, else the stock table), filled with `fill`. Throws
    // CMemoryException when the block cannot be had; FALSE (and an empty
    // object) for sizes or formats it cannot hold.
    BOOL Create(int width, int height, const BITMAPINFOHEADER* format, COLORREF fill);
    BOOL CreateLike(int width, int height, const CDIB& source);
    // Adopts a packed DIB in place. A size other than 0xFFFFFFFF marks the
    // block borrowed: the object never frees it.
    BOOL Attach(HGLOBAL block, BITMAPINFOHEADER* header, DWORD size);
    BOOL SetBits(const BYTE* source, int flag);
    void Empty();
    void Free();
    BOOL MakePalette(int colours, CPalette* palette);

    // Captures a device bitmap at its own depth (1, 4, 8, 16, or 24 for
    // deeper ones). The colour table, for 8 bits and fewer, is `colours` when
    // given, else the stock table. Throws CMemoryException when memory or the
    // pixel query fails; FALSE for a null or unknown bitmap.
    BOOL CreateFromBitmap(HBITMAP bitmap, const RGBQUAD* colours = nullptr);
    // A device bitmap of the image (monochrome for 1-bit images); *bitCount
    // receives the image's bit count, 0 when there is none.
    HBITMAP CreateDeviceBitmap(int* bitCount);

    BOOL m_bBorrowed;
    HGLOBAL m_hDIB = nullptr;
    BITMAPINFOHEADER* m_pBMI = nullptr;
    BYTE* m_pBits = nullptr;
    CPalette m_Palette;
    DWORD m_dwSizeImage = 0;
    int m_nBitsFlag = 0;
    int m_nFormatTag = -1;
    int m_nXDpi = 150;
    int m_nYDpi = 150;

private:
    // Where the parts of a packed DIB lie, in bytes from the start of its
    // header. Every operation that places, copies, converts or draws pixels
    // takes them from here.
    struct Layout {
        std::size_t pixelOffset; // the first pixel byte
        std::size_t pixelBytes;  // the pixel data
        std::size_t blockBytes;  // what the block must hold for every reader
    };
    // The layout of a DIB whose block holds `tableEntries` colour-table
    // entries between the 40-byte header and the pixels; FALSE for sizes that
    // a packed DIB with 32-bit sizes cannot hold.
    static bool LayOut(const BITMAPINFOHEADER& header, DWORD tableEntries, Layout* layout);
    // The layout of the held image, its pixels at m_pBits; FALSE when there
    // is no image or when it needs more than its block holds.
    bool HeldLayout(Layout* layout) const;

    void SetResolutionFromHeader();
    // Releases the held image and takes over the block, header, pixels and
    // palette of `other`, which is left empty; the other fields stay.
    void TakeImageOf(CDIB& other);
    // Takes over a packed DIB read from a file or an archive, releasing the
    // image held before.
    void Adopt(HGLOBAL block, BITMAPINFOHEADER* header, std::size_t tableEntries,
               std::size_t pixelBytes, std::size_t blockBytes);
    BOOL WriteBmp(CFile* file, CArchive* ar, int first, int last);
    int StretchTo(CDC* dc, const RECT& dest, const RECT& source, DWORD rop) const;

    // Set by StretchInto when it could not draw (its result is void), so
    // that Crop can tell a failed copy from a white one; a derived class's
    // stretch that does not call it leaves it as the caller set it.
    bool m_bStretchFailed = false;
    // Whether m_hDIB is this object's to free. A borrowed block never is;
    // a block the object made itself always is, whatever m_bBorrowed says.
    bool m_bOwnsBlock = false;
    // Bytes in the block from m_pBMI on; 0 when not known (Attach without a
    // size of a handle that is no global block).
    std::size_t m_nBlockSize = 0;
};

// The stock colour table of 2, 16 or 256 entries, chosen by count alone.
const RGBQUAD* DibStockColors(int colours);
