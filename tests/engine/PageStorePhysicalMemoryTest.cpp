// The host kernel's simulated physical memory under the page store: page
// allocation within a window, partial and failing allocations, reserved
// mappings that share the pages' bytes, and the bug checks for misuse.
#include <gtest/gtest.h>

#include <cstring>

#include "host/kernel/include/HostKernel.h"

namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;
constexpr ULONG Tag = 0x74736554;  // 'Test'

PHYSICAL_ADDRESS Address(uint64_t Value)
{
    PHYSICAL_ADDRESS A;
    A.QuadPart = static_cast<LONGLONG>(Value);
    return A;
}

PMDL Allocate(uint64_t Low, uint64_t High, SIZE_T Bytes)
{
    return MmAllocatePagesForMdl(Address(Low), Address(High), Address(0), Bytes);
}

void Free(PMDL Mdl)
{
    MmFreePagesFromMdl(Mdl);
    ExFreePoolWithTag(Mdl, 0);
}

class PhysicalMemoryTest : public ::testing::Test {
protected:
    void Boot(std::vector<host::PhysicalRange> Memory)
    {
        host::KernelConfig Config;
        Config.PhysicalMemory = std::move(Memory);
        host::KernelBoot(Config);
    }
    void TearDown() override
    {
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_TRUE(host::KernelShutdown());
    }
};

TEST_F(PhysicalMemoryTest, PagesComeOnlyFromInstalledMemoryInsideTheWindow)
{
    Boot({{1 * MiB, 1 * MiB}, {4 * GiB, 2 * MiB}});
    struct Case {
        const char *What;
        uint64_t Low, High, Asked, Given;
    };
    const Case Cases[] = {
        {"window without memory", 2 * MiB, 4 * GiB - 1, MiB, 0},
        {"window cuts a range", 4 * GiB + MiB, 8 * GiB - 1, 4 * MiB, MiB},
        {"whole window", 4 * GiB, 4 * GiB + 2 * MiB - 1, MiB, MiB},
        {"odd size gets whole pages", 0, 2 * MiB - 1, 5000, 2 * PAGE_SIZE},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        PMDL Mdl = Allocate(C.Low, C.High, C.Asked);
        host::PhysicalRequest Last = host::PhysicalRequests().back();
        EXPECT_EQ(Last.Low, C.Low);
        EXPECT_EQ(Last.High, C.High);
        EXPECT_EQ(Last.Asked, C.Asked);
        EXPECT_EQ(Last.Given, C.Given);
        if (!C.Given) {
            EXPECT_EQ(Mdl, nullptr);
            continue;
        }
        ASSERT_NE(Mdl, nullptr);
        EXPECT_EQ(MmGetMdlByteCount(Mdl), C.Given);
        ULONG Pages = static_cast<ULONG>((C.Given + PAGE_SIZE - 1) / PAGE_SIZE);
        for (ULONG i = 0; i < Pages; i++) {
            uint64_t Page = static_cast<uint64_t>(MmGetMdlPfnArray(Mdl)[i]) << PAGE_SHIFT;
            EXPECT_GE(Page, C.Low);
            EXPECT_LE(Page + PAGE_SIZE - 1, C.High);
        }
        EXPECT_EQ(host::PhysicalBytesInUse(), Pages * uint64_t(PAGE_SIZE));
        Free(Mdl);
    }
}

TEST_F(PhysicalMemoryTest, FaultsShortenOrRefuseAllocations)
{
    Boot({{0, 64 * MiB}});
    host::PhysicalFaults Faults;
    Faults.Partial = {{{32 * MiB, 32 * MiB}, 64 * 1024}};
    Faults.FailAfter = 2;
    host::PhysicalSetFaults(Faults);

    PMDL Short = Allocate(48 * MiB, 64 * MiB - 1, MiB);  // intersects the partial range
    PMDL Whole = Allocate(0, 16 * MiB - 1, MiB);
    PMDL Refused = Allocate(0, 16 * MiB - 1, MiB);  // the third, after FailAfter = 2
    ASSERT_NE(Short, nullptr);
    ASSERT_NE(Whole, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(Short), 64 * 1024u);
    EXPECT_EQ(MmGetMdlByteCount(Whole), MiB);
    EXPECT_EQ(Refused, nullptr);
    Free(Short);
    Free(Whole);
    // Freed pages can be had again once the faults are gone.
    host::PhysicalSetFaults(host::PhysicalFaults());
    PMDL All = Allocate(0, ~0ull, 64 * MiB);
    ASSERT_NE(All, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(All), 64 * MiB);
    EXPECT_EQ(Allocate(0, ~0ull, PAGE_SIZE), nullptr) << "nothing is left";
    Free(All);
}

TEST_F(PhysicalMemoryTest, ReservedMappingsShowThePagesAndFreedPagesComeBackZeroed)
{
    Boot({{0, 4 * MiB}});
    PMDL Pages = Allocate(0, ~0ull, MiB);
    ASSERT_NE(Pages, nullptr);
    PVOID First = MmAllocateMappingAddress(MiB, Tag);
    PVOID Second = MmAllocateMappingAddress(MiB, Tag);
    ASSERT_NE(First, nullptr);
    ASSERT_NE(Second, nullptr);

    auto *A = static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(First, Tag, Pages, MmCached));
    auto *B = static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(Second, Tag, Pages, MmCached));
    ASSERT_EQ(A, First);
    ASSERT_EQ(B, Second);
    std::memset(A + 4096, 0x5A, 100);
    A[MiB - 1] = 0x77;
    EXPECT_EQ(B[4096 + 99], 0x5A) << "both mappings show the same pages";
    EXPECT_EQ(B[MiB - 1], 0x77);

    // A range can be mapped again after an unmap; a refused mapping leaves it empty.
    MmUnmapReservedMapping(First, Tag, Pages);
    host::PhysicalFaults Refuse;
    Refuse.RefuseMappingAddress = true;
    host::PhysicalSetFaults(Refuse);
    EXPECT_EQ(MmMapLockedPagesWithReservedMapping(First, Tag, Pages, MmCached), nullptr);
    EXPECT_EQ(MmAllocateMappingAddress(MiB, Tag), nullptr);
    host::PhysicalSetFaults(host::PhysicalFaults());
    ASSERT_EQ(MmMapLockedPagesWithReservedMapping(First, Tag, Pages, MmCached), First);
    EXPECT_EQ(A[MiB - 1], 0x77);

    MmUnmapReservedMapping(First, Tag, Pages);
    MmUnmapReservedMapping(Second, Tag, Pages);
    PFN_NUMBER FirstPage = MmGetMdlPfnArray(Pages)[0];
    Free(Pages);
    PMDL Again = Allocate(0, ~0ull, MiB);  // the lowest pages again: the ones just freed
    ASSERT_NE(Again, nullptr);
    EXPECT_EQ(MmGetMdlPfnArray(Again)[0], FirstPage);
    ASSERT_EQ(MmMapLockedPagesWithReservedMapping(First, Tag, Again, MmCached), First);
    for (ULONG i = 0; i < MiB; i += 4096)
        ASSERT_EQ(A[i] | A[i + 99] | A[i + 4095], 0) << "page at " << i << " was not zeroed";
    MmUnmapReservedMapping(First, Tag, Again);
    Free(Again);
    MmFreeMappingAddress(First, Tag);
    MmFreeMappingAddress(Second, Tag);
}

TEST_F(PhysicalMemoryTest, ShutdownReportsPagesAndRangesStillHeld)
{
    Boot({{0, 4 * MiB}});
    PMDL Pages = Allocate(0, ~0ull, MiB);
    ASSERT_NE(Pages, nullptr);
    PVOID Range = MmAllocateMappingAddress(MiB, Tag);
    ASSERT_NE(Range, nullptr);
    EXPECT_FALSE(host::KernelShutdown());
    // A fresh boot starts clean.
    Boot({{0, 4 * MiB}});
}

using PhysicalMemoryDeathTest = PhysicalMemoryTest;

TEST_F(PhysicalMemoryDeathTest, MisuseStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Boot({{0, 4 * MiB}});
    EXPECT_DEATH(
        {
            PMDL One = Allocate(0, ~0ull, MiB);
            PMDL Two = Allocate(0, ~0ull, MiB);
            PVOID Range = MmAllocateMappingAddress(MiB, Tag);
            MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
            MmMapLockedPagesWithReservedMapping(Range, Tag, Two, MmCached);
        },
        "still mapped");
    EXPECT_DEATH(
        {
            PMDL One = Allocate(0, ~0ull, MiB);
            PVOID Range = MmAllocateMappingAddress(MiB, Tag);
            MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
            MmFreePagesFromMdl(One);
        },
        "still mapped");
    EXPECT_DEATH(
        {
            PMDL One = Allocate(0, ~0ull, MiB);
            PVOID Range = MmAllocateMappingAddress(MiB, Tag);
            MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
            MmFreeMappingAddress(Range, Tag);
        },
        "still holds a mapping");
    EXPECT_DEATH(
        {
            PMDL One = Allocate(0, ~0ull, MiB);
            auto *Range = static_cast<volatile UCHAR *>(MmAllocateMappingAddress(MiB, Tag));
            MmMapLockedPagesWithReservedMapping((PVOID)Range, Tag, One, MmCached);
            MmUnmapReservedMapping((PVOID)Range, Tag, One);
            Range[0] = 1;  // a stale access through the window faults
        },
        "");
}

}  // namespace
