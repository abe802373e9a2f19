// An anonymous file in memory (memfd) that the path-based readers and
// writers open as any other, by its path under /proc/self/fd: how standard
// input becomes a source ("-"), read whole before anything is decoded, and
// how a bitmap is made whole before it goes to standard output.
#pragma once

#include "fw/String.h"

#include <string>

class MemoryFile {
public:
    // The file, named `name` for /proc's listings; not ok() when none could
    // be made (errno says why).
    explicit MemoryFile(const char* name);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return m_fd >= 0; }
    const CString& path() const { return m_strPath; }

    // Appends all that `fd` holds, to its end. False, with errno set, when a
    // read or a write failed.
    bool FillFrom(int fd);
    // Writes the whole file to `fd` from its current position. False, with
    // errno set, when a write failed (a full disk, a closed pipe).
    bool CopyTo(int fd) const;

    // `text` with every mention of path() replaced by `name`, so that
    // messages speak of "standard input" rather than of /proc.
    std::string Named(std::string text, const std::string& name) const;

private:
    int m_fd = -1;
    CString m_strPath;
};
