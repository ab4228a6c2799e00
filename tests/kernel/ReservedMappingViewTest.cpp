// Reserved mappings without strict mappings (the nbdkit plugin's setting):
// every allocation of pages is seen through one lasting view, so a chunk
// switch costs no host call. The bytes must still be the pages' bytes, a
// switch must show the newly mapped chunk, freed pages must come back zeroed,
// and misuse must still stop the system.
#include <gtest/gtest.h>

#include <cstring>

#include "KernelTest.h"

namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr ULONG Tag = 0x74736554;  // 'Test'

PMDL Allocate(SIZE_T Bytes)
{
    PHYSICAL_ADDRESS Low, High, Skip;
    Low.QuadPart = 0;
    High.QuadPart = -1;
    Skip.QuadPart = 0;
    return MmAllocatePagesForMdl(Low, High, Skip, Bytes);
}

void Free(PMDL Mdl)
{
    MmFreePagesFromMdl(Mdl);
    ExFreePoolWithTag(Mdl, 0);
}

class ReservedMappingViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::KernelConfig Config;
        Config.PhysicalMemory = {{0, 8 * MiB}};
        Config.StrictMappings = false;
        host::KernelBoot(Config);
    }
    void TearDown() override
    {
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_TRUE(host::KernelShutdown());
    }
};

TEST_F(ReservedMappingViewTest, ChunkSwitchesShowEachChunksOwnBytes)
{
    PMDL One = Allocate(MiB), Two = Allocate(MiB);
    ASSERT_NE(One, nullptr);
    ASSERT_NE(Two, nullptr);
    PVOID Window = MmAllocateMappingAddress(MiB, Tag);
    ASSERT_NE(Window, nullptr);

    // Fill each chunk through the window, switching between them as the page
    // store does.
    for (int Round = 0; Round < 3; Round++) {
        for (PMDL Chunk : {One, Two}) {
            auto *Bytes =
                static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(Window, Tag, Chunk, MmCached));
            ASSERT_NE(Bytes, nullptr);
            UCHAR Mark = UCHAR((Chunk == One ? 0x10 : 0x20) + Round);
            if (Round > 0) {
                EXPECT_EQ(Bytes[0], Mark - 1) << "chunk lost its bytes across a switch";
                EXPECT_EQ(Bytes[MiB - 1], Mark - 1);
            }
            Bytes[0] = Mark;
            Bytes[MiB - 1] = Mark;
            MmUnmapReservedMapping(Window, Tag, Chunk);
        }
    }

    // A second range mapping the same chunk shows the same pages.
    PVOID Other = MmAllocateMappingAddress(MiB, Tag);
    ASSERT_NE(Other, nullptr);
    auto *A = static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(Window, Tag, Two, MmCached));
    auto *B = static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(Other, Tag, Two, MmCached));
    ASSERT_NE(A, nullptr);
    ASSERT_NE(B, nullptr);
    std::memset(A + 4096, 0x5A, 100);
    EXPECT_EQ(B[4096 + 99], 0x5A);
    EXPECT_EQ(B[0], 0x22);
    MmUnmapReservedMapping(Window, Tag, Two);
    MmUnmapReservedMapping(Other, Tag, Two);

    // Freed pages come back zeroed through a fresh mapping.
    PFN_NUMBER FirstPage = MmGetMdlPfnArray(One)[0];
    Free(One);
    PMDL Again = Allocate(MiB);
    ASSERT_NE(Again, nullptr);
    ASSERT_EQ(MmGetMdlPfnArray(Again)[0], FirstPage);
    auto *Fresh = static_cast<PUCHAR>(MmMapLockedPagesWithReservedMapping(Window, Tag, Again, MmCached));
    ASSERT_NE(Fresh, nullptr);
    for (ULONG i = 0; i < MiB; i += 4096)
        ASSERT_EQ(Fresh[i] | Fresh[i + 4095], 0) << "page at " << i << " was not zeroed";
    MmUnmapReservedMapping(Window, Tag, Again);

    // A refused mapping still leaves the range empty and usable.
    host::PhysicalFaults Refuse;
    Refuse.RefuseMappingAddress = true;
    host::PhysicalSetFaults(Refuse);
    EXPECT_EQ(MmMapLockedPagesWithReservedMapping(Window, Tag, Two, MmCached), nullptr);
    host::PhysicalSetFaults(host::PhysicalFaults());
    ASSERT_NE(MmMapLockedPagesWithReservedMapping(Window, Tag, Two, MmCached), nullptr);
    MmUnmapReservedMapping(Window, Tag, Two);

    Free(Again);
    Free(Two);
    MmFreeMappingAddress(Window, Tag);
    MmFreeMappingAddress(Other, Tag);
}

using ReservedMappingViewDeathTest = ReservedMappingViewTest;

TEST_F(ReservedMappingViewDeathTest, MisuseStillStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char *Name;
        void (*Misuse)(PMDL One, PMDL Two, PVOID Range);
        const char *Message;
    };
    const Case Cases[] = {
        {"map into a range still mapped",
         [](PMDL One, PMDL Two, PVOID Range) {
             MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
             MmMapLockedPagesWithReservedMapping(Range, Tag, Two, MmCached);
         },
         "still mapped"},
        {"free pages still mapped",
         [](PMDL One, PMDL, PVOID Range) {
             MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
             MmFreePagesFromMdl(One);
         },
         "still mapped"},
        {"release a range still mapped",
         [](PMDL One, PMDL, PVOID Range) {
             MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
             MmFreeMappingAddress(Range, Tag);
         },
         "still holds a mapping"},
        {"unmap a chunk the range does not hold",
         [](PMDL One, PMDL Two, PVOID Range) {
             MmMapLockedPagesWithReservedMapping(Range, Tag, One, MmCached);
             MmUnmapReservedMapping(Range, Tag, Two);
         },
         "does not hold this MDL"},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_DEATH(
            {
                PMDL One = Allocate(MiB);
                PMDL Two = Allocate(MiB);
                C.Misuse(One, Two, MmAllocateMappingAddress(MiB, Tag));
            },
            C.Message);
    }
}

}  // namespace
