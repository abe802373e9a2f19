// CFile: a file opened by path. Its handle works with the operating-system
// calls of platform/FileHandle.h (size, type, reads). Failures of reads,
// writes, seeks and of the closing of a written file throw CFileException;
// a short read is no failure (Read returns what arrived).
#pragma once

#include "fw/Exception.h"
#include "platform/FileHandle.h"

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoTruncate = 0x2000,
        modeCreate = 0x1000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    ~CFile();

    // Opens the file. On failure returns FALSE and, when `error` is given,
    // fills it with the cause. shareDenyWrite takes a shared lock and
    // shareExclusive an exclusive one (advisory locks: they keep out other
    // writers that lock too). Opening never waits: a FIFO without a writer
    // opens at once (reads then find its end), and directories are refused.
    BOOL Open(LPCTSTR path, UINT flags, CFileException* error = nullptr);
    // Closes the file. For a file opened for writing an error of the close
    // (data that never reached the disk) throws CFileException; the file is
    // closed all the same.
    void Close();
    // Closes without reporting anything.
    void Abort();

    // Reads up to count bytes; returns how many arrived (fewer only at the
    // end of the file).
    UINT Read(void* buffer, UINT count);
    // Writes all count bytes; a full disk or any other error throws.
    void Write(const void* buffer, UINT count);
    // Moves to `offset` from the beginning, the current position or the end;
    // returns the new position. A position before the start throws badSeek.
    ULONGLONG Seek(LONGLONG offset, UINT from);
    ULONGLONG SeekToBegin() { return Seek(0, begin); }
    ULONGLONG GetPosition() const;
    ULONGLONG GetLength() const;

    static constexpr HANDLE hFileNull = nullptr;
    HANDLE m_hFile = hFileNull;
    CString m_strFileName;

private:
    [[noreturn]] void Throw(int error) const;

    bool m_bWritable = false;
};
