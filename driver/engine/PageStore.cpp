// The memory tier's page store: chunks of physical pages obtained on demand
// and mapped one at a time into a reserved window of system addresses.
#include "PageStore.h"

// Makes chunk Index the one mapped into the window. FALSE, with nothing
// mapped, when the platform refuses the mapping.
static BOOLEAN PageStoreMapChunk(PMemoryPageStore Store, ULONG Index)
{
    PMDL Chunk = Store->Chunks[Index];
    PVOID Address;

    if (Store->MappedChunk == Chunk && Store->MappedAddress != NULL)
        return TRUE;

    if (Store->MappedChunk != NULL && Store->MappedAddress != NULL)
        MmUnmapReservedMapping(Store->MappingWindow, CACHE_POOL_TAG, Store->MappedChunk);
    Store->MappedChunk = NULL;
    Store->MappedAddress = NULL;

    Address = MmMapLockedPagesWithReservedMapping(Store->MappingWindow, CACHE_POOL_TAG, Chunk, MmCached);
    if (Address == NULL)
        return FALSE;
    Store->MappedChunk = Chunk;
    Store->MappedAddress = Address;
    return TRUE;
}

static void PageStoreFreeChunk(PMDL Chunk)
{
    MmFreePagesFromMdl(Chunk);
    ExFreePoolWithTag(Chunk, 0);
}

BOOLEAN PageStoreInitialize(PMemoryPageStore Store, ULONGLONG MemorySize, ULONG ChunkSize)
{
    ULONGLONG Count;

    RtlZeroMemory(Store, sizeof(*Store));
    if (ChunkSize == 0)
        return FALSE;

    Count = MemorySize / ChunkSize;
    if (MemorySize % ChunkSize)
        Count++;
    // Every chunk needs an entry in a pool-allocated array.
    if (Count == 0 || Count > (ULONGLONG)(~(SIZE_T)0 / sizeof(PMDL)) || Count > 0xFFFFFFFFull)
        return FALSE;
    Store->ChunkCount = (ULONG)Count;
    Store->ChunkSize = ChunkSize;

    Store->MappingWindow = MmAllocateMappingAddress(ChunkSize, CACHE_POOL_TAG);
    if (Store->MappingWindow == NULL)
        return FALSE;

    Store->Chunks = (PMDL *)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)Count * sizeof(PMDL), CACHE_POOL_TAG);
    if (Store->Chunks == NULL) {
        PageStoreRelease(Store);
        return FALSE;
    }
    RtlZeroMemory(Store->Chunks, (SIZE_T)Count * sizeof(PMDL));

    Store->ChunksAllocated = 0;
    Store->LowAddress = 0;
    Store->HighAddress = 0xFFFFFFFFFFFFFFFFull;
    Store->SkipBytes = 0;
    Store->MappedChunk = NULL;
    Store->MappedAddress = NULL;
    Store->Exhausted = 0;

    // The first chunk comes from anywhere in physical memory, and must be
    // usable: a store whose only chunk cannot be mapped holds nothing.
    if (PageStoreAllocateChunk(Store) == NULL || Store->MappedChunk != Store->Chunks[0]) {
        PageStoreRelease(Store);
        return FALSE;
    }

    Store->LowAddress = PAGE_STORE_FIRST_LOW;
    Store->HighAddress = PAGE_STORE_FIRST_HIGH;
    return TRUE;
}

PMDL PageStoreAllocateChunk(PMemoryPageStore Store)
{
    PHYSICAL_ADDRESS Low, High, Skip;
    PMDL Chunk;

    if (Store->ChunksAllocated >= Store->ChunkCount)
        return NULL;

    for (;;) {
        Low.QuadPart = (LONGLONG)Store->LowAddress;
        High.QuadPart = (LONGLONG)Store->HighAddress;
        Skip.QuadPart = (LONGLONG)Store->SkipBytes;
        Chunk = MmAllocatePagesForMdl(Low, High, Skip, Store->ChunkSize);
        if (Chunk != NULL) {
            if (MmGetMdlByteCount(Chunk) == Store->ChunkSize) {
                Store->Chunks[Store->ChunksAllocated] = Chunk;
                Store->ChunksAllocated++;
                // A refused mapping leaves the window empty; the next access
                // to the chunk tries again.
                PageStoreMapChunk(Store, Store->ChunksAllocated - 1);
                return Chunk;
            }
            // A shorter chunk counts as a failure of this window.
            PageStoreFreeChunk(Chunk);
        }

        if (Store->LowAddress == 0) {
            Store->Exhausted = 1;
            return NULL;
        }
        Store->HighAddress -= PAGE_STORE_WINDOW_STEP;
        Store->LowAddress = Store->HighAddress - (PAGE_STORE_WINDOW_STEP - 1);
    }
}

// Copies Length bytes between Buffer and the store at Offset, chunk by chunk,
// mapping each chunk into the window in turn. A write obtains the chunks it
// needs, in order; a read only touches chunks already obtained. Returns the
// bytes copied: less than Length when a chunk is missing, cannot be obtained
// or cannot be mapped, or the range leaves the store.
static ULONG PageStoreCopy(PMemoryPageStore Store, PUCHAR Buffer, ULONGLONG Offset, LONG Length,
                           BOOLEAN Write)
{
    ULONG Copied = 0;
    ULONGLONG Position;
    ULONG Index, Within, Piece;
    PUCHAR Mapped;

    if (Length <= 0 || Store->Chunks == NULL)
        return 0;

    while (Copied < (ULONG)Length) {
        Position = Offset + Copied;
        if (Position / Store->ChunkSize >= Store->ChunkCount)
            break;
        Index = (ULONG)(Position / Store->ChunkSize);
        Within = (ULONG)(Position % Store->ChunkSize);

        // Chunks are obtained strictly in order, and only by writes.
        while (Store->ChunksAllocated <= Index) {
            if (!Write || PageStoreAllocateChunk(Store) == NULL)
                return Copied;
        }
        if (!PageStoreMapChunk(Store, Index))
            break;

        Piece = Store->ChunkSize - Within;
        if (Piece > (ULONG)Length - Copied)
            Piece = (ULONG)Length - Copied;
        Mapped = (PUCHAR)Store->MappedAddress + Within;
        if (Write)
            RtlCopyMemory(Mapped, Buffer + Copied, Piece);
        else
            RtlCopyMemory(Buffer + Copied, Mapped, Piece);
        Copied += Piece;
    }
    return Copied;
}

ULONG PageStoreWrite(PMemoryPageStore Store, const VOID *Source, ULONGLONG Offset, LONG Length)
{
    return PageStoreCopy(Store, (PUCHAR)Source, Offset, Length, TRUE);
}

ULONG PageStoreRead(PMemoryPageStore Store, PVOID Destination, ULONGLONG Offset, LONG Length)
{
    return PageStoreCopy(Store, (PUCHAR)Destination, Offset, Length, FALSE);
}

BOOLEAN PageStoreIsExhausted(PMemoryPageStore Store)
{
    return Store->Exhausted;
}

void PageStoreRelease(PMemoryPageStore Store)
{
    ULONG Index;

    if (Store->MappedChunk != NULL && Store->MappedAddress != NULL)
        MmUnmapReservedMapping(Store->MappingWindow, CACHE_POOL_TAG, Store->MappedChunk);
    Store->MappedChunk = NULL;
    Store->MappedAddress = NULL;

    if (Store->MappingWindow != NULL)
        MmFreeMappingAddress(Store->MappingWindow, CACHE_POOL_TAG);
    Store->MappingWindow = NULL;

    // Chunks are obtained in index order: only the first ChunksAllocated
    // entries can hold one, however large the array is.
    if (Store->Chunks != NULL) {
        for (Index = 0; Index < Store->ChunksAllocated; Index++) {
            if (Store->Chunks[Index] != NULL)
                PageStoreFreeChunk(Store->Chunks[Index]);
        }
        ExFreePoolWithTag(Store->Chunks, CACHE_POOL_TAG);
    }
    Store->Chunks = NULL;
    Store->ChunksAllocated = 0;
}
