// Dispatcher objects: events, semaphores and threads, and the waits on them.
//
// Each object's state and wait list are guarded by one of a fixed set of
// locks chosen by the object's address, as the platform's dispatcher lock
// guards them. A waiter queues a wait block on its own stack and sleeps on a
// futex word in that block; a signal satisfies waiters one by one (consuming
// the signal for synchronization events and semaphores, as NT does) and wakes
// exactly the threads it satisfied that sleep, once it has let go of the
// lock, so that a woken thread does not run into the signaller's lock.
#include "KernelInternal.h"
#include "../../common/include/SpinFutexLock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace host::detail {
namespace {

long Futex(std::atomic<uint32_t> *Word, int Op, uint32_t Value, const timespec *Timeout)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(Word), Op | FUTEX_PRIVATE_FLAG, Value, Timeout,
                   nullptr, 0);
}

// One stripe of the dispatcher lock. It is held for a few list and counter
// updates only, so a contender spins briefly before it sleeps.
using StripeLock = SpinFutexLock;

constexpr size_t StripeCount = 64;
StripeLock Stripes[StripeCount];

StripeLock &LockOf(const void *Object)
{
    uintptr_t Value = reinterpret_cast<uintptr_t>(Object);
    return Stripes[(Value >> 4 ^ Value >> 10) % StripeCount];
}

using StripeGuard = std::lock_guard<StripeLock>;

std::atomic<double> DelayScale{1.0};

// Futex word states of a wait block.
enum : uint32_t { Waiting = 0, SatisfiedState = 1, Sleeping = 2 };

struct WaitBlock {
    LIST_ENTRY Entry;
    std::atomic<uint32_t> State{Waiting};
};

// The signalling side of an object: holds the object's lock for its
// lifetime and collects the waiters satisfied under it. They are taken off
// the wait list first and marked satisfied only after the last access to the
// object, still under the lock (a timed-out waiter decides under it): a
// satisfied waiter may return at once and free the object (an event on its
// stack). The sleepers among them are woken after the lock is let go; a
// waiter that has returned meanwhile has given up its futex word, and a
// stray wake of that address is a spurious wake-up, which every futex waiter
// tolerates.
class Satisfied {
public:
    explicit Satisfied(const DISPATCHER_HEADER *Header) : Lock(LockOf(Header)) { Lock.lock(); }
    Satisfied(const Satisfied &) = delete;
    Satisfied &operator=(const Satisfied &) = delete;

    // Under the object's lock: takes the first waiter off the wait list.
    void TakeFirst(DISPATCHER_HEADER *Header)
    {
        auto *Block = CONTAINING_RECORD(Header->WaitListHead.Flink, WaitBlock, Entry);
        RemoveEntryList(&Block->Entry);
        Block->Entry.Flink = Chain;
        Chain = &Block->Entry;
    }
    ~Satisfied()
    {
        std::atomic<uint32_t> *Sleepers[16];
        size_t Count = 0;
        while (Chain) {
            auto *Block = CONTAINING_RECORD(Chain, WaitBlock, Entry);
            Chain = Chain->Flink;
            if (Block->State.exchange(SatisfiedState, std::memory_order_release) != Sleeping)
                continue;
            if (Count < sizeof(Sleepers) / sizeof(Sleepers[0]))
                Sleepers[Count++] = &Block->State;
            else
                Futex(&Block->State, FUTEX_WAKE, 1, nullptr);
        }
        Lock.unlock();
        for (size_t i = 0; i < Count; ++i)
            Futex(Sleepers[i], FUTEX_WAKE, 1, nullptr);
    }

private:
    StripeLock &Lock;
    PLIST_ENTRY Chain = nullptr;
};

void CheckDispatcherObject(const DISPATCHER_HEADER *Header)
{
    switch (Header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case SemaphoreObject:
    case ThreadObject:
        return;
    default:
        BugCheck("wait on %p, which is not a dispatcher object (type %u)", (const void *)Header,
                 Header->Type);
    }
}

// Under the object's lock: whether a wait is satisfied now, consuming the
// signal where the object type does.
bool TryAcquire(DISPATCHER_HEADER *Header)
{
    if (Header->SignalState <= 0)
        return false;
    if (Header->Type == EventSynchronizationObject)
        Header->SignalState = 0;
    else if (Header->Type == SemaphoreObject)
        Header->SignalState--;
    return true;
}

// Relative (negative) or absolute (positive, 100 ns since 1601) interval as a
// steady-clock duration.
std::chrono::nanoseconds IntervalOf(const LARGE_INTEGER *Interval)
{
    LONGLONG Value = Interval->QuadPart;
    if (Value <= 0)
        return std::chrono::nanoseconds(-Value * 100);
    // Absolute system time: 11644473600 s between 1601 and 1970.
    timespec Now;
    clock_gettime(CLOCK_REALTIME, &Now);
    LONGLONG NowUnits = (LONGLONG(Now.tv_sec) + 11644473600LL) * 10000000LL + Now.tv_nsec / 100;
    return std::chrono::nanoseconds(Value > NowUnits ? (Value - NowUnits) * 100 : 0);
}

void SleepFor(std::chrono::nanoseconds Duration)
{
    if (Duration.count() <= 0) {
        std::this_thread::yield();
        return;
    }
    timespec Request{time_t(Duration.count() / 1000000000), long(Duration.count() % 1000000000)};
    while (nanosleep(&Request, &Request) != 0) {
    }
}

}  // namespace

void ResetDispatcher(const KernelConfig &Config)
{
    DelayScale.store(Config.DelayScale);
}

void InitializeDispatcherHeader(DISPATCHER_HEADER *Header, UCHAR Type, LONG State)
{
    Header->Type = Type;
    Header->Reserved[0] = Header->Reserved[1] = Header->Reserved[2] = 0;
    Header->SignalState = State;
    InitializeListHead(&Header->WaitListHead);
}

void SignalThreadObject(PKTHREAD Thread)
{
    DISPATCHER_HEADER *Header = &Thread->Header;
    Satisfied Released(Header);
    Header->SignalState = 1;
    while (!IsListEmpty(&Header->WaitListHead))
        Released.TakeFirst(Header);
}

}  // namespace host::detail

using namespace host::detail;

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    InitializeDispatcherHeader(
        &Event->Header, Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
        State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("KeSetEvent at IRQL %u", KeGetCurrentIrql());
    DISPATCHER_HEADER *Header = &Event->Header;
    Satisfied Released(Header);
    LONG Previous = Header->SignalState;
    if (Header->Type == EventNotificationObject) {
        Header->SignalState = 1;
        while (!IsListEmpty(&Header->WaitListHead))
            Released.TakeFirst(Header);
    } else if (Header->Type == EventSynchronizationObject) {
        // One waiter takes the signal; without waiters the event stays set.
        if (Previous == 0 && !IsListEmpty(&Header->WaitListHead))
            Released.TakeFirst(Header);
        else
            Header->SignalState = 1;
    } else {
        BugCheck("KeSetEvent on %p, which is not an event", (void *)Event);
    }
    return Previous;
}

void KeClearEvent(PRKEVENT Event)
{
    StripeGuard Guard(LockOf(&Event->Header));
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    StripeGuard Guard(LockOf(&Event->Header));
    LONG Previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return Previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    StripeGuard Guard(LockOf(&Event->Header));
    return Event->Header.SignalState;
}

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    InitializeDispatcherHeader(&Semaphore->Header, SemaphoreObject, Count);
    Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("KeReleaseSemaphore at IRQL %u", KeGetCurrentIrql());
    DISPATCHER_HEADER *Header = &Semaphore->Header;
    if (Header->Type != SemaphoreObject)
        BugCheck("KeReleaseSemaphore on %p, which is not a semaphore", (void *)Semaphore);
    Satisfied Released(Header);
    LONG Previous = Header->SignalState;
    if (Adjustment <= 0 || LONGLONG(Previous) + Adjustment > Semaphore->Limit)
        // The platform raises STATUS_SEMAPHORE_LIMIT_EXCEEDED, which kernel
        // code does not catch.
        BugCheck("KeReleaseSemaphore: count %d + %d exceeds the limit %d (0xC0000047)", Previous, Adjustment,
                 Semaphore->Limit);
    Header->SignalState = Previous + Adjustment;
    while (Header->SignalState > 0 && !IsListEmpty(&Header->WaitListHead)) {
        Header->SignalState--;
        Released.TakeFirst(Header);
    }
    return Previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    StripeGuard Guard(LockOf(&Semaphore->Header));
    return Semaphore->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    auto *Header = static_cast<DISPATCHER_HEADER *>(Object);
    CheckDispatcherObject(Header);
    bool Poll = Timeout && Timeout->QuadPart == 0;
    if (!Poll && KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL: blocking KeWaitForSingleObject at IRQL %u", KeGetCurrentIrql());
    if (Poll && KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("KeWaitForSingleObject at IRQL %u", KeGetCurrentIrql());

    StripeLock &Lock = LockOf(Header);
    WaitBlock Block;
    {
        StripeGuard Guard(Lock);
        if (TryAcquire(Header))
            return STATUS_WAIT_0;
        if (Poll)
            return STATUS_TIMEOUT;
        InsertTailList(&Header->WaitListHead, &Block.Entry);
    }

    // A signaller marks this block satisfied only after its last access to
    // the object (see Satisfied), so the caller may free the object as soon as
    // it sees the mark, without passing through the object's lock.
    const bool Timed = Timeout != nullptr;
    const auto Deadline = Timed ? std::chrono::steady_clock::now() + IntervalOf(Timeout)
                                : std::chrono::steady_clock::time_point::max();
    for (;;) {
        uint32_t Expected = Waiting;
        if (Block.State.load(std::memory_order_acquire) == SatisfiedState)
            return STATUS_WAIT_0;
        if (!Block.State.compare_exchange_strong(Expected, Sleeping, std::memory_order_acquire) &&
            Expected == SatisfiedState)
            return STATUS_WAIT_0;
        timespec Relative, *Limit = nullptr;
        if (Timed) {
            auto Left = Deadline - std::chrono::steady_clock::now();
            if (Left.count() <= 0)
                break;
            auto Nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(Left).count();
            Relative = {time_t(Nanos / 1000000000), long(Nanos % 1000000000)};
            Limit = &Relative;
        }
        Futex(&Block.State, FUTEX_WAIT, Sleeping, Limit);
    }
    // Timed out, unless a signal satisfied the wait meanwhile.
    StripeGuard Guard(Lock);
    if (Block.State.load(std::memory_order_acquire) == SatisfiedState)
        return STATUS_WAIT_0;
    RemoveEntryList(&Block.Entry);
    return STATUS_TIMEOUT;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    if (KeGetCurrentIrql() > APC_LEVEL)
        BugCheck("KeDelayExecutionThread at IRQL %u", KeGetCurrentIrql());
    auto Duration = IntervalOf(Interval);
    SleepFor(std::chrono::nanoseconds((long long)std::llround(double(Duration.count()) * DelayScale.load())));
    return STATUS_SUCCESS;
}

namespace host {
void SetDelayScale(double Scale)
{
    DelayScale.store(Scale);
}
}  // namespace host
