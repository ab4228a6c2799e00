// Events, semaphores, waits with timeouts, system threads and object
// references.
#include "KernelTest.h"

#include <atomic>
#include <thread>

using DispatcherTest = KernelTest;

namespace {

LARGE_INTEGER Zero()
{
    LARGE_INTEGER Value;
    Value.QuadPart = 0;
    return Value;
}

NTSTATUS Poll(PVOID Object)
{
    LARGE_INTEGER Timeout = Zero();
    return KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, &Timeout);
}

}  // namespace

TEST_F(DispatcherTest, NotificationEventStaysSetAndSynchronizationEventResetsOnWait)
{
    KEVENT Notification, Synchronization;
    KeInitializeEvent(&Notification, NotificationEvent, FALSE);
    KeInitializeEvent(&Synchronization, SynchronizationEvent, FALSE);
    EXPECT_EQ(Poll(&Notification), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&Notification, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&Notification, 0, FALSE), 1);
    EXPECT_EQ(Poll(&Notification), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&Notification), STATUS_WAIT_0);
    KeClearEvent(&Notification);
    EXPECT_EQ(Poll(&Notification), STATUS_TIMEOUT);

    KeSetEvent(&Synchronization, 0, FALSE);
    EXPECT_EQ(Poll(&Synchronization), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&Synchronization), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&Synchronization), 0);
}

TEST_F(DispatcherTest, SemaphoreCountsReleasesAndWaitsConsumeThem)
{
    KSEMAPHORE Semaphore;
    KeInitializeSemaphore(&Semaphore, 0, 3);
    EXPECT_EQ(Poll(&Semaphore), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&Semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeReleaseSemaphore(&Semaphore, 0, 1, FALSE), 2);
    EXPECT_EQ(KeReadStateSemaphore(&Semaphore), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Poll(&Semaphore), STATUS_WAIT_0);
    EXPECT_EQ(Poll(&Semaphore), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, RelativeTimeoutExpiresWithoutSignal)
{
    KEVENT Event;
    KeInitializeEvent(&Event, SynchronizationEvent, FALSE);
    LARGE_INTEGER Timeout = RelativeMs(20);
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Timeout), STATUS_TIMEOUT);
    // The timed-out waiter left the wait list: a later signal stays on the event.
    KeSetEvent(&Event, 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(&Event), 1);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT Event, Done;
    KeInitializeEvent(&Event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Done, SynchronizationEvent, FALSE);
    std::atomic<int> Woken{0};
    std::vector<std::thread> Waiters;
    for (int i = 0; i < 3; ++i)
        Waiters.emplace_back([&] {
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
            Woken++;
            KeSetEvent(&Done, 0, FALSE);
        });
    for (int i = 1; i <= 3; ++i) {
        KeSetEvent(&Event, 0, FALSE);
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(Woken.load(), i);
    }
    for (auto &Thread : Waiters)
        Thread.join();
    EXPECT_EQ(KeReadStateEvent(&Event), 0);  // every signal went to a waiter
}

TEST_F(DispatcherTest, NotificationEventReleasesAllWaiters)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    KSEMAPHORE Arrived;
    KeInitializeSemaphore(&Arrived, 0, 100);
    std::vector<std::thread> Waiters;
    for (int i = 0; i < 4; ++i)
        Waiters.emplace_back([&] {
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
            KeReleaseSemaphore(&Arrived, 0, 1, FALSE);
        });
    KeSetEvent(&Event, 0, FALSE);
    for (int i = 0; i < 4; ++i)
        KeWaitForSingleObject(&Arrived, Executive, KernelMode, FALSE, nullptr);
    for (auto &Thread : Waiters)
        Thread.join();
}

namespace {

struct WorkerContext {
    KSEMAPHORE Wake;
    std::atomic<bool> Terminate{false};
    std::atomic<int> Served{0};
    bool UseTerminate = true;
    KIRQL IrqlSeen = 99;
};

void Worker(PVOID Argument)
{
    auto *Context = static_cast<WorkerContext *>(Argument);
    Context->IrqlSeen = KeGetCurrentIrql();
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    while (!Context->Terminate) {
        KeWaitForSingleObject(&Context->Wake, Executive, KernelMode, FALSE, nullptr);
        if (!Context->Terminate)
            Context->Served++;
    }
    if (Context->UseTerminate)
        PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

class SystemThreadTest : public DispatcherTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SystemThreadTest, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    WorkerContext Context;
    Context.UseTerminate = GetParam();
    KeInitializeSemaphore(&Context.Wake, 0, 0x0FFFFFFF);
    HANDLE Handle;
    ASSERT_EQ(PsCreateSystemThread(&Handle, 0, nullptr, nullptr, nullptr, Worker, &Context), STATUS_SUCCESS);
    PKTHREAD Thread;
    ASSERT_EQ(ObReferenceObjectByHandle(Handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                        reinterpret_cast<PVOID *>(&Thread), nullptr),
              STATUS_SUCCESS);
    PVOID Wrong;
    EXPECT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, &Wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(Handle), STATUS_SUCCESS);  // a second close would stop the system

    for (int i = 0; i < 5; ++i)
        KeReleaseSemaphore(&Context.Wake, 0, 1, FALSE);
    LARGE_INTEGER Short = RelativeMs(10);
    EXPECT_EQ(KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &Short), STATUS_TIMEOUT);
    Context.Terminate = true;
    KeReleaseSemaphore(&Context.Wake, 0, 1, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_TRUE(host::ThreadEnded(Thread));
    EXPECT_EQ(host::ThreadPriority(Thread), HIGH_PRIORITY);
    EXPECT_EQ(Context.IrqlSeen, PASSIVE_LEVEL);
    EXPECT_LE(Context.Served.load(), 5);
    ObDereferenceObject(Thread);
}

INSTANTIATE_TEST_SUITE_P(EndByReturnOrTerminate, SystemThreadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "Terminates" : "Returns");
                         });

TEST_F(DispatcherTest, DelayIsScaled)
{
    host::SetDelayScale(0.0);
    LARGE_INTEGER Second = RelativeMs(1000);
    auto Start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &Second), STATUS_SUCCESS);
    // Not a timing assertion: a scale of zero must not sleep a whole second.
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(900));
}

TEST(DispatcherDeathTest, SemaphoreReleaseBeyondLimitStopsTheSystem)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::KernelBoot();
    EXPECT_DEATH(
        {
            KSEMAPHORE Semaphore;
            KeInitializeSemaphore(&Semaphore, 1, 1);
            KeReleaseSemaphore(&Semaphore, 0, 1, FALSE);
        },
        "exceeds the limit");
    EXPECT_DEATH(
        {
            LONG NotAnObject[8] = {77};
            KeWaitForSingleObject(NotAnObject, Executive, KernelMode, FALSE, nullptr);
        },
        "not a dispatcher object");
    EXPECT_TRUE(host::KernelShutdown());
}
