// An in-memory file (memfd_create) that each fuzz input is written into, for
// the code under test to open by its /proc/self/fd path or to read through
// its descriptor. One per name, made on first use and reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace fuzzinput {

[[noreturn]] inline void Fail(const char* target, const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    std::abort();
}

struct MemoryFile {
    int fd;
    std::string path;
};

inline MemoryFile MakeMemoryFile(const char* name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) Fail(name, "memfd_create failed");
    return {fd, "/proc/self/fd/" + std::to_string(fd)};
}

// Replaces the file's contents with the input.
inline void Fill(const MemoryFile& file, const std::uint8_t* data, std::size_t size) {
    if (ftruncate(file.fd, 0) != 0) Fail(file.path.c_str(), "ftruncate failed");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) Fail(file.path.c_str(), "pwrite failed");
        done += static_cast<std::size_t>(n);
    }
}

} // namespace fuzzinput
