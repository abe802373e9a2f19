// The program's string table, linked into every program like a resource
// script's STRINGTABLE.
#pragma once

#include "platform/WinTypes.h"

// The text of entry id, or null when the table has no such entry.
LPCTSTR FindResourceString(UINT id);
