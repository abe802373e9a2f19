#include "res/Resources.h"

#include "platform/GlobalMemory.h"
#include "platform/Memory.h"
#include "res/Resource.h"

#include "../TestFiles.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using testfiles::Bytes;

Bytes Contents(HGLOBAL copy) {
    const auto* p = static_cast<const BYTE*>(LockResource(copy));
    return p ? Bytes(p, p + GlobalSize(copy)) : Bytes{};
}

HRSRC FindAbout() {
    return FindResource(nullptr, MAKEINTRESOURCE(IDB_ABOUT), RT_BITMAP);
}

TEST(ResourcesTest, EachLoadIsAWritableCopyOfTheFileWithoutItsFileHeader) {
    const long live = GlobalLiveBlocks();
    const Bytes file = testfiles::ReadBytes(TESSALY_RES_DIR "/about.bmp");
    ASSERT_GT(file.size(), 54u);
    const Bytes expected(file.begin() + 14, file.end());
    HRSRC found = FindAbout();
    EXPECT_EQ(SizeofResource(nullptr, found), expected.size());
    HGLOBAL first = LoadResource(nullptr, found), second = LoadResource(nullptr, found);
    ASSERT_EQ(Contents(first), expected);
    static_cast<BYTE*>(LockResource(first))[expected.size() - 1] ^= 0xFF;
    EXPECT_NE(Contents(first), expected);
    EXPECT_EQ(Contents(second), expected) << "a copy of its own";
    HGLOBAL third = LoadResource(nullptr, found);
    EXPECT_EQ(Contents(third), expected) << "later loads start from the original";
    EXPECT_EQ(GlobalLiveBlocks(), live + 3);
    for (HGLOBAL copy : {first, second, third}) EXPECT_FALSE(FreeResource(copy)) << "FALSE: freed";
    EXPECT_EQ(GlobalLiveBlocks(), live);
    EXPECT_TRUE(FreeResource(first)) << "a copy is freed once";
    EXPECT_EQ(LockResource(first), nullptr);
    AfxInjectAllocFailure(0);
    EXPECT_EQ(LoadResource(nullptr, found), nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(ResourcesTest, OnlyOurBitmapsAreFoundAndOnlyOurHandlesServe) {
    const auto foreign = reinterpret_cast<HMODULE>(0x1234567);
    struct Lookup {
        HMODULE module;
        LPCTSTR name, type;
        bool found;
    } lookups[] = {
        {GetModuleHandle(nullptr), MAKEINTRESOURCE(IDB_ABOUT), RT_BITMAP, true},
        {nullptr, MAKEINTRESOURCE(IDB_ABOUT + 0x10000), RT_BITMAP, true}, // low 16 bits
        {nullptr, MAKEINTRESOURCE(0x7777), RT_BITMAP, false},
        {nullptr, MAKEINTRESOURCE(0), RT_BITMAP, false},
        {nullptr, "IDB_ABOUT", RT_BITMAP, false},
        {nullptr, MAKEINTRESOURCE(IDB_ABOUT), MAKEINTRESOURCE(3), false}, // an icon
        {nullptr, MAKEINTRESOURCE(IDB_ABOUT), "BITMAP", false},
        {foreign, MAKEINTRESOURCE(IDB_ABOUT), RT_BITMAP, false},
    };
    for (const Lookup& l : lookups)
        EXPECT_EQ(FindResource(l.module, l.name, l.type) != nullptr, l.found) << &l - lookups;
    EXPECT_EQ(GetModuleHandle("libc.so.6"), nullptr);

    const long live = GlobalLiveBlocks();
    const auto forged = reinterpret_cast<HRSRC>(reinterpret_cast<std::uintptr_t>(FindAbout()) + 1);
    for (auto [module, resource] :
         {std::pair{foreign, FindAbout()}, {HMODULE{}, HRSRC{}}, {HMODULE{}, forged}}) {
        EXPECT_EQ(LoadResource(module, resource), nullptr);
        EXPECT_EQ(SizeofResource(module, resource), 0u);
    }
    HGLOBAL plain = GlobalAlloc(GMEM_MOVEABLE, 64);
    EXPECT_EQ(LockResource(plain), nullptr);
    EXPECT_EQ(LockResource(nullptr), nullptr);
    EXPECT_TRUE(FreeResource(plain)) << "TRUE: not a copy, nothing freed";
    EXPECT_EQ(GlobalFree(plain), nullptr) << "a block that is not a copy stays";
    EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(ResourcesTest, VirtualProtectAcceptsRangesInsideALiveCopyOnly) {
    HGLOBAL copy = LoadResource(nullptr, FindAbout());
    auto* bytes = static_cast<BYTE*>(LockResource(copy));
    ASSERT_NE(bytes, nullptr);
    const SIZE_T size = GlobalSize(copy);
    const auto at = reinterpret_cast<std::uintptr_t>(bytes);
    auto protect = [](std::uintptr_t from, SIZE_T count, DWORD protection = PAGE_READWRITE) {
        DWORD old = 0xDEAD;
        const BOOL done = VirtualProtect(reinterpret_cast<LPVOID>(from), count, protection, &old);
        EXPECT_EQ(old, done ? PAGE_READWRITE : 0xDEAD) << "set on success only";
        return done;
    };
    EXPECT_TRUE(protect(at, size));
    EXPECT_TRUE(protect(at + 40, 4, PAGE_READONLY)) << "accepted, not enforced";
    EXPECT_FALSE(protect(at + 1, size)) << "one byte past the end";
    EXPECT_FALSE(protect(at - 1, 2)) << "from just before";
    EXPECT_FALSE(protect(at + 1, SIZE_MAX)) << "a size that wraps around";
    EXPECT_FALSE(protect(at, 0));
    EXPECT_FALSE(protect(at, 1, 0x40)) << "an unknown protection";
    GlobalBlock other(GlobalAlloc(GMEM_FIXED, size));
    EXPECT_FALSE(protect(reinterpret_cast<std::uintptr_t>(other.data()), 1)) << "another block";
    EXPECT_FALSE(VirtualProtect(bytes, 1, PAGE_READWRITE, nullptr));
    ASSERT_FALSE(FreeResource(copy));
    EXPECT_FALSE(protect(at, 1)) << "a freed copy is no longer ours";
}

} // namespace
