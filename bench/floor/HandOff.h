// The request path's floor: submitting threads hand a request to one worker
// thread, which serves it and completes it while the submitter waits. Built
// from the host's cheapest primitives: one FIFO under a lock that spins
// briefly before it sleeps, and futex words that are only woken when their
// owner actually sleeps on them. The in-process
// floor benchmark and the floor nbdkit plugin both use it, so the two floors
// cost the same per hand-off.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace floorpath {

inline void FutexWait(std::atomic<uint32_t> *Word, uint32_t Value) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(Word), FUTEX_WAIT_PRIVATE, Value, nullptr,
            nullptr, 0);
}
inline void FutexWake(std::atomic<uint32_t> *Word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(Word), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
}

// A lock held for a few pointer updates: a contender spins briefly, then
// sleeps on the lock word (0 free, 1 held, 2 held and slept on).
class Lock {
public:
    void lock() {
        uint32_t Seen = 0;
        if (Word.compare_exchange_strong(Seen, 1, std::memory_order_acquire))
            return;
        for (int Spins = 0; Spins < 200; ++Spins) {
            __builtin_ia32_pause();
            Seen = Word.load(std::memory_order_relaxed);
            if (Seen == 0 && Word.compare_exchange_weak(Seen, 1, std::memory_order_acquire))
                return;
        }
        if (Seen != 2)
            Seen = Word.exchange(2, std::memory_order_acquire);
        while (Seen != 0) {
            FutexWait(&Word, 2);
            Seen = Word.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() {
        if (Word.exchange(0, std::memory_order_release) == 2)
            FutexWake(&Word);
    }

private:
    std::atomic<uint32_t> Word{0};
};

// One request in flight; lives on the submitter's stack.
struct Request {
    Request *Next = nullptr;
    std::atomic<uint32_t> State{0};  // 0 pending, 1 complete, 2 submitter asleep
    int Result = 0;

    void Complete(int Value) {
        Result = Value;
        if (State.exchange(1, std::memory_order_release) == 2)
            FutexWake(&State);
    }
    void Wait() {
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
    void Submit(Request *R) {
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
    Request *Take() {
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
    void Stop() {
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
