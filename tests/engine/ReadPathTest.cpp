// Read path: request geometry, runs and their counters, placement into the
// memory tier, and the behaviour on failures and at the volume's end.
#include "ReadPathFixture.h"

namespace paths_test {
namespace {

constexpr ULONG B64 = 64 * KiB;

struct GeometryCase {
    const char *Name;
    testbed::StartSettings Settings;
    std::vector<std::pair<uint64_t, ULONG>> WarmUp;  // reads before the one checked
    uint64_t Offset;
    ULONG Length;
    bool FailLargeAllocations;  // pool allocations above 4 MiB fail
    NTSTATUS Status;
    ULONG_PTR Transferred;
    uint64_t VolumeReads, VolumeReadBytes, MemoryHits, MemoryHitBytes;
    uint64_t LowerReads, LowerReadBytes;  // reads the volume itself served
    std::vector<ULONG> CachedAfter;       // blocks the memory tier holds afterwards
};

void PrintTo(const GeometryCase &c, std::ostream *os)
{
    *os << c.Name;
}

class ReadGeometryTest : public CachePathTest, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(ReadGeometryTest, ServesRunsAndCountsThem)
{
    const GeometryCase &c = GetParam();
    ASSERT_TRUE(StartVolume(c.Settings));
    for (auto &w : c.WarmUp)
        ASSERT_EQ(Read(w.first, w.second), STATUS_SUCCESS);

    ReadCounters before = Counters();
    uint64_t lowerReads = Volume->Counters().Reads, lowerBytes = Volume->Counters().ReadBytes;
    if (c.FailLargeAllocations)
        host::PoolFailSizeAtLeast(CACHE_POOL_TAG, CACHE_TRANSFER_BUFFER_SIZE + 1);
    ULONG_PTR transferred = 12345;
    EXPECT_EQ(Read(c.Offset, c.Length, &transferred), c.Status);
    host::PoolClearFaults();

    ReadCounters d = Counters() - before;
    EXPECT_EQ(transferred, c.Transferred);
    EXPECT_EQ(d.VolumeReads, c.VolumeReads);
    EXPECT_EQ(d.VolumeReadBytes, c.VolumeReadBytes);
    EXPECT_EQ(d.MemoryHits, c.MemoryHits);
    EXPECT_EQ(d.MemoryHitBytes, c.MemoryHitBytes);
    EXPECT_EQ(Volume->Counters().Reads - lowerReads, c.LowerReads);
    EXPECT_EQ(Volume->Counters().ReadBytes - lowerBytes, c.LowerReadBytes);
    for (ULONG b : c.CachedAfter)
        EXPECT_TRUE(InMemory(b)) << "block " << b;
    ExpectIndexConsistent(false);
}

const testbed::StartSettings kDefault = MemoryOnly(B64, 256, 4 * MiB);  // 16 MiB
constexpr ULONG M4 = 4 * MiB;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Geometry, ReadGeometryTest,
    ::testing::Values(
        GeometryCase{"AlignedBlock", kDefault, {}, 3 * B64, B64, false, STATUS_SUCCESS, B64,
                     1, B64, 0, 0, 1, B64, {3}},
        GeometryCase{"InsideOneBlock", kDefault, {}, 5 * B64 + 100, 1000, false, STATUS_SUCCESS,
                     1000, 1, 1000, 0, 0, 1, B64, {5}},
        GeometryCase{"ZeroLengthUnaligned", kDefault, {}, 7 * B64 + 10, 0, false, STATUS_SUCCESS,
                     0, 1, 0, 0, 0, 1, B64, {7}},
        GeometryCase{"ZeroLengthAligned", kDefault, {}, 7 * B64, 0, false, STATUS_SUCCESS, 0, 0,
                     0, 0, 0, 0, 0, {}},
        // Runs break off as M X M X arrives: memory {10}, miss {11}, then at
        // the end miss {13} and memory {12}. Each fills only its own part.
        GeometryCase{"InterleavedKinds", kDefault, {{10 * B64, B64}, {12 * B64, B64}},
                     10 * B64 + 1, 4 * B64 - 2, false, STATUS_SUCCESS, 4 * B64 - 2, 2,
                     2 * B64 - 1, 2, 2 * B64 - 1, 2, 2 * B64, {10, 11, 12, 13}},
        GeometryCase{"HitTrimmedBothEnds", kDefault, {{40 * B64, 2 * B64}}, 40 * B64 + 3,
                     2 * B64 - 7, false, STATUS_SUCCESS, 2 * B64 - 7, 0, 0, 1, 2 * B64 - 7, 0, 0,
                     {40, 41}},
        // Blocks 21 and 20 were cached in that order: their slots run
        // backwards, so each is its own memory run.
        GeometryCase{"NonConsecutiveSlots", kDefault, {{21 * B64, B64}, {20 * B64, B64}},
                     20 * B64, 2 * B64, false, STATUS_SUCCESS, 2 * B64, 0, 0, 2, 2 * B64, 0, 0,
                     {20, 21}},
        // Chunks of four slots: blocks 30..37 lie in slots 0..7, across a
        // chunk boundary, and still form one run.
        GeometryCase{"RunAcrossChunks", MemoryOnly(B64, 16, 256 * KiB), {{30 * B64, 8 * B64}},
                     30 * B64 + 5, 8 * B64 - 10, false, STATUS_SUCCESS, 8 * B64 - 10, 0, 0, 1,
                     8 * B64 - 10, 0, 0, {30, 37}},
        GeometryCase{"MissOfExactlyTransferBuffer", kDefault, {}, 0, M4, true, STATUS_SUCCESS,
                     M4, 1, M4, 0, 0, 1, M4, {0, 63}},
        // A bounce buffer that cannot be had: the volume's driver serves the
        // read as it came, and the cache neither counts nor places it.
        GeometryCase{"MissOneBlockLargerAllocates", kDefault, {}, 0, M4 + B64, true,
                     STATUS_SUCCESS, M4 + B64, 0, 0, 0, 0, 1, M4 + B64, {}},
        GeometryCase{"MissOneBlockLarger", kDefault, {}, B64, M4 + B64, false, STATUS_SUCCESS,
                     M4 + B64, 1, M4 + B64, 0, 0, 1, M4 + B64, {1, 65}},
        GeometryCase{"HitOneBlockLargerAllocates", kDefault, {{0, M4 + B64}}, 0, M4 + B64, true,
                     STATUS_SUCCESS, M4 + B64, 0, 0, 0, 0, 1, M4 + B64, {0, 64}}),
    [](const auto &info) { return std::string(info.param.Name); });
// clang-format on

// The last X of M X M X fails: the runs that broke off before it were served
// (memory {10}, miss {11}); the memory run {12}, due after it, is not.
TEST_F(CachePathTest, FailedRunStopsTheRequestInServeOrder)
{
    ASSERT_TRUE(StartVolume(kDefault));
    ReadBlocks(10, 1);
    ReadBlocks(12, 1);
    sim::VolumeFaults faults;
    faults.RangeOffset = 13 * B64;
    faults.RangeLength = B64;
    Volume->SetFaults(faults);
    ReadCounters before = Counters();

    EXPECT_EQ(Read(10 * B64, 4 * B64), STATUS_IO_DEVICE_ERROR);
    ReadCounters d = Counters() - before;
    EXPECT_EQ(d.MemoryHits, 1u);
    EXPECT_EQ(d.VolumeReads, 1u);
    EXPECT_EQ(d.VolumeReadBytes, B64);
    EXPECT_TRUE(InMemory(11));
    EXPECT_FALSE(InMemory(13));
}

// A miss run whose volume read fails places nothing, copies nothing and is
// not counted; the next read of the same blocks is an ordinary miss.
TEST_F(CachePathTest, FailedMissReadLeavesNoTrace)
{
    for (auto mode : {sim::Completion::Immediate, sim::Completion::Pending}) {
        SCOPED_TRACE(mode == sim::Completion::Immediate ? "immediate" : "pending");
        FreshBed();
        ASSERT_TRUE(StartVolume(kDefault, 64 * MiB, mode));
        sim::VolumeFaults faults;
        faults.FailNthRead = 1;
        Volume->SetFaults(faults);

        std::vector<uint8_t> buffer(3 * B64, 0xEE);
        ULONG_PTR info = 99;
        EXPECT_EQ(Bed().Read(kVolume, 2 * B64 + 7, buffer.data(), (ULONG)buffer.size(), &info),
                  STATUS_IO_DEVICE_ERROR);
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(buffer, std::vector<uint8_t>(3 * B64, 0xEE)) << "bytes copied from a failed read";
        ReadCounters c = Counters();
        EXPECT_EQ(c.VolumeReads, 0u);
        EXPECT_EQ(c.VolumeReadBytes, 0u);
        for (ULONG b = 2; b <= 5; b++)
            EXPECT_FALSE(InMemory(b));
        ExpectIndexConsistent(false);

        Volume->SetFaults(sim::VolumeFaults());
        EXPECT_EQ(Read(2 * B64 + 7, 3 * B64), STATUS_SUCCESS);
        EXPECT_EQ(Counters().VolumeReads, 1u);
        EXPECT_TRUE(InMemory(2) && InMemory(5));
    }
}

// A volume read that succeeds with fewer bytes than asked leaves the rest of
// the transfer buffer as the previous transfer left it: the request fails,
// and nothing of it is delivered or placed.
TEST_F(CachePathTest, AShortVolumeReadFailsAndPlacesNothing)
{
    for (auto mode : {sim::Completion::Immediate, sim::Completion::Pending}) {
        SCOPED_TRACE(mode == sim::Completion::Immediate ? "immediate" : "pending");
        FreshBed();
        ASSERT_TRUE(StartVolume(kDefault, 64 * MiB, mode));
        ReadBlocks(9, 2);  // the transfer buffer now holds blocks 9 and 10
        sim::VolumeFaults faults;
        faults.ShortNthRead = 1;
        faults.ShortReadBytes = B64 / 2;
        Volume->SetFaults(faults);

        std::vector<uint8_t> buffer(2 * B64, 0xEE);
        ULONG_PTR info = 99;
        EXPECT_NE(Bed().Read(kVolume, 4 * B64, buffer.data(), (ULONG)buffer.size(), &info), STATUS_SUCCESS);
        EXPECT_EQ(info, 0u);
        EXPECT_EQ(buffer, std::vector<uint8_t>(2 * B64, 0xEE)) << "bytes delivered from a short read";
        EXPECT_FALSE(InMemory(4));
        EXPECT_FALSE(InMemory(5));
        ExpectIndexConsistent(false);

        Volume->SetFaults(sim::VolumeFaults());
        EXPECT_EQ(Read(4 * B64, 2 * B64), STATUS_SUCCESS);  // checks the bytes
        EXPECT_TRUE(InMemory(4) && InMemory(5));
    }
}

// A lower request that cannot be built (no pool for its IRP or MDL) does not
// fail a request that the volume can serve: the volume's driver gets it as it
// came, uncached, and a write drops the copies of the blocks it covers.
TEST_F(CachePathTest, ALowerRequestThatCannotBeBuiltSendsTheRequestOnUncached)
{
    ASSERT_TRUE(StartVolume(kDefault));
    Volume->SetFileSystemMounted(false);  // it takes the write as it comes
    ReadBlocks(2, 1);
    ReadBlocks(3, 1);
    ReadCounters before = Counters();
    uint64_t lowerReads = Volume->Counters().Reads;

    host::BuildRequestFailAfter(0);
    EXPECT_EQ(Read(7 * B64 + 512, 1024), STATUS_SUCCESS);  // checks the bytes
    EXPECT_EQ(Volume->Counters().Reads, lowerReads + 1);
    EXPECT_FALSE(InMemory(7));
    const std::vector<uint8_t> bytes(512, 0x3D);
    EXPECT_EQ(Write(2 * B64 + 1024, bytes), STATUS_SUCCESS);
    EXPECT_EQ(Bed().BackingBytes(kVolume, 2 * B64 + 1024, 512), bytes);
    EXPECT_FALSE(InMemory(2)) << "the written block's copy survived";
    EXPECT_TRUE(InMemory(3));
    host::BuildRequestFailAfter(-1);

    ReadCounters d = Counters() - before;
    EXPECT_EQ(d.VolumeReads, 0u);
    EXPECT_EQ(d.MemoryHits, 0u);
    EXPECT_EQ(Read(2 * B64, B64), STATUS_SUCCESS);  // from the volume, with the new bytes
    ExpectIndexConsistent(false);
}

// Memory tier of two slots, one tick: reading blocks 0..3 with 0 and 1 cached
// opens the memory run {0, 1} in slots 0 and 1, then the miss run {2, 3} is
// served first and takes exactly those slots. The memory run must still
// deliver blocks 0 and 1.
TEST_F(CachePathTest, PendingMemoryRunSurvivesReuseOfItsSlots)
{
    ASSERT_TRUE(StartVolume(MemoryOnly(4 * KiB, 2)));
    ReadBlocks(0, 2);
    ASSERT_EQ(MemorySlot(0), 0u);
    ASSERT_EQ(MemorySlot(1), 1u);

    ReadBlocks(0, 4);  // checks the bytes against the volume
    EXPECT_TRUE(InMemory(2) && InMemory(3));
    EXPECT_FALSE(InMemory(0) || InMemory(1));
    ExpectIndexConsistent(false);

    // The same with a request that starts and ends inside the blocks.
    ReadBlocks(0, 2);
    EXPECT_EQ(Read(100, 4 * 4 * KiB - 300), STATUS_SUCCESS);
    ExpectIndexConsistent(false);
}

// The three reads of one block: a miss places it in memory; a memory hit
// copies it to the SSD tier; after its memory copy is evicted, an SSD hit
// brings it back into memory.
TEST_F(CachePathTest, MissThenMemoryHitThenSsdHit)
{
    ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
    ReadCounters start = Counters();

    ReadBlocks(0, 1);
    ReadCounters d = Counters() - start;
    EXPECT_EQ(d.VolumeReads, 1u);
    EXPECT_EQ(d.MemoryBlocksUsed, 1u);
    EXPECT_TRUE(InMemory(0));
    EXPECT_FALSE(InSsd(0));

    ReadBlocks(0, 1);
    d = Counters() - start;
    EXPECT_EQ(d.MemoryHits, 1u);
    EXPECT_EQ(d.MemoryHitBytes, B64);
    EXPECT_EQ(d.SsdBlocksUsed, 1u);
    EXPECT_TRUE(InSsd(0));
    EXPECT_EQ(CacheFileBytes((uint64_t)SsdSlot(0) * B64, B64), BlockBytes(0));

    host::TickAdvance(1);
    ReadBlocks(1, 16);  // sixteen newer blocks push block 0 out of memory
    EXPECT_FALSE(InMemory(0));
    EXPECT_TRUE(InSsd(0));

    ReadCounters mid = Counters();
    ReadBlocks(0, 1);
    d = Counters() - mid;
    EXPECT_EQ(d.SsdHits, 1u);
    EXPECT_EQ(d.SsdHitBytes, B64);
    EXPECT_EQ(d.VolumeReads, 0u);
    EXPECT_TRUE(InMemory(0));
    EXPECT_TRUE(InSsd(0));

    mid = Counters();
    ReadBlocks(0, 1);
    EXPECT_EQ((Counters() - mid).MemoryHits, 1u);
    ExpectIndexConsistent(true);
}

// A volume whose length is not a multiple of the block size: its partial last
// block is never cached, and requests that reach into it or past the end go
// to the volume unchanged.
TEST_F(CachePathTest, RequestsPastTheWholeBlocksBypassTheIndex)
{
    const uint64_t length = 4 * MiB + 12 * KiB;
    ASSERT_TRUE(StartVolume(kDefault, length));
    const ULONG whole = (ULONG)(length / B64);

    ReadCounters before = Counters();
    EXPECT_EQ(Read(length - 8 * KiB, 8 * KiB), STATUS_SUCCESS);
    EXPECT_EQ(Read(length - B64 - 512, B64 + 512), STATUS_SUCCESS);
    ReadCounters d = Counters() - before;
    EXPECT_EQ(d.VolumeReads, 0u);
    EXPECT_EQ(d.MemoryBlocksUsed, 0u);
    EXPECT_FALSE(InMemory(whole));
    EXPECT_FALSE(InMemory(whole - 1));

    // Past the end: the volume's own answer, and still nothing cached.
    std::vector<uint8_t> buffer(2 * B64);
    ULONG_PTR info = 0;
    NTSTATUS status = Bed().Read(kVolume, length - B64, buffer.data(), 2 * B64, &info);
    if (status == STATUS_SUCCESS) {
        EXPECT_LE(info, B64);
    }
    EXPECT_EQ(Counters().MemoryBlocksUsed, 0u);

    // The block before the partial one is cached as usual.
    ReadBlocks(whole - 1, 1);
    EXPECT_TRUE(InMemory(whole - 1));
    ExpectIndexConsistent(false);
}

// Table nodes that cannot be had: the blocks are read correctly but not
// placed, the index stays consistent, and placing works again afterwards.
TEST_F(CachePathTest, NodeAllocationFailureLeavesBlocksUnplaced)
{
    for (long allowed : {0L, 1L}) {
        SCOPED_TRACE(allowed);
        FreshBed();
        ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
        ReadBlocks(20, 4);  // in memory, for the promotion below

        host::PoolFailAfter(CACHE_POOL_TAG, allowed);
        ReadBlocks(0, 4);   // misses: no node for their entries
        ReadBlocks(20, 4);  // memory hits: no node for the SSD entries
        host::PoolClearFaults();
        for (ULONG b = 0; b < 4; b++) {
            EXPECT_FALSE(InMemory(b)) << b;
            EXPECT_FALSE(InSsd(20 + b)) << 20 + b;
        }
        ExpectIndexConsistent(true);

        ReadBlocks(0, 4);
        ReadBlocks(20, 4);
        for (ULONG b = 0; b < 4; b++) {
            EXPECT_TRUE(InMemory(b)) << b;
            EXPECT_TRUE(InSsd(20 + b)) << 20 + b;
        }
        ExpectIndexConsistent(true);
    }
}

// When the page store cannot obtain another chunk, placement reuses the least
// recently used slot and reads stay correct.
TEST_F(CachePathTest, ExhaustedStoreReusesSlots)
{
    host::PhysicalFaults faults;
    faults.FailAfter = 2;  // the first chunk and one more
    host::PhysicalSetFaults(faults);
    ASSERT_TRUE(StartVolume(MemoryOnly(B64, 64, 256 * KiB)));  // 16 chunks wanted
    ReadBlocks(0, 12);
    EXPECT_LE(Context()->Cache.Memory.SlotsUsed, 9u);
    for (ULONG b = 0; b < 12; b++)
        ASSERT_EQ(Read((uint64_t)b * B64, B64), STATUS_SUCCESS);
    ReadBlocks(4, 8);
    ExpectIndexConsistent(false);
    host::PhysicalSetFaults(host::PhysicalFaults());
}

// A page store that can no longer map its chunks (the platform refuses the
// mapping) fails each placement on its own: the slot goes back to the tier
// instead of evicting block after block into slots that cannot be written.
TEST_F(CachePathTest, RefusedMappingDoesNotDrainTheMemoryTier)
{
    ASSERT_TRUE(StartVolume(MemoryOnly(B64, 16, 256 * KiB)));  // 16 slots in 4 chunks
    ReadBlocks(0, 16);  // fills every chunk; the window is left on the last one
    host::PhysicalFaults faults;
    faults.RefuseMappingAddress = true;
    host::PhysicalSetFaults(faults);
    ReadBlocks(16, 4);  // misses whose placements would need another chunk mapped
    host::PhysicalSetFaults(host::PhysicalFaults());

    ULONG held = 0;
    for (ULONG b = 0; b < 16; b++)
        held += InMemory(b) ? 1 : 0;
    EXPECT_GE(held, 15u) << "placements evicted blocks they could not replace";
    ExpectIndexConsistent(false);
    for (ULONG b = 0; b < 20; b++)
        ASSERT_EQ(Read((uint64_t)b * B64, B64), STATUS_SUCCESS) << b;
}

}  // namespace
}  // namespace paths_test
