// One AVI file with one video stream, written front to back as frames arrive
// and completed in place. Past the RIFF part limit it goes on in 'AVIX' parts
// with OpenDML indexes; smaller files are plain AVI with an 'idx1' index.
// The AVI file library's entry points (AviFile.cpp) check their arguments and
// formats, then drive this.
#pragma once

#include "avi/AviFile.h"
#include "avi/RiffWriter.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class COpenDmlFile {
public:
    // Creates or empties the file. A part is closed, and the next begun, before
    // it would grow past `riffLimit` bytes; a part always takes one frame.
    bool Create(const char* path, std::uint64_t riffLimit);

    // The one video stream: its header fields as the caller gave them.
    bool HasStream() const { return m_bHasStream; }
    void AddStream(const AVISTREAMINFO& info);
    const AVISTREAMINFO& StreamInfo() const { return m_video.info; }

    // Gives the stream its 'strf' bytes: `compressed` frames go in '00dc'
    // chunks, others in '00db'; `frameBytes` is the exact size of every frame
    // (0: any). The header block's size depends on the format, so once frames
    // are written only the same format is accepted again (AVIERR_UNSUPPORTED).
    HRESULT SetFormat(std::vector<BYTE>&& format, DWORD handler, DWORD quality, bool compressed,
                      std::size_t frameBytes, LONG width, LONG height);
    bool HasFormat() const { return m_video.hasFormat; }
    std::size_t FrameBytes() const { return m_video.frameBytes; }

    DWORD Frames() const { return m_frames; }
    // The first failed write; every later call reports it.
    HRESULT Failure() const { return m_hrFailure; }
    // The system's reason (errno) for the first failed call on the file; 0
    // while none has failed.
    int Error() const { return m_out.Error(); }

    HRESULT WriteFrame(const BYTE* data, std::size_t size, bool key);
    // The size of the complete file that a stream format of `formatBytes`
    // and frames of the runs' sizes, written in order, would make with parts
    // of at most `riffLimit` bytes: the same header, the same part breaks and
    // the same indexes as writing them, without a byte written.
    static std::uint64_t PlannedSize(std::size_t formatBytes, const AviFrameRun* runs,
                                     std::size_t runCount, std::uint64_t riffLimit);
    // Indexes the frames, patches the headers and closes the file. After an
    // earlier failed write the frames before it are still indexed and the
    // headers patched, so what reached the disk stays playable; the result
    // reports the first failure.
    HRESULT Complete();

private:
    // The current part's 'ix00' entries as they are written: the data's
    // offset from the part's 'movi' LIST header, and its size with the top
    // bit set for frames that are not key frames, 8 little-endian bytes. They
    // fill blocks of one size, so an index of millions of frames holds 8 bytes
    // a frame and never copies itself to grow. The first part's 'idx1' entries
    // are made from them when it is written.
    class ChunkEntries {
    public:
        // Throws std::bad_alloc when a new block cannot be had.
        void Push(DWORD offset, DWORD size);
        std::size_t Size() const { return m_size; }
        // Entry i's fields.
        DWORD Offset(std::size_t i) const { return Field(i, 0); }
        DWORD SizeField(std::size_t i) const { return Field(i, 4); }
        // Entries [first, first + count) as written, within one block.
        const BYTE* Bytes(std::size_t first) const;
        std::size_t ContiguousFrom(std::size_t first) const;
        void Clear();

    private:
        DWORD Field(std::size_t i, std::size_t at) const;
        std::vector<std::unique_ptr<BYTE[]>> m_blocks;
        std::size_t m_size = 0;
    };
    struct SuperEntry {
        std::uint64_t offset; // of the 'ix00' chunk header
        DWORD size;           // of the whole 'ix00' chunk
        DWORD frames;
    };
    struct VideoStream {
        AVISTREAMINFO info{};
        bool hasFormat = false;
        std::vector<BYTE> format; // 'strf' as written
        DWORD handler = 0;        // strh fccHandler
        DWORD quality = 0;
        DWORD chunkId = 0;          // '00db' or '00dc', chosen with the format
        std::size_t frameBytes = 0; // exact size of uncompressed frames, 0: any size
        LONG width = 0, height = 0;
    };

    bool HasVideo() const;
    bool IsOpenDml() const;
    void PutStreamList(std::vector<BYTE>& out) const;
    // The first part's header block followed by its LIST 'movi' header, with
    // the sizes and counts as they stand.
    std::vector<BYTE> BuildHeader() const;
    HRESULT Fail(HRESULT error = AVIERR_FILEWRITE);
    bool Begin();
    bool ClosePart();
    // Frames in the first part: all of them until it is closed.
    DWORD FirstPartFrames() const;
    // Writes the current part's 'ix00' (when `chunkIndex`) followed by the
    // first part's 'idx1' (when `idx1`) at m_end, in pieces of bounded size.
    // `ixBytes` receives the size of the 'ix00' chunk, `total` of both.
    bool WriteIndexes(bool chunkIndex, bool idx1, std::uint64_t& ixBytes, std::uint64_t& total);

    CRiffWriter m_out;
    HRESULT m_hrFailure = AVIERR_OK;
    std::uint64_t m_riffLimit = 0;
    bool m_bHasStream = false;
    VideoStream m_video;

    bool m_bBegun = false;            // header block written
    std::uint64_t m_end = 0;          // end of what was written successfully
    std::uint64_t m_moviStart = 0;    // LIST 'movi' header of the current part
    std::uint64_t m_partStart = 0;    // RIFF header of the current part
    bool m_bPartOpen = false;         // the current part still takes frames
    std::uint64_t m_firstMoviEnd = 0; // the first part, once closed
    std::uint64_t m_firstRiffEnd = 0;
    ChunkEntries m_ix;
    std::vector<SuperEntry> m_super;
    DWORD m_frames = 0;
    DWORD m_maxChunk = 0;
};
