// CGifDecoder: loads a GIF file (87a or 89a) whole into memory and hands out its
// images one at a time, in file order, each as a device bitmap of the image
// alone, with its placement on the logical screen and the values of the last
// graphic control extension read before it.
#pragma once

#include "fw/String.h"
#include "gfx/Gdi.h"
#include "platform/WinTypes.h"

#include <vector>

class CGifDecoder {
public:
    CGifDecoder();
    ~CGifDecoder();
    CGifDecoder(const CGifDecoder&) = delete;
    CGifDecoder& operator=(const CGifDecoder&) = delete;

    // Reads the header and global colour table and keeps the rest of the file
    // in memory. TRUE when GetNextFrame may be called. Shows "Error opening
    // file %1" when the file cannot be opened; other failures are silent.
    BOOL LoadFile(CString path);

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
    struct CodeEntry;
    struct BlockCursor;

    // A cursor at the frame walk's position, and taking the walk to where a
    // cursor stopped.
    BlockCursor Cursor() const;
    void Follow(const BlockCursor& cursor);

    HBITMAP DecodeImage();
    BOOL DecodeLzw(CodeEntry* table);
    BYTE ReadDataByte();
    WORD ReadCode();
    void PutPixel(BYTE index);
    BOOL EmitString(CodeEntry* table, WORD code, WORD firstFree, BYTE* first, bool appendFirst);
    BOOL SkipSubBlocks();

    // Set when the image data ran out (its terminator, or a sub-block that
    // would pass the end of the loaded data) before the end code.
    bool m_bDataEnded = false;
};
