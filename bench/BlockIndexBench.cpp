// Cost of the block index per block at 64K, 1M and 4M entries in one tier:
// the hit path (classify, lookup, touch), the replacement path (evict the
// least recently used block, insert the new one), and the memory the index
// takes per cached block. Times are CPU times of the benchmark's thread, so
// that other work on the machine does not inflate them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <ctime>
#include <vector>

#include "driver/engine/BlockIndex.h"
#include "driver/engine/VolumeCache.h"
#include "host/kernel/include/HostKernel.h"

namespace {

// A booted kernel and one volume whose memory tier holds Entries blocks: every
// fourth block of a volume four times the tier's size, entered in random order
// over many ticks, as a warm cache would have them.
class FullTier {
public:
    FullTier(ULONG Entries, ULONG ExtraBlocks = 0) : Entries(Entries)
    {
        // Millions of entries: the nodes fit the pool of the 64-bit platform,
        // not the 32-bit one's.
        host::KernelConfig Config;
        Config.NonPagedPoolBytes = host::X64NonPagedPoolBytes;
        host::KernelBoot(Config);
        ExInitializeNPagedLookasideList(&TableNodeLookaside, nullptr, nullptr, 0, TABLE_NODE_SIZE,
                                        CACHE_POOL_TAG, 0);
        Context = static_cast<PVolumeCache>(std::calloc(1, sizeof(VolumeCache)));
        VolumeBlocks = 4ull * Entries + ExtraBlocks;
        BitmapBytes = (VolumeBlocks >> 3) + 1;
        Context->Memory.Bitmap = static_cast<PUCHAR>(std::calloc(1, BitmapBytes));
        Context->Memory.SlotCount = Entries;
        RtlInitializeGenericTable(&Context->Memory.LookupTable, CompareBlockNumbers, AllocateTableNode,
                                  FreeTableNode, nullptr);
        RtlInitializeGenericTable(&Context->Memory.LruTable, CompareLastUse, AllocateTableNode, FreeTableNode,
                                  nullptr);
        Tier = &Context->Memory;

        std::vector<ULONG> Order(Entries);
        for (ULONG i = 0; i < Entries; i++)
            Order[i] = i;
        std::shuffle(Order.begin(), Order.end(), Random);
        for (ULONG i = 0; i < Entries; i++) {
            if ((i & 1023) == 0)
                host::TickAdvance(1);
            Context->Memory.SlotsUsed++;
            InsertBlockEntry(Tier, Order[i] * 4, i);
        }
    }
    ~FullTier()
    {
        for (PRTL_GENERIC_TABLE Table : {&Context->Memory.LookupTable, &Context->Memory.LruTable})
            while (PVOID First = RtlEnumerateGenericTable(Table, TRUE))
                RtlDeleteElementGenericTable(Table, First);
        std::free(Context->Memory.Bitmap);
        std::free(Context);
        ExDeleteNPagedLookasideList(&TableNodeLookaside);
        host::KernelShutdown();
    }

    ULONG Entries;
    uint64_t VolumeBlocks;
    size_t BitmapBytes;
    PVolumeCache Context;
    PCacheTier Tier;
    std::mt19937 Random{20110325};
};

std::string Entries(int64_t Count)
{
    return Count >= (1 << 20) ? std::to_string(Count >> 20) + "M" : std::to_string(Count >> 10) + "K";
}

double ThreadSeconds()
{
    timespec Now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

// One tier of State.range(0) entries, filled once, measured three ways:
//  - the benchmark's iterations: one block of a read that hits the memory
//    tier (classify, lookup, touch); the tick moves every 4096 blocks, so
//    nearly every touch moves its entry in the LRU order;
//  - then one block of a miss in the full tier (the oldest block leaves, a
//    block never seen before takes its slot), timed by the thread's CPU clock;
//  - the memory of the filled index: table nodes (two per block, from the pool
//    through the lookaside list), the host tables' own B-trees and the
//    presence bitmap, per cached block.
void BM_BlockIndex(benchmark::State &State)
{
    const ULONG Replacements = 500000;
    FullTier Tier(static_cast<ULONG>(State.range(0)), Replacements);
    const std::string At = " @" + Entries(State.range(0)) + " entries";

    double NodeBytes = static_cast<double>(host::PoolLiveBytes(CACHE_POOL_TAG)) / Tier.Entries;
    State.counters["index nodes" + At + " [bytes/block]"] = NodeBytes;
    // On the 32-bit platform a node is the table's 24-byte header plus the entry.
    State.counters["index nodes on 32-bit" + At + " [bytes/block]"] =
        NodeBytes * (24.0 + sizeof(BlockEntry)) / TABLE_NODE_SIZE;
    // The host's generic tables order their elements in a B-tree of their own
    // beside the nodes; the platform's splay tree has no such structure.
    State.counters["host table B-tree (host only)" + At + " [bytes/block]"] =
        static_cast<double>(host::GenericTableIndexBytes()) / Tier.Entries;
    State.counters["presence bitmap, volume 4x tier" + At + " [bytes/block]"] =
        static_cast<double>(Tier.BitmapBytes) / Tier.Entries;

    std::vector<ULONG> Blocks(1 << 20);
    for (ULONG &Block : Blocks)
        Block = (Tier.Random() % Tier.Entries) * 4;
    size_t Next = 0;
    int64_t Hits = 0;
    for (auto _ : State) {
        ULONG Block = Blocks[Next++ & (Blocks.size() - 1)];
        if (ClassifyBlock(Tier.Context, Block) == BlockInMemory) {
            TouchBlockEntry(Tier.Tier, LookupBlockEntry(&Tier.Context->Memory.LookupTable, Block));
            Hits++;
        }
        if ((Next & 4095) == 0)
            host::TickAdvance(1);
    }
    if (Hits != static_cast<int64_t>(State.iterations()))
        State.SkipWithError("a block that should hit missed");

    ULONG NextBlock = static_cast<ULONG>(4ull * Tier.Entries);
    double Start = ThreadSeconds();
    for (ULONG i = 0; i < Replacements; i++) {
        ULONG Slot = EvictLeastRecentlyUsed(Tier.Tier);
        InsertBlockEntry(Tier.Tier, NextBlock++, Slot);
        if ((i & 4095) == 4095)
            host::TickAdvance(1);
    }
    State.counters["evict+insert" + At + " [ns/block]"] = (ThreadSeconds() - Start) * 1e9 / Replacements;
    State.SetLabel("classify+lookup+touch" + At + " [block]");
}

}  // namespace

BENCHMARK(BM_BlockIndex)->Arg(64 << 10)->Arg(1 << 20)->Arg(4 << 20)->Iterations(1000000);
