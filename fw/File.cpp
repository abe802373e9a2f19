#include "fw/File.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A handle is the descriptor plus one, so that descriptor 0 is not the null handle.
HANDLE HandleFromFd(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}
int FdFromHandle(HANDLE h) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(h) - 1);
}

int CauseFromErrno(int err) {
    switch (err) {
    case ENOENT:
        return CFileException::fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
        return CFileException::badPath;
    case EMFILE:
    case ENFILE:
        return CFileException::tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return CFileException::accessDenied;
    case EWOULDBLOCK:
        return CFileException::sharingViolation;
    case ENOSPC:
        return CFileException::diskFull;
    case EIO:
        return CFileException::hardIO;
    default:
        return CFileException::genericException;
    }
}

} // namespace

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    struct stat st;
    if (file == CFile::hFileNull || fstat(FdFromHandle(file), &st) != 0) return INVALID_FILE_SIZE;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

DWORD GetFileType(HANDLE file) {
    struct stat st;
    if (file == CFile::hFileNull || fstat(FdFromHandle(file), &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, OVERLAPPED*) {
    if (read) *read = 0;
    if (file == CFile::hFileNull) return FALSE;
    int fd = FdFromHandle(file);
    auto* out = static_cast<char*>(buffer);
    DWORD total = 0;
    while (total < count) {
        ssize_t n = ::read(fd, out + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (read) *read = total;
            return FALSE;
        }
        if (n == 0) break; // end of file
        total += static_cast<DWORD>(n);
    }
    if (read) *read = total;
    return TRUE;
}

CFile::~CFile() {
    Close();
}

BOOL CFile::Open(LPCTSTR path, UINT flags, CFileException* error) {
    Close();
    int access = O_RDONLY;
    if ((flags & 3) == modeWrite) access = O_WRONLY;
    if ((flags & 3) == modeReadWrite) access = O_RDWR;
    if (flags & modeCreate) access |= O_CREAT | ((flags & modeNoTruncate) ? 0 : O_TRUNC);
    // Without O_NONBLOCK, opening a FIFO for reading waits for a writer,
    // for ever if none comes. Reads block as usual once it is open.
    int fd = ::open(path, access | O_CLOEXEC | O_NONBLOCK, 0666);
    int err = errno;
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd);
            fd = -1;
            err = EISDIR;
        } else {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        }
    }
    if (fd >= 0) {
        int share = flags & 0x70;
        int lock = share == shareExclusive ? LOCK_EX : share == shareDenyWrite ? LOCK_SH : 0;
        if (lock && flock(fd, lock | LOCK_NB) != 0) {
            err = errno;
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        if (error) *error = CFileException(CauseFromErrno(err), err, path);
        return FALSE;
    }
    m_hFile = HandleFromFd(fd);
    m_strFileName = path;
    return TRUE;
}

void CFile::Close() {
    if (m_hFile != hFileNull) {
        ::close(FdFromHandle(m_hFile));
        m_hFile = hFileNull;
    }
}

UINT CFile::Read(void* buffer, UINT count) {
    DWORD got = 0;
    if (!ReadFile(m_hFile, buffer, count, &got, nullptr))
        throw CFileException(CFileException::hardIO, errno, m_strFileName);
    return got;
}
