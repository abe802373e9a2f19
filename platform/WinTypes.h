// The basic integer and handle types of the platform API that the program's
// classes are written against. Sizes are fixed: DWORD and LONG are 32 bits
// everywhere, as the file formats (GIF, BMP, AVI) and their records require.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = std::int32_t;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using INT = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using SIZE_T = std::size_t;
using LPCTSTR = const char*;
using LPTSTR = char*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Opaque handles. Each kind is a distinct pointer type that is never
// dereferenced: the layer behind it looks handles up in its own tables, so a
// stale or foreign handle is recognised instead of followed.
using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
