// The request path's floor: submitting threads hand a request to one worker
// thread, which serves it and completes it while the submitter waits. Built
// from the host's cheapest primitives: one FIFO under a lock that spins
// briefly before it sleeps, and futex words that are only woken when their
// owner actually sleeps on them. The in-process
// floor benchmark and the floor nbdkit plugin both use it, so the two floors
// cost the same per hand-off.
#pragma once

#include "host/common/include/SpinFutexLock.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace floorpath {

inline void FutexWait(std::atomic<uint32_t> *Word, uint32_t Value)
{
    host::FutexWaitWord(Word, Value);
}
inline void FutexWake(std::atomic<uint32_t> *Word)
{
    host::FutexWakeWord(Word);
}

// The FIFO's lock: the host kernel's own spin-then-sleep lock.
using Lock = host::SpinFutexLock;

// One request in flight; lives on the submitter's stack.
struct Request {
    Request *Next = nullptr;
    std::atomic<uint32_t> State{0};  // 0 pending, 1 complete, 2 submitter asleep
    int Result = 0;

    void Complete(int Value)
    {
        Result = Value;
        if (State.exchange(1, std::memory_order_release) == 2)
            FutexWake(&State);
    }
    void Wait()
    {
        uint32_t Seen = 0;
        while (State.load(std::memory_order_acquire) != 1) {
            if (State.compare_exchange_strong(Seen, 2, std::memory_order_acquire) || Seen == 2)
                FutexWait(&State, 2);
            Seen = 0;
        }
    }
};

// The FIFO in front of the one worker. The worker sleeps only when the queue
// is empty, and a submitter wakes it only when it sleeps.
class Queue {
public:
    void Submit(Request *R)
    {
        bool Wake = false;
        {
            std::lock_guard<floorpath::Lock> Guard(QueueLock);
            R->Next = nullptr;
            (Tail ? Tail->Next : Head) = R;
            Tail = R;
            if (Sleeping.load(std::memory_order_relaxed)) {
                Sleeping.store(0, std::memory_order_relaxed);
                Wake = true;
            }
        }
        if (Wake)
            FutexWake(&Sleeping);
    }
    // The worker's take: the next request, sleeping while there is none;
    // null once Stop was called and the queue is empty.
    Request *Take()
    {
        for (;;) {
            {
                std::lock_guard<floorpath::Lock> Guard(QueueLock);
                if (Request *R = Head) {
                    Head = R->Next;
                    if (!Head)
                        Tail = nullptr;
                    return R;
                }
                if (Stopping)
                    return nullptr;
                Sleeping.store(1, std::memory_order_relaxed);
            }
            FutexWait(&Sleeping, 1);
        }
    }
    void Stop()
    {
        {
            std::lock_guard<floorpath::Lock> Guard(QueueLock);
            Stopping = true;
            Sleeping.store(0, std::memory_order_relaxed);
        }
        FutexWake(&Sleeping);
    }

private:
    floorpath::Lock QueueLock;
    Request *Head = nullptr, *Tail = nullptr;
    bool Stopping = false;
    std::atomic<uint32_t> Sleeping{0};
};

}  // namespace floorpath
