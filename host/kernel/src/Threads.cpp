// Threads: system threads created by PsCreateSystemThread run on real host
// threads; any other thread that calls into the kernel gets a thread object
// on first use. A thread object is signalled when its thread ends.
#include "KernelInternal.h"

#include <pthread.h>

#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace host::detail {
namespace {

struct SystemThreadRecord {
    pthread_t Thread;
    std::atomic<bool> *Ended;
};

std::mutex ThreadLock;
std::vector<SystemThreadRecord> SystemThreads;
std::atomic<size_t> RunningSystemThreads{0};
std::atomic<uint64_t> NextThreadId{0x100};

thread_local PKTHREAD CurrentThread = nullptr;

void DestroyThread(void *Body)
{
    static_cast<PKTHREAD>(Body)->~_KTHREAD();
}

PKTHREAD NewThreadObject(bool System)
{
    void *Body = ObjectCreate(ObjectKind::Thread, sizeof(_KTHREAD), DestroyThread, !System);
    if (!Body)
        return nullptr;
    auto *Thread = new (Body) _KTHREAD();
    InitializeDispatcherHeader(&Thread->Header, ThreadObject, 0);
    Thread->Priority.store(8);
    Thread->SystemThread = System;
    Thread->Id = NextThreadId.fetch_add(4);
    return Thread;
}

// A thread that the kernel did not create (a test's main thread, a pool
// thread of the simulated volume) owns its object until it exits.
struct ForeignThread {
    PKTHREAD Thread = nullptr;
    ~ForeignThread()
    {
        if (Thread) {
            SignalThreadObject(Thread);
            ObjectDereference(Thread);
        }
    }
};
thread_local ForeignThread Foreign;

struct StartBlock {
    PKTHREAD Thread;
    std::atomic<bool> *Ended;
};

void *SystemThreadTrampoline(void *Argument)
{
    auto *Start = static_cast<StartBlock *>(Argument);
    PKTHREAD Thread = Start->Thread;
    std::atomic<bool> *Ended = Start->Ended;
    delete Start;
    CurrentThread = Thread;
    ResetIrqlState();
    if (setjmp(Thread->ExitJump) == 0) {
        Thread->StartRoutine(Thread->StartContext);
        Thread->ExitStatus = STATUS_SUCCESS;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("system thread ended at IRQL %u", KeGetCurrentIrql());
    CurrentThread = nullptr;
    SignalThreadObject(Thread);
    ObjectDereference(Thread);  // the running thread's own reference
    RunningSystemThreads.fetch_sub(1);
    Ended->store(true, std::memory_order_release);
    return nullptr;
}

}  // namespace

void ResetThreads()
{
    ReapThreads();
}

size_t LiveSystemThreads()
{
    return RunningSystemThreads.load();
}

void ReapThreads()
{
    std::vector<SystemThreadRecord> Done;
    {
        std::lock_guard<std::mutex> Guard(ThreadLock);
        for (size_t i = 0; i < SystemThreads.size();) {
            if (SystemThreads[i].Ended->load(std::memory_order_acquire)) {
                Done.push_back(SystemThreads[i]);
                SystemThreads[i] = SystemThreads.back();
                SystemThreads.pop_back();
            } else {
                ++i;
            }
        }
    }
    for (auto &Record : Done) {
        pthread_join(Record.Thread, nullptr);
        delete Record.Ended;
    }
}

}  // namespace host::detail

using namespace host::detail;

PKTHREAD KeGetCurrentThread(void)
{
    if (CurrentThread)
        return CurrentThread;
    if (!Foreign.Thread)
        Foreign.Thread = NewThreadObject(false);
    CurrentThread = Foreign.Thread;
    return CurrentThread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (Priority < 0 || Priority > HIGH_PRIORITY)
        BugCheck("KeSetPriorityThread to %d", Priority);
    return Thread->Priority.exchange(Priority);
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    (void)DesiredAccess;
    (void)ProcessHandle;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("PsCreateSystemThread at IRQL %u", KeGetCurrentIrql());
    ReapThreads();
    PKTHREAD Thread = NewThreadObject(true);
    if (!Thread)
        return STATUS_INSUFFICIENT_RESOURCES;
    Thread->StartRoutine = StartRoutine;
    Thread->StartContext = StartContext;
    ObjectReference(Thread);  // held by the running thread
    // The handle goes into the caller's process unless the attributes ask
    // for a kernel handle.
    *ThreadHandle = HandleInsert(Thread, ObjectAttributes ? ObjectAttributes->Attributes : 0);
    // takes over the creation reference
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(uintptr_t(Thread->Id));
    }
    auto *Ended = new std::atomic<bool>(false);
    auto *Start = new StartBlock{Thread, Ended};
    RunningSystemThreads.fetch_add(1);
    pthread_t Handle;
    if (pthread_create(&Handle, nullptr, SystemThreadTrampoline, Start) != 0) {
        RunningSystemThreads.fetch_sub(1);
        delete Start;
        delete Ended;
        ObjectDereference(Thread);
        HandleClose(*ThreadHandle, KernelMode);
        *ThreadHandle = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> Guard(ThreadLock);
    SystemThreads.push_back({Handle, Ended});
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    PKTHREAD Thread = CurrentThread;
    if (!Thread || !Thread->SystemThread)
        BugCheck("PsTerminateSystemThread called outside a system thread");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("PsTerminateSystemThread at IRQL %u", KeGetCurrentIrql());
    Thread->ExitStatus = ExitStatus;
    longjmp(Thread->ExitJump, 1);
}

namespace host {

KPRIORITY ThreadPriority(PKTHREAD Thread)
{
    return Thread->Priority.load();
}

bool ThreadEnded(PKTHREAD Thread)
{
    LARGE_INTEGER Poll;
    Poll.QuadPart = 0;
    return KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &Poll) == STATUS_WAIT_0;
}

size_t RunningSystemThreadCount()
{
    return LiveSystemThreads();
}

}  // namespace host
