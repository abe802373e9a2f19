// The clipboard, within this process: one block of data per format, owned by
// the clipboard from SetClipboardData until it is emptied or replaced. As on
// the platform, a caller opens it, empties it before putting data on it, and
// closes it; the calls between need it open. CF_DIB data is a packed DIB in
// a global memory block.
//
// Threads: each call is atomic (the clipboard is locked inside it, and frees
// blocks with its lock held: the clipboard's lock comes before global
// memory's). Open and close are not per thread, as on the platform.
#pragma once

#include "platform/GlobalMemory.h"
#include "platform/WinTypes.h"

constexpr UINT CF_DIB = 8;

// FALSE when it is open already.
BOOL OpenClipboard(HWND owner);
BOOL CloseClipboard();
// Frees every block on the clipboard; FALSE when it is not open.
BOOL EmptyClipboard();
// Puts a global block on the clipboard, which owns it from then on (a block
// already there in that format is freed). Returns the block, or null when
// the clipboard is not open or the block is null, and the block stays the
// caller's.
HANDLE SetClipboardData(UINT format, HANDLE data);
// The clipboard's block of that format, still the clipboard's; null when
// there is none or the clipboard is not open.
HANDLE GetClipboardData(UINT format);
BOOL IsClipboardFormatAvailable(UINT format);
