#include "platform/FileHandle.h"

#include <cerrno>
#include <cstdint>
#include <sys/stat.h>
#include <unistd.h>

// A handle is the descriptor plus one, so that descriptor 0 is not the null
// handle.
HANDLE HandleFromDescriptor(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

int DescriptorFromHandle(HANDLE file) {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file) - 1);
}

BOOL CloseHandle(HANDLE file) {
    return file && ::close(DescriptorFromHandle(file)) == 0;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    struct stat st;
    if (!file || fstat(DescriptorFromHandle(file), &st) != 0) return INVALID_FILE_SIZE;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

DWORD GetFileType(HANDLE file) {
    struct stat st;
    if (!file || fstat(DescriptorFromHandle(file), &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISREG(st.st_mode)) return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read, OVERLAPPED*) {
    if (read) *read = 0;
    if (!file) return FALSE;
    int fd = DescriptorFromHandle(file);
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
