// The block index: bit layout, classification, comparison rules, LRU order,
// eviction, and what a refused node allocation leaves behind.
#include "BlockIndexFixture.h"

#include <cstdint>

using namespace engine_test;

namespace {

class BlockIndexTest : public KernelFixture {};

TEST_F(BlockIndexTest, BitLayoutIsLeastSignificantBitFirstAndCoversThePartialLastBlock)
{
    struct Case {
        ULONG Block;
        size_t Byte;
        UCHAR Mask;
    };
    // 20 whole blocks and a partial one: the bitmap has 3 bytes, block 20 is
    // its last usable bit.
    const Case Cases[] = {{0, 0, 0x01}, {7, 0, 0x80}, {8, 1, 0x01}, {13, 1, 0x20}, {20, 2, 0x10}};
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Block);
        UCHAR Bitmap[3] = {0, 0, 0};
        EXPECT_TRUE(BitmapSet(Bitmap, C.Block, 1));
        for (size_t i = 0; i < sizeof(Bitmap); i++)
            EXPECT_EQ(Bitmap[i], i == C.Byte ? C.Mask : 0) << "byte " << i;
        EXPECT_NE(BitmapTest(Bitmap, C.Block), 0u);
        // Clearing one bit leaves its neighbours alone.
        Bitmap[C.Byte] = 0xFF;
        EXPECT_TRUE(BitmapSet(Bitmap, C.Block, 0));
        EXPECT_EQ(Bitmap[C.Byte], static_cast<UCHAR>(~C.Mask));
        EXPECT_EQ(BitmapTest(Bitmap, C.Block), 0u);
    }

    // Through the index: the partial last block of a volume of 16 whole
    // blocks is block 16, the only bit of the bitmap's third byte in use.
    TestVolume Volume(16, 4);
    CacheTier &Memory = Volume.Memory();
    ASSERT_TRUE(InsertBlockEntry(&Memory, 16, 0));
    EXPECT_EQ(Volume.Context->Memory.Bitmap[2], 0x01);
    EXPECT_EQ(ClassifyBlock(Volume.Context, 16), BlockInMemory);
}

TEST_F(BlockIndexTest, ClassificationPrefersMemoryAndReadsTheSsdBitmapOnlyWithTheSsdTier)
{
    TestVolume Volume(64, 8, /*Ssd=*/true, 8);
    CacheTier &Memory = Volume.Memory(), &Ssd = Volume.Ssd();
    ASSERT_TRUE(InsertBlockEntry(&Memory, 1, 0));
    ASSERT_TRUE(InsertBlockEntry(&Memory, 2, 1));
    ASSERT_TRUE(InsertBlockEntry(&Ssd, 2, 0));
    ASSERT_TRUE(InsertBlockEntry(&Ssd, 3, 1));

    EXPECT_EQ(ClassifyBlock(Volume.Context, 0), BlockNotCached);
    EXPECT_EQ(ClassifyBlock(Volume.Context, 1), BlockInMemory);
    EXPECT_EQ(ClassifyBlock(Volume.Context, 2), BlockInMemory);
    EXPECT_EQ(ClassifyBlock(Volume.Context, 3), BlockInSsd);

    // Block 1 is used again later, so block 2 is the one to leave memory.
    host::TickAdvance(1);
    TouchBlockEntry(&Memory, LookupBlockEntry(&Volume.Context->Memory.LookupTable, 1));
    EXPECT_EQ(EvictLeastRecentlyUsed(&Memory), 1u);
    EXPECT_EQ(ClassifyBlock(Volume.Context, 2), BlockInSsd);

    // With the SSD tier off its bitmap is never read: a null pointer would fault.
    TestVolume NoSsd(64, 8);
    NoSsd.Context->Ssd.Bitmap = nullptr;
    CacheTier &NoSsdMemory = NoSsd.Memory();
    ASSERT_TRUE(InsertBlockEntry(&NoSsdMemory, 5, 0));
    EXPECT_EQ(ClassifyBlock(NoSsd.Context, 5), BlockInMemory);
    EXPECT_EQ(ClassifyBlock(NoSsd.Context, 6), BlockNotCached);
}

BlockEntry Entry(ULONG Block, uint64_t Tick)
{
    BlockEntry E;
    E.Block = Block;
    E.Slot = 0;
    E.TickLow = static_cast<ULONG>(Tick);
    E.TickHigh = static_cast<LONG>(Tick >> 32);
    return E;
}

TEST_F(BlockIndexTest, CompareRoutinesFollowTheSignedAndUnsignedRules)
{
    struct Case {
        const char *What;
        BlockEntry A, B;
        RTL_GENERIC_COMPARE_RESULTS LastUse;
    };
    const Case Cases[] = {
        {"equal", Entry(4, 10), Entry(4, 10), GenericEqual},
        {"older tick first", Entry(9, 10), Entry(1, 11), GenericLessThan},
        {"low half is unsigned", Entry(1, 0x80000000u), Entry(1, 1), GenericGreaterThan},
        {"high half is signed", Entry(1, 0xFFFFFFFF00000000ull), Entry(1, 5), GenericLessThan},
        {"tie: lower block first", Entry(3, 7), Entry(4, 7), GenericLessThan},
        {"tie: block is unsigned", Entry(0x80000000u, 7), Entry(1, 7), GenericGreaterThan},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        BlockEntry A = C.A, B = C.B;
        EXPECT_EQ(CompareLastUse(nullptr, &A, &B), C.LastUse);
        RTL_GENERIC_COMPARE_RESULTS Reverse = C.LastUse == GenericEqual      ? GenericEqual
                                              : C.LastUse == GenericLessThan ? GenericGreaterThan
                                                                             : GenericLessThan;
        EXPECT_EQ(CompareLastUse(nullptr, &B, &A), Reverse);
    }

    BlockEntry Small = Entry(1, 99), Large = Entry(0x80000000u, 0), Same = Entry(1, 0);
    EXPECT_EQ(CompareBlockNumbers(nullptr, &Small, &Large), GenericLessThan);
    EXPECT_EQ(CompareBlockNumbers(nullptr, &Large, &Small), GenericGreaterThan);
    EXPECT_EQ(CompareBlockNumbers(nullptr, &Small, &Same), GenericEqual) << "the tick is no part of the key";
}

TEST_F(BlockIndexTest, EvictsOldestTickFirstAndLowestBlockAmongEqualTicks)
{
    TestVolume Volume(100, 8);
    CacheTier &Memory = Volume.Memory();
    host::TickSet(50);
    ASSERT_TRUE(InsertBlockEntry(&Memory, 40, 0));
    host::TickAdvance(1);
    // One request's blocks, entered within one tick, out of block order.
    ASSERT_TRUE(InsertBlockEntry(&Memory, 9, 1));
    ASSERT_TRUE(InsertBlockEntry(&Memory, 3, 2));
    ASSERT_TRUE(InsertBlockEntry(&Memory, 7, 3));
    host::TickAdvance(1);
    ASSERT_TRUE(InsertBlockEntry(&Memory, 1, 4));

    const ULONG ExpectedSlots[] = {0, 2, 3, 1, 4};
    const ULONG ExpectedBlocks[] = {40, 3, 7, 9, 1};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(EvictLeastRecentlyUsed(&Memory), ExpectedSlots[i]) << "eviction " << i;
        EXPECT_EQ(BitmapTest(Volume.Context->Memory.Bitmap, ExpectedBlocks[i]), 0u);
    }
    EXPECT_EQ(EvictLeastRecentlyUsed(&Memory), CACHE_NO_SLOT);
}

TEST_F(BlockIndexTest, TouchMovesAnEntryBackOnlyWhenTheTickHasMoved)
{
    TestVolume Volume(100, 8);
    CacheTier &Memory = Volume.Memory();
    PRTL_GENERIC_TABLE Lookup = &Volume.Context->Memory.LookupTable;
    host::TickSet(1000);
    ASSERT_TRUE(InsertBlockEntry(&Memory, 10, 0));
    ASSERT_TRUE(InsertBlockEntry(&Memory, 20, 1));
    ASSERT_TRUE(InsertBlockEntry(&Memory, 30, 2));

    // Same tick: block 10 keeps its place ahead of 20 and 30.
    PBlockEntry Ten = LookupBlockEntry(Lookup, 10);
    TouchBlockEntry(&Memory, Ten);
    EXPECT_EQ(LookupBlockEntry(Lookup, 10), Ten) << "the entry stays where it was";
    EXPECT_EQ(TableEntries(&Volume.Context->Memory.LruTable).front().Block, 10u);

    // A later tick: block 10 becomes the most recently used; slot unchanged.
    host::TickAdvance(3);
    TouchBlockEntry(&Memory, LookupBlockEntry(Lookup, 10));
    std::vector<BlockEntry> Lru = TableEntries(&Volume.Context->Memory.LruTable);
    ASSERT_EQ(Lru.size(), 3u);
    EXPECT_EQ(Lru[0].Block, 20u);
    EXPECT_EQ(Lru[1].Block, 30u);
    EXPECT_EQ(Lru[2].Block, 10u);
    EXPECT_EQ(TickOf(Lru[2]), 1003u);
    PBlockEntry Touched = LookupBlockEntry(Lookup, 10);
    ASSERT_NE(Touched, nullptr);
    EXPECT_EQ(TickOf(*Touched), 1003u);
    EXPECT_EQ(Touched->Slot, 0u);
    EXPECT_EQ(EvictLeastRecentlyUsed(&Memory), 1u);
}

TEST_F(BlockIndexTest, EvictingFromAFullTierFreesExactlyOneSlot)
{
    const ULONG Slots = 16;
    TestVolume Volume(1000, Slots);
    CacheTier &Memory = Volume.Memory();
    for (ULONG i = 0; i < Slots; i++) {
        host::TickAdvance(1);
        ASSERT_TRUE(InsertBlockEntry(&Memory, 500 - i * 7, i));
    }

    ULONG Slot = EvictLeastRecentlyUsed(&Memory);
    EXPECT_EQ(Slot, 0u);
    EXPECT_EQ(BitmapTest(Volume.Context->Memory.Bitmap, 500), 0u);
    EXPECT_EQ(LookupBlockEntry(&Volume.Context->Memory.LookupTable, 500), nullptr);
    EXPECT_EQ(RtlNumberGenericTableElements(&Volume.Context->Memory.LookupTable), Slots - 1);
    EXPECT_EQ(RtlNumberGenericTableElements(&Volume.Context->Memory.LruTable), Slots - 1);
    for (ULONG i = 1; i < Slots; i++) {
        PBlockEntry Kept = LookupBlockEntry(&Volume.Context->Memory.LookupTable, 500 - i * 7);
        ASSERT_NE(Kept, nullptr);
        EXPECT_EQ(Kept->Slot, i);
    }
    // The freed slot takes the next block.
    ASSERT_TRUE(InsertBlockEntry(&Memory, 999, Slot));
    EXPECT_EQ(ClassifyBlock(Volume.Context, 999), BlockInMemory);
}

TEST_F(BlockIndexTest, ATierWithoutSlotsHasNothingToEvict)
{
    TestVolume Volume(10, 0);
    CacheTier &Memory = Volume.Memory();
    EXPECT_EQ(Memory.SlotCount, 0u);
    EXPECT_EQ(EvictLeastRecentlyUsed(&Memory), CACHE_NO_SLOT);
    EXPECT_EQ(Volume.Context->Memory.Bitmap[0], 0);
}

TEST_F(BlockIndexTest, RefusedNodeLeavesTheTierAsItWas)
{
    TestVolume Volume(100, 8);
    CacheTier &Memory = Volume.Memory();
    host::TickSet(5);
    ASSERT_TRUE(InsertBlockEntry(&Memory, 1, 0));

    EmptyLookaside();
    struct Case {
        const char *What;
        long PoolSuccesses;  // node allocations that succeed before the pool refuses
    };
    const Case Cases[] = {{"lookup node refused", 0}, {"LRU node refused", 1}};
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        host::PoolFailAfter(CACHE_POOL_TAG, C.PoolSuccesses);
        EXPECT_FALSE(InsertBlockEntry(&Memory, 2, 1));
        host::PoolClearFaults();
        EmptyLookaside();
        EXPECT_EQ(BitmapTest(Volume.Context->Memory.Bitmap, 2), 0u);
        EXPECT_EQ(LookupBlockEntry(&Volume.Context->Memory.LookupTable, 2), nullptr);
        EXPECT_EQ(RtlNumberGenericTableElements(&Volume.Context->Memory.LookupTable), 1u);
        EXPECT_EQ(RtlNumberGenericTableElements(&Volume.Context->Memory.LruTable), 1u);
    }

    // A touch whose new LRU node is refused keeps the old tick in both tables.
    host::TickAdvance(1);
    host::PoolFailAfter(CACHE_POOL_TAG, 0);
    PBlockEntry One = LookupBlockEntry(&Volume.Context->Memory.LookupTable, 1);
    TouchBlockEntry(&Memory, One);
    host::PoolClearFaults();
    EXPECT_EQ(TickOf(*One), 5u);
    std::vector<BlockEntry> Lru = TableEntries(&Volume.Context->Memory.LruTable);
    ASSERT_EQ(Lru.size(), 1u);
    EXPECT_EQ(TickOf(Lru[0]), 5u);

    // A node larger than the lookaside's blocks is refused, never overrun.
    EXPECT_EQ(AllocateTableNode(nullptr, TABLE_NODE_SIZE + 1), nullptr);
    PVOID Node = AllocateTableNode(nullptr, TABLE_NODE_SIZE);
    ASSERT_NE(Node, nullptr);
    FreeTableNode(nullptr, Node);
}

// The table's request for a block's node is exactly one lookaside block: the
// platform's header puts the element at an 8-byte-aligned offset (24 bytes on
// x86, 40 on x86-64), and the node routines size their blocks from that.
CLONG LastNodeRequest;
PVOID NTAPI RecordingAllocate(PRTL_GENERIC_TABLE Table, CLONG ByteSize)
{
    LastNodeRequest = ByteSize;
    return AllocateTableNode(Table, ByteSize);
}

TEST_F(BlockIndexTest, ATableAsksForExactlyOneNodeBlockPerEntry)
{
    EXPECT_EQ(TABLE_NODE_SIZE, sizeof(PVOID) == 4 ? 40u : 56u);
    RTL_GENERIC_TABLE Table;
    RtlInitializeGenericTable(&Table, CompareBlockNumbers, RecordingAllocate, FreeTableNode, nullptr);
    BlockEntry Entry = {3, 1, 0, 0};
    BOOLEAN Inserted = FALSE;
    auto *Stored =
        static_cast<PBlockEntry>(RtlInsertElementGenericTable(&Table, &Entry, sizeof(Entry), &Inserted));
    ASSERT_NE(Stored, nullptr);
    EXPECT_TRUE(Inserted);
    EXPECT_EQ(LastNodeRequest, TABLE_NODE_SIZE);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(Stored) % 8, 0u) << "the element is 8-byte aligned";
    DrainTable(&Table);
}

TEST_F(BlockIndexTest, InsertingABlockTheTierHoldsChangesNothing)
{
    TestVolume Volume(100, 8);
    CacheTier &Memory = Volume.Memory();
    ASSERT_TRUE(InsertBlockEntry(&Memory, 4, 2));
    host::TickAdvance(1);
    EXPECT_FALSE(InsertBlockEntry(&Memory, 4, 3));
    PBlockEntry Four = LookupBlockEntry(&Volume.Context->Memory.LookupTable, 4);
    ASSERT_NE(Four, nullptr);
    EXPECT_EQ(Four->Slot, 2u);
    EXPECT_EQ(RtlNumberGenericTableElements(&Volume.Context->Memory.LruTable), 1u);
}

}  // namespace
