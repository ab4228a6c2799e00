// SSD tier: grouping of promotion writes, slot offsets, SSD hits and the
// behaviour when the cache file fails.
#include "ReadPathFixture.h"

namespace paths_test {
namespace {

constexpr ULONG B64 = 64 * KiB;

enum class PromotionSetup { FreshSlotsFromTen, ThirdBlockHeld, FullTier };

struct PromotionCase {
    const char *Name;
    PromotionSetup Setup;
    // The file writes of the promotion of blocks 0..3, in order; each holds
    // (block, slot) pairs of consecutive slots.
    std::vector<std::vector<std::pair<ULONG, ULONG>>> Writes;
};

void PrintTo(const PromotionCase &c, std::ostream *os)
{
    *os << c.Name;
}

class PromotionTest : public CachePathTest, public ::testing::WithParamInterface<PromotionCase> {
protected:
    void Prepare(PromotionSetup Setup)
    {
        ASSERT_TRUE(StartVolume(WithSsd(B64, 256)));
        ReadBlocks(0, 4);  // memory slots 0..3: one memory run from now on
        switch (Setup) {
        case PromotionSetup::FreshSlotsFromTen:
            SetSsdSlotsUsed(10);
            break;
        case PromotionSetup::ThirdBlockHeld:
            ReadBlocks(2, 1);  // a memory hit: block 2 goes to SSD slot 0
            ASSERT_EQ(SsdSlot(2), 0u);
            SetSsdSlotsUsed(10);
            break;
        case PromotionSetup::FullTier:
            // Four slots, filled by blocks 100..103 one tick apart; block 102
            // is written later, so the oldest entries are 100, 101, 103, 102
            // in slots 0, 1, 3, 2.
            SetSsdSlotCount(4);
            ReadBlocks(100, 4);
            for (ULONG b = 100; b < 104; b++) {
                host::TickAdvance(1);
                ReadBlocks(b, 1);
                ASSERT_EQ(SsdSlot(b), b - 100);
            }
            host::TickAdvance(1);
            ASSERT_EQ(Write(102ull * B64, BlockBytes(102)), STATUS_SUCCESS);
            host::TickAdvance(1);
            break;
        }
    }
};

// The promotion is run once per write with the cache file failing from that
// write on: the blocks of the writes before it are held in their slots, and
// every block of a failed write has left the SSD tier. So the writes are
// seen one by one, with their slots and blocks.
TEST_P(PromotionTest, WritesConsecutiveSlotsTogether)
{
    const PromotionCase &c = GetParam();
    for (size_t failFrom = 0; failFrom <= c.Writes.size(); failFrom++) {
        SCOPED_TRACE("cache file writes fail from write " + std::to_string(failFrom));
        FreshBed();
        Prepare(c.Setup);
        if (HasFatalFailure())
            return;
        host::FileFaults faults;
        faults.FailWriteAfter = (long)failFrom;
        host::SetFileFaults(faults);
        ReadBlocks(0, 4);
        host::SetFileFaults(host::FileFaults());

        for (size_t w = 0; w < c.Writes.size(); w++) {
            for (auto [block, slot] : c.Writes[w]) {
                if (w < failFrom) {
                    ASSERT_TRUE(InSsd(block)) << "block " << block;
                    EXPECT_EQ(SsdSlot(block), slot) << "block " << block;
                    EXPECT_EQ(CacheFileBytes((uint64_t)slot * B64, B64), BlockBytes(block))
                        << "slot " << slot;
                } else {
                    EXPECT_FALSE(InSsd(block)) << "block " << block << " kept after a failed write";
                }
            }
        }
        if (c.Setup == PromotionSetup::ThirdBlockHeld) {
            ASSERT_TRUE(InSsd(2));
            EXPECT_EQ(SsdSlot(2), 0u);
        }
        ExpectIndexConsistent(true);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Grouping, PromotionTest,
    ::testing::Values(
        PromotionCase{"FreshSlotsFromTen", PromotionSetup::FreshSlotsFromTen,
                      {{{0, 10}, {1, 11}, {2, 12}, {3, 13}}}},
        PromotionCase{"ThirdBlockHeld", PromotionSetup::ThirdBlockHeld,
                      {{{0, 10}, {1, 11}}, {{3, 12}}}},
        PromotionCase{"FullTier", PromotionSetup::FullTier,
                      {{{0, 0}, {1, 1}}, {{2, 3}}, {{3, 2}}}}),
    [](const auto &info) { return std::string(info.param.Name); });
// clang-format on

// Slot 1048576 of 4 KiB blocks lies at 4 GiB: written there by a promotion
// and read from there by the SSD hit (which returns what the file holds).
TEST_F(CachePathTest, SlotBeyondFourGiBIsAtItsExactOffset)
{
    const ULONG b4 = 4 * KiB;
    const uint64_t offset = 0x100000000ull;
    ASSERT_TRUE(StartVolume(WithSsd(b4, 16, 4 * GiB + 512 * MiB)));
    SetSsdSlotsUsed(1048576);
    ReadBlocks(5, 1);
    ReadBlocks(5, 1);
    ASSERT_TRUE(InSsd(5));
    EXPECT_EQ(SsdSlot(5), 1048576u);
    EXPECT_EQ(CacheFileBytes(offset, b4), BlockBytes(5));

    host::TickAdvance(1);
    ReadBlocks(100, 16);
    ASSERT_FALSE(InMemory(5));
    std::vector<uint8_t> marker(b4, 0x5A);
    PatchCacheFile(offset, marker);
    std::vector<uint8_t> got(b4);
    ULONG_PTR info = 0;
    ASSERT_EQ(Bed().Read(kVolume, 5ull * b4, got.data(), b4, &info), STATUS_SUCCESS);
    EXPECT_EQ(got, marker);
    EXPECT_EQ(Counters().SsdHits, 1u);
}

// SSD tier of two slots. Blocks 0 and 1 are held only by the SSD tier, 2 and
// 3 only by memory. Reading 0..3 serves the memory run {2, 3} first, whose
// promotion evicts blocks 0 and 1 and writes 2 and 3 into their slots. The
// SSD run {0, 1} must still deliver blocks 0 and 1.
TEST_F(CachePathTest, PendingSsdRunSurvivesReuseOfItsSlots)
{
    ASSERT_TRUE(StartVolume(WithSsd(4 * KiB, 4)));
    SetSsdSlotCount(2);
    ReadBlocks(0, 2);
    host::TickAdvance(1);
    ReadBlocks(0, 2);  // promoted into SSD slots 0 and 1
    host::TickAdvance(1);
    ReadBlocks(4, 4);  // memory now holds 4..7
    host::TickAdvance(1);
    ReadBlocks(2, 2);  // memory: 2, 3, 6, 7
    ASSERT_TRUE(InSsd(0) && InSsd(1));
    ASSERT_FALSE(InMemory(0) || InMemory(1) || InSsd(2) || InSsd(3));
    ASSERT_TRUE(InMemory(2) && InMemory(3));

    host::TickAdvance(1);
    ReadCounters before = Counters();
    ReadBlocks(0, 4);  // checks the bytes against the volume
    ReadCounters d = Counters() - before;
    EXPECT_EQ(d.MemoryHits, 1u);
    EXPECT_EQ(d.SsdHits, 0u);
    EXPECT_EQ(d.VolumeReads, 1u);
    EXPECT_TRUE(InSsd(2) && InSsd(3));
    EXPECT_FALSE(InSsd(0) || InSsd(1));
    EXPECT_TRUE(InMemory(0) && InMemory(1));
    ExpectIndexConsistent(true);
}

// A cache-file read that fails: the run comes from the volume instead, its
// blocks leave the SSD tier and enter memory. When the volume fails as well,
// the request fails and nothing is placed.
TEST_F(CachePathTest, FailedCacheFileReadFallsBackToTheVolume)
{
    for (bool volumeFails : {false, true}) {
        SCOPED_TRACE(volumeFails ? "volume fails too" : "volume works");
        FreshBed();
        ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
        ReadBlocks(0, 2);
        ReadBlocks(0, 2);
        host::TickAdvance(1);
        ReadBlocks(10, 16);
        ASSERT_TRUE(InSsd(0) && InSsd(1) && !InMemory(0) && !InMemory(1));

        host::FileFaults faults;
        faults.FailReadAfter = 0;
        host::SetFileFaults(faults);
        if (volumeFails) {
            sim::VolumeFaults v;
            v.FailNthRead = 1;
            Volume->SetFaults(v);
        }
        host::TickAdvance(1);
        ReadCounters before = Counters();
        NTSTATUS status = Read(B64 / 2, B64);
        host::SetFileFaults(host::FileFaults());
        Volume->SetFaults(sim::VolumeFaults());

        ReadCounters d = Counters() - before;
        EXPECT_EQ(d.SsdHits, 0u);
        EXPECT_FALSE(InSsd(0) || InSsd(1));
        if (volumeFails) {
            EXPECT_EQ(status, STATUS_IO_DEVICE_ERROR);
            EXPECT_EQ(d.VolumeReads, 0u);
            EXPECT_FALSE(InMemory(0) || InMemory(1));
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(d.VolumeReads, 1u);
            EXPECT_EQ(d.VolumeReadBytes, B64);
            EXPECT_TRUE(InMemory(0) && InMemory(1));
        }
        ExpectIndexConsistent(true);

        // The dropped slots are used again by the next promotions.
        ULONG used = Context()->Cache.Ssd.SlotsUsed;
        SetSsdSlotCount(used);
        ReadBlocks(30, 2);
        ReadBlocks(30, 2);
        EXPECT_TRUE(InSsd(30) && InSsd(31));
        EXPECT_EQ(Context()->Cache.Ssd.SlotsUsed, used);
        std::set<ULONG> reused = {SsdSlot(30), SsdSlot(31)};
        EXPECT_EQ(reused, (std::set<ULONG>{0, 1}));
        ExpectIndexConsistent(true);
    }
}

}  // namespace
}  // namespace paths_test
