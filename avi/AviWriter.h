// CAviWriter: writes one AVI file with one video stream, at 15 frames per
// second unless told otherwise before the first frame. Each AddFrame turns a device bitmap into a
// packed DIB (8 bits for RLE8, the bitmap's own depth otherwise) and appends it as the next key
// frame; the first frame creates the file. The file is complete after Close,
// or when the writer is destroyed.
#pragma once

#include "avi/AviFile.h"
#include "dib/Dib.h"
#include "fw/Object.h"
#include "fw/String.h"
#include "gfx/Gdi.h"
#include "platform/GlobalMemory.h"

class CAviWriter : public CObject {
public:
    // Nothing is created on disk until the first frame. A negative width or
    // height is taken from the first frame.
    CAviWriter(const char* pszFileName, int nWidth, int nHeight);
    ~CAviWriter() override;
    CAviWriter(const CAviWriter&) = delete;
    CAviWriter& operator=(const CAviWriter&) = delete;

    // Appends the bitmap *phBitmap (which stays the caller's) as the next
    // frame: RLE8 at 8 bits per pixel, or uncompressed at the bitmap's depth.
    // The compression is fixed by the first frame. False when the frame is
    // refused (another size, no capture) or the writer is unusable; the first
    // failed library call makes it unusable for good.
    virtual bool AddFrame(HBITMAP* phBitmap, bool bUncompressed);
    // Appends a packed DIB (header, colour table, rows from the bottom) as
    // the next frame, as AddFrame does with the DIB it captures: 8 bits per
    // pixel for RLE8, uncompressed at its own depth.
    bool AddPackedFrame(const BITMAPINFOHEADER* dib, bool bUncompressed);
    virtual bool IsAvailable() { return m_bAvailable; }
    // The video's rate, dwRate / dwScale frames per second (15 / 1 unless
    // set); it takes effect with the first frame. False after it, or for a
    // rate or scale of 0.
    bool SetFrameRate(DWORD dwRate, DWORD dwScale);
    // RLE8 only: a key frame at least every `frames` frames, delta frames
    // between (see AVIMakeCompressedStream); 0 or 1, every frame a key frame
    // (the default). It takes effect with the first frame; false after it.
    bool SetKeyFrameInterval(int frames);
    // Appends `count` empty frames after the first: chunks of no data, which
    // players show as the frame before. False before the first frame or when
    // the writer is unusable.
    bool AddEmptyFrames(int count);
    // Releases the streams and the file, which completes the file on disk,
    // and answers the library's result of completing it: AVIERR_OK, or the
    // first failure of any write to the file (AVIERR_FILEWRITE,
    // AVIERR_MEMORY). AVIERR_OK when no file was made. The writer takes no
    // frame after it; the destructor calls it when nobody has.
    HRESULT Close();

    CString m_strFileName;
    int m_nFrameWidth;
    int m_nFrameHeight;
    AVISTREAMINFO m_streamInfo;
    PAVIFILE m_pFile = nullptr;
    PAVISTREAM m_pStream = nullptr;
    PAVISTREAM m_pCompressedStream = nullptr;
    AVICOMPRESSOPTIONS m_compressOptions;
    int m_nFrameCount = 0;
    DWORD m_dwRate = 15;
    DWORD m_dwScale = 1;
    int m_nKeyFrameEvery = 0;
    bool m_bAvailable = true;
    // The result of the library call that made the writer unusable
    // (AVIERR_MEMORY, AVIERR_FILEWRITE, ...); AVIERR_OK before one failed.
    HRESULT m_hrLastError = AVIERR_OK;
    // The system's reason (errno) for a failure on the disk: the file that
    // could not be created, or, after Close, the first write the disk
    // refused. 0 when there is none.
    int m_nLastErrno = 0;
    bool m_bClosed = false;
    CDIB m_dib;
};

// A packed DIB of `nBitCount` bits per pixel (bottom-up rows, a full colour
// table for 8 bits and fewer) made from a device bitmap, in a new movable
// global block that the caller frees; null when it cannot be made. The
// colours come from the graphics layer's reduction: the screen's palette when
// one is realised, else the stock table.
HGLOBAL BitmapToDIB(HBITMAP hBitmap, unsigned nBitCount);
