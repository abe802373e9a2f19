#include "fw/File.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    case EDQUOT:
    case EFBIG:
        return CFileException::diskFull;
    case EINVAL:
    case ESPIPE:
        return CFileException::badSeek;
    case EIO:
        return CFileException::hardIO;
    default:
        return CFileException::genericException;
    }
}

} // namespace

CFile::~CFile() {
    Abort();
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
    m_hFile = HandleFromDescriptor(fd);
    m_strFileName = path;
    m_bWritable = (access & O_ACCMODE) != O_RDONLY;
    return TRUE;
}

void CFile::Close() {
    if (m_hFile == hFileNull) return;
    const bool reported = m_bWritable;
    const int fd = DescriptorFromHandle(m_hFile);
    m_hFile = hFileNull;
    m_bWritable = false;
    // Linux frees the descriptor even when close fails: it is never retried.
    if (::close(fd) != 0 && reported && errno != EINTR) Throw(errno);
}

void CFile::Abort() {
    if (m_hFile == hFileNull) return;
    CloseHandle(m_hFile);
    m_hFile = hFileNull;
    m_bWritable = false;
}

UINT CFile::Read(void* buffer, UINT count) {
    DWORD got = 0;
    if (!ReadFile(m_hFile, buffer, count, &got, nullptr)) Throw(errno);
    return got;
}

void CFile::Write(const void* buffer, UINT count) {
    const int fd = DescriptorFromHandle(m_hFile);
    const auto* p = static_cast<const char*>(buffer);
    while (count > 0) {
        const ssize_t n = ::write(fd, p, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            Throw(errno);
        }
        if (n == 0) Throw(ENOSPC);
        p += n;
        count -= static_cast<UINT>(n);
    }
}

ULONGLONG CFile::Seek(LONGLONG offset, UINT from) {
    const int whence = from == current ? SEEK_CUR : from == end ? SEEK_END : SEEK_SET;
    const off_t at = ::lseek(DescriptorFromHandle(m_hFile), offset, whence);
    if (at < 0) Throw(errno);
    return static_cast<ULONGLONG>(at);
}

ULONGLONG CFile::GetPosition() const {
    const off_t at = ::lseek(DescriptorFromHandle(m_hFile), 0, SEEK_CUR);
    if (at < 0) Throw(errno);
    return static_cast<ULONGLONG>(at);
}

ULONGLONG CFile::GetLength() const {
    struct stat st;
    if (::fstat(DescriptorFromHandle(m_hFile), &st) != 0) Throw(errno);
    return static_cast<ULONGLONG>(st.st_size);
}

void CFile::Throw(int error) const {
    throw CFileException(CauseFromErrno(error), error, m_strFileName);
}
