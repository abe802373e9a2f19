// CFile: a file opened by path. Its handle works with the operating-system
// calls of platform/FileHandle.h (size, type, reads).
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
    void Close();

    // Reads up to count bytes; returns how many arrived. Throws
    // CFileException on a read error.
    UINT Read(void* buffer, UINT count);

    static constexpr HANDLE hFileNull = nullptr;
    HANDLE m_hFile = hFileNull;
    CString m_strFileName;
};
