// CGifDecoder: loads a GIF file (87a or 89a) whole into memory and hands out its
// images one at a time, in file order, each as a device bitmap of the image
// alone, with its placement on the logical screen and the values of the last
// graphic control extension read before it.
#pragma once

#include "fw/String.h"
#include "gfx/Gdi.h"
#include "platform/WinTypes.h"

#include <cstddef>
#include <vector>

class CGifDecoder {
public:
    CGifDecoder();
    ~CGifDecoder();
    CGifDecoder(const CGifDecoder&) = delete;
    CGifDecoder& operator=(const CGifDecoder&) = delete;

    // Reads the header and global colour table and keeps the rest of the file
    // in memory. TRUE when GetNextFrame may be called. Shows "Error opening
    // file %1" when the file cannot be opened, unless m_bQuiet; other
    // failures are silent.
    BOOL LoadFile(CString path);
    // Set by a caller that says itself why a file failed, or that reads on a
    // thread where no message box may show.
    bool m_bQuiet = false;

    // A device bitmap (compatible with m_hDC) of the next image, which the
    // caller deletes; NULL at the end of the images or on a failure. At the end
    // of the data the next call rewinds, and the call after it starts again
    // with the first image.
    HBITMAP GetNextFrame();

    // Why the last GetNextFrame gave NULL: the images ended (the trailer, an
    // unknown block, the end of the data: a file cut short ends there too), an
    // image was refused (corrupt LZW data, a minimum code size above 11, more
    // rows than kMaxIndexSize), or memory ran out for it.
    enum FrameFailure { frameEnded = 0, frameRefused = 1, frameNoMemory = 2 };
    int m_nFrameFailure = frameEnded;

    // Every colour the images can show, without decoding them, each once,
    // in ascending order: the local tables of the images the walk reaches (it
    // stops where GetNextFrame would end the sequence), the global table when
    // one of them uses it, and black when one of them can index past its
    // table or has none. 0x00BBGGRR values. The background colour is not
    // among them: the images do not show it. When `pFirstImage` is given it
    // receives the first image's placement on the logical screen (all 0 when
    // there is none). Leaves the walk of GetNextFrame where it was.
    std::vector<COLORREF> CollectColors(RECT* pFirstImage = nullptr) const;

    // The graphic control extension of one image, as GIF89a scopes it: the
    // one met since the image before, if any, governs this image alone.
    struct ImageControl {
        bool seen = false;
        int disposal = 0; // 0 to 7, from the packed byte's bits 2 to 4
        bool transparent = false;
        int transparentIndex = 0;
        int delay = 0; // hundredths of a second, as stored
    };
    // The controls of the images GetNextFrame would hand out, in order,
    // without decoding them. Leaves the walk where it was.
    std::vector<ImageControl> CollectControls() const;
    // The control of the image GetNextFrame gave last.
    ImageControl m_imageControl;

    // When set, GetNextFrame also makes a mask of the image's transparent
    // pixels (those of its control's transparent index, whether or not the
    // colour table reaches it): a monochrome device bitmap of the image's
    // size, white where transparent, black elsewhere. Null when the image has
    // no transparent index or no pixel of it. The decoder owns the mask;
    // it lasts until the next GetNextFrame.
    bool m_bMakeMasks = false;
    HBITMAP m_hMask = nullptr;

    int m_nScreenWidth = 0;
    int m_nScreenHeight = 0;
    int m_nDataSize;
    int m_nBackgroundIndex = 0;
    int m_nGlobalColors;
    BYTE* m_pGlobalColors; // red, green, blue per entry, as stored
    BYTE* m_pData;         // the file after the header and global colour table
    BYTE* m_pCursor = nullptr;
    BYTE* m_pIndices = nullptr;
    int m_nPos;
    int m_nDisposal = 0; // disposal bits kept in place: packed byte AND 0x1C
    int m_bTransparent;
    int m_nTransparentIndex = 0;
    int m_nDelay; // hundredths of a second
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nTop = 0;
    int m_nLeft = 0;
    int m_nStride = 0;
    BYTE m_byBitBuffer = 0;
    BYTE m_byImageFlags = 0;
    int m_nIndexSize = 0;
    COLORREF m_crTransparent = 0;
    HDC m_hDC = nullptr; // set by the caller before the first GetNextFrame
    int m_nCodeSize = 0;
    int m_nInitCodeSize = 0;
    unsigned m_nBitsLeft = 0;
    unsigned m_nBlockUsed = 0;
    unsigned m_nBlockSize = 0;
    int m_nX = 0;
    int m_nRow = 0;
    int m_nPass = 0;
    int m_nPassRow = 0;

    // No image may need more index-row bytes than this (256 MiB): larger
    // images fail, so no file can make the decoder allocate gigabytes.
    static constexpr long long kMaxIndexSize = 256LL << 20;

private:
    struct CodeTable;
    struct BlockCursor;
    struct BitReader;

    // A cursor at the frame walk's position, and taking the walk to where a
    // cursor stopped.
    BlockCursor Cursor() const;
    void Follow(const BlockCursor& cursor);

    HBITMAP DecodeImage();
    // The mask of the image just decoded into m_hMask; false without memory.
    bool MakeMask();
    // The LZW decoder (GifLzw.cpp). The code table and, unless the index rows
    // themselves can serve (a non-interlaced image whose rows have no
    // padding), a pixel stream of m_nWidth x m_nHeight bytes live in the
    // frame block after the index rows; the stream and the rows are followed
    // by kLzwSlack spare bytes.
    static std::size_t CodeTableBytes();
    static constexpr std::size_t kLzwSlack = 8;
    BOOL DecodeLzw(CodeTable* table, BYTE* stream);
    // The pixels of a stream decoded so far into the index rows, and the
    // pixel position of the rows after `pixels` pixels.
    void PlaceStream(const BYTE* stream, std::size_t pixels);
    // Ends the decoding into the stream after `pixels` of its `size`: the
    // pixels go to the rows, which take the rest one by one.
    void LeaveStream(BYTE* stream, std::size_t pixels, std::size_t size);
    void SetPixelPosition(std::size_t pixels);
    // The reader's position as the image data's bytes are taken one by one:
    // m_pCursor, m_nPos, the sub-block and bit counters after the codes read.
    void SetDataPosition(const BitReader& reader, int dataStart);
    void PutPixel(BYTE index);
    BOOL EmitString(const CodeTable* table, WORD code, WORD firstFree, BYTE* first,
                    bool appendFirst);
    BOOL SkipSubBlocks();

    // Set when the image data ran out (its terminator, or a sub-block that
    // would pass the end of the loaded data) before the end code.
    bool m_bDataEnded = false;
};
