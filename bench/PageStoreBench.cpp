// Bandwidth of the memory tier's page store for 4 KiB, 64 KiB and 1 MiB
// copies, against plain memcpy of the same sizes at the same offsets in the
// same run (CPU times of the benchmark's thread). The store has four 16 MiB
// chunks. Copies either stay in one chunk (the store's own cost over memcpy)
// or walk all four in order, remapping the window once per chunk as a
// sequential read does (on the host a fresh mapping costs a page fault per
// page touched; the platform fills the page table when it maps).
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "driver/engine/PageStore.h"
#include "host/kernel/include/HostKernel.h"

namespace {

constexpr ULONG ChunkSize = 16u << 20;
constexpr ULONG StoreSize = 4 * ChunkSize;

std::string SizeText(int64_t Bytes)
{
    return Bytes >= (1 << 20) ? std::to_string(Bytes >> 20) + " MiB" : std::to_string(Bytes >> 10) + " KiB";
}

double ThreadSeconds()
{
    timespec Now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &Now);
    return static_cast<double>(Now.tv_sec) + static_cast<double>(Now.tv_nsec) * 1e-9;
}

// CPU seconds that memcpy takes for Count copies of Size bytes at the offsets the
// page store benchmark used.
double MemcpySeconds(bool Read, size_t Size, uint64_t Span, int64_t Count)
{
    std::vector<UCHAR> Store(StoreSize, 0x5A), Buffer(Size, 0xA5);
    double Start = ThreadSeconds();
    uint64_t Offset = 0;
    for (int64_t i = 0; i < Count; i++) {
        if (Read)
            std::memcpy(Buffer.data(), Store.data() + Offset, Size);
        else
            std::memcpy(Store.data() + Offset, Buffer.data(), Size);
        benchmark::ClobberMemory();
        Offset = (Offset + Size) % Span;
    }
    return ThreadSeconds() - Start;
}

void PageStoreCopy(benchmark::State &State, bool Read)
{
    const size_t Size = static_cast<size_t>(State.range(0));
    const uint64_t Span = static_cast<uint64_t>(State.range(1));
    // Chunk switches cost a page-table update on the real platform, not the
    // host's remapping: measure the store, not the stand-in.
    host::KernelConfig Config;
    Config.StrictMappings = false;
    host::KernelBoot(Config);
    MemoryPageStore Store;
    if (!PageStoreInitialize(&Store, StoreSize, ChunkSize)) {
        State.SkipWithError("page store set-up failed");
        host::KernelShutdown();
        return;
    }
    std::vector<UCHAR> Buffer(Size, 0xA5);
    for (uint64_t Offset = 0; Offset < StoreSize; Offset += Size)
        PageStoreWrite(&Store, Buffer.data(), Offset, static_cast<LONG>(Size));

    uint64_t Offset = 0;
    double Start = ThreadSeconds();
    for (auto _ : State) {
        ULONG Copied = Read ? PageStoreRead(&Store, Buffer.data(), Offset, static_cast<LONG>(Size))
                            : PageStoreWrite(&Store, Buffer.data(), Offset, static_cast<LONG>(Size));
        benchmark::DoNotOptimize(Copied);
        benchmark::ClobberMemory();
        Offset = (Offset + Size) % Span;
    }
    double StoreSeconds = ThreadSeconds() - Start;
    double CopySeconds = MemcpySeconds(Read, Size, Span, State.iterations());

    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Size));
    State.counters["memcpy GB/s"] = static_cast<double>(State.iterations() * Size) / CopySeconds / 1e9;
    State.counters["x memcpy"] = CopySeconds / StoreSeconds;
    State.SetLabel(std::string("page store ") + (Read ? "read " : "write ") + SizeText(State.range(0)) +
                   (Span == ChunkSize ? " in one chunk" : " walking 4 chunks"));
    PageStoreRelease(&Store);
    host::KernelShutdown();
}

void BM_PageStoreRead(benchmark::State &State)
{
    PageStoreCopy(State, true);
}

void BM_PageStoreWrite(benchmark::State &State)
{
    PageStoreCopy(State, false);
}

}  // namespace

BENCHMARK(BM_PageStoreRead)
    ->ArgsProduct({{4 << 10, 64 << 10, 1 << 20}, {ChunkSize, StoreSize}})
    ->MinTime(0.2);
BENCHMARK(BM_PageStoreWrite)
    ->ArgsProduct({{4 << 10, 64 << 10, 1 << 20}, {ChunkSize, StoreSize}})
    ->MinTime(0.2);
