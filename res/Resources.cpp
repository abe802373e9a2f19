#include "res/Resources.h"

#include "res/PackedBitmaps.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The module handle is the address of this byte: ours alone, never followed.
const char g_module = 0;

HMODULE OwnModule() {
    return reinterpret_cast<HMODULE>(reinterpret_cast<std::uintptr_t>(&g_module));
}

// A null module stands for the program's own, as on the platform.
bool IsOwnModule(HMODULE module) {
    return !module || module == OwnModule();
}

// A resource handle is the address of its entry in the table, compared with
// each entry's, never followed.
HRSRC HandleOf(const PackedBitmap& entry) {
    return reinterpret_cast<HRSRC>(reinterpret_cast<std::uintptr_t>(&entry));
}

const PackedBitmap* EntryOf(HMODULE module, HRSRC resource) {
    if (!IsOwnModule(module)) return nullptr;
    for (const PackedBitmap& entry : PackedBitmaps())
        if (HandleOf(entry) == resource) return &entry;
    return nullptr;
}

// The blocks LoadResource handed out. A copy freed with GlobalFree instead of
// FreeResource (a bitmap class that took the block over may do so) stays
// listed until the next LoadResource drops it; global handles are never
// reused, so meanwhile it is only ever found dead.
std::vector<HGLOBAL>& Copies() {
    static std::vector<HGLOBAL> copies;
    return copies;
}

// A live block's bytes. Our global blocks stay put until resized or freed, so
// the address outlives the lock taken to learn it.
struct Bytes {
    BYTE* data = nullptr;
    std::size_t size = 0;
};

bool BytesOf(HGLOBAL block, Bytes& bytes) {
    void* data = GlobalLock(block);
    if (!data) return false;
    GlobalUnlock(block);
    bytes = {static_cast<BYTE*>(data), GlobalSize(block)};
    return true;
}

// A block LoadResource handed out that has not been freed since.
bool LiveCopy(HGLOBAL copy, Bytes& bytes) {
    return copy && std::find(Copies().begin(), Copies().end(), copy) != Copies().end() &&
           BytesOf(copy, bytes);
}

} // namespace

HMODULE GetModuleHandle(LPCTSTR moduleName) {
    return moduleName ? nullptr : OwnModule();
}

HRSRC FindResource(HMODULE module, LPCTSTR name, LPCTSTR type) {
    if (!IsOwnModule(module) || !name || !IS_INTRESOURCE(name) || type != RT_BITMAP) return nullptr;
    const auto id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
    for (const PackedBitmap& entry : PackedBitmaps())
        if (entry.id == id) return HandleOf(entry);
    return nullptr;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    const PackedBitmap* entry = EntryOf(module, resource);
    if (!entry) return nullptr;
    // Room in the list first, so that a failure cannot strand a block.
    try {
        std::erase_if(Copies(), [](HGLOBAL h) {
            Bytes unused;
            return !BytesOf(h, unused);
        });
        Copies().reserve(Copies().size() + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    GlobalBlock copy(GlobalAlloc(GMEM_MOVEABLE, entry->size));
    if (!copy.data()) return nullptr;
    std::memcpy(copy.data(), entry->bytes, entry->size);
    Copies().push_back(copy.Release());
    return Copies().back();
}

LPVOID LockResource(HGLOBAL copy) {
    Bytes bytes;
    return LiveCopy(copy, bytes) ? bytes.data : nullptr;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    const PackedBitmap* entry = EntryOf(module, resource);
    return entry ? entry->size : 0;
}

BOOL FreeResource(HGLOBAL copy) {
    Bytes bytes;
    if (!LiveCopy(copy, bytes)) return TRUE;
    std::erase(Copies(), copy);
    return GlobalFree(copy) != nullptr;
}

BOOL VirtualProtect(LPVOID address, SIZE_T size, DWORD newProtect, PDWORD oldProtect) {
    if (!address || size == 0 || !oldProtect) return FALSE;
    if (newProtect != PAGE_READONLY && newProtect != PAGE_READWRITE) return FALSE;
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (HGLOBAL copy : Copies()) {
        Bytes bytes;
        if (!BytesOf(copy, bytes)) continue;
        // In integers: the address may belong to any allocation, and
        // comparing unrelated pointers is not defined.
        const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data);
        if (at - begin >= bytes.size || size > bytes.size - (at - begin)) continue;
        *oldProtect = PAGE_READWRITE;
        return TRUE;
    }
    return FALSE;
}
