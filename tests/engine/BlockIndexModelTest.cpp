// The block index against a reference model: a long random sequence of
// placements (fresh slot or eviction), touches, evictions and lookups, with
// node allocations refused by the pool at random, and every invariant checked
// after every step.
#include "BlockIndexFixture.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <tuple>

using namespace engine_test;

namespace {

struct ModelEntry {
    ULONG Slot;
    ULONGLONG Tick;
};

class BlockIndexModelTest : public KernelFixture {
protected:
    // The model: block -> (slot, tick), and the LRU order as a set.
    std::map<ULONG, ModelEntry> Blocks;
    std::set<std::pair<ULONGLONG, ULONG>> Order;
    // Slots given back by a placement that failed; the next placement takes
    // them first, so that refusals do not shrink the tier.
    std::vector<ULONG> FreeSlots;

    void ModelInsert(ULONG Block, ULONG Slot, ULONGLONG Tick)
    {
        Blocks[Block] = ModelEntry{Slot, Tick};
        Order.insert({Tick, Block});
    }
    void ModelErase(ULONG Block)
    {
        Order.erase({Blocks[Block].Tick, Block});
        Blocks.erase(Block);
    }

    using Row = std::tuple<ULONG, ULONG, ULONGLONG>;  // block, slot, tick

    static std::vector<Row> Rows(PRTL_GENERIC_TABLE Table)
    {
        std::vector<Row> Result;
        for (const BlockEntry &E : TableEntries(Table))
            Result.emplace_back(E.Block, E.Slot, TickOf(E));
        return Result;
    }

    // One comparison per invariant, so that the check stays cheap enough to
    // run after every step.
    void CheckInvariants(TestVolume &Volume, ULONG BlockCount, const char *Step, int Index)
    {
        VolumeCache *C = Volume.Context;
        std::vector<Row> ByBlock, ByUse;
        for (auto &B : Blocks)
            ByBlock.emplace_back(B.first, B.second.Slot, B.second.Tick);
        for (auto &U : Order)
            ByUse.emplace_back(U.second, Blocks[U.second].Slot, U.first);
        ASSERT_EQ(Rows(&C->Memory.LookupTable), ByBlock)
            << "lookup table after step " << Index << " (" << Step << ")";
        ASSERT_EQ(Rows(&C->Memory.LruTable), ByUse)
            << "LRU table after step " << Index << " (" << Step << ")";

        std::vector<ULONG> SetBits, ModelBlocks;
        for (ULONG Block = 0; Block <= BlockCount; Block++)
            if (BitmapTest(C->Memory.Bitmap, Block))
                SetBits.push_back(Block);
        for (auto &B : Blocks)
            ModelBlocks.push_back(B.first);
        ASSERT_EQ(SetBits, ModelBlocks) << "bitmap after step " << Index << " (" << Step << ")";

        // Held and free slots together are exactly the slots handed out.
        std::vector<ULONG> AllSlots(FreeSlots);
        for (auto &B : Blocks)
            AllSlots.push_back(B.second.Slot);
        std::sort(AllSlots.begin(), AllSlots.end());
        std::vector<ULONG> HandedOut(C->Memory.SlotsUsed);
        for (ULONG i = 0; i < C->Memory.SlotsUsed; i++)
            HandedOut[i] = i;
        ASSERT_EQ(AllSlots, HandedOut) << "slots after step " << Index << " (" << Step << ")";
        // The statistics report the slots handed out as the blocks used.
        CacheStatistics Published;
        CacheFillStatistics(C, &Published);
        ASSERT_EQ(Published.MemoryBlocksUsed, C->Memory.SlotsUsed);
    }
};

TEST_F(BlockIndexModelTest, RandomOperationsMatchTheModel)
{
    const ULONG BlockCount = 300;  // whole blocks; block 300 is the partial last one
    const ULONG Slots = 48;
    const int Steps = 20000;
    TestVolume Volume(BlockCount, Slots);
    CacheTier &Memory = Volume.Memory();
    PRTL_GENERIC_TABLE LookupTable = &Volume.Context->Memory.LookupTable;
    std::mt19937 Random(20110325);
    auto Pick = [&](ULONG Limit) { return static_cast<ULONG>(Random() % Limit); };
    bool Refusing = false;
    int Refusals = 0;

    for (int Step = 0; Step < Steps; Step++) {
        const char *What = "";
        ULONG Dice = Pick(100);
        if (Dice < 4) {
            What = "pool faults";
            // Alternate between a refusing and a healthy pool; the lookaside
            // is emptied so that the refusals actually bite.
            host::PoolClearFaults();
            Refusing = !Refusing;
            if (Refusing) {
                EmptyLookaside();
                host::PoolFailAfter(CACHE_POOL_TAG, Pick(4));
            }
        } else if (Dice < 14) {
            What = "tick";
            host::TickAdvance(Pick(3));
        } else if (Dice < 50) {
            What = "place";
            ULONG Block = Pick(BlockCount + 1);
            if (BitmapTest(Volume.Context->Memory.Bitmap, Block))
                continue;
            // The read path's placement: a fresh slot while there is one,
            // otherwise the least recently used block's slot.
            ULONG Slot;
            if (!FreeSlots.empty()) {
                Slot = FreeSlots.back();
                FreeSlots.pop_back();
            } else if (Memory.SlotsUsed < Memory.SlotCount) {
                Slot = Memory.SlotsUsed++;
            } else {
                ASSERT_FALSE(Blocks.empty()) << "every slot is either held or free";
                ULONG Oldest = Order.begin()->second;
                Slot = EvictLeastRecentlyUsed(&Memory);
                ASSERT_EQ(Slot, Blocks[Oldest].Slot);
                ModelErase(Oldest);
            }
            if (InsertBlockEntry(&Memory, Block, Slot)) {
                ModelInsert(Block, Slot, host::TickNow());
            } else {
                ASSERT_TRUE(Refusing) << "insert failed with a healthy pool";
                FreeSlots.push_back(Slot);
                Refusals++;
            }
        } else if (Dice < 75) {
            What = "touch";
            if (Blocks.empty())
                continue;
            auto It = Blocks.begin();
            std::advance(It, Pick(static_cast<ULONG>(Blocks.size())));
            ULONG Block = It->first;
            PBlockEntry Entry = LookupBlockEntry(LookupTable, Block);
            ASSERT_NE(Entry, nullptr);
            TouchBlockEntry(&Memory, Entry);
            ULONGLONG Now = host::TickNow();
            ULONGLONG Seen = TickOf(*Entry);
            if (Seen != Now) {
                ASSERT_TRUE(Refusing) << "touch kept an old tick with a healthy pool";
                ASSERT_EQ(Seen, It->second.Tick);
                Refusals++;
            } else {
                ULONG Slot = It->second.Slot;
                ModelErase(Block);
                ModelInsert(Block, Slot, Now);
            }
        } else if (Dice < 85) {
            What = "evict";
            ULONG Slot = EvictLeastRecentlyUsed(&Memory);
            if (Blocks.empty()) {
                ASSERT_EQ(Slot, CACHE_NO_SLOT);
            } else {
                ULONG Oldest = Order.begin()->second;
                ASSERT_EQ(Slot, Blocks[Oldest].Slot);
                ModelErase(Oldest);
                FreeSlots.push_back(Slot);
            }
        } else {
            What = "lookup";
            ULONG Block = Pick(BlockCount + 1);
            PBlockEntry Entry = LookupBlockEntry(LookupTable, Block);
            auto It = Blocks.find(Block);
            if (It == Blocks.end()) {
                ASSERT_EQ(Entry, nullptr);
                ASSERT_EQ(ClassifyBlock(Volume.Context, Block), BlockNotCached);
            } else {
                ASSERT_NE(Entry, nullptr);
                ASSERT_EQ(Entry->Slot, It->second.Slot);
                ASSERT_EQ(ClassifyBlock(Volume.Context, Block), BlockInMemory);
            }
        }
        ASSERT_NO_FATAL_FAILURE(CheckInvariants(Volume, BlockCount, What, Step));
    }
    host::PoolClearFaults();
    // The sequence must have exercised both the refusals and a full tier.
    EXPECT_GT(Refusals, 0);
    EXPECT_EQ(Volume.Context->Memory.SlotsUsed, Slots);
}

}  // namespace
