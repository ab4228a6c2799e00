// The cache as its callers see it: requests sent to a cached volume's device
// (through the interception, the queue and the worker) and served by the read
// path. Figures:
//  - memory-hit bandwidth of 1 MiB reads, RAM tier only, against memcpy of
//    the same bytes in the same run;
//  - 4 KiB random memory hits per second from 1 and 8 submitting threads,
//    beside the floor of the same hand-off: one worker thread that copies
//    4 KiB from memory and completes, with the host's cheapest primitives;
//  - the same floor for 1 MiB, and beside it a 1 MiB hand-off whose two sides
//    never sleep, which shows what the floor's wake-ups cost;
//  - misses per second over a volume that takes 1 ms per request, against
//    the volume alone;
//  - SSD-hit bandwidth of 1 MiB reads (the cache file lives in a host
//    directory, so the host's file cache stands in for the SSD).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <string>
#include <thread>
#include <vector>

#include "bench/floor/HandOff.h"
#include "driver/Tessiro8.h"
#include "driver/engine/CacheBase.h"  // the driver's pool tag
#include "host/kernel/include/HostKernel.h"
#include "host/voldrv/SimVolume.h"

namespace {

constexpr ULONG KiB = 1024, MiB = 1024 * 1024;
constexpr WCHAR kLetter = L'B';
constexpr WCHAR kCacheLetter = L'S';
constexpr uint64_t kVolumeLength = 64ull * MiB;

struct BenchSettings {
    uint64_t MemorySize = 64ull * MiB;
    ULONG AllocateBlockSize = 4 * MiB;
    ULONG CacheBlockSize = 64 * KiB;
    bool Ssd = false;
    uint32_t LatencyMicros = 0;
    bool StartCache = true;
};

// A booted host kernel with the simulated volume B: and the cache driver,
// and the cache started on B: as the control panel would start it.
class CachedVolume {
public:
    explicit CachedVolume(const BenchSettings &Settings)
    {
        char Template[] = "/tmp/tessiro8-bench-XXXXXX";
        Directory = mkdtemp(Template) ? Template : "/tmp";
        host::KernelConfig Config;
        Config.ManualTick = false;
        Config.DelayScale = 0.001;
        // Chunk switches cost a page-table update on the real platform, not
        // the host's remapping: measure the engine, not the stand-in.
        Config.StrictMappings = false;
        // The host is an x86-64 machine: its pool is the 64-bit platform's.
        Config.NonPagedPoolBytes = host::X64NonPagedPoolBytes;
        host::KernelBoot(Config);
        sim::LoadSimVolumeDriver();
        host::FileDrive Drive;
        Drive.Letter = kCacheLetter;
        Drive.HostDirectory = Directory;
        host::MapFileDrive(Drive);

        sim::VolumeConfig Volume;
        Volume.Letter = kLetter;
        Volume.Length = kVolumeLength;
        Volume.LatencyMicros = Settings.LatencyMicros;
        Disk = sim::CreateVolume(Volume);
        std::vector<uint8_t> Fill(MiB);
        for (uint64_t Offset = 0; Offset < kVolumeLength; Offset += MiB) {
            for (size_t i = 0; i < Fill.size(); i++)
                Fill[i] = (uint8_t)((Offset + i) * 31 >> 5);
            Disk->Backing().Write(Offset, Fill.data(), MiB);
        }
        Driver = host::LoadDriver(L"Tessiro8", DriverEntry);
        if (Settings.StartCache)
            Started = Control(Settings, true) == STATUS_SUCCESS;
    }
    ~CachedVolume()
    {
        if (Driver)
            host::UnloadDriver(Driver, {CACHE_POOL_TAG});
        if (Disk)
            sim::RemoveVolume(Disk);
        sim::UnloadSimVolumeDriver();
        host::UnmapFileDrive(kCacheLetter);
        host::KernelShutdown();
        std::error_code Error;
        std::filesystem::remove_all(Directory, Error);
    }

    NTSTATUS Control(const BenchSettings &Settings, bool Start)
    {
        CacheControlRequest Request;
        std::memset(&Request, 0, sizeof(Request));
        Request.DriveLetter = kLetter;
        Request.Start = Start ? 1 : 0;
        Request.MemorySize = Settings.MemorySize;
        Request.AllocateBlockSize = Settings.AllocateBlockSize;
        Request.CacheBlockSize = Settings.CacheBlockSize;
        if (Settings.Ssd) {
            Request.SsdEnabled = 1;
            Request.SsdSize = 512ull * MiB;
            const char *Path = "\\??\\S:\\bench.dat";
            for (size_t i = 0; Path[i]; i++)
                Request.CacheFilePath[i] = (WCHAR)Path[i];
        }
        PFILE_OBJECT File = nullptr;
        NTSTATUS Status = host::UserOpenDevice(L"\\Device\\Tessiro8", true, &File);
        if (!NT_SUCCESS(Status))
            return Status;
        ULONG_PTR Information = 0;
        Status = host::UserDeviceIoControl(File, IOCTL_CACHE_CONTROL_VOLUME, &Request, sizeof(Request),
                                           nullptr, 0, &Information);
        host::UserCloseDevice(File);
        return Status;
    }

    bool Read(uint64_t Offset, void *Buffer, ULONG Length)
    {
        ULONG_PTR Information = 0;
        return host::SendReadWrite(Disk->Device(), IRP_MJ_READ, Buffer, Length, Offset, &Information) ==
                   STATUS_SUCCESS &&
               Information == Length;
    }

    std::string Directory;
    sim::SimVolume *Disk = nullptr;
    PDRIVER_OBJECT Driver = nullptr;
    bool Started = false;
};

// Context switches of the whole process so far, voluntary or not.
double ContextSwitches()
{
    rusage Usage;
    getrusage(RUSAGE_SELF, &Usage);
    return double(Usage.ru_nvcsw + Usage.ru_nivcsw);
}

// memcpy of Size bytes at a time, walking a source of Span bytes as the
// benchmarks walk the volume. Each benchmark iteration times one request and
// one such copy alternately, so that both see the same load of a shared
// machine.
class MemcpyReference {
public:
    MemcpyReference(size_t Size, uint64_t Span) : Source(Span, 0x5A), Target(Size) {}
    void CopyOnce()
    {
        auto Start = std::chrono::steady_clock::now();
        std::memcpy(Target.data(), Source.data() + Offset, Target.size());
        benchmark::ClobberMemory();
        Seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        Offset = (Offset + Target.size()) % Source.size();
    }
    double Seconds = 0;

private:
    std::vector<uint8_t> Source, Target;
    uint64_t Offset = 0;
};

// 1 MiB reads at consecutive offsets of Span through Read (true when the
// read succeeded), each timed alone and followed by one memcpy of the
// reference; reports the bytes read and the ratio to memcpy.
template <typename ReadRoutine>
void TimeAgainstMemcpy(benchmark::State &State, uint64_t Span, ReadRoutine Read)
{
    MemcpyReference Reference(MiB, Span);
    uint64_t Offset = 0;
    double Seconds = 0;
    for (auto _ : State) {
        auto Start = std::chrono::steady_clock::now();
        bool Done = Read(Offset);
        double Once = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        if (!Done) {
            State.SkipWithError("read failed");
            break;
        }
        State.SetIterationTime(Once);
        Seconds += Once;
        Reference.CopyOnce();
        Offset = (Offset + MiB) % Span;
    }
    State.SetBytesProcessed(State.iterations() * MiB);
    State.counters["x memcpy"] = Reference.Seconds / Seconds;
}

// The memory tier's chunk size: 4 MiB chunks make reads over 32 MiB remap the
// page store's window as they move between chunks; one 64 MiB chunk shows the
// read path without remapping.
BenchSettings ChunkSettings(int64_t ChunkMiB)
{
    BenchSettings Settings;
    Settings.AllocateBlockSize = (ULONG)ChunkMiB * MiB;
    return Settings;
}
std::string ChunkText(int64_t ChunkMiB)
{
    return std::to_string(ChunkMiB) + " MiB chunks";
}

// 1 MiB reads over 32 MiB that the memory tier holds.
void MemoryHit1MiB(benchmark::State &State)
{
    const uint64_t Span = 32ull * MiB;
    CachedVolume Volume{ChunkSettings(State.range(0))};
    std::vector<uint8_t> Buffer(MiB);
    for (uint64_t Offset = 0; Offset < Span; Offset += MiB)
        Volume.Read(Offset, Buffer.data(), MiB);

    TimeAgainstMemcpy(State, Span, [&](uint64_t Offset) { return Volume.Read(Offset, Buffer.data(), MiB); });
    State.SetLabel("memory hit 1 MiB reads, RAM tier, " + ChunkText(State.range(0)));
}
BENCHMARK(MemoryHit1MiB)->Arg(4)->Arg(64)->Unit(benchmark::kMicrosecond)->UseManualTime();

// One thread's share of a 4 KiB random-read benchmark: reads at random 4 KiB
// offsets of Span through Read, counted as requests per second, with the
// context switches per request of all threads (taken by thread 0).
template <typename ReadRoutine>
void TimeRandom4KiBReads(benchmark::State &State, uint64_t Span, ReadRoutine Read)
{
    std::mt19937_64 Random(State.thread_index() + 1);
    std::vector<uint8_t> Buffer(4 * KiB);
    double Switches = ContextSwitches();
    for (auto _ : State) {
        uint64_t Offset = (Random() % (Span / (4 * KiB))) * 4 * KiB;
        if (!Read(Offset, Buffer.data())) {
            State.SkipWithError("read failed");
            break;
        }
    }
    State.counters["req/s"] = benchmark::Counter((double)State.iterations(), benchmark::Counter::kIsRate);
    if (State.thread_index() == 0)
        State.counters["switches/req"] =
            (ContextSwitches() - Switches) / double(State.iterations() * State.threads());
}

// 4 KiB reads at random 4 KiB offsets of 32 MiB that the memory tier holds,
// sent by one or several threads at once.
CachedVolume *SharedVolume;

void MemoryHit4KiBRandom(benchmark::State &State)
{
    const uint64_t Span = 32ull * MiB;
    if (State.thread_index() == 0) {
        SharedVolume = new CachedVolume(ChunkSettings(State.range(0)));
        std::vector<uint8_t> Warm(MiB);
        for (uint64_t Offset = 0; Offset < Span; Offset += MiB)
            SharedVolume->Read(Offset, Warm.data(), MiB);
    }
    TimeRandom4KiBReads(State, Span, [](uint64_t Offset, void *Buffer) {
        return SharedVolume->Read(Offset, Buffer, 4 * KiB);
    });
    State.SetLabel("4 KiB random memory hits, " + std::to_string(State.threads()) + " threads, " +
                   ChunkText(State.range(0)));
    if (State.thread_index() == 0) {
        delete SharedVolume;
        SharedVolume = nullptr;
    }
}
BENCHMARK(MemoryHit4KiBRandom)->Arg(4)->Arg(64)->Threads(1)->Threads(8)->UseRealTime();

// The floor of the 4 KiB memory hits: each submitter hands a 4 KiB read of
// the same 32 MiB to one worker thread, which copies the bytes from memory and
// completes the request, while the submitter waits.
struct FloorWorker {
    static constexpr uint64_t Span = 32ull * MiB;
    struct Read : floorpath::Request {
        uint64_t Offset;
        void *Buffer;
        ULONG Length;
    };
    FloorWorker() : Memory(Span, 0x5A), Thread([this] { Serve(); }) {}
    ~FloorWorker()
    {
        Requests.Stop();
        Thread.join();
    }
    void Serve()
    {
        while (floorpath::Request *R = Requests.Take()) {
            auto *Rd = static_cast<Read *>(R);
            std::memcpy(Rd->Buffer, Memory.data() + Rd->Offset, Rd->Length);
            Rd->Complete(0);
        }
    }
    bool ReadBytes(uint64_t Offset, void *Buffer, ULONG Length)
    {
        Read R;
        R.Offset = Offset;
        R.Buffer = Buffer;
        R.Length = Length;
        Requests.Submit(&R);
        R.Wait();
        return R.Result == 0;
    }
    std::vector<uint8_t> Memory;
    floorpath::Queue Requests;
    std::thread Thread;
};
FloorWorker *SharedFloor;

void FloorHandOff4KiB(benchmark::State &State)
{
    if (State.thread_index() == 0)
        SharedFloor = new FloorWorker;
    TimeRandom4KiBReads(State, FloorWorker::Span, [](uint64_t Offset, void *Buffer) {
        return SharedFloor->ReadBytes(Offset, Buffer, 4 * KiB);
    });
    State.SetLabel("in-process floor, 4 KiB hand-off to one worker, " + std::to_string(State.threads()) +
                   " threads");
    if (State.thread_index() == 0) {
        delete SharedFloor;
        SharedFloor = nullptr;
    }
}
BENCHMARK(FloorHandOff4KiB)->Threads(1)->Threads(8)->UseRealTime();

// The same hand-off for 1 MiB reads over the 32 MiB, against memcpy of the
// same bytes in the submitting thread: what the hand-off itself costs a large
// memory hit.
void FloorHandOff1MiB(benchmark::State &State)
{
    FloorWorker Floor;
    std::vector<uint8_t> Buffer(MiB);
    TimeAgainstMemcpy(State, FloorWorker::Span,
                      [&](uint64_t Offset) { return Floor.ReadBytes(Offset, Buffer.data(), MiB); });
    State.SetLabel("in-process floor, 1 MiB hand-off to one worker");
}
BENCHMARK(FloorHandOff1MiB)->Unit(benchmark::kMicrosecond)->UseManualTime();

// The same 1 MiB hand-off with neither side ever asleep: the worker polls for
// the next request and the submitter for its completion. Not a design to
// ship (it keeps a processor busy while the volume is idle); it shows what
// the wake-ups of the floor above cost a large hit, apart from the copy on
// the worker's processor.
void PollingHandOff1MiB(benchmark::State &State)
{
    std::vector<uint8_t> Memory(FloorWorker::Span, 0x5A), Buffer(MiB);
    std::atomic<uint64_t> Posted{0}, Completed{0};
    std::atomic<uint64_t> Offset{0};
    std::atomic<bool> Stopping{false};
    std::thread Worker([&] {
        uint64_t Seen = 0;
        for (;;) {
            while (Posted.load(std::memory_order_acquire) == Seen) {
                if (Stopping.load(std::memory_order_relaxed))
                    return;
                __builtin_ia32_pause();
            }
            Seen++;
            std::memcpy(Buffer.data(), Memory.data() + Offset.load(std::memory_order_relaxed), MiB);
            Completed.store(Seen, std::memory_order_release);
        }
    });
    uint64_t Sent = 0;
    TimeAgainstMemcpy(State, FloorWorker::Span, [&](uint64_t Next) {
        Offset.store(Next, std::memory_order_relaxed);
        Posted.store(++Sent, std::memory_order_release);
        while (Completed.load(std::memory_order_acquire) != Sent)
            __builtin_ia32_pause();
        return true;
    });
    Stopping.store(true);
    Worker.join();
    State.SetLabel("1 MiB hand-off to a worker that never sleeps");
}
BENCHMARK(PollingHandOff1MiB)->Unit(benchmark::kMicrosecond)->UseManualTime();

// Misses: 64 KiB reads that walk the whole volume through a 4 MiB memory
// tier, so that every block comes from a volume that takes 1 ms a request.
void MissOverSlowVolume(benchmark::State &State)
{
    BenchSettings Settings;
    Settings.MemorySize = 4 * MiB;
    Settings.LatencyMicros = 1000;
    Settings.StartCache = false;
    CachedVolume Volume{Settings};
    std::vector<uint8_t> Buffer(64 * KiB);

    // The volume alone first.
    const int Alone = 200;
    auto Start = std::chrono::steady_clock::now();
    for (int i = 0; i < Alone; i++)
        Volume.Read((uint64_t)i * 64 * KiB, Buffer.data(), 64 * KiB);
    double AloneRate =
        Alone / std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();

    if (Volume.Control(Settings, true) != STATUS_SUCCESS) {
        State.SkipWithError("cache start failed");
        return;
    }
    uint64_t Offset = 0;
    Start = std::chrono::steady_clock::now();
    for (auto _ : State) {
        if (!Volume.Read(Offset, Buffer.data(), 64 * KiB)) {
            State.SkipWithError("read failed");
            break;
        }
        Offset = (Offset + 64 * KiB) % kVolumeLength;
    }
    double Rate =
        State.iterations() / std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    State.counters["req/s"] = Rate;
    State.counters["volume alone req/s"] = AloneRate;
    State.counters["x volume"] = Rate / AloneRate;
    State.SetLabel("64 KiB misses over a 1 ms volume");
}
BENCHMARK(MissOverSlowVolume)->Unit(benchmark::kMillisecond)->UseRealTime();

// 1 MiB reads over 32 MiB that the SSD tier holds and a 4 MiB memory tier
// does not: each read is served from the cache file.
void SsdHit1MiB(benchmark::State &State)
{
    const uint64_t Span = 32ull * MiB;
    BenchSettings Settings;
    Settings.MemorySize = 4 * MiB;
    Settings.Ssd = true;
    CachedVolume Volume{Settings};
    if (!Volume.Started) {
        State.SkipWithError("cache start failed");
        return;
    }
    std::vector<uint8_t> Buffer(MiB);
    for (uint64_t Offset = 0; Offset < Span; Offset += MiB) {
        Volume.Read(Offset, Buffer.data(), MiB);  // miss: into memory
        Volume.Read(Offset, Buffer.data(), MiB);  // memory hit: into the SSD tier
    }
    uint64_t Offset = 0;
    for (auto _ : State) {
        if (!Volume.Read(Offset, Buffer.data(), MiB)) {
            State.SkipWithError("read failed");
            break;
        }
        Offset = (Offset + MiB) % Span;
    }
    State.SetBytesProcessed(State.iterations() * MiB);
    State.SetLabel("SSD hit 1 MiB reads");
}
BENCHMARK(SsdHit1MiB)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
