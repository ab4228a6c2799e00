// The driver's code and a volume's context stay until no thread can still be
// running in the interception or holding the context.
#include <atomic>
#include <chrono>
#include <thread>

#include "SpiedDriverTest.h"

namespace testbed {
namespace {

class LifetimeTest : public SpiedDriverTest {
protected:
    void SetUp() override
    {
        SpiedDriverTest::SetUp();
        AddPlainVolumes(4 * MiB, 0, 0);
        ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
    }
};

TEST_F(LifetimeTest, UnloadWaitsForThreadsInsideTheInterception)
{
    PDEVICE_OBJECT uncached = Bed().Volume(L'd')->Device();
    Spy.CloseGate([uncached](const SpyRecord &r) { return r.Device == uncached; });
    std::thread reader([&] { EXPECT_EQ(Bed().ReadBytes(L'd', 0, 4096), Pattern(0, 4096)); });
    ASSERT_TRUE(Spy.WaitForCount(1));  // the reader is inside the interception

    std::atomic<bool> unloaded{false};
    std::thread unload([&] {
        EXPECT_TRUE(Bed().UnloadCacheDriver());
        unloaded = true;
    });
    // The entries go back at once, but unload returns only after the reader
    // has left the interception.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(__atomic_load_n(&Bed().VolumeDriver()->MajorFunction[IRP_MJ_READ], __ATOMIC_SEQ_CST),
              (PDRIVER_DISPATCH)&VolumeSpy::Dispatch);
    EXPECT_FALSE(unloaded.load()) << "unload returned while a thread was inside the interception";
    Spy.OpenGate();
    reader.join();
    unload.join();
    EXPECT_TRUE(unloaded.load());
}

TEST_F(LifetimeTest, StopWaitsForThreadsThatMayHoldTheContext)
{
    PVolumeCacheContext context = FindVolumeByLetter(L'c');
    ASSERT_NE(context, nullptr);
    // As a thread inside QueueVolumeRequest that has just found the context.
    InterlockedIncrement(&DriverGlobals.VolumeTableReaders);
    std::atomic<bool> stopped{false};
    std::thread stop([&] {
        EXPECT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(stopped.load()) << "the context went away under a thread that may still use it";
    EXPECT_TRUE(__atomic_load_n(&context->Stopping, __ATOMIC_SEQ_CST));
    EXPECT_FALSE(__atomic_load_n(&context->Terminate, __ATOMIC_SEQ_CST))
        << "the worker must not end while a request may still be queued";
    InterlockedDecrement(&DriverGlobals.VolumeTableReaders);
    stop.join();
    EXPECT_TRUE(stopped.load());
    EXPECT_FALSE(Bed().Stats(L'c').has_value());
}

}  // namespace
}  // namespace testbed
