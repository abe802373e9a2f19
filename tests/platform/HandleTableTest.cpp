#include "platform/HandleTable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct A__;
struct B__;

// Handles are checked, not followed: a removed handle, another table's handle
// and a forged value all miss, and no value is handed out twice.
TEST(HandleTableTest, OnlyLiveHandlesOfTheTableAreFound) {
    HandleTable<A__*, std::string, 1> as;
    HandleTable<B__*, std::string, 2> bs;
    auto [a, text] = as.Add("first");
    const B__* b = bs.Add("other").handle;
    EXPECT_EQ(&text, as.Find(a));
    EXPECT_EQ(*as.Find(a), "first");
    EXPECT_EQ(as.Find(b), nullptr) << "same serial number, other tag";
    EXPECT_EQ(as.Find(reinterpret_cast<void*>(~std::uintptr_t{0})), nullptr);

    EXPECT_TRUE(as.Remove(a));
    EXPECT_FALSE(as.Remove(a));
    EXPECT_EQ(as.Find(a), nullptr);
    const A__* next = as.Add("second").handle;
    EXPECT_NE(next, a) << "a removed handle is never reused";
    EXPECT_EQ(as.Size(), 1u);
}

} // namespace
