// The memory tier's bytes: physical-page chunks seen through one mapping window.
#pragma once

#include "../Driver.h"

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

BOOLEAN PageStoreInitialize(PMemoryPageStore Store, ULONGLONG MemorySize, ULONG ChunkSize);
PMDL PageStoreAllocateChunk(PMemoryPageStore Store);
ULONG PageStoreWrite(PMemoryPageStore Store, const VOID *Source, ULONGLONG Offset, LONG Length);
ULONG PageStoreRead(PMemoryPageStore Store, PVOID Destination, ULONGLONG Offset, LONG Length);
BOOLEAN PageStoreIsExhausted(PMemoryPageStore Store);
void PageStoreRelease(PMemoryPageStore Store);
