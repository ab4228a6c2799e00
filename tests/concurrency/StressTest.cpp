// Differential stress test of the cache: several threads send random reads
// and writes (unaligned, some spanning many blocks, some past the 4 MiB
// transfer buffer or the volume's end) to a cached volume's device, through
// the interception, and every successful read is compared with a reference
// copy of the volume. A controller thread meanwhile stops and restarts the
// cache, or injects faults into the volume, the cache file, the page store's
// chunk allocation, the table-node allocation, the mapping of the callers'
// buffers into system space, and the pool behind large bounce buffers and
// lower requests.
//
// The reference is exact: a request waits until no running request whose
// range overlaps its own conflicts with it (a write conflicts with
// everything, reads only with writes). Ranges are widened to whole cache
// blocks, because a miss reads whole blocks from the volume: while the cache
// stops, a write that passes it by must not meet such a read of its block. A
// write updates the reference while it holds its range; a read compares
// while it holds its range. A failed write leaves its range unknown, so the
// reference takes it from the volume's backing.
//
// Mapping and pool faults never cost correctness, and pool faults never fail
// a request that the volume could serve: with them alone, only requests past
// the volume's end may fail.
//
// Size and seed: STRESS_REQUESTS (per client thread and configuration),
// STRESS_SEED and STRESS_THREADS; STRESS_VERBOSE prints every failed write.
// scripts/stress runs it long.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CacheTestBed.h"

namespace {

using testbed::KiB;
using testbed::MiB;

constexpr WCHAR kLetter = L'V';
// Not a multiple of any block size above 4 KiB: the partial last block and
// requests past the whole blocks are part of every run.
constexpr uint64_t kVolumeLength = 8 * MiB + 12 * KiB;
constexpr ULONG kMaxRequest = 5 * MiB;

enum Extras : unsigned {
    StartStop = 1,
    VolumeFaults = 2,
    FileFaults = 4,
    ChunkExhaustion = 8,
    NodeFaults = 16,
    MapFaults = 32,
    PoolFaults = 64,
};

struct StressConfig {
    ULONG BlockSize;
    bool Ssd;
    sim::Completion Mode;
    unsigned Extra;
};

std::string ConfigName(const StressConfig &c)
{
    std::string name = std::to_string(c.BlockSize / KiB) + "K";
    name += c.Ssd ? "_Ssd" : "_Ram";
    name += c.Mode == sim::Completion::Pending ? "_Pending" : "_Immediate";
    if (c.Extra & StartStop)
        name += "_StartStop";
    if (c.Extra & VolumeFaults)
        name += "_VolumeFaults";
    if (c.Extra & FileFaults)
        name += "_FileFaults";
    if (c.Extra & ChunkExhaustion)
        name += "_ChunkExhaustion";
    if (c.Extra & NodeFaults)
        name += "_NodeFaults";
    if (c.Extra & MapFaults)
        name += "_MapFaults";
    if (c.Extra & PoolFaults)
        name += "_PoolFaults";
    return name;
}

void PrintTo(const StressConfig &c, std::ostream *os)
{
    *os << ConfigName(c);
}

// Every block size, each with both tiers set-ups and both completion modes,
// and the disturbances spread over them.
std::vector<StressConfig> StressConfigs()
{
    std::vector<StressConfig> configs;
    for (ULONG size : {4 * KiB, 16 * KiB, 64 * KiB, 128 * KiB, 512 * KiB, 1 * MiB}) {
        configs.push_back({size, false, sim::Completion::Immediate, StartStop});
        configs.push_back({size, false, sim::Completion::Pending, VolumeFaults | ChunkExhaustion});
        configs.push_back({size, true, sim::Completion::Immediate, FileFaults | NodeFaults});
        configs.push_back({size, true, sim::Completion::Pending, StartStop | VolumeFaults});
        configs.push_back({size, true, sim::Completion::Immediate, MapFaults | FileFaults});
        configs.push_back({size, false, sim::Completion::Pending, PoolFaults});
    }
    return configs;
}

long EnvNumber(const char *Name, long Default)
{
    const char *value = std::getenv(Name);
    return value && *value ? std::strtol(value, nullptr, 0) : Default;
}

struct Totals {
    std::atomic<uint64_t> Requests{0}, ReadsChecked{0}, Failed{0}, WrongBytes{0};
    // Failed requests that lay within the volume.
    std::atomic<uint64_t> FailedWithin{0};
};
Totals AllRuns;

class StressTotals : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::printf("stress total: requests %llu, reads checked %llu, failed %llu, wrong bytes %llu\n",
                    (unsigned long long)AllRuns.Requests.load(),
                    (unsigned long long)AllRuns.ReadsChecked.load(),
                    (unsigned long long)AllRuns.Failed.load(), (unsigned long long)AllRuns.WrongBytes.load());
    }
};
::testing::Environment *const TotalsEnvironment = ::testing::AddGlobalTestEnvironment(new StressTotals);

class StressTest : public testbed::CacheDriverTest, public ::testing::WithParamInterface<StressConfig> {
protected:
    void TearDown() override
    {
        host::SetFileFaults(host::FileFaults());
        host::MdlMapFailNext(0);
        host::BuildRequestFailAfter(-1);
        testbed::CacheDriverTest::TearDown();
    }

    testbed::StartSettings Settings() const
    {
        const StressConfig &c = GetParam();
        testbed::StartSettings s;
        s.CacheBlockSize = c.BlockSize;
        s.AllocateBlockSize = 2 * c.BlockSize;
        s.MemorySize = 4ull * c.BlockSize;  // four slots in two chunks
        s.SsdEnabled = c.Ssd;
        s.SsdSize = c.Ssd ? 512 * MiB : 0;
        return s;
    }

    // Starts the cache with the clients held off, and shrinks the SSD tier to
    // a few slots so that it evicts all the time.
    bool StartCache()
    {
        std::unique_lock<std::mutex> hold(GateLock);
        Paused = true;
        GateChanged.wait(hold, [&] { return Running.empty(); });
        bool started = Bed().StartCache(kLetter, Settings()) == STATUS_SUCCESS;
        PVolumeCacheContext context = FindVolumeByLetter(kLetter);
        if (started && context && GetParam().Ssd && context->Cache.Ssd.SlotCount > 6)
            context->Cache.Ssd.SlotCount = 6;
        Paused = false;
        GateChanged.notify_all();
        return started;
    }
    // A client enters before each request and leaves after it: it waits
    // while the cache starts and while a conflicting request runs.
    struct Range {
        uint64_t Begin, End;
        bool Write;
        unsigned Client;
    };
    void Enter(const Range &Mine)
    {
        std::unique_lock<std::mutex> hold(GateLock);
        GateChanged.wait(hold, [&] {
            if (Paused)
                return false;
            for (const Range &Other : Running)
                if ((Mine.Write || Other.Write) && Mine.Begin < Other.End && Other.Begin < Mine.End)
                    return false;
            return true;
        });
        Running.push_back(Mine);
    }
    void Leave(unsigned Client)
    {
        std::lock_guard<std::mutex> hold(GateLock);
        for (size_t i = 0; i < Running.size(); i++)
            if (Running[i].Client == Client) {
                Running.erase(Running.begin() + (long)i);
                break;
            }
        GateChanged.notify_all();
    }

    // Takes the volume's own bytes for a range into the reference.
    void ReferenceFromBacking(uint64_t Offset, uint64_t Length)
    {
        if (Offset >= kVolumeLength)
            return;
        uint64_t n = std::min<uint64_t>(Length, kVolumeLength - Offset);
        Volume->Backing().Read(Offset, Reference.data() + Offset, (uint32_t)n);
    }

    void Client(unsigned Index, long Requests, uint64_t Seed);
    void Controller();

    sim::SimVolume *Volume = nullptr;
    std::vector<uint8_t> Reference;
    std::mutex GateLock;
    std::condition_variable GateChanged;
    bool Paused = false;
    std::vector<Range> Running;
    std::atomic<bool> ClientsDone{false};
    Totals Run;
};

void StressTest::Client(unsigned Index, long Requests, uint64_t Seed)
{
    std::mt19937_64 rng(Seed * 1000003u + Index);
    std::vector<uint8_t> buffer(kMaxRequest + 8);
    auto below = [&](uint64_t n) { return n ? rng() % n : 0; };

    for (long r = 0; r < Requests; r++) {
        bool write = below(100) < 35;
        unsigned shape = (unsigned)below(100);
        uint64_t offset = below(kVolumeLength);
        if (below(2))
            offset &= ~511ull;  // sector-aligned, as file systems send
        uint64_t length;
        if (shape < 50)
            length = 1 + below(16 * KiB);
        else if (shape < 85)
            length = 1 + below(512 * KiB);
        else if (shape < 92)
            length = 4 * MiB - 2 * KiB + below(kMaxRequest - 4 * MiB + 2 * KiB);
        else if (shape < 96)
            length = 0;
        else {
            // Around the volume's end, sometimes past it.
            offset = kVolumeLength - below(2 * MiB);
            length = below(3 * MiB);
        }
        bool pastEnd = offset + length > kVolumeLength;
        if (!pastEnd)
            length = std::min<uint64_t>(length, kVolumeLength - offset);
        if (offset >= kVolumeLength)
            offset = kVolumeLength - 1, pastEnd = offset + length > kVolumeLength;
        // The disk takes whole sectors only. A request of whole sectors within
        // the volume must never fail unless a fault of the volume or a stop
        // can fail it; any other may fail once the cache passes it on.
        bool servable = !pastEnd && offset % 512 == 0 && length % 512 == 0;
        bool map = below(4) != 0;

        const uint64_t block = GetParam().BlockSize;
        Enter({offset & ~(block - 1), (offset + length + block - 1) & ~(block - 1), write, Index});
        ULONG_PTR info = 0;
        NTSTATUS status;
        Run.Requests++;
        if (write) {
            for (uint64_t i = 0; i < length; i += 8) {
                uint64_t word = rng();
                std::memcpy(buffer.data() + i, &word, 8);
            }
            status = Bed().Write(kLetter, offset, buffer.data(), (ULONG)length, &info, map);
            if (status == STATUS_SUCCESS && !pastEnd) {
                EXPECT_EQ(info, length);
                std::memcpy(Reference.data() + offset, buffer.data(), length);
            } else {
                Run.Failed++;
                if (servable)
                    Run.FailedWithin++;
                if (std::getenv("STRESS_VERBOSE"))
                    std::printf("write %llx+%llx: %08x\n", (unsigned long long)offset,
                                (unsigned long long)length, (unsigned)status);
                ReferenceFromBacking(offset, length);
            }
        } else {
            std::memset(buffer.data(), 0xA5, length + 1);
            status = Bed().Read(kLetter, offset, buffer.data(), (ULONG)length, &info, map);
            if (status == STATUS_SUCCESS) {
                uint64_t expected = pastEnd ? kVolumeLength - offset : length;
                if (!pastEnd) {
                    EXPECT_EQ(info, length) << "short read at " << offset;
                }
                uint64_t n = std::min<uint64_t>(info, expected);
                uint64_t wrong = info > length ? 1 : 0;
                if (std::memcmp(buffer.data(), Reference.data() + offset, n) != 0) {
                    for (uint64_t i = 0; i < n; i++)
                        wrong += buffer[i] != Reference[offset + i];
                }
                if (buffer[length] != 0xA5)
                    wrong++;  // written past the caller's buffer
                if (wrong && Run.WrongBytes.load() == 0)
                    ADD_FAILURE() << "wrong bytes read at " << offset << " length " << length;
                Run.WrongBytes += wrong;
                Run.ReadsChecked++;
            } else {
                Run.Failed++;
                if (servable)
                    Run.FailedWithin++;
            }
        }
        Leave(Index);
    }
}

void StressTest::Controller()
{
    const unsigned extra = GetParam().Extra;
    std::mt19937_64 rng(EnvNumber("STRESS_SEED", 1) * 7919u);
    auto pause = [&](unsigned micros) {
        std::this_thread::sleep_for(std::chrono::microseconds(micros + rng() % micros));
    };
    // The statistics request runs against the worker all along. Each copy is
    // a snapshot taken between two requests, so no counter ever goes back.
    std::optional<CacheStatistics> last;
    auto checkStatistics = [&] {
        std::optional<CacheStatistics> now = Bed().Stats(kLetter);
        if (now && last) {
            const uint64_t before[] = {last->ReadRequests,    last->ReadBytes,     last->VolumeReads,
                                       last->VolumeReadBytes, last->SsdHits,       last->SsdHitBytes,
                                       last->MemoryHits,      last->MemoryHitBytes};
            const uint64_t after[] = {now->ReadRequests,    now->ReadBytes,     now->VolumeReads,
                                      now->VolumeReadBytes, now->SsdHits,       now->SsdHitBytes,
                                      now->MemoryHits,      now->MemoryHitBytes};
            for (size_t i = 0; i < sizeof(before) / sizeof(before[0]); i++)
                EXPECT_GE(after[i], before[i]) << "counter " << i << " went back";
        }
        last = now;
    };
    while (!ClientsDone.load()) {
        pause(2000);
        checkStatistics();
        unsigned pick = (unsigned)(rng() % 6);
        if ((extra & StartStop) && pick == 0) {
            EXPECT_EQ(Bed().StopCache(kLetter), STATUS_SUCCESS);
            pause(1000);  // requests now go straight to the volume
            EXPECT_TRUE(StartCache());
            last.reset();  // a new start counts from zero
        }
        if ((extra & VolumeFaults) && pick == 1) {
            sim::VolumeFaults faults;
            faults.FailNthRead = 1 + (long)(rng() % 8);
            faults.FailNthWrite = 1 + (long)(rng() % 8);
            Volume->SetFaults(faults);
        }
        if ((extra & FileFaults) && pick == 2) {
            host::FileFaults faults;
            faults.FailReadAfter = (long)(rng() % 4);
            faults.FailWriteAfter = (long)(rng() % 4);
            host::SetFileFaults(faults);
            pause(500);
            host::SetFileFaults(host::FileFaults());
        }
        if ((extra & NodeFaults) && pick == 3) {
            host::PoolFailAfter(CACHE_POOL_TAG, (long)(rng() % 16));
            pause(500);
            host::PoolClearFaults();
        }
        if ((extra & MapFaults) && pick == 4) {
            // Callers' buffers that cannot be mapped into system space, at
            // the interception and in the volume's driver alike.
            host::MdlMapFailNext(1 + (long)(rng() % 4));
        }
        if ((extra & PoolFaults) && pick == 5) {
            // No pool for bounce buffers above 4 MiB, for lower requests, and
            // after a few more allocations for anything of the cache's.
            host::PoolFailSizeAtLeast(CACHE_POOL_TAG, CACHE_TRANSFER_BUFFER_SIZE + 1);
            host::PoolFailAfter(CACHE_POOL_TAG, (long)(rng() % 16));
            host::BuildRequestFailAfter((long)(rng() % 4));
            pause(500);
            host::BuildRequestFailAfter(-1);
            host::PoolFailSizeAtLeast(CACHE_POOL_TAG, 0);
            host::PoolClearFaults();
        }
    }
}

TEST_P(StressTest, ReadsMatchTheReference)
{
    const StressConfig &config = GetParam();
    const long requests = EnvNumber("STRESS_REQUESTS", 40);
    const unsigned threads = (unsigned)EnvNumber("STRESS_THREADS", 4);
    const uint64_t seed = (uint64_t)EnvNumber("STRESS_SEED", 1);

    if (config.Extra & ChunkExhaustion) {
        host::PhysicalFaults faults;
        faults.FailAfter = 2;  // the first chunk and one more: the store runs dry
        host::PhysicalSetFaults(faults);
    }
    // No file system on the volume: writes that pass by a stopped cache
    // reach it as well.
    sim::VolumeConfig volume;
    volume.Letter = kLetter;
    volume.Length = kVolumeLength;
    volume.Mode = config.Mode;
    volume.FileSystemMounted = false;
    Volume = Bed().AddVolume(volume);
    ASSERT_NE(Volume, nullptr);
    Reference.resize(kVolumeLength);
    std::mt19937_64 fill(seed);
    for (uint64_t i = 0; i + 8 <= kVolumeLength; i += 8) {
        uint64_t word = fill();
        std::memcpy(Reference.data() + i, &word, 8);
    }
    Volume->Backing().Write(0, Reference.data(), (uint32_t)kVolumeLength);
    ASSERT_TRUE(StartCache());

    std::vector<std::thread> clients;
    for (unsigned t = 0; t < threads; t++)
        clients.emplace_back(
            [&, t] { Client(t, requests, seed + std::hash<std::string>()(ConfigName(config))); });
    std::thread controller([&] { Controller(); });
    for (auto &t : clients)
        t.join();
    ClientsDone = true;
    controller.join();
    Volume->SetFaults(sim::VolumeFaults());
    host::SetFileFaults(host::FileFaults());
    host::PoolClearFaults();
    host::MdlMapFailNext(0);
    host::BuildRequestFailAfter(-1);

    // The whole volume once more through the cache, then the reference
    // against the volume itself.
    std::vector<uint8_t> bytes(1 * MiB);
    for (uint64_t offset = 0; offset < kVolumeLength; offset += bytes.size()) {
        ULONG n = (ULONG)std::min<uint64_t>(bytes.size(), kVolumeLength - offset);
        ULONG_PTR info = 0;
        ASSERT_EQ(Bed().Read(kLetter, offset, bytes.data(), n, &info), STATUS_SUCCESS);
        uint64_t wrong = 0;
        if (std::memcmp(bytes.data(), Reference.data() + offset, n) != 0) {
            for (ULONG i = 0; i < n; i++)
                wrong += bytes[i] != Reference[offset + i];
        }
        EXPECT_EQ(wrong, 0u) << "final sweep at " << offset;
        Run.WrongBytes += wrong;
    }
    std::vector<uint8_t> backing(kVolumeLength);
    Volume->Backing().Read(0, backing.data(), (uint32_t)kVolumeLength);
    EXPECT_TRUE(backing == Reference) << "the volume does not hold what was written";

    std::printf("stress %s: requests %llu, reads checked %llu, failed %llu, wrong bytes %llu\n",
                ConfigName(config).c_str(), (unsigned long long)Run.Requests.load(),
                (unsigned long long)Run.ReadsChecked.load(), (unsigned long long)Run.Failed.load(),
                (unsigned long long)Run.WrongBytes.load());
    AllRuns.Requests += Run.Requests.load();
    AllRuns.ReadsChecked += Run.ReadsChecked.load();
    AllRuns.Failed += Run.Failed.load();
    AllRuns.WrongBytes += Run.WrongBytes.load();
    EXPECT_EQ(Run.WrongBytes.load(), 0u);
    if (!(config.Extra & (StartStop | VolumeFaults | MapFaults))) {
        EXPECT_EQ(Run.FailedWithin.load(), 0u) << "requests within the volume failed";
    }
}

INSTANTIATE_TEST_SUITE_P(Configurations, StressTest, ::testing::ValuesIn(StressConfigs()),
                         [](const auto &info) { return ConfigName(info.param); });

}  // namespace
