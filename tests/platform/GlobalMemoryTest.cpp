#include "platform/GlobalMemory.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

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

// Blocks of megabytes (whole GIF files) come from another allocator; every
// byte is theirs, and they move and free like the others.
TEST(GlobalMemoryTest, LargeBlocksHoldEveryByte) {
    for (const std::size_t size : {std::size_t{4} << 20, (std::size_t{5} << 20) + 3}) {
        for (const UINT flags : {UINT{GMEM_MOVEABLE}, UINT{GMEM_MOVEABLE | GMEM_ZEROINIT}}) {
            HGLOBAL h = GlobalAlloc(flags, size);
            ASSERT_NE(h, nullptr);
            auto* p = static_cast<unsigned char*>(GlobalLock(h));
            if (flags & GMEM_ZEROINIT) {
                EXPECT_EQ(p[size - 1], 0);
            }
            p[0] = 1;
            p[size - 1] = 2;
            GlobalUnlock(h);
            ASSERT_EQ(GlobalReAlloc(h, size + 4096, GMEM_MOVEABLE), h);
            p = static_cast<unsigned char*>(GlobalLock(h));
            EXPECT_EQ(p[0], 1);
            EXPECT_EQ(p[size - 1], 2) << size;
            GlobalUnlock(h);
            EXPECT_EQ(GlobalFree(h), nullptr);
        }
    }
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

// Two threads allocate, fill, grow, check and free blocks of their own while
// both read one shared block. Each step runs over a batch of blocks, so that
// one thread makes many calls in a row while the other changes the table:
// under ThreadSanitizer a call without its lock then shows as a race. Each
// block carries its thread's and its round's number, so a block handed to
// the wrong thread, or contents lost in a move, shows as a mismatch.
TEST(GlobalMemoryTest, TwoThreadsUseBlocksOfTheirOwnAndShareOne) {
    const long live = GlobalLiveBlocks();
    HGLOBAL shared = GlobalAlloc(GMEM_MOVEABLE, 4096);
    ASSERT_NE(shared, nullptr);
    std::memset(GlobalLock(shared), 0x5A, 4096);
    GlobalUnlock(shared);

    constexpr int kRounds = 600;
    constexpr int kBatch = 16;
    int failures[2] = {0, 0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    HGLOBAL own[kBatch];
                    auto mark = [&](int k) {
                        return std::uint32_t(t) << 24 | std::uint32_t(i * kBatch + k);
                    };
                    const std::size_t grown = 64 + std::size_t(i % 7) * 512;
                    for (HGLOBAL& h : own) h = GlobalAlloc(GMEM_MOVEABLE, sizeof(std::uint32_t));
                    for (int k = 0; k < kBatch; ++k) {
                        const std::uint32_t m = mark(k);
                        if (void* p = GlobalLock(own[k])) std::memcpy(p, &m, sizeof m);
                    }
                    for (HGLOBAL h : own) GlobalUnlock(h);
                    bool ok = true;
                    for (HGLOBAL h : own) ok = GlobalReAlloc(h, grown, GMEM_MOVEABLE) == h && ok;
                    for (int k = 0; k < kBatch; ++k) {
                        const auto* p = static_cast<const BYTE*>(GlobalLock(own[k]));
                        std::uint32_t seen = 0;
                        if (p) std::memcpy(&seen, p, sizeof seen);
                        ok = ok && seen == mark(k) && p[grown - 1] == 0 &&
                             GlobalSize(own[k]) == grown;
                        const auto* s = static_cast<const BYTE*>(GlobalLock(shared));
                        ok = ok && s && s[(i * kBatch + k) % 4096] == 0x5A;
                    }
                    for (HGLOBAL h : own) GlobalUnlock(h);
                    for (int k = 0; k < kBatch; ++k) GlobalUnlock(shared);
                    for (HGLOBAL h : own) ok = GlobalFree(h) == nullptr && ok;
                    if (!ok) ++failures[t];
                }
            });
    }
    EXPECT_EQ(failures[0], 0);
    EXPECT_EQ(failures[1], 0);
    EXPECT_FALSE(GlobalUnlock(shared)) << "every lock of the shared block was counted";
    EXPECT_EQ(GlobalFree(shared), nullptr);
    EXPECT_EQ(GlobalLiveBlocks(), live);
}

} // namespace
