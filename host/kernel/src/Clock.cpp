// The system tick count.
//
// KeTickCount is written as the x86 clock interrupt writes it: the second
// copy of the high half first, then the low half, then the first copy of the
// high half. A reader (KeQueryTickCount) that sees the two high copies differ
// reads again, so it never combines halves of two different values.
//
// Manual mode (tests): the tick moves only by TickAdvance / TickSet.
// Real-time mode (demo, benchmarks): a ticker thread advances it every
// 15.625 ms of real time since boot.
#include "Subsystems.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

NT_BEGIN_DECLS
volatile KSYSTEM_TIME KeTickCount;
NT_END_DECLS

namespace {

constexpr ULONG TimeIncrement = 156250;  // 100 ns units per tick: 15.625 ms
constexpr std::chrono::nanoseconds TickPeriod(15625000);

// Serialises writers (TickAdvance, TickSet, the ticker thread).
std::mutex WriterLock;
uint64_t CurrentValue;

std::mutex TickerLock;
std::condition_variable TickerWake;
std::thread Ticker;
bool TickerStop;

void StoreTick(uint64_t Value)
{
    CurrentValue = Value;
    LONG High = static_cast<LONG>(Value >> 32);
    ULONG Low = static_cast<ULONG>(Value);
    __atomic_store_n(&KeTickCount.High2Time, High, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.LowPart, Low, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.High1Time, High, __ATOMIC_RELEASE);
}

void TickerMain(std::chrono::steady_clock::time_point Boot)
{
    std::unique_lock<std::mutex> Lock(TickerLock);
    uint64_t Ticks = 0;
    while (!TickerStop) {
        auto Next = Boot + TickPeriod * (Ticks + 1);
        if (TickerWake.wait_until(Lock, Next, [] { return TickerStop; }))
            break;
        auto Elapsed = std::chrono::steady_clock::now() - Boot;
        Ticks = static_cast<uint64_t>(Elapsed / TickPeriod);
        std::lock_guard<std::mutex> Writer(WriterLock);
        // Ticks added by TickAdvance in real-time mode stay added.
        if (Ticks > CurrentValue)
            StoreTick(Ticks);
    }
}

void StopTicker()
{
    if (!Ticker.joinable())
        return;
    {
        std::lock_guard<std::mutex> Lock(TickerLock);
        TickerStop = true;
    }
    TickerWake.notify_all();
    Ticker.join();
}

}  // namespace

NT_BEGIN_DECLS

ULONG KeQueryTimeIncrement(void)
{
    return TimeIncrement;
}

NT_END_DECLS

namespace host {

void TickAdvance(uint64_t Ticks)
{
    std::lock_guard<std::mutex> Writer(WriterLock);
    StoreTick(CurrentValue + Ticks);
}

void TickSet(uint64_t Tick)
{
    std::lock_guard<std::mutex> Writer(WriterLock);
    StoreTick(Tick);
}

uint64_t TickNow()
{
    LARGE_INTEGER Now;
    KeQueryTickCount(&Now);
    return static_cast<uint64_t>(Now.QuadPart);
}

namespace detail {

void ResetClock(const KernelConfig &Config)
{
    StopTicker();
    {
        std::lock_guard<std::mutex> Writer(WriterLock);
        StoreTick(0);
    }
    TickerStop = false;
    if (!Config.ManualTick)
        Ticker = std::thread(TickerMain, std::chrono::steady_clock::now());
}

void ShutdownClock()
{
    StopTicker();
}

}  // namespace detail
}  // namespace host
