// CFile: a file opened by path, and the operating-system calls that work on its
// handle (file size and reads). Reads report how many bytes they delivered; the
// size query reports the low 32 bits of the size, as the 32-bit call does.
#pragma once

#include "fw/Exception.h"
#include "fw/WinTypes.h"

constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

struct OVERLAPPED;

// Low 32 bits of the file's size; the high 32 bits go to *sizeHigh when given.
// INVALID_FILE_SIZE when the handle is not an open file.
DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);

// What a handle reads from: FILE_TYPE_DISK for a regular file, FILE_TYPE_CHAR
// for a device, FILE_TYPE_PIPE for a FIFO or socket, FILE_TYPE_UNKNOWN for
// anything else or a handle that is not open.
constexpr DWORD FILE_TYPE_UNKNOWN = 0x0000;
constexpr DWORD FILE_TYPE_DISK = 0x0001;
constexpr DWORD FILE_TYPE_CHAR = 0x0002;
constexpr DWORD FILE_TYPE_PIPE = 0x0003;
DWORD GetFileType(HANDLE file);

// Reads up to `count` bytes at the file position; *read receives how many
// arrived (fewer at the end of the file). FALSE on an error.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, OVERLAPPED* overlapped);

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
