#include "avi/AviWriter.h"

#include "fw/MemoryDC.h"

#include <cerrno>
#include <cstring>

namespace {

// The AVI library is usable from version 1.10 on; asked afresh each time.
bool LibraryUsable() {
    return (VideoForWindowsVersion() >> 16) >= 0x010A;
}

} // namespace

CAviWriter::CAviWriter(const char* pszFileName, int nWidth, int nHeight)
    : m_strFileName(pszFileName), m_nFrameWidth(nWidth), m_nFrameHeight(nHeight), m_dib(FALSE) {
    std::memset(&m_streamInfo, 0, sizeof m_streamInfo);
    std::memset(&m_compressOptions, 0, sizeof m_compressOptions);
    if (LibraryUsable())
        AVIFileInit();
    else
        m_bAvailable = false;
}

CAviWriter::~CAviWriter() {
    if (!m_bClosed) Close();
    if (LibraryUsable()) AVIFileExit();
}

HRESULT CAviWriter::Close() {
    m_bClosed = true;
    m_bAvailable = false;
    const bool made = m_pFile != nullptr;
    if (m_pStream) AVIStreamRelease(m_pStream);
    if (m_pCompressedStream) AVIStreamRelease(m_pCompressedStream);
    if (m_pFile) AVIFileRelease(m_pFile);
    m_pStream = m_pCompressedStream = nullptr;
    m_pFile = nullptr;
    // The file is completed when its last reference goes, here.
    if (!made) return AVIERR_OK;
    if (AviLastCloseErrno() != 0) m_nLastErrno = AviLastCloseErrno();
    return AviLastCloseResult();
}

bool CAviWriter::AddFrame(HBITMAP* phBitmap, bool bUncompressed) {
    // Capture. The 8-bit capture of an RLE8 frame is freed on every path. A
    // failed uncompressed capture gives no frame: the image of an earlier
    // frame, still held, must not be written again in its place.
    GlobalBlock temporary(bUncompressed ? nullptr : BitmapToDIB(*phBitmap, 8));
    BITMAPINFOHEADER* dib = static_cast<BITMAPINFOHEADER*>(temporary.data());
    if (bUncompressed && m_dib.CreateFromBitmap(*phBitmap)) dib = m_dib.m_pBMI;

    return AddPackedFrame(dib, bUncompressed);
}

bool CAviWriter::AddPackedFrame(const BITMAPINFOHEADER* dib, bool bUncompressed) {
    // Usable, and a frame to write? A bitmap without pixels is no frame:
    // refused before anything touches the destination.
    if (!m_bAvailable || !dib || dib->biWidth <= 0 || dib->biHeight <= 0) return false;

    // Every frame has the size of the first.
    if ((m_nFrameWidth >= 0 && m_nFrameWidth != dib->biWidth) ||
        (m_nFrameHeight >= 0 && m_nFrameHeight != dib->biHeight))
        return false;
    m_nFrameWidth = dib->biWidth;
    m_nFrameHeight = dib->biHeight;

    const LONG formatSize = static_cast<LONG>(dib->biSize + 4 * dib->biClrUsed);
    const BYTE* bits = reinterpret_cast<const BYTE*>(dib) + formatSize;

    // A failed library call makes the writer unusable for good.
    auto failed = [this](HRESULT result) {
        if (result == AVIERR_OK) return false;
        m_hrLastError = result;
        m_bAvailable = false;
        return true;
    };

    // The first frame opens the file, the stream and the compressor.
    if (m_nFrameCount == 0) {
        if (const HRESULT opened =
                AVIFileOpen(&m_pFile, m_strFileName, OF_WRITE | OF_CREATE, nullptr);
            failed(opened)) {
            if (opened == AVIERR_FILEOPEN) m_nLastErrno = errno;
            return false;
        }
        std::memset(&m_streamInfo, 0, sizeof m_streamInfo);
        m_streamInfo.fccType = streamtypeVIDEO;
        m_streamInfo.fccHandler = 0;
        m_streamInfo.dwScale = m_dwScale;
        m_streamInfo.dwRate = m_dwRate;
        m_streamInfo.dwSuggestedBufferSize = dib->biSizeImage;
        m_streamInfo.rcFrame = RECT{0, 0, dib->biWidth, dib->biHeight};
        if (failed(AVIFileCreateStream(m_pFile, &m_pStream, &m_streamInfo))) return false;
        std::memset(&m_compressOptions, 0, sizeof m_compressOptions);
        if (bUncompressed) {
            m_compressOptions.fccHandler = mmioFOURCC('D', 'I', 'B', ' ');
        } else {
            m_compressOptions.fccHandler = mmioFOURCC('m', 'r', 'l', 'e');
            m_compressOptions.dwQuality = 8500;
            if (m_nKeyFrameEvery > 1) {
                m_compressOptions.dwKeyFrameEvery = static_cast<DWORD>(m_nKeyFrameEvery);
                m_compressOptions.dwFlags |= AVICOMPRESSF_KEYFRAMES;
            }
        }
        m_compressOptions.dwFlags |= AVICOMPRESSF_VALID;
        if (failed(AVIMakeCompressedStream(&m_pCompressedStream, m_pStream, &m_compressOptions,
                                           nullptr)) ||
            failed(AVIStreamSetFormat(m_pCompressedStream, 0, const_cast<BITMAPINFOHEADER*>(dib),
                                      formatSize)))
            return false;
    }

    // Every frame is a key frame, at the next sample position.
    if (failed(AVIStreamWrite(m_pCompressedStream, m_nFrameCount, 1, const_cast<BYTE*>(bits),
                              static_cast<LONG>(dib->biSizeImage), AVIIF_KEYFRAME, nullptr,
                              nullptr)))
        return false;
    ++m_nFrameCount;
    return true;
}

bool CAviWriter::SetFrameRate(DWORD dwRate, DWORD dwScale) {
    if (m_nFrameCount > 0 || dwRate == 0 || dwScale == 0) return false;
    m_dwRate = dwRate;
    m_dwScale = dwScale;
    return true;
}

bool CAviWriter::SetKeyFrameInterval(int frames) {
    if (m_nFrameCount > 0 || frames < 0) return false;
    m_nKeyFrameEvery = frames;
    return true;
}

bool CAviWriter::AddEmptyFrames(int count) {
    for (int i = 0; i < count; ++i) {
        if (!m_bAvailable || m_nFrameCount == 0) return false;
        const HRESULT result =
            AVIStreamWrite(m_pCompressedStream, m_nFrameCount, 1, nullptr, 0, 0, nullptr, nullptr);
        if (result != AVIERR_OK) {
            m_hrLastError = result;
            m_bAvailable = false;
            return false;
        }
        ++m_nFrameCount;
    }
    return true;
}

HGLOBAL BitmapToDIB(HBITMAP hBitmap, unsigned nBitCount) {
    BITMAP bm{};
    if (GetObject(hBitmap, sizeof bm, &bm) != static_cast<int>(sizeof bm)) return nullptr;
    const long long width = bm.bmWidth, height = bm.bmHeight;
    if (width < 0 || height < 0) return nullptr;
    const auto stride =
        static_cast<long long>(DibRowBytes(static_cast<std::uint64_t>(width), nBitCount));
    const long long colours = DibTableEntries(nBitCount);
    const long long size = 40 + 4 * colours + height * stride;
    if (size > 0xFFFFFFFFLL) return nullptr;

    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, static_cast<std::size_t>(size)));
    auto* header = static_cast<BITMAPINFOHEADER*>(block.data());
    if (!header) return nullptr;
    header->biSize = 40;
    header->biWidth = bm.bmWidth;
    header->biHeight = bm.bmHeight;
    header->biPlanes = 1;
    header->biBitCount = static_cast<WORD>(nBitCount);
    header->biCompression = BI_RGB;
    header->biSizeImage = static_cast<DWORD>(height * stride);
    header->biClrUsed = static_cast<DWORD>(colours);
    header->biClrImportant = 0;

    // The platform chooses the colour table and maps the pixels into it.
    bool read = false;
    {
        CMemoryDC memory(nullptr);
        read = memory.GetSafeHdc() &&
               GetDIBits(memory.GetSafeHdc(), hBitmap, 0, static_cast<UINT>(height),
                         reinterpret_cast<BYTE*>(header) + 40 + 4 * colours,
                         reinterpret_cast<BITMAPINFO*>(header), DIB_RGB_COLORS) != 0;
    }
    header->biClrUsed = static_cast<DWORD>(colours);
    // A frame whose pixels could not be read is no frame.
    if (!read && height > 0) return nullptr;
    return block.Release();
}
