// Page memory: what the ring's buffers need from it, and that wrong calls
// are refused without harm.
#include "virtualmem.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace {

constexpr DWORD kCommit = MEM_COMMIT | MEM_RESERVE;

bool AllZero(const void* p, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(PageMemory, BlocksAreZeroedWritablePageAlignedAndDistinct) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* a = VirtualAlloc(nullptr, 4096, kCommit, PAGE_READWRITE);
    void* b = VirtualAlloc(nullptr, 1, MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % page, 0u);
    EXPECT_TRUE(AllZero(a, 4096));
    EXPECT_TRUE(AllZero(b, 1));

    std::memset(a, 0x5A, 4096);
    static_cast<char*>(b)[0] = 1;
    EXPECT_EQ(static_cast<unsigned char*>(a)[4095], 0x5A);
    EXPECT_EQ(static_cast<char*>(b)[0], 1) << "blocks must not overlap";

    EXPECT_NE(VirtualFree(a, 0, MEM_RELEASE), 0);
    EXPECT_NE(VirtualFree(b, 0, MEM_RELEASE), 0);
}

TEST(PageMemory, UnservedRequestsReturnNothing) {
    int somewhere = 0;
    EXPECT_EQ(VirtualAlloc(nullptr, 0, kCommit, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(&somewhere, 4096, kCommit, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, 4096, kCommit, 0x02 /* read-only */), nullptr);
    EXPECT_EQ(VirtualAlloc(nullptr, SIZE_MAX, kCommit, PAGE_READWRITE), nullptr);
}

TEST(PageMemory, WrongFreesReturnZeroAndLeaveTheBlockInPlace) {
    auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 8192, kCommit, PAGE_READWRITE));
    ASSERT_NE(p, nullptr);
    p[0] = 7;
    p[8191] = 9;

    int onStack = 0;
    EXPECT_EQ(VirtualFree(nullptr, 0, MEM_RELEASE), 0);
    EXPECT_EQ(VirtualFree(&onStack, 0, MEM_RELEASE), 0);
    EXPECT_EQ(VirtualFree(p + 4096, 0, MEM_RELEASE), 0) << "inside a block, not its start";
    EXPECT_EQ(VirtualFree(p, 8192, MEM_RELEASE), 0) << "a release takes size 0";
    EXPECT_EQ(VirtualFree(p, 0, 0x4000 /* decommit */), 0);
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[8191], 9);

    EXPECT_NE(VirtualFree(p, 0, MEM_RELEASE), 0);
    EXPECT_EQ(VirtualFree(p, 0, MEM_RELEASE), 0) << "a second release of the same block";
}

} // namespace
