// Bitmap resources compiled into the program, reached through the platform's
// resource calls with their names and argument order:
//
//   HRSRC found = FindResource(nullptr, MAKEINTRESOURCE(IDB_ABOUT), RT_BITMAP);
//   HGLOBAL copy = LoadResource(nullptr, found);
//   auto* info = static_cast<BITMAPINFOHEADER*>(LockResource(copy));
//
// Each resource is a packed DIB: BITMAPINFOHEADER, colour table and pixels,
// the BMP file in res/ without its 14-byte BITMAPFILEHEADER. The build packs
// the files into a table (res/PackBitmaps.cmake) after checking them.
//
// Where the platform maps a module's resources read-only and shares them
// between loads, every LoadResource here gives a writable copy of its own in
// a new global memory block, so image operations may change a loaded
// bitmap's pixels in place without changing what the next load gives. A copy
// lives until FreeResource, or the end of the program. Handles are looked up,
// never followed: a foreign or freed handle gives the failure result.
#pragma once

#include "platform/GlobalMemory.h"
#include "platform/WinTypes.h"

#include <cstdint>

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HRSRC__;
using HRSRC = HRSRC__*;

// A resource's integer identifier, of which only the low 16 bits count, in
// the place of a name.
inline LPTSTR MAKEINTRESOURCE(UINT id) {
    return reinterpret_cast<LPTSTR>(static_cast<std::uintptr_t>(static_cast<WORD>(id)));
}
// True for a name made by MAKEINTRESOURCE, false for a string's address.
inline bool IS_INTRESOURCE(LPCTSTR name) {
    return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}
inline const LPCTSTR RT_BITMAP = MAKEINTRESOURCE(2);

// The program's own module for a null name; null for any other name, since
// the program loads no modules besides itself.
HMODULE GetModuleHandle(LPCTSTR moduleName);

// The resource of the given type and integer name in the module (null: the
// program's own), or null when there is none: a string name or type, an
// unknown identifier, a type other than RT_BITMAP, a foreign module.
HRSRC FindResource(HMODULE module, LPCTSTR name, LPCTSTR type);
// A new global block holding a copy of the resource, or null for a null or
// foreign resource or module, or when memory runs out.
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The first byte of a copy from LoadResource; null for any other handle.
// Counts no lock: our global blocks move only when resized, so no unlock is
// needed. The address stays good until the copy is resized or freed.
LPVOID LockResource(HGLOBAL copy);
// The resource's size in bytes, 0 for a null or foreign resource or module.
DWORD SizeofResource(HMODULE module, HRSRC resource);
// Frees a copy from LoadResource. As on the platform, FALSE means success;
// TRUE means the handle was not a live copy and nothing was freed.
BOOL FreeResource(HGLOBAL copy);

constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;

// Resource copies are plain heap memory, always writable. For a range of
// `size` bytes (at least one) that lies inside one live copy, this sets
// *oldProtect to PAGE_READWRITE and returns TRUE without recording anything;
// a PAGE_READONLY request is accepted but not enforced, and the range still
// reports PAGE_READWRITE afterwards. Any other range, an unknown protection
// or a null oldProtect gives FALSE, and *oldProtect is left alone: no other
// memory of ours may change its protection (the heap is never mprotect'ed).
BOOL VirtualProtect(LPVOID address, SIZE_T size, DWORD newProtect, PDWORD oldProtect);
