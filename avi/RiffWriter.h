// The output side of the AVI file library: one file written with positioned
// POSIX writes, every one of them checked. RIFF files are written front to
// back, then a few fields near the start (chunk sizes, frame counts) are
// patched in place, so the writer keeps an explicit end position instead of
// relying on the descriptor's offset.
#pragma once

#include "platform/WinTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Little-endian RIFF building blocks appended to a byte vector.
namespace riff {

void PutU16(std::vector<BYTE>& out, WORD value);
void PutU32(std::vector<BYTE>& out, DWORD value);
void PutU64(std::vector<BYTE>& out, std::uint64_t value);
void PutZeros(std::vector<BYTE>& out, std::size_t count);
void SetU32(std::vector<BYTE>& out, std::size_t at, DWORD value);
// A chunk header: id and size (the size excludes the header and the pad byte).
void PutChunkHeader(std::vector<BYTE>& out, DWORD id, DWORD size);

} // namespace riff

class CRiffWriter {
public:
    CRiffWriter() = default;
    CRiffWriter(const CRiffWriter&) = delete;
    CRiffWriter& operator=(const CRiffWriter&) = delete;
    ~CRiffWriter(); // closes without reporting: call Close() to learn the result

    // Creates or empties the file. FALSE when it cannot be opened for writing.
    bool Create(const char* path);
    bool IsOpen() const { return m_fd >= 0; }

    // Writes `parts` one after the other at `offset` with one system call (a
    // chunk header, its data and its pad byte go out together). FALSE on any
    // failure, including a short write that cannot be completed.
    struct Piece {
        const void* data;
        std::size_t size;
    };
    bool WriteAt(std::uint64_t offset, const Piece* parts, std::size_t count);
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);

    // Cuts the file at `size` (used to drop a partly written chunk).
    bool Truncate(std::uint64_t size);
    // Closes the descriptor; FALSE when the close reports an error (data that
    // never reached the disk).
    bool Close();

    // The system's error number (errno) of the first call that failed, so
    // that a message can say why: ENOSPC for a full disk, EFBIG past a
    // file-size limit. 0 while none has.
    int Error() const { return m_nError; }

private:
    // Keeps errno as the reason unless an earlier failure gave one; FALSE.
    bool Failed();

    int m_fd = -1;
    int m_nError = 0;
};

// Test control: the write (or close) after `countdown` successful ones fails
// once, as on a full disk (half of its first piece reaches the file);
// negative switches it off.
void RiffInjectWriteFailure(long countdown);
