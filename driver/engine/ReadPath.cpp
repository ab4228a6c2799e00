// Read path: cuts a read into cache blocks, groups consecutive blocks of one
// kind (missing, in memory, in the SSD tier) into runs and serves each run
// with one transfer. Misses and SSD hits are placed into the memory tier;
// memory hits are copied into the SSD tier.
//
// Runs only on the volume's worker thread, so nothing here takes a lock.
#include "CachePaths.h"
#include "PageStore.h"

// Pending run of one kind. Memory and SSD runs also hold consecutive slots.
typedef struct _PendingRun {
    ULONG FirstBlock;
    ULONG FirstSlot;
    ULONG Count;
    PUCHAR Buffer;
    ULONG LastBlock;
    ULONG LastSlot;
} PendingRun;

#define NO_BLOCK 0xFFFFFFFFu

PUCHAR AcquireBounceBuffer(PVolumeCacheContext Context, ULONG Bytes)
{
    PUCHAR Bounce;

    if (Bytes <= CACHE_TRANSFER_BUFFER_SIZE)
        return Context->TransferBuffer;
    Bounce = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Bytes, CACHE_POOL_TAG);
    if (Bounce == NULL)
        Context->PassOnUncached = TRUE;
    return Bounce;
}

void ReleaseBounceBuffer(PVolumeCacheContext Context, PUCHAR Bounce)
{
    if (Bounce != NULL && Bounce != Context->TransferBuffer)
        ExFreePoolWithTag(Bounce, CACHE_POOL_TAG);
}

ULONG RunCallerBytes(ULONG FirstBlock, ULONG Count, ULONG RequestFirst, ULONG RequestCount,
                     ULONG Head, ULONG Tail, ULONG BlockSize, PULONG Skip)
{
    ULONG Bytes = BlockSize * Count;

    *Skip = 0;
    if (FirstBlock == RequestFirst) {
        *Skip = Head;
        Bytes -= Head;
    }
    if (FirstBlock + Count == RequestFirst + RequestCount)
        Bytes -= Tail;
    return Bytes;
}

ULONG CacheableBlockCount(PVolumeCacheContext Context)
{
    return (ULONG)(Context->VolumeLength / Context->Statistics.CacheBlockSize);
}

// A slot put back by DropBlockEntry sits at the front of the LRU table under
// the block number just past the cacheable blocks, which never has a bit of
// its own, and a tick below every real one.
#define FREE_SLOT_TICK_HIGH ((LONG)0x80000000)

static BOOLEAN IsFreeSlotEntry(PVolumeCacheContext Context, const BlockEntry *Entry)
{
    return Entry->TickHigh == FREE_SLOT_TICK_HIGH && Entry->Block == CacheableBlockCount(Context);
}

void ReleaseSlot(PVolumeCacheContext Context, PTierIndex Tier, ULONG Slot)
{
    BlockEntry Free;
    BOOLEAN Inserted;

    Free.Block = CacheableBlockCount(Context);
    Free.Slot = Slot;
    Free.TickLow = Slot;
    Free.TickHigh = FREE_SLOT_TICK_HIGH;
    // Without a node the slot is simply never used again: the tier is one
    // slot smaller, and nothing maps to stale bytes.
    RtlInsertElementGenericTable(Tier->LruTable, &Free, sizeof(Free), &Inserted);
}

BOOLEAN EvictForSlot(PVolumeCacheContext Context, PTierIndex Tier, PULONG Slot)
{
    PBlockEntry Oldest;
    BlockEntry Free;

    Oldest = (PBlockEntry)RtlEnumerateGenericTable(Tier->LruTable, TRUE);
    if (Oldest == NULL)
        return FALSE;
    if (IsFreeSlotEntry(Context, Oldest)) {
        Free = *Oldest;
        RtlDeleteElementGenericTable(Tier->LruTable, &Free);
        *Slot = Free.Slot;
        return TRUE;
    }
    *Slot = EvictLeastRecentlyUsed(Tier);
    return *Slot != CACHE_NO_SLOT;
}

BOOLEAN TakeMemorySlot(PVolumeCacheContext Context, PTierIndex Tier, PULONG Slot)
{
    if (!PageStoreIsExhausted(Context->MemoryStore) && *Tier->SlotsUsed < Tier->SlotCount) {
        *Slot = *Tier->SlotsUsed;
        *Tier->SlotsUsed += 1;
        *Tier->BlocksUsed += 1;
        return TRUE;
    }
    return EvictForSlot(Context, Tier, Slot);
}

void DropBlockEntry(PVolumeCacheContext Context, PTierIndex Tier, ULONG Block, ULONG Slot)
{
    PBlockEntry Entry;
    BlockEntry Copy;

    if (!BitmapTest(Tier->Bitmap, Block))
        return;
    Entry = LookupBlockEntry(Tier->LookupTable, Block);
    if (Entry == NULL || (Slot != CACHE_ANY_SLOT && Entry->Slot != Slot))
        return;
    Copy = *Entry;
    BitmapSet(Tier->Bitmap, Block, 0);
    RtlDeleteElementGenericTable(Tier->LruTable, &Copy);
    RtlDeleteElementGenericTable(Tier->LookupTable, &Copy);
    ReleaseSlot(Context, Tier, Copy.Slot);
}

void DropCachedRange(PVolumeCacheContext Context, ULONG FirstBlock, ULONG Count)
{
    TierIndex Memory = MemoryTierIndex(Context);
    TierIndex Ssd;
    ULONG i;

    for (i = 0; i < Count; i++)
        DropBlockEntry(Context, &Memory, FirstBlock + i, CACHE_ANY_SLOT);
    if (!Context->Statistics.SsdEnabled)
        return;
    Ssd = SsdTierIndex(Context);
    for (i = 0; i < Count; i++)
        DropBlockEntry(Context, &Ssd, FirstBlock + i, CACHE_ANY_SLOT);
}

void DropCoveredBlocks(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONGLONG Cacheable = CacheableBlockCount(Context);
    ULONGLONG First, Last;

    if (Length == 0)
        return;
    First = Offset / BlockSize;
    if (First >= Cacheable)
        return;
    Last = (Offset + Length - 1) / BlockSize;
    if (Last >= Cacheable)
        Last = Cacheable - 1;
    DropCachedRange(Context, (ULONG)First, (ULONG)(Last - First + 1));
}

BOOLEAN RunStillInSlots(PTierIndex Tier, BOOLEAN TierFull, ULONG FirstBlock,
                        ULONG FirstSlot, ULONG Count)
{
    PBlockEntry Entry;
    ULONG j;

    // Slots are reused only by evictions, and a tier evicts only once it is
    // full: before that every recorded slot still holds its block.
    if (!TierFull)
        return TRUE;
    for (j = 0; j < Count; j++) {
        if (!BitmapTest(Tier->Bitmap, FirstBlock + j))
            return FALSE;
        Entry = LookupBlockEntry(Tier->LookupTable, FirstBlock + j);
        if (Entry == NULL || Entry->Slot != FirstSlot + j)
            return FALSE;
    }
    return TRUE;
}

static BOOLEAN MemoryTierFull(PVolumeCacheContext Context)
{
    return PageStoreIsExhausted(Context->MemoryStore) ||
           Context->MemorySlotsUsed >= Context->MemorySlotCount;
}

void PlaceInMemory(PVolumeCacheContext Context, ULONG Block, const UCHAR *Source)
{
    TierIndex Tier = MemoryTierIndex(Context);
    ULONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONG FreshSlots = Context->MemorySlotsUsed;
    ULONG Slot;

    if (BitmapTest(Tier.Bitmap, Block))
        return;
    if (!TakeMemorySlot(Context, &Tier, &Slot))
        return;
    if (PageStoreWrite(Context->MemoryStore, Source, (ULONGLONG)Slot * BlockSize,
                       (LONG)BlockSize) != BlockSize) {
        // A fresh slot whose chunk cannot be obtained leaves the store
        // exhausted and is never used; the block then takes the least
        // recently used slot instead. Any other failure (a refused mapping)
        // gives the slot back rather than evict block after block into slots
        // that cannot be written.
        if (Context->MemorySlotsUsed == FreshSlots || !PageStoreIsExhausted(Context->MemoryStore)) {
            ReleaseSlot(Context, &Tier, Slot);
            return;
        }
        if (!EvictForSlot(Context, &Tier, &Slot))
            return;
        if (PageStoreWrite(Context->MemoryStore, Source, (ULONGLONG)Slot * BlockSize,
                           (LONG)BlockSize) != BlockSize) {
            ReleaseSlot(Context, &Tier, Slot);
            return;
        }
    }
    if (!InsertBlockEntry(&Tier, Block, Slot))
        ReleaseSlot(Context, &Tier, Slot);
}

NTSTATUS ReadRunFromVolume(ULONG FirstBlock, ULONG Count, PUCHAR RunBuffer, PUCHAR Bounce,
                           ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                           PVolumeCacheContext Context, PULONG Transferred)
{
    ULONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONG Information = 0;
    ULONG Skip;
    ULONG Copied;
    NTSTATUS Status;

    Status = TargetDeviceIo(IRP_MJ_READ, (ULONGLONG)FirstBlock * BlockSize, BlockSize * Count,
                            Bounce, Context, &Information);
    if (Status != STATUS_SUCCESS)
        return Status;
    if (Information != BlockSize * Count)
        return STATUS_IO_DEVICE_ERROR;

    Copied = RunCallerBytes(FirstBlock, Count, RequestFirst, RequestCount, Head, Tail,
                            BlockSize, &Skip);
    RtlCopyMemory(RunBuffer + Skip, Bounce + Skip, Copied);
    *Transferred += Copied;
    Context->Statistics.VolumeReadBytes += Copied;
    Context->Statistics.VolumeReads += 1;
    return STATUS_SUCCESS;
}

NTSTATUS ReadMissRun(ULONG FirstBlock, ULONG Count, PUCHAR RunBuffer,
                     ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                     PVolumeCacheContext Context, PULONG Transferred)
{
    ULONG BlockSize = Context->Statistics.CacheBlockSize;
    PUCHAR Bounce;
    NTSTATUS Status;
    ULONG j;

    Bounce = AcquireBounceBuffer(Context, BlockSize * Count);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    // A failed volume read places nothing and gives the caller nothing.
    Status = ReadRunFromVolume(FirstBlock, Count, RunBuffer, Bounce, RequestFirst, RequestCount,
                               Head, Tail, Context, Transferred);
    if (Status == STATUS_SUCCESS) {
        for (j = 0; j < Count; j++)
            PlaceInMemory(Context, FirstBlock + j, Bounce + j * BlockSize);
    }
    ReleaseBounceBuffer(Context, Bounce);
    return Status;
}

NTSTATUS ReadMemoryRun(ULONG FirstBlock, ULONG FirstSlot, ULONG Count, PUCHAR RunBuffer,
                       ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                       PVolumeCacheContext Context, PULONG Transferred)
{
    ULONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONG RunBytes = BlockSize * Count;
    ULONGLONG StoreOffset = (ULONGLONG)FirstSlot * BlockSize;
    TierIndex Tier = MemoryTierIndex(Context);
    PUCHAR Bounce;
    ULONG Skip;
    ULONG Copied;
    NTSTATUS Status = STATUS_SUCCESS;

    Bounce = AcquireBounceBuffer(Context, RunBytes);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    Copied = RunCallerBytes(FirstBlock, Count, RequestFirst, RequestCount, Head, Tail,
                            BlockSize, &Skip);

    // An earlier run of this request may have evicted some of these blocks
    // and reused their slots; the volume then supplies the run.
    if (!RunStillInSlots(&Tier, MemoryTierFull(Context), FirstBlock, FirstSlot, Count)) {
        Status = ReadRunFromVolume(FirstBlock, Count, RunBuffer, Bounce, RequestFirst,
                                   RequestCount, Head, Tail, Context, Transferred);
        goto Done;
    }

    if (!Context->Statistics.SsdEnabled) {
        if (Copied != 0 && PageStoreRead(Context->MemoryStore, RunBuffer + Skip, StoreOffset + Skip,
                          (LONG)Copied) != Copied) {
            Status = ReadRunFromVolume(FirstBlock, Count, RunBuffer, Bounce, RequestFirst,
                                       RequestCount, Head, Tail, Context, Transferred);
            goto Done;
        }
    } else {
        if (PageStoreRead(Context->MemoryStore, Bounce, StoreOffset, (LONG)RunBytes) != RunBytes) {
            Status = ReadRunFromVolume(FirstBlock, Count, RunBuffer, Bounce, RequestFirst,
                                       RequestCount, Head, Tail, Context, Transferred);
            goto Done;
        }
        RtlCopyMemory(RunBuffer + Skip, Bounce + Skip, Copied);
        PromoteRunToSsd(Context, FirstBlock, Count, Bounce);
    }

    *Transferred += Copied;
    Context->Statistics.MemoryHitBytes += Copied;
    Context->Statistics.MemoryHits += 1;

Done:
    ReleaseBounceBuffer(Context, Bounce);
    return Status;
}

// A request that ends beyond the cacheable blocks goes to the volume as it
// came, through the bounce buffer, and leaves the block index alone.
static NTSTATUS ReadPastCache(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                              PVolumeCacheContext Context, PULONG Transferred)
{
    ULONG Information = 0;
    PUCHAR Bounce;
    NTSTATUS Status;

    Bounce = AcquireBounceBuffer(Context, Length);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    Status = TargetDeviceIo(IRP_MJ_READ, Offset, Length, Bounce, Context, &Information);
    if (Status == STATUS_SUCCESS) {
        if (Information > Length)
            Information = Length;
        RtlCopyMemory(Buffer, Bounce, Information);
        *Transferred = Information;
    }
    ReleaseBounceBuffer(Context, Bounce);
    return Status;
}

BOOLEAN RequestWithinCache(PVolumeCacheContext Context, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Context->Statistics.CacheBlockSize;
    ULONGLONG Limit = (ULONGLONG)CacheableBlockCount(Context) * BlockSize;
    ULONGLONG Head = Offset & (BlockSize - 1);

    if (Offset > Limit || Length > Limit - Offset)
        return FALSE;
    // Run and buffer sizes are 32-bit byte counts.
    return Head + Length + BlockSize - 1 <= 0xFFFFFFFFull;
}

static NTSTATUS ServePending(UCHAR Kind, PendingRun *Run, ULONG RequestFirst, ULONG RequestCount,
                             ULONG Head, ULONG Tail, PVolumeCacheContext Context,
                             PULONG Transferred)
{
    NTSTATUS Status;

    if (Run->Count == 0)
        return STATUS_SUCCESS;
    if (Kind == BlockNotCached)
        Status = ReadMissRun(Run->FirstBlock, Run->Count, Run->Buffer, RequestFirst,
                             RequestCount, Head, Tail, Context, Transferred);
    else if (Kind == BlockInMemory)
        Status = ReadMemoryRun(Run->FirstBlock, Run->FirstSlot, Run->Count, Run->Buffer,
                               RequestFirst, RequestCount, Head, Tail, Context, Transferred);
    else
        Status = ReadSsdRun(Run->FirstBlock, Run->FirstSlot, Run->Count, Run->Buffer,
                            RequestFirst, RequestCount, Head, Tail, Context, Transferred);
    Run->FirstBlock = NO_BLOCK;
    Run->Count = 0;
    return Status;
}

// Adds a block to the pending run of its kind. When the block does not
// continue the run, the run is served first and a new one opens at the block.
static NTSTATUS AddToRun(UCHAR Kind, PendingRun *Run, ULONG Block, ULONG Slot, PUCHAR Position,
                         ULONG RequestFirst, ULONG RequestCount, ULONG Head, ULONG Tail,
                         PVolumeCacheContext Context, PULONG Transferred)
{
    NTSTATUS Status;

    if (Run->Count != 0) {
        if (Block == Run->LastBlock + 1 && (Kind == BlockNotCached || Slot == Run->LastSlot + 1)) {
            Run->Count += 1;
            Run->LastBlock = Block;
            Run->LastSlot = Slot;
            return STATUS_SUCCESS;
        }
        Status = ServePending(Kind, Run, RequestFirst, RequestCount, Head, Tail, Context,
                              Transferred);
        if (Status != STATUS_SUCCESS)
            return Status;
    }
    Run->FirstBlock = Block;
    Run->FirstSlot = Slot;
    Run->Count = 1;
    Run->Buffer = Position;
    Run->LastBlock = Block;
    Run->LastSlot = Slot;
    return STATUS_SUCCESS;
}

NTSTATUS CacheReadRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PVolumeCacheContext Context, PIRP Irp, PULONG Transferred)
{
    ULONG BlockSize = Context->Statistics.CacheBlockSize;
    TierIndex Memory;
    PendingRun Miss, Hit, SsdHit;
    PBlockEntry Entry;
    BlockLocation Location;
    ULONG Head, First, Count, Tail, End, Block, i;
    PUCHAR Base;
    NTSTATUS Status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(Irp);

    if (!RequestWithinCache(Context, Offset, Length))
        return ReadPastCache(Buffer, Offset, Length, Context, Transferred);

    Head = (ULONG)(Offset & (BlockSize - 1));
    First = (ULONG)((Offset - Head) / BlockSize);
    Count = ((Head + Length + BlockSize - 1) & ~(BlockSize - 1)) / BlockSize;
    End = (Head + Length) & (BlockSize - 1);
    Tail = End == 0 ? 0 : BlockSize - End;
    Base = (PUCHAR)Buffer - Head;
    if (Count == 0)
        return STATUS_SUCCESS;

    Memory = MemoryTierIndex(Context);
    Miss.FirstBlock = Hit.FirstBlock = SsdHit.FirstBlock = NO_BLOCK;
    Miss.Count = Hit.Count = SsdHit.Count = 0;
    Miss.FirstSlot = Miss.LastSlot = 0;

    for (i = 0; i < Count; i++) {
        Block = First + i;
        Location = ClassifyBlock(Context, Block);
        Entry = NULL;
        if (Location == BlockInMemory)
            Entry = LookupBlockEntry(Memory.LookupTable, Block);
        else if (Location == BlockInSsd)
            Entry = LookupBlockEntry(&Context->SsdLookupTable, Block);
        // A set bit always has its entry; should it ever lack one, the volume
        // serves the block.
        if (Entry == NULL)
            Location = BlockNotCached;

        switch (Location) {
        case BlockInMemory:
            // The block counts as used now, before its run is served.
            TouchBlockEntry(&Memory, Entry);
            Status = AddToRun(BlockInMemory, &Hit, Block, Entry->Slot, Base + i * BlockSize,
                              First, Count, Head, Tail, Context, Transferred);
            break;
        case BlockInSsd:
            Status = AddToRun(BlockInSsd, &SsdHit, Block, Entry->Slot, Base + i * BlockSize,
                              First, Count, Head, Tail, Context, Transferred);
            break;
        default:
            Status = AddToRun(BlockNotCached, &Miss, Block, 0, Base + i * BlockSize,
                              First, Count, Head, Tail, Context, Transferred);
            break;
        }
        if (Status != STATUS_SUCCESS)
            return Status;
    }

    Status = ServePending(BlockNotCached, &Miss, First, Count, Head, Tail, Context, Transferred);
    if (Status != STATUS_SUCCESS)
        return Status;
    Status = ServePending(BlockInMemory, &Hit, First, Count, Head, Tail, Context, Transferred);
    if (Status != STATUS_SUCCESS)
        return Status;
    return ServePending(BlockInSsd, &SsdHit, First, Count, Head, Tail, Context, Transferred);
}
