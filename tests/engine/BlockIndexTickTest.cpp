// The tick count that orders the block index: the x86 reader protocol over
// the 32-bit boundary, manual and real-time ticking, and the time increment.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/engine/BlockIndex.h"
#include "host/kernel/include/HostKernel.h"

namespace {

class TickTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(host::KernelShutdown()); }
};

TEST_F(TickTest, ManualTicksCrossTheLowHalfIntoTheHighHalf)
{
    host::KernelBoot();
    EXPECT_EQ(host::TickNow(), 0u);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    host::TickSet(0xFFFFFFFFull);
    EXPECT_EQ(CurrentTick(), 0xFFFFFFFFull);
    host::TickAdvance(2);
    EXPECT_EQ(CurrentTick(), 0x100000001ull);
    EXPECT_EQ(KeTickCount.LowPart, 1u);
    EXPECT_EQ(KeTickCount.High1Time, 1);
    EXPECT_EQ(KeTickCount.High2Time, 1);
}

TEST_F(TickTest, ReadersNeverSeeHalvesOfTwoValues)
{
    host::KernelBoot();
    const uint64_t Below = 0x1FFFFFFFFull, Above = 0x200000000ull;
    host::TickSet(Below);
    // The protocol holds when at most one update falls within one read, as
    // with the clock interrupt's period: after each update the writer waits
    // until the read that may overlap it and one more have completed.
    std::atomic<bool> Stop{false};
    std::atomic<uint64_t> Reads{0};
    std::thread Writer([&] {
        for (int i = 0; !Stop.load(); i++) {
            host::TickSet(i % 2 ? Above : Below);
            uint64_t Seen = Reads.load();
            while (!Stop.load() && Reads.load() < Seen + 2)
                std::this_thread::yield();
        }
    });
    ULONGLONG Torn = 0;
    for (int i = 0; i < 200000 && Torn == 0; i++) {
        ULONGLONG Tick = CurrentTick();
        if (Tick != Below && Tick != Above)
            Torn = Tick;
        Reads++;
    }
    Stop = true;
    Writer.join();
    EXPECT_EQ(Torn, 0u) << std::hex << Torn;
}

TEST_F(TickTest, RealTimeTicksAdvanceOnTheirOwnUntilShutdown)
{
    host::KernelConfig Config;
    Config.ManualTick = false;
    host::KernelBoot(Config);
    // A liveness check, not a timing one: the tick must move within seconds.
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (host::TickNow() < 3 && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(host::TickNow(), 3u);
    ASSERT_TRUE(host::KernelShutdown());
    ULONGLONG Stopped = host::TickNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host::TickNow(), Stopped) << "the ticker ended with the kernel";
    host::KernelBoot();  // for TearDown's shutdown
    EXPECT_EQ(host::TickNow(), 0u);
}

}  // namespace
