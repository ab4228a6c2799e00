// Write path: write-through to the volume, refresh of the cached copies in
// both tiers, and what happens to those copies when a write fails.
#include "ReadPathFixture.h"

#include <cstring>

namespace paths_test {
namespace {

constexpr ULONG B64 = 64 * KiB;

std::vector<uint8_t> Fill(size_t Length, uint8_t Seed)
{
    std::vector<uint8_t> bytes(Length);
    for (size_t i = 0; i < Length; i++)
        bytes[i] = (uint8_t)(Seed + i * 7 + (i >> 9));
    return bytes;
}

// A write to blocks that no tier holds goes to the volume at its own offset
// and length and leaves the cache alone; the next read is a miss.
TEST_F(CachePathTest, WriteToUncachedBlocksOnlyReachesTheVolume)
{
    ASSERT_TRUE(StartVolume(MemoryOnly(B64, 256, 4 * MiB)));
    const uint64_t offset = 5 * B64 + 512;
    std::vector<uint8_t> before = Bed().BackingBytes(kVolume, offset - 512, 2 * B64 + 1024);
    std::vector<uint8_t> data = Fill(2 * B64, 1);
    ASSERT_EQ(Write(offset, data), STATUS_SUCCESS);

    std::vector<uint8_t> expected = before;
    std::memcpy(expected.data() + 512, data.data(), data.size());
    EXPECT_EQ(Bed().BackingBytes(kVolume, offset - 512, 2 * B64 + 1024), expected);
    for (ULONG b = 5; b <= 7; b++)
        EXPECT_FALSE(InMemory(b));

    ReadCounters c = Counters();
    EXPECT_EQ(Read(5 * B64, 3 * B64), STATUS_SUCCESS);
    EXPECT_EQ((Counters() - c).VolumeReads, 1u);
}

struct RefreshCase {
    const char *Name;
    ULONG SectorSize;  // of the drive that holds the cache file
    ULONG InBlock;     // offset of the write within block 3
    ULONG Length;
};

void PrintTo(const RefreshCase &c, std::ostream *os)
{
    *os << c.Name;
}

class WriteRefreshTest : public CachePathTest, public ::testing::WithParamInterface<RefreshCase> {};

// Blocks 3 and 4 are held by both tiers. A write over them reaches the
// volume, overwrites exactly the written bytes of both copies (the rest keeps
// its old bytes) and makes both entries used now.
TEST_P(WriteRefreshTest, RefreshesBothCopies)
{
    const RefreshCase &c = GetParam();
    host::FileDrive drive;
    drive.Letter = testbed::kCacheLetter;
    drive.HostDirectory = Bed().CacheDirectory();
    drive.SectorSize = c.SectorSize;
    host::UnmapFileDrive(testbed::kCacheLetter);
    host::MapFileDrive(drive);
    ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
    ReadBlocks(3, 2);
    ReadBlocks(3, 2);
    ASSERT_TRUE(InSsd(3) && InSsd(4));
    ASSERT_TRUE(CacheFileBytes((uint64_t)SsdSlot(3) * B64, B64) == BlockBytes(3));

    host::TickAdvance(7);
    CacheStatistics before = Bed().Stats(kVolume).value();
    ASSERT_EQ(Write(3ull * B64 + c.InBlock, Fill(c.Length, 9)), STATUS_SUCCESS);
    CacheStatistics after = Bed().Stats(kVolume).value();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0) << "a write changed a counter";

    ULONG lastBlock = (ULONG)((3ull * B64 + c.InBlock + c.Length - 1) / B64);
    for (ULONG b = 3; b <= 4; b++) {
        SCOPED_TRACE("block " + std::to_string(b));
        ASSERT_TRUE(InMemory(b) && InSsd(b));
        EXPECT_EQ(CacheFileBytes((uint64_t)SsdSlot(b) * B64, B64), BlockBytes(b));
        ULONG expectedTick = b <= lastBlock ? (ULONG)host::TickNow() : 0;
        EXPECT_EQ(EntryOf(&Context()->Cache.Memory.LookupTable, b).TickLow, expectedTick);
        EXPECT_EQ(EntryOf(&Context()->Cache.Ssd.LookupTable, b).TickLow, expectedTick);
    }
    ReadCounters r = Counters();
    ReadBlocks(3, 2);  // memory copies hold the new bytes
    EXPECT_EQ((Counters() - r).MemoryHits, 1u);
    EXPECT_EQ((Counters() - r).VolumeReads, 0u);
    ExpectIndexConsistent(true);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Refresh, WriteRefreshTest,
    ::testing::Values(RefreshCase{"WholeBlock", 512, 0, B64},
                      RefreshCase{"AlignedPart", 4096, 8192, 4096},
                      RefreshCase{"SectorPartOn512", 512, 1024, 512},
                      RefreshCase{"SectorPartOn4096", 4096, 1024, 512},
                      RefreshCase{"SectorsAcrossFileSectors", 4096, 1536, 3072},
                      RefreshCase{"AcrossBothBlocks", 4096, B64 - 1536, 3072},
                      RefreshCase{"OneBlockOfTwo", 512, 0, B64}),
    [](const auto &info) { return std::string(info.param.Name); });
// clang-format on

// Up to 4 MiB a write bounces through the transfer buffer; one sector more
// needs an allocation of its own. When that fails the write still reaches the
// volume, as it came, and the copies of the blocks it covers are dropped.
TEST_F(CachePathTest, LargeWriteNeedsItsOwnBounceBuffer)
{
    ASSERT_TRUE(StartVolume(MemoryOnly(B64, 256, 4 * MiB)));
    // The volume takes the write that it receives unchanged.
    Volume->SetFileSystemMounted(false);
    ReadBlocks(0, 2);
    ReadBlocks(66, 1);
    host::PoolFailSizeAtLeast(CACHE_POOL_TAG, CACHE_TRANSFER_BUFFER_SIZE + 1);
    EXPECT_EQ(Write(B64, Fill(CACHE_TRANSFER_BUFFER_SIZE, 3)), STATUS_SUCCESS);

    uint64_t writes = Volume->Counters().Writes;
    std::vector<uint8_t> bytes = Fill(CACHE_TRANSFER_BUFFER_SIZE + 512, 4);
    EXPECT_EQ(Write(512, bytes), STATUS_SUCCESS);
    EXPECT_EQ(Volume->Counters().Writes, writes + 1);
    EXPECT_EQ(Bed().BackingBytes(kVolume, 512, CACHE_TRANSFER_BUFFER_SIZE + 512), bytes);
    EXPECT_FALSE(InMemory(0));
    EXPECT_FALSE(InMemory(1));
    EXPECT_TRUE(InMemory(66)) << "a block the write does not touch keeps its copy";
    host::PoolClearFaults();

    EXPECT_EQ(Write(512, Fill(CACHE_TRANSFER_BUFFER_SIZE + 512, 5)), STATUS_SUCCESS);
    ReadBlocks(0, 2);  // the cached copies follow the volume
    EXPECT_EQ(Counters().VolumeReads, 3u);
}

// A failed volume write leaves the volume's bytes unknown: the cached copies
// of the written blocks are dropped from both tiers, so the next read asks
// the volume. Copies of other blocks stay.
TEST_F(CachePathTest, FailedWriteDropsCachedCopies)
{
    ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
    ReadBlocks(2, 4);
    ReadBlocks(2, 4);
    sim::VolumeFaults faults;
    faults.FailNthWrite = 1;
    Volume->SetFaults(faults);
    CacheStatistics before = Bed().Stats(kVolume).value();
    EXPECT_EQ(Write(3ull * B64 + 512, Fill(B64, 2)), STATUS_IO_DEVICE_ERROR);
    CacheStatistics after = Bed().Stats(kVolume).value();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
    Volume->SetFaults(sim::VolumeFaults());

    EXPECT_FALSE(InMemory(3) || InSsd(3) || InMemory(4) || InSsd(4));
    EXPECT_TRUE(InMemory(2) && InSsd(2) && InMemory(5) && InSsd(5));
    ExpectIndexConsistent(true);

    // Whatever the volume now holds is what a read returns.
    Bed().WriteBacking(kVolume, 3ull * B64, Fill(2 * B64, 8));
    ReadCounters r = Counters();
    ReadBlocks(2, 4);
    EXPECT_EQ((Counters() - r).VolumeReads, 1u);
}

// A write that reaches past the whole blocks of the volume goes to the volume
// unchanged and drops the copies of the whole blocks it covers.
TEST_F(CachePathTest, WritePastTheWholeBlocksDropsCoveredCopies)
{
    const uint64_t length = 4 * MiB + 12 * KiB;
    ASSERT_TRUE(StartVolume(MemoryOnly(B64, 256, 4 * MiB), length));
    const ULONG whole = (ULONG)(length / B64);
    ReadBlocks(whole - 2, 2);
    std::vector<uint8_t> data = Fill(B64 + 12 * KiB - 512, 6);
    EXPECT_EQ(Write((uint64_t)(whole - 1) * B64 + 512, data), STATUS_SUCCESS);
    EXPECT_EQ(Bed().BackingBytes(kVolume, (uint64_t)(whole - 1) * B64 + 512, (ULONG)data.size()), data);
    EXPECT_TRUE(InMemory(whole - 2));
    EXPECT_FALSE(InMemory(whole - 1));
    ReadBlocks(whole - 2, 2);
    ExpectIndexConsistent(false);
}

// A refresh of the SSD copy that the cache file refuses drops that copy; the
// memory copy is refreshed all the same.
TEST_F(CachePathTest, FailedSsdRefreshDropsTheSsdCopy)
{
    struct Case {
        const char *Name;
        ULONG InBlock, Length;
        bool FailReads;  // the unaligned refresh reads the slot first
    };
    // The cache file lies on a drive of 4096-byte sectors, so a write of
    // single volume sectors refreshes part of a file sector.
    for (const Case &c : {Case{"aligned part, write fails", 4096, 4096, false},
                          Case{"sector part, read fails", 512, 1024, true},
                          Case{"sector part, write fails", 512, 1024, false}}) {
        SCOPED_TRACE(c.Name);
        FreshBed();
        host::FileDrive drive;
        drive.Letter = testbed::kCacheLetter;
        drive.HostDirectory = Bed().CacheDirectory();
        drive.SectorSize = 4096;
        host::UnmapFileDrive(testbed::kCacheLetter);
        host::MapFileDrive(drive);
        ASSERT_TRUE(StartVolume(WithSsd(B64, 16)));
        ReadBlocks(3, 1);
        ReadBlocks(3, 1);
        ASSERT_TRUE(InSsd(3));
        host::FileFaults faults;
        (c.FailReads ? faults.FailReadAfter : faults.FailWriteAfter) = 0;
        host::SetFileFaults(faults);
        EXPECT_EQ(Write(3ull * B64 + c.InBlock, Fill(c.Length, 4)), STATUS_SUCCESS);
        host::SetFileFaults(host::FileFaults());
        EXPECT_FALSE(InSsd(3));
        EXPECT_TRUE(InMemory(3));
        ReadCounters r = Counters();
        ReadBlocks(3, 1);
        EXPECT_EQ((Counters() - r).MemoryHits, 1u);
        ExpectIndexConsistent(true);
    }
}

}  // namespace
}  // namespace paths_test
