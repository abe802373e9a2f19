#include "app/MemoryFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Writes all of `size` bytes, across short writes and interruptions.
bool WriteAll(int fd, const char* data, ssize_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, std::size_t(size));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

MemoryFile::MemoryFile(const char* name) : m_fd(memfd_create(name, MFD_CLOEXEC)) {
    if (m_fd >= 0) m_strPath = CString("/proc/self/fd/" + std::to_string(m_fd));
}

MemoryFile::~MemoryFile() {
    if (m_fd >= 0) close(m_fd);
}

bool MemoryFile::FillFrom(int fd) {
    if (m_fd < 0 || lseek(m_fd, 0, SEEK_END) < 0) return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(m_fd, buffer, n)) return false;
    }
}

bool MemoryFile::CopyTo(int fd) const {
    // A file opened again through /proc has its own position: read from
    // the start with pread, whatever wrote it.
    if (m_fd < 0) return false;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(m_fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(fd, buffer, n)) return false;
        at += n;
    }
}

std::string MemoryFile::Named(std::string text, const std::string& name) const {
    const std::string& path = m_strPath.str();
    if (path.empty()) return text;
    std::size_t at = 0;
    while ((at = text.find(path, at)) != std::string::npos) {
        // "/proc/self/fd/3" is not to be found in "/proc/self/fd/31".
        const std::size_t end = at + path.size();
        if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
            at = end;
            continue;
        }
        text.replace(at, path.size(), name);
        at += name.size();
    }
    return text;
}
