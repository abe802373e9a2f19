// A fixture for tests of the layers that hold device objects and global
// memory: it starts each test on a 32-bit screen and checks that the test
// leaves as many global blocks, bitmaps, contexts and palettes alive as it
// found, with injected allocation failures and the screen depth put back.
#pragma once

#include "gfx/Gdi.h"
#include "platform/GlobalMemory.h"
#include "platform/Memory.h"

#include <gtest/gtest.h>

class LeakCheckedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(GdiSetScreenBitsPerPixel(32));
        gdi_ = GdiGetObjectCounts();
        blocks_ = GlobalLiveBlocks();
    }
    void TearDown() override {
        AfxInjectAllocFailure(-1);
        GdiSetScreenBitsPerPixel(32);
        EXPECT_EQ(GdiGetObjectCounts(), gdi_) << "a bitmap, context or palette leaked";
        EXPECT_EQ(GlobalLiveBlocks(), blocks_) << "a global block leaked";
    }

    // What was alive when the test started.
    GdiObjectCounts gdi_;
    long blocks_ = 0;
};
