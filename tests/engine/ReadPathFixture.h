// A started cache on one simulated volume, with helpers to read and write
// through the volume's device (and so through the interception and the
// worker), and to look into the volume's tier indexes between requests.
//
// The index is only ever touched by the volume's worker; tests look at it
// while no request is in flight, when the worker waits on its queue.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "CacheTestBed.h"
#include "driver/engine/BlockIndex.h"
#include "driver/engine/VolumeCache.h"

namespace paths_test {

using testbed::GiB;
using testbed::KiB;
using testbed::MiB;

constexpr WCHAR kVolume = L'C';

// Counters of the volume's statistics that the read path keeps.
struct ReadCounters {
    uint64_t VolumeReads = 0, VolumeReadBytes = 0;
    uint64_t MemoryHits = 0, MemoryHitBytes = 0;
    uint64_t SsdHits = 0, SsdHitBytes = 0;
    uint32_t MemoryBlocksUsed = 0, SsdBlocksUsed = 0;

    static ReadCounters Of(const CacheStatistics &s)
    {
        ReadCounters c;
        c.VolumeReads = s.VolumeReads;
        c.VolumeReadBytes = s.VolumeReadBytes;
        c.MemoryHits = s.MemoryHits;
        c.MemoryHitBytes = s.MemoryHitBytes;
        c.SsdHits = s.SsdHits;
        c.SsdHitBytes = s.SsdHitBytes;
        c.MemoryBlocksUsed = s.MemoryBlocksUsed;
        c.SsdBlocksUsed = s.SsdBlocksUsed;
        return c;
    }
    ReadCounters operator-(const ReadCounters &o) const
    {
        ReadCounters c;
        c.VolumeReads = VolumeReads - o.VolumeReads;
        c.VolumeReadBytes = VolumeReadBytes - o.VolumeReadBytes;
        c.MemoryHits = MemoryHits - o.MemoryHits;
        c.MemoryHitBytes = MemoryHitBytes - o.MemoryHitBytes;
        c.SsdHits = SsdHits - o.SsdHits;
        c.SsdHitBytes = SsdHitBytes - o.SsdHitBytes;
        c.MemoryBlocksUsed = MemoryBlocksUsed - o.MemoryBlocksUsed;
        c.SsdBlocksUsed = SsdBlocksUsed - o.SsdBlocksUsed;
        return c;
    }
};

class CachePathTest : public testbed::CacheDriverTest {
protected:
    void TearDown() override
    {
        host::PoolClearFaults();
        host::SetFileFaults(host::FileFaults());
        testbed::CacheDriverTest::TearDown();
    }

    // Replaces the test bed by a new one, for tests that loop over settings.
    void FreshBed()
    {
        if (TestBed) {
            host::PoolClearFaults();
            host::SetFileFaults(host::FileFaults());
            EXPECT_TRUE(TestBed->Shutdown());
        }
        TestBed.reset();
        TestBed = std::make_unique<testbed::CacheTestBed>(Options());
    }

    // Adds volume C: of Length bytes and starts its cache. Returns false (with
    // a test failure) when the start fails.
    bool StartVolume(const testbed::StartSettings &Settings, uint64_t Length = 64 * MiB,
                     sim::Completion Mode = sim::Completion::Immediate)
    {
        Settings_ = Settings;
        Volume = Bed().AddVolume(kVolume, Length, Mode);
        if (!Volume)
            return false;
        NTSTATUS status = Bed().StartCache(kVolume, Settings);
        EXPECT_EQ(status, STATUS_SUCCESS) << "start";
        return status == STATUS_SUCCESS && Context() != nullptr;
    }

    PVolumeCacheContext Context() { return FindVolumeByLetter(kVolume); }
    ULONG B() const { return Settings_.CacheBlockSize; }
    ReadCounters Counters() { return ReadCounters::Of(Bed().Stats(kVolume).value()); }

    // Reads through the volume's device; on success the bytes must equal the
    // volume's backing. Returns the status.
    NTSTATUS Read(uint64_t Offset, ULONG Length, ULONG_PTR *Information = nullptr)
    {
        std::vector<uint8_t> got(Length ? Length : 1, 0xEE);
        ULONG_PTR info = 0;
        NTSTATUS status = Bed().Read(kVolume, Offset, got.data(), Length, &info);
        if (Information)
            *Information = info;
        if (status == STATUS_SUCCESS && Length != 0) {
            EXPECT_EQ(info, Length) << "bytes read at " << Offset;
            got.resize(Length);
            EXPECT_TRUE(got == Bed().BackingBytes(kVolume, Offset, Length))
                << "bytes read at " << Offset << " length " << Length;
        }
        return status;
    }
    void ReadBlocks(ULONG First, ULONG Count)
    {
        ASSERT_EQ(Read((uint64_t)First * B(), Count * B()), STATUS_SUCCESS);
    }
    NTSTATUS Write(uint64_t Offset, const std::vector<uint8_t> &Bytes)
    {
        ULONG_PTR info = 0;
        NTSTATUS status = Bed().Write(kVolume, Offset, Bytes.data(), (ULONG)Bytes.size(), &info);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(info, Bytes.size());
        }
        return status;
    }

    // --- the index between requests ---------------------------------------
    bool InMemory(ULONG Block) { return BitmapTest(Context()->Cache.Memory.Bitmap, Block) != 0; }
    bool InSsd(ULONG Block) { return BitmapTest(Context()->Cache.Ssd.Bitmap, Block) != 0; }
    ULONG MemorySlot(ULONG Block) { return EntryOf(&Context()->Cache.Memory.LookupTable, Block).Slot; }
    ULONG SsdSlot(ULONG Block) { return EntryOf(&Context()->Cache.Ssd.LookupTable, Block).Slot; }
    BlockEntry EntryOf(PRTL_GENERIC_TABLE Table, ULONG Block)
    {
        PBlockEntry e = LookupBlockEntry(Table, Block);
        EXPECT_NE(e, nullptr) << "no entry for block " << Block;
        return e ? *e : BlockEntry{};
    }

    // Every tier keeps its bit, lookup entry and LRU entry together, and no
    // two blocks share a slot. Slots that no block holds may wait at the front
    // of the LRU order with the free-slot marker.
    void ExpectIndexConsistent(bool Ssd)
    {
        PVolumeCacheContext c = Context();
        ExpectTierConsistent(c->Cache.Memory.Bitmap, &c->Cache.Memory.LookupTable, &c->Cache.Memory.LruTable,
                             c->Cache.Memory.SlotsUsed, "memory");
        if (Ssd)
            ExpectTierConsistent(c->Cache.Ssd.Bitmap, &c->Cache.Ssd.LookupTable, &c->Cache.Ssd.LruTable,
                                 c->Cache.Ssd.SlotsUsed, "ssd");
    }
    void ExpectTierConsistent(PUCHAR Bitmap, PRTL_GENERIC_TABLE Lookup, PRTL_GENERIC_TABLE Lru,
                              ULONG SlotsUsed, const char *Name)
    {
        ULONG blocks = CacheableBlockCount(&Context()->Cache);
        std::set<ULONG> slots;
        ULONG entries = 0;
        for (PVOID p = RtlEnumerateGenericTable(Lookup, TRUE); p;
             p = RtlEnumerateGenericTable(Lookup, FALSE)) {
            BlockEntry e = *(PBlockEntry)p;
            entries++;
            EXPECT_TRUE(BitmapTest(Bitmap, e.Block)) << Name << " block " << e.Block;
            EXPECT_TRUE(RtlLookupElementGenericTable(Lru, &e)) << Name << " block " << e.Block;
            EXPECT_LT(e.Slot, SlotsUsed) << Name;
            EXPECT_TRUE(slots.insert(e.Slot).second) << Name << " slot " << e.Slot << " twice";
        }
        ULONG lruBlocks = 0;
        for (PVOID p = RtlEnumerateGenericTable(Lru, TRUE); p; p = RtlEnumerateGenericTable(Lru, FALSE)) {
            BlockEntry e = *(PBlockEntry)p;
            if (e.Block == blocks && e.TickHigh == (LONG)0x80000000) {
                EXPECT_TRUE(slots.insert(e.Slot).second) << Name << " free slot " << e.Slot;
                continue;
            }
            lruBlocks++;
        }
        EXPECT_EQ(lruBlocks, entries) << Name;
        ULONG bits = 0;
        for (ULONG b = 0; b <= blocks; b++)
            bits += BitmapTest(Bitmap, b) ? 1 : 0;
        EXPECT_EQ(bits, entries) << Name;
    }

    // --- the cache file --------------------------------------------------
    std::string CacheFilePath()
    {
        return Bed().HostCachePath(std::string("cache-") + (char)kVolume + ".dat");
    }
    std::vector<uint8_t> CacheFileBytes(uint64_t Offset, size_t Length)
    {
        std::vector<uint8_t> bytes(Length);
        std::ifstream f(CacheFilePath(), std::ios::binary);
        f.seekg((std::streamoff)Offset);
        f.read((char *)bytes.data(), (std::streamsize)Length);
        EXPECT_TRUE(f.good()) << "cache file read at " << Offset;
        return bytes;
    }
    void PatchCacheFile(uint64_t Offset, const std::vector<uint8_t> &Bytes)
    {
        std::fstream f(CacheFilePath(), std::ios::binary | std::ios::in | std::ios::out);
        f.seekp((std::streamoff)Offset);
        f.write((const char *)Bytes.data(), (std::streamsize)Bytes.size());
        ASSERT_TRUE(f.good());
    }
    // The block's bytes as the volume holds them.
    std::vector<uint8_t> BlockBytes(ULONG Block)
    {
        return Bed().BackingBytes(kVolume, (uint64_t)Block * B(), B());
    }

    // Makes the SSD tier look as if Used slots were already handed out, or as
    // if it had only Count slots. Only between requests.
    void SetSsdSlotsUsed(ULONG Used) { Context()->Cache.Ssd.SlotsUsed = Used; }
    void SetSsdSlotCount(ULONG Count) { Context()->Cache.Ssd.SlotCount = Count; }

    testbed::StartSettings Settings_;
    sim::SimVolume *Volume = nullptr;
};

// Settings with a memory tier of Slots blocks of BlockSize in chunks of
// ChunkSize bytes.
inline testbed::StartSettings MemoryOnly(ULONG BlockSize, ULONG Slots, ULONG ChunkSize = 0)
{
    testbed::StartSettings s;
    s.CacheBlockSize = BlockSize;
    s.MemorySize = (uint64_t)BlockSize * Slots;
    s.AllocateBlockSize = ChunkSize ? ChunkSize : (ULONG)s.MemorySize;
    return s;
}
inline testbed::StartSettings WithSsd(ULONG BlockSize, ULONG Slots, uint64_t SsdSize = 512 * MiB)
{
    testbed::StartSettings s = MemoryOnly(BlockSize, Slots);
    s.SsdEnabled = true;
    s.SsdSize = SsdSize;
    return s;
}

}  // namespace paths_test
