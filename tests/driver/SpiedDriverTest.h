// Fixture of the driver tests: the shared test bed plus a spy in the volume
// driver's read and write entries, installed before the cache driver's first
// take-over so that the spy is what the cache driver calls "saved routine".
#pragma once

#include "CacheTestBed.h"
#include "VolumeSpy.h"

namespace testbed {

class SpiedDriverTest : public CacheDriverTest {
protected:
    void SetUp() override
    {
        CacheDriverTest::SetUp();
        Spy.Install(Bed().VolumeDriver());
    }
    void TearDown() override
    {
        Spy.OpenGate();
        if (TestBed) {
            EXPECT_TRUE(TestBed->UnloadCacheDriver()) << "the cache driver left pool allocations or devices";
        }
        Spy.Remove();
        CacheDriverTest::TearDown();
    }

    // Small settings that start quickly.
    static StartSettings Small()
    {
        StartSettings s;
        s.MemorySize = 4 * MiB;
        s.AllocateBlockSize = 1 * MiB;
        s.CacheBlockSize = 64 * KiB;
        return s;
    }

    // Volumes c and d of Length bytes, filled with the pattern of their seed,
    // without a file system, so that they take the writes that come on
    // unchanged, as the system's own writes.
    void AddPlainVolumes(uint64_t Length, uint32_t SeedC, uint32_t SeedD)
    {
        for (WCHAR letter : {L'c', L'd'}) {
            sim::VolumeConfig config;
            config.Letter = letter;
            config.Length = Length;
            config.FileSystemMounted = false;
            Bed().AddVolume(config);
            Bed().FillPattern(letter, letter == L'd' ? SeedD : SeedC);
        }
    }

    VolumeSpy Spy;
};

}  // namespace testbed
