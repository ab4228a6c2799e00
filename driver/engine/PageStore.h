// The memory tier's bytes: physical-page chunks seen through one mapping window.
//
// Store offset o lies in chunk o / ChunkSize at byte o % ChunkSize. Chunks
// are obtained in index order, the first at set-up and each later one when a
// write first needs it; at most one chunk is mapped (into MappingWindow) at a
// time. Only the volume's worker thread reads and writes a store; set-up and
// release run while no worker does.
#pragma once

#include "CacheBase.h"

typedef struct _MemoryPageStore {
    UCHAR Exhausted;
    ULONG ChunkSize;
    PMDL *Chunks;
    ULONG ChunksAllocated;
    ULONG ChunkCount;
    PVOID MappingWindow;
    PMDL MappedChunk;
    PVOID MappedAddress;
    ULONGLONG LowAddress;
    ULONGLONG HighAddress;
    ULONGLONG SkipBytes;
} MemoryPageStore, *PMemoryPageStore;

// Physical window search: the first chunk may come from anywhere; later ones
// are sought in the highest gigabyte below 32 GiB and then one gigabyte lower
// at a time, never moving up again.
#define PAGE_STORE_FIRST_LOW   0x7C0000000ull
#define PAGE_STORE_FIRST_HIGH  0x7FFFFFFFFull
#define PAGE_STORE_WINDOW_STEP 0x40000000ull

// Sets up a zeroed or stale record: reserves the window, obtains and maps the
// first chunk. FALSE (nothing held) when the window, the chunk array, the
// first chunk or its mapping cannot be had, or the sizes make no store.
BOOLEAN PageStoreInitialize(PMemoryPageStore Store, ULONGLONG MemorySize, ULONG ChunkSize);
// Obtains the next chunk in order and maps it. Returns it, or NULL when none
// can be had (Exhausted is then set) or every chunk is already obtained. A
// chunk whose mapping is refused is still kept and returned; the access that
// needs it finds it unmapped and fails.
PMDL PageStoreAllocateChunk(PMemoryPageStore Store);
// Copies Length bytes from Source to store offset Offset, across as many
// chunks as the range covers, obtaining missing chunks in order. Returns the
// bytes copied: Length on success; less (0 when the first chunk was not
// obtainable) when a chunk could not be obtained or mapped, or the range ends
// past the store. Anything but Length means the range is not stored.
ULONG PageStoreWrite(PMemoryPageStore Store, const VOID *Source, ULONGLONG Offset, LONG Length);
// Copies Length bytes at store offset Offset to Destination, across as many
// chunks as the range covers. Returns Length on success; less when a chunk is
// missing or its mapping is refused. The destination's bytes past the count
// returned are then undefined, and the caller must not use the run.
ULONG PageStoreRead(PMemoryPageStore Store, PVOID Destination, ULONGLONG Offset, LONG Length);
BOOLEAN PageStoreIsExhausted(PMemoryPageStore Store);
// Unmaps the window, releases it and gives every chunk back. The caller frees
// the record.
void PageStoreRelease(PMemoryPageStore Store);
