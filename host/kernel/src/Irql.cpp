// IRQL and interrupt state of each thread, spin locks and the interlocked
// list operations. The IRQL is tracked per thread: it decides which calls are
// legal (no blocking wait above APC_LEVEL), it does not preempt anything.
#include "KernelInternal.h"

#include <sched.h>

namespace host::detail {
namespace {

thread_local KIRQL CurrentIrql = PASSIVE_LEVEL;
thread_local bool InterruptsOff = false;
thread_local char SpinOwnerTag;  // its address identifies the thread as a spin lock owner

ULONG_PTR SpinOwner()
{
    return reinterpret_cast<ULONG_PTR>(&SpinOwnerTag) | 1;
}

}  // namespace

void ResetIrqlState()
{
    CurrentIrql = PASSIVE_LEVEL;
    InterruptsOff = false;
}

// Takes the lock word without touching the IRQL (the caller has raised it or,
// for the interlocked lists, stands for a section with interrupts disabled).
void SpinAcquireRaw(PKSPIN_LOCK Lock)
{
    const ULONG_PTR Self = SpinOwner();
    for (unsigned Spins = 0;; ++Spins) {
        ULONG_PTR Expected = 0;
        if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == 0 &&
            __atomic_compare_exchange_n(Lock, &Expected, Self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        if (__atomic_load_n(Lock, __ATOMIC_RELAXED) == Self)
            BugCheck("spin lock %p acquired recursively (deadlock)", (void *)Lock);
        // The holder may have been preempted: give the processor away rather
        // than spin through its whole time slice.
        if (Spins < 64)
            YieldProcessor();
        else
            sched_yield();
    }
}

void SpinReleaseRaw(PKSPIN_LOCK Lock)
{
    ULONG_PTR Held = __atomic_load_n(Lock, __ATOMIC_RELAXED);
    if (Held != SpinOwner())
        BugCheck("spin lock %p released by a thread that does not hold it", (void *)Lock);
    __atomic_store_n(Lock, 0, __ATOMIC_RELEASE);
}

}  // namespace host::detail

using namespace host::detail;

KIRQL KeGetCurrentIrql(void)
{
    return CurrentIrql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL Old = CurrentIrql;
    if (NewIrql < Old)
        BugCheck("IRQL_NOT_GREATER_OR_EQUAL: KfRaiseIrql to %u from %u", NewIrql, Old);
    CurrentIrql = NewIrql;
    return Old;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

void KfLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > CurrentIrql)
        BugCheck("IRQL_NOT_LESS_OR_EQUAL: KfLowerIrql to %u from %u", NewIrql, CurrentIrql);
    if (InterruptsOff && NewIrql < DISPATCH_LEVEL)
        BugCheck("KfLowerIrql to %u with interrupts disabled", NewIrql);
    CurrentIrql = NewIrql;
}

void _disable(void)
{
    if (CurrentIrql < DISPATCH_LEVEL)
        BugCheck("_disable at IRQL %u: interrupts may only be disabled at DISPATCH_LEVEL or above",
                 CurrentIrql);
    InterruptsOff = true;
}

void _enable(void)
{
    if (CurrentIrql < DISPATCH_LEVEL)
        BugCheck("_enable at IRQL %u", CurrentIrql);
    InterruptsOff = false;
}

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL Old = KfRaiseIrql(DISPATCH_LEVEL);
    SpinAcquireRaw(SpinLock);
    return Old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    SpinReleaseRaw(SpinLock);
    KfLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (CurrentIrql < DISPATCH_LEVEL)
        BugCheck("KeAcquireSpinLockAtDpcLevel at IRQL %u", CurrentIrql);
    SpinAcquireRaw(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (CurrentIrql < DISPATCH_LEVEL)
        BugCheck("KeReleaseSpinLockFromDpcLevel at IRQL %u", CurrentIrql);
    SpinReleaseRaw(SpinLock);
}

PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    SpinAcquireRaw(Lock);
    PLIST_ENTRY First = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertTailList(ListHead, ListEntry);
    SpinReleaseRaw(Lock);
    return First;
}

PLIST_ENTRY ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    SpinAcquireRaw(Lock);
    PLIST_ENTRY First = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    SpinReleaseRaw(Lock);
    return First;
}

PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    SpinAcquireRaw(Lock);
    PLIST_ENTRY Entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    SpinReleaseRaw(Lock);
    return Entry;
}

namespace host {
bool InterruptsDisabled()
{
    return InterruptsOff;
}
}  // namespace host
