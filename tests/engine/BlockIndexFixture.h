// A booted host kernel with the driver's table-node lookaside list, and a
// volume context whose tier indexes are built the way a volume start builds
// them, for tests of the block index and the page store.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "driver/Driver.h"
#include "driver/engine/BlockIndex.h"
#include "driver/engine/VolumeCache.h"
#include "host/kernel/include/HostKernel.h"

namespace engine_test {

class KernelFixture : public ::testing::Test {
protected:
    // Depth 0 leaves the list's depth to the platform.
    void BootKernel(const host::KernelConfig &Config = host::KernelConfig(), USHORT Depth = 0)
    {
        host::KernelBoot(Config);
        ExInitializeNPagedLookasideList(&TableNodeLookaside, nullptr, nullptr, 0, TABLE_NODE_SIZE,
                                        CACHE_POOL_TAG, Depth);
        Booted = true;
    }
    void SetUp() override { BootKernel(); }
    // Gives the list's cached blocks back to the pool, so that the next node
    // allocations go to the pool (and meet its injected faults).
    void EmptyLookaside()
    {
        ExDeleteNPagedLookasideList(&TableNodeLookaside);
        ExInitializeNPagedLookasideList(&TableNodeLookaside, nullptr, nullptr, 0, TABLE_NODE_SIZE,
                                        CACHE_POOL_TAG, 0);
    }
    void TearDown() override
    {
        if (!Booted)
            return;
        host::PoolClearFaults();
        ExDeleteNPagedLookasideList(&TableNodeLookaside);
        EXPECT_EQ(host::PoolLiveAllocations(CACHE_POOL_TAG), 0u) << "pool blocks left";
        EXPECT_TRUE(host::KernelShutdown());
        Booted = false;
    }
    bool Booted = false;
};

// Deletes every element of a table, first to last.
inline void DrainTable(PRTL_GENERIC_TABLE Table)
{
    while (PVOID First = RtlEnumerateGenericTable(Table, TRUE))
        RtlDeleteElementGenericTable(Table, First);
}

// A zeroed context with the memory tier (and, when asked, the SSD tier) for a
// volume of BlockCount whole blocks plus a partial one. The bitmaps have
// exactly (BlockCount >> 3) + 1 bytes, so an access past them shows under ASan.
struct TestVolume {
    VolumeCache *Context;

    TestVolume(ULONG BlockCount, ULONG MemorySlots, bool Ssd = false, ULONG SsdSlots = 0)
    {
        Context = static_cast<VolumeCache *>(std::calloc(1, sizeof(VolumeCache)));
        size_t BitmapBytes = (BlockCount >> 3) + 1;
        Context->Memory.Bitmap = static_cast<PUCHAR>(std::calloc(1, BitmapBytes));
        Context->Memory.SlotCount = MemorySlots;
        InitTables(&Context->Memory.LookupTable, &Context->Memory.LruTable);
        if (Ssd) {
            Context->Settings.SsdEnabled = 1;
            Context->Ssd.Bitmap = static_cast<PUCHAR>(std::calloc(1, BitmapBytes));
            Context->Ssd.SlotCount = SsdSlots;
            InitTables(&Context->Ssd.LookupTable, &Context->Ssd.LruTable);
        }
    }
    ~TestVolume()
    {
        DrainTable(&Context->Memory.LookupTable);
        DrainTable(&Context->Memory.LruTable);
        if (Context->Settings.SsdEnabled) {
            DrainTable(&Context->Ssd.LookupTable);
            DrainTable(&Context->Ssd.LruTable);
            std::free(Context->Ssd.Bitmap);
        }
        std::free(Context->Memory.Bitmap);
        std::free(Context);
    }
    TestVolume(const TestVolume &) = delete;
    TestVolume &operator=(const TestVolume &) = delete;

    CacheTier &Memory() { return Context->Memory; }
    CacheTier &Ssd() { return Context->Ssd; }

private:
    static void InitTables(PRTL_GENERIC_TABLE Lookup, PRTL_GENERIC_TABLE Lru)
    {
        RtlInitializeGenericTable(Lookup, CompareBlockNumbers, AllocateTableNode, FreeTableNode, nullptr);
        RtlInitializeGenericTable(Lru, CompareLastUse, AllocateTableNode, FreeTableNode, nullptr);
    }
};

inline ULONGLONG TickOf(const BlockEntry &Entry)
{
    return (static_cast<ULONGLONG>(static_cast<ULONG>(Entry.TickHigh)) << 32) | Entry.TickLow;
}

// The entries of a table in its order.
inline std::vector<BlockEntry> TableEntries(PRTL_GENERIC_TABLE Table)
{
    std::vector<BlockEntry> Entries;
    for (PVOID Element = RtlEnumerateGenericTable(Table, TRUE); Element;
         Element = RtlEnumerateGenericTable(Table, FALSE))
        Entries.push_back(*static_cast<PBlockEntry>(Element));
    return Entries;
}

}  // namespace engine_test
