// The operating-system calls on file handles: size, type and reads, with the
// platform's names. Reads report how many bytes they delivered; the size query
// reports the low 32 bits of the size, as the 32-bit call does, and the high
// 32 bits on request. A handle wraps a POSIX descriptor.
#pragma once

#include "platform/WinTypes.h"

// The handle of an open descriptor (never null), and the descriptor of a
// handle (-1 for null).
HANDLE HandleFromDescriptor(int fd);
int DescriptorFromHandle(HANDLE file);
// Closes the handle's descriptor; FALSE for null or a failed close.
BOOL CloseHandle(HANDLE file);

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
