#include "avi/RiffWriter.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace riff {

void PutU16(std::vector<BYTE>& out, WORD value) {
    out.push_back(static_cast<BYTE>(value));
    out.push_back(static_cast<BYTE>(value >> 8));
}

void PutU32(std::vector<BYTE>& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<BYTE>(value >> shift));
}

void PutU64(std::vector<BYTE>& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<BYTE>(value >> shift));
}

void PutZeros(std::vector<BYTE>& out, std::size_t count) {
    out.insert(out.end(), count, 0);
}

void SetU32(std::vector<BYTE>& out, std::size_t at, DWORD value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<BYTE>(value >> (8 * i));
}

void PutChunkHeader(std::vector<BYTE>& out, DWORD id, DWORD size) {
    PutU32(out, id);
    PutU32(out, size);
}

} // namespace riff

namespace {

long g_failCountdown = -1;

// Counts one write (or close) against the injected failure; true when this
// one is to fail.
bool InjectedFailure() {
    if (g_failCountdown < 0) return false;
    if (g_failCountdown-- == 0) {
        errno = ENOSPC;
        return true;
    }
    return false;
}

} // namespace

void RiffInjectWriteFailure(long countdown) {
    g_failCountdown = countdown < 0 ? -1 : countdown;
}

bool CRiffWriter::Failed() {
    if (m_nError == 0) m_nError = errno != 0 ? errno : EIO;
    return false;
}

CRiffWriter::~CRiffWriter() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CRiffWriter::Create(const char* path) {
    if (m_fd >= 0 || !path || !*path) return false;
    m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return m_fd >= 0 || Failed();
}

bool CRiffWriter::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    Piece piece{data, size};
    return WriteAt(offset, &piece, 1);
}

bool CRiffWriter::WriteAt(std::uint64_t offset, const Piece* parts, std::size_t count) {
    if (m_fd < 0) return false;
    constexpr std::size_t kMaxParts = 8;
    if (count > kMaxParts) return errno = EINVAL, Failed();
    iovec iov[kMaxParts];
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (parts[i].size == 0) continue;
        iov[used].iov_base = const_cast<void*>(parts[i].data);
        iov[used].iov_len = parts[i].size;
        ++used;
    }
    if (InjectedFailure()) {
        // A disk that fills up takes part of the data first: half of it here.
        std::size_t half = 0;
        for (std::size_t i = 0; i < used; ++i) half += iov[i].iov_len;
        half /= 2;
        for (std::size_t i = 0; i < used && half > 0; ++i) {
            std::size_t n = std::min(half, iov[i].iov_len);
            if (::pwrite(m_fd, iov[i].iov_base, n, static_cast<off_t>(offset)) != ssize_t(n)) break;
            offset += n;
            half -= n;
        }
        errno = ENOSPC;
        return Failed();
    }
    // A short write (a disk filling up, a signal) is continued from where it
    // stopped; the retry then reports the real error.
    iovec* next = iov;
    while (used > 0) {
        if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return errno = EFBIG, Failed();
        ssize_t done = ::pwritev(m_fd, next, static_cast<int>(used), static_cast<off_t>(offset));
        if (done < 0) {
            if (errno == EINTR) continue;
            return Failed();
        }
        if (done == 0) {
            errno = ENOSPC;
            return Failed();
        }
        offset += static_cast<std::uint64_t>(done);
        std::size_t left = static_cast<std::size_t>(done);
        while (used > 0 && left >= next->iov_len) {
            left -= next->iov_len;
            ++next;
            --used;
        }
        if (used > 0) {
            next->iov_base = static_cast<char*>(next->iov_base) + left;
            next->iov_len -= left;
        }
    }
    return true;
}

bool CRiffWriter::Truncate(std::uint64_t size) {
    if (m_fd < 0 || size > static_cast<std::uint64_t>(LLONG_MAX)) return false;
    return ::ftruncate(m_fd, static_cast<off_t>(size)) == 0 || Failed();
}

bool CRiffWriter::Close() {
    if (m_fd < 0) return false;
    int fd = m_fd;
    m_fd = -1;
    bool injected = InjectedFailure();
    // Linux releases the descriptor even when close() reports an error, so
    // it is never retried.
    bool closed = ::close(fd) == 0;
    if (injected) errno = ENOSPC;
    return (closed && !injected) || Failed();
}
