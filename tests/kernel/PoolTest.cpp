// Pool accounting, fault injection and lookaside lists.
#include "KernelTest.h"

#include <cstring>

using PoolTest = KernelTest;

TEST_F(PoolTest, CountsLiveAllocationsPerTag)
{
    void *A = ExAllocatePoolWithTag(NonPagedPool, 100, TestTag);
    void *B = ExAllocatePoolWithTag(NonPagedPool, 28, TestTag);
    void *C = ExAllocatePoolWithTag(NonPagedPool, 7, TestTag + 1);
    ASSERT_TRUE(A && B && C);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 2u);
    EXPECT_EQ(host::PoolLiveBytes(TestTag), 128u);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag + 1), 1u);
    ExFreePoolWithTag(A, TestTag);
    ExFreePool(C);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 1u);
    EXPECT_EQ(host::PoolLiveBytes(TestTag), 28u);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag + 1), 0u);
    ExFreePoolWithTag(B, TestTag);
}

TEST_F(PoolTest, FailAfterLetsNSucceedThenFailsUntilCleared)
{
    host::PoolFailAfter(TestTag, 2);
    void *A = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    void *B = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, TestTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, TestTag), nullptr);
    void *Other = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag + 1);  // other tags unaffected
    EXPECT_NE(Other, nullptr);
    host::PoolClearFaults();
    void *C = ExAllocatePoolWithTag(NonPagedPool, 16, TestTag);
    EXPECT_NE(C, nullptr);
    for (void *P : {A, B, C, Other})
        ExFreePool(P);
}

TEST_F(PoolTest, FailSizeAtLeastRefusesOnlyLargeBlocks)
{
    host::PoolFailSizeAtLeast(TestTag, 4096);
    void *Small = ExAllocatePoolWithTag(NonPagedPool, 4095, TestTag);
    EXPECT_NE(Small, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4096, TestTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1 << 22, TestTag), nullptr);
    ExFreePoolWithTag(Small, TestTag);
}

// The pool is as large as the platform's, not as the host's memory: a block
// larger than the whole pool, or one that the live blocks leave no room for,
// is refused, and freeing makes room again.
TEST_F(PoolTest, RefusesWhatTheNonPagedPoolCannotHold)
{
    const size_t Pool = host::X86NonPagedPoolBytes;  // the default
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, Pool + 1, TestTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, size_t(24) << 30, TestTag), nullptr);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 0u);
    void *Large = ExAllocatePoolWithTag(NonPagedPool, Pool - 4096, TestTag);
    ASSERT_NE(Large, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8192, TestTag + 1), nullptr);
    void *Small = ExAllocatePoolWithTag(NonPagedPool, 4096, TestTag + 1);
    EXPECT_NE(Small, nullptr);
    ExFreePool(Large);
    void *Again = ExAllocatePoolWithTag(NonPagedPool, 8192, TestTag + 1);
    EXPECT_NE(Again, nullptr);
    ExFreePool(Small);
    ExFreePool(Again);
}

TEST_F(PoolTest, ShutdownReportsLeakedAllocations)
{
    ASSERT_NE(ExAllocatePoolWithTag(NonPagedPool, 32, TestTag), nullptr);
    EXPECT_FALSE(host::KernelShutdown());
}

TEST(PoolDeathTest, FreeWithWrongTagOrTwiceStopsTheSystem)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::KernelBoot();
    EXPECT_DEATH(
        {
            void *P = ExAllocatePoolWithTag(NonPagedPool, 8, TestTag);
            ExFreePoolWithTag(P, TestTag + 1);
        },
        "allocated with");
    EXPECT_TRUE(host::KernelShutdown());
}

// Fresh pool holds no zeros, whether the block is new to the host or one
// that a freed block of the same size is handed out as again.
TEST_F(PoolTest, EveryFreshBlockHoldsTheFillPattern)
{
    for (size_t Size : {size_t(100), size_t(64) << 10, size_t(4) << 20}) {
        SCOPED_TRACE(Size);
        for (int Round = 0; Round < 4; ++Round) {
            auto *Block = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, Size, TestTag));
            ASSERT_NE(Block, nullptr);
            size_t Zeros = 0;
            for (size_t i = 0; i < Size; ++i)
                Zeros += Block[i] == 0;
            EXPECT_EQ(Zeros, 0u) << "round " << Round;
            memset(Block, 0, Size);  // as a driver leaves a block it used
            ExFreePoolWithTag(Block, TestTag);
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_TEST_ASAN 1
#endif
#endif

// Under ASan a use after free and a write one byte past the end are caught
// for large blocks too, which the pool takes with room to spare and holds
// for reuse rather than giving back to the host.
TEST(PoolDeathTest, LargeBlockFaultsAreCaughtUnderAsan)
{
#ifndef POOL_TEST_ASAN
    GTEST_SKIP() << "only the ASan build catches these";
#else
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::KernelBoot();
    struct Case {
        size_t Size;
        bool AfterFree;  // else one byte past the end of a live block
    };
    const Case Cases[] = {{size_t(64) << 10, true},        {size_t(4) << 20, true},
                          {(size_t(4) << 20) + 8, true},   {size_t(64) << 10, false},
                          {(size_t(64) << 10) + 3, false}, {(size_t(4) << 20) + 48, false}};
    for (const Case &C : Cases) {
        SCOPED_TRACE(testing::Message() << C.Size << (C.AfterFree ? " after free" : " past the end"));
        EXPECT_DEATH(
            {
                auto *Block = static_cast<volatile unsigned char *>(
                    ExAllocatePoolWithTag(NonPagedPool, C.Size, TestTag));
                if (C.AfterFree) {
                    ExFreePoolWithTag(const_cast<unsigned char *>(Block), TestTag);
                    Block[C.Size / 2] = 1;
                } else {
                    Block[C.Size] = 1;
                }
            },
            "use-after-poison|heap-use-after-free|heap-buffer-overflow");
    }
    EXPECT_TRUE(host::KernelShutdown());
#endif
}

TEST_F(PoolTest, LookasideReusesBlocksUpToItsDepth)
{
    NPAGED_LOOKASIDE_LIST List;
    ExInitializeNPagedLookasideList(&List, nullptr, nullptr, 0, 36, TestTag, 2);
    void *Blocks[4];
    for (auto &Block : Blocks)
        Block = ExAllocateFromNPagedLookasideList(&List);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 4u);  // empty list: every block from the pool
    for (auto &Block : Blocks)
        ExFreeToNPagedLookasideList(&List, Block);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 2u);  // two kept, two returned to the pool
    void *Again = ExAllocateFromNPagedLookasideList(&List);
    EXPECT_EQ(Again, Blocks[1]);  // the last block kept comes back first
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 2u);
    ExFreeToNPagedLookasideList(&List, Again);
    ExDeleteNPagedLookasideList(&List);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 0u);  // deletion frees the cached blocks
}

TEST_F(PoolTest, LookasideWithDepthZeroAndPoolFailureReturnsNull)
{
    NPAGED_LOOKASIDE_LIST List;
    ExInitializeNPagedLookasideList(&List, nullptr, nullptr, 0, 36, TestTag, 0);
    host::PoolFailAfter(TestTag, 0);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&List), nullptr);
    host::PoolClearFaults();
    void *Block = ExAllocateFromNPagedLookasideList(&List);
    ASSERT_NE(Block, nullptr);
    ExFreeToNPagedLookasideList(&List, Block);
    ExDeleteNPagedLookasideList(&List);
    EXPECT_EQ(host::PoolLiveAllocations(TestTag), 0u);
}
