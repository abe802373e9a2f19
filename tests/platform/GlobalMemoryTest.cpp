#include "platform/GlobalMemory.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(GlobalMemoryTest, LockedBlocksStayPutAndResizingMovesThem) {
    const long live = GlobalLiveBlocks();
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live + 1);
    auto* p = static_cast<char*>(GlobalLock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[15], 0);
    EXPECT_EQ(GlobalLock(h), p) << "the same address while locked";
    std::memcpy(p, "packed dib", 11);
    EXPECT_EQ(GlobalReAlloc(h, 64, GMEM_MOVEABLE), nullptr) << "a locked block cannot move";
    EXPECT_TRUE(GlobalUnlock(h)) << "still locked once";
    EXPECT_FALSE(GlobalUnlock(h));
    EXPECT_EQ(GlobalReAlloc(h, 64, GMEM_MOVEABLE), h);
    EXPECT_EQ(GlobalSize(h), 64u);
    auto* q = static_cast<char*>(GlobalLock(h));
    EXPECT_STREQ(q, "packed dib") << "the contents move with the block";
    EXPECT_EQ(q[63], 0) << "grown bytes are zero";
    GlobalUnlock(h);
    EXPECT_EQ(GlobalFree(h), nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
}

TEST(GlobalMemoryTest, FreedAndForeignHandlesFailWithoutHarm) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 8);
    ASSERT_EQ(GlobalFree(h), nullptr);
    HGLOBAL foreign = reinterpret_cast<HGLOBAL>(0x1234567);
    for (HGLOBAL bad : {h, foreign, HGLOBAL{}}) {
        EXPECT_EQ(GlobalLock(bad), nullptr);
        EXPECT_FALSE(GlobalUnlock(bad));
        EXPECT_EQ(GlobalReAlloc(bad, 4, GMEM_MOVEABLE), nullptr);
        EXPECT_EQ(GlobalSize(bad), 0u);
        EXPECT_EQ(GlobalFree(bad), bad);
    }
}

TEST(GlobalMemoryTest, InjectedFailuresLeaveBlocksAsTheyWere) {
    const long live = GlobalLiveBlocks();
    AfxInjectAllocFailure(0);
    EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, 8), nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 8);
    AfxInjectAllocFailure(0);
    EXPECT_EQ(GlobalReAlloc(h, 800, GMEM_MOVEABLE), nullptr);
    EXPECT_EQ(GlobalSize(h), 8u);
    GlobalFree(h);
}

TEST(GlobalMemoryTest, AGuardedBlockIsFreedUnlessReleasedUnlocked) {
    const long live = GlobalLiveBlocks();
    { GlobalBlock freed(GlobalAlloc(GMEM_MOVEABLE, 8)); }
    EXPECT_EQ(GlobalLiveBlocks(), live) << "freed when the guard goes";
    HGLOBAL kept;
    {
        GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 8));
        ASSERT_NE(block.data(), nullptr);
        static_cast<char*>(block.data())[7] = 'x';
        AfxInjectAllocFailure(0);
        EXPECT_FALSE(block.Resize(800));
        ASSERT_TRUE(block.Resize(16)) << "the guard unlocks the block to resize it";
        EXPECT_EQ(static_cast<char*>(block.data())[7], 'x');
        EXPECT_EQ(static_cast<char*>(block.data())[15], 0);
        kept = block.Release();
        EXPECT_EQ(block.data(), nullptr);
    }
    EXPECT_NE(GlobalReAlloc(kept, 32, GMEM_MOVEABLE), nullptr) << "handed on unlocked";
    GlobalFree(kept);
    GlobalBlock none(nullptr);
    EXPECT_EQ(none.data(), nullptr);
    EXPECT_FALSE(none.Resize(8));
}

} // namespace
