// Statistics of a cached volume as the statistics request sees them.
//
// The engine updates the 64-bit counters of its record while the worker
// serves a request; on x86 a 64-bit copy is two 32-bit accesses, so a copy taken from
// another thread could hold half an old and half a new counter, or counters
// of a request half served. Instead the worker publishes its copy after each
// request, one 32-bit word at a time, between two increments of a sequence
// count: the count is odd while a publication is under way. A reader copies
// the words and takes the copy only when the count was even and unchanged
// around it; otherwise it copies again. The worker is the only writer, so
// publication never waits, and a publication is a few dozen stores, so a
// reader rarely copies twice.
#include "Driver.h"

#define STATISTICS_WORDS (sizeof(CacheStatistics) / sizeof(ULONG))

static_assert(sizeof(CacheStatistics) % sizeof(ULONG) == 0, "statistics are whole words");

void PublishStatistics(PVolumeCacheContext Context)
{
    ULONG Words[STATISTICS_WORDS];
    LONG Sequence = __atomic_load_n(&Context->StatisticsSequence, __ATOMIC_RELAXED);
    ULONG i;

    CacheFillStatistics(&Context->Cache, (CacheStatistics *)Words);
    // Each word is stored with release order, so a reader that sees a new
    // word also sees the odd count stored before it.
    __atomic_store_n(&Context->StatisticsSequence, Sequence + 1, __ATOMIC_RELAXED);
    for (i = 0; i < STATISTICS_WORDS; i++)
        __atomic_store_n(&Context->PublishedStatistics[i], Words[i], __ATOMIC_RELEASE);
    __atomic_store_n(&Context->StatisticsSequence, Sequence + 2, __ATOMIC_RELEASE);
}

void CopyStatistics(PVolumeCacheContext Context, CacheStatistics *Snapshot)
{
    ULONG Words[STATISTICS_WORDS];
    LONG Before, After;
    ULONG i;

    for (;;) {
        // Acquire order on each word keeps the second read of the count
        // after all of them.
        Before = __atomic_load_n(&Context->StatisticsSequence, __ATOMIC_ACQUIRE);
        for (i = 0; i < STATISTICS_WORDS; i++)
            Words[i] = __atomic_load_n(&Context->PublishedStatistics[i], __ATOMIC_ACQUIRE);
        After = __atomic_load_n(&Context->StatisticsSequence, __ATOMIC_RELAXED);
        if (Before == After && (Before & 1) == 0)
            break;
    }
    RtlCopyMemory(Snapshot, Words, sizeof(Words));
}
