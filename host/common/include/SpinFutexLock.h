// A lock held for a few pointer and counter updates: a contender spins
// briefly, then sleeps on the lock word (0 free, 1 held, 2 held and slept
// on), and an unlock wakes a sleeper only when there is one. The host
// kernel's dispatcher guards its objects with it, and the benchmarks' floor
// of the request path hands requests over under it, so both pay the same.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace host {

inline void FutexWaitWord(std::atomic<uint32_t> *Word, uint32_t Value)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(Word), FUTEX_WAIT_PRIVATE, Value, nullptr, nullptr, 0);
}

inline void FutexWakeWord(std::atomic<uint32_t> *Word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(Word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

class SpinFutexLock {
public:
    void lock()
    {
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
            FutexWaitWord(&Word, 2);
            Seen = Word.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock()
    {
        if (Word.exchange(0, std::memory_order_release) == 2)
            FutexWakeWord(&Word);
    }

private:
    std::atomic<uint32_t> Word{0};
};

}  // namespace host
