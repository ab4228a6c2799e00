// Read path: cuts a read into cache blocks, groups consecutive blocks of one
// kind (missing, in memory, in the SSD tier) into runs and serves each run
// with one transfer. Misses and SSD hits are placed into the memory tier;
// memory hits are copied into the SSD tier.
//
// Runs only on the volume's worker thread, so nothing here takes a lock.
#include "ReadPath.h"
#include "SsdTier.h"
#include "Tier.h"
#include "PageStore.h"
#include "VolumeCache.h"

// One read, cut into blocks: Count blocks from First, whose bytes belong at
// Base (block First's position in the caller's buffer, Head bytes before the
// caller's first byte); the last block ends Tail bytes after the caller's last
// byte. Transferred counts the bytes delivered so far.
typedef struct _ReadRequest {
    PUCHAR Base;
    ULONG First;
    ULONG Count;
    ULONG Head;
    ULONG Tail;
    ULONG Transferred;
} ReadRequest, *PReadRequest;

// Pending run of one kind: Count consecutive blocks from FirstBlock. Memory
// and SSD runs also hold consecutive slots from FirstSlot.
typedef struct _PendingRun {
    ULONG FirstBlock;
    ULONG FirstSlot;
    ULONG Count;
    ULONG LastBlock;
    ULONG LastSlot;
} PendingRun, *PPendingRun;

#define NO_BLOCK 0xFFFFFFFFu

// Where the run's first block belongs in the caller's buffer (which may lie
// before the caller's first byte when the run opens the request).
static PUCHAR RunBuffer(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run)
{
    return Request->Base + (Run->FirstBlock - Request->First) * Cache->Settings.CacheBlockSize;
}

// Bytes of the run that the caller receives: the whole blocks minus the head
// when the run opens the request and minus the tail when it closes it. Skip
// receives the offset of the first delivered byte within the run.
static ULONG RunCallerBytes(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run, PULONG Skip)
{
    ULONG Bytes = Cache->Settings.CacheBlockSize * Run->Count;

    *Skip = 0;
    if (Run->FirstBlock == Request->First) {
        *Skip = Request->Head;
        Bytes -= Request->Head;
    }
    if (Run->FirstBlock + Run->Count == Request->First + Request->Count)
        Bytes -= Request->Tail;
    return Bytes;
}

// Gives the caller its part of the run's whole blocks at Source. Returns the
// bytes delivered.
static ULONG DeliverRun(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run, const UCHAR *Source)
{
    ULONG Skip;
    ULONG Bytes = RunCallerBytes(Cache, Request, Run, &Skip);

    RtlCopyMemory(RunBuffer(Cache, Request, Run) + Skip, Source + Skip, Bytes);
    Request->Transferred += Bytes;
    return Bytes;
}

// Reads the whole run from the volume into Bounce and gives the caller its
// part; counts a volume read. Nothing is delivered when the volume read
// fails, and a read that succeeds with fewer bytes than the run fails with
// STATUS_IO_DEVICE_ERROR: the rest of Bounce holds bytes of some other
// transfer.
static NTSTATUS ReadRunFromVolume(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run,
                                  PUCHAR Bounce)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONG Information = 0;
    ULONG Delivered;
    NTSTATUS Status;

    Status = CacheLowerTransfer(Cache, IRP_MJ_READ, (ULONGLONG)Run->FirstBlock * BlockSize,
                                BlockSize * Run->Count, Bounce, &Information);
    if (Status != STATUS_SUCCESS)
        return Status;
    if (Information != BlockSize * Run->Count)
        return STATUS_IO_DEVICE_ERROR;

    Delivered = DeliverRun(Cache, Request, Run, Bounce);
    Cache->Counters.VolumeReadBytes += Delivered;
    Cache->Counters.VolumeReads += 1;
    return STATUS_SUCCESS;
}

// Puts the run's whole blocks at Bounce into the memory tier.
static void PlaceRunInMemory(PVolumeCache Cache, const PendingRun *Run, const UCHAR *Bounce)
{
    ULONG j;

    for (j = 0; j < Run->Count; j++)
        PlaceInMemory(&Cache->Memory, Run->FirstBlock + j, Bounce + j * Cache->Settings.CacheBlockSize);
}

static NTSTATUS ReadMissRun(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run, PUCHAR Bounce)
{
    // A failed volume read places nothing and gives the caller nothing.
    NTSTATUS Status = ReadRunFromVolume(Cache, Request, Run, Bounce);

    if (Status == STATUS_SUCCESS)
        PlaceRunInMemory(Cache, Run, Bounce);
    return Status;
}

static NTSTATUS ReadMemoryRun(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run, PUCHAR Bounce)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONG RunBytes = BlockSize * Run->Count;
    ULONGLONG StoreOffset = (ULONGLONG)Run->FirstSlot * BlockSize;
    ULONG Skip;
    ULONG Bytes = RunCallerBytes(Cache, Request, Run, &Skip);
    ULONG Delivered;

    // An earlier run of this request may have evicted some of these blocks
    // and reused their slots; the volume then supplies the run.
    if (!RunStillInSlots(&Cache->Memory, Run->FirstBlock, Run->FirstSlot, Run->Count))
        return ReadRunFromVolume(Cache, Request, Run, Bounce);

    if (!Cache->Settings.SsdEnabled) {
        // Straight into the caller's buffer: only its part of the run.
        if (Bytes != 0 && PageStoreRead(Cache->Storage.Store, RunBuffer(Cache, Request, Run) + Skip,
                                        StoreOffset + Skip, (LONG)Bytes) != Bytes)
            return ReadRunFromVolume(Cache, Request, Run, Bounce);
        Request->Transferred += Bytes;
        Delivered = Bytes;
    } else {
        if (PageStoreRead(Cache->Storage.Store, Bounce, StoreOffset, (LONG)RunBytes) != RunBytes)
            return ReadRunFromVolume(Cache, Request, Run, Bounce);
        Delivered = DeliverRun(Cache, Request, Run, Bounce);
        PromoteRunToSsd(Cache, Run->FirstBlock, Run->Count, Bounce);
    }

    Cache->Counters.MemoryHitBytes += Delivered;
    Cache->Counters.MemoryHits += 1;
    return STATUS_SUCCESS;
}

static NTSTATUS ReadSsdRun(PVolumeCache Cache, PReadRequest Request, const PendingRun *Run, PUCHAR Bounce)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    PCacheTier Ssd = &Cache->Ssd;
    ULONG Delivered;
    NTSTATUS Status;
    ULONG j;

    // Promotions of this request may have taken some of the run's slots; and
    // a file read that fails delivers nothing. Either way the volume supplies
    // the run, and blocks whose slots cannot be trusted leave the SSD tier.
    if (!RunStillInSlots(Ssd, Run->FirstBlock, Run->FirstSlot, Run->Count)) {
        Status = ReadRunFromVolume(Cache, Request, Run, Bounce);
    } else if (CacheFileRead(Cache->Storage.CacheFile, (ULONGLONG)Run->FirstSlot * BlockSize,
                             BlockSize * Run->Count, Bounce) != STATUS_SUCCESS) {
        for (j = 0; j < Run->Count; j++)
            DropBlockEntry(Ssd, Run->FirstBlock + j, Run->FirstSlot + j);
        Status = ReadRunFromVolume(Cache, Request, Run, Bounce);
    } else {
        Delivered = DeliverRun(Cache, Request, Run, Bounce);
        Cache->Counters.SsdHitBytes += Delivered;
        Cache->Counters.SsdHits += 1;
        Status = STATUS_SUCCESS;
    }

    // The blocks stay in the SSD tier as well, untouched.
    if (Status == STATUS_SUCCESS)
        PlaceRunInMemory(Cache, Run, Bounce);
    return Status;
}

// A request that ends beyond the cacheable blocks goes to the volume as it
// came, through the bounce buffer, and leaves the block index alone.
static NTSTATUS ReadPastCache(PVOID Buffer, ULONGLONG Offset, ULONG Length, PVolumeCache Cache,
                              PULONG Transferred)
{
    ULONG Information = 0;
    PUCHAR Bounce;
    NTSTATUS Status;

    Bounce = AcquireBounceBuffer(Cache, Length);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    Status = CacheLowerTransfer(Cache, IRP_MJ_READ, Offset, Length, Bounce, &Information);
    if (Status == STATUS_SUCCESS) {
        if (Information > Length)
            Information = Length;
        RtlCopyMemory(Buffer, Bounce, Information);
        *Transferred = Information;
    }
    ReleaseBounceBuffer(Cache, Bounce);
    return Status;
}

// Serves the pending run of one kind, through a bounce buffer of the run's
// size, and closes it.
static NTSTATUS ServePending(PVolumeCache Cache, PReadRequest Request, UCHAR Kind, PPendingRun Run)
{
    PUCHAR Bounce;
    NTSTATUS Status;

    if (Run->Count == 0)
        return STATUS_SUCCESS;
    Bounce = AcquireBounceBuffer(Cache, Cache->Settings.CacheBlockSize * Run->Count);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Kind == BlockNotCached)
        Status = ReadMissRun(Cache, Request, Run, Bounce);
    else if (Kind == BlockInMemory)
        Status = ReadMemoryRun(Cache, Request, Run, Bounce);
    else
        Status = ReadSsdRun(Cache, Request, Run, Bounce);
    ReleaseBounceBuffer(Cache, Bounce);
    Run->FirstBlock = NO_BLOCK;
    Run->Count = 0;
    return Status;
}

// Adds a block to the pending run of its kind. When the block does not
// continue the run, the run is served first and a new one opens at the block.
static NTSTATUS AddToRun(PVolumeCache Cache, PReadRequest Request, UCHAR Kind, PPendingRun Run, ULONG Block,
                         ULONG Slot)
{
    NTSTATUS Status;

    if (Run->Count != 0) {
        if (Block == Run->LastBlock + 1 && (Kind == BlockNotCached || Slot == Run->LastSlot + 1)) {
            Run->Count += 1;
            Run->LastBlock = Block;
            Run->LastSlot = Slot;
            return STATUS_SUCCESS;
        }
        Status = ServePending(Cache, Request, Kind, Run);
        if (Status != STATUS_SUCCESS)
            return Status;
    }
    Run->FirstBlock = Block;
    Run->FirstSlot = Slot;
    Run->Count = 1;
    Run->LastBlock = Block;
    Run->LastSlot = Slot;
    return STATUS_SUCCESS;
}

// Classifies each block of the request and adds it to the pending run of its
// kind, then serves the runs still pending: misses, memory hits, SSD hits.
static NTSTATUS ServeBlocks(PVolumeCache Cache, PReadRequest Request)
{
    PendingRun Runs[3];  // indexed by BlockLocation
    PBlockEntry Entry;
    BlockLocation Location;
    ULONG Block, Slot, i;
    NTSTATUS Status;

    for (i = 0; i < 3; i++) {
        Runs[i].FirstBlock = NO_BLOCK;
        Runs[i].Count = 0;
        Runs[i].FirstSlot = Runs[i].LastSlot = 0;
    }

    for (i = 0; i < Request->Count; i++) {
        Block = Request->First + i;
        Location = ClassifyBlock(Cache, Block);
        Entry = NULL;
        if (Location == BlockInMemory)
            Entry = LookupBlockEntry(&Cache->Memory.LookupTable, Block);
        else if (Location == BlockInSsd)
            Entry = LookupBlockEntry(&Cache->Ssd.LookupTable, Block);
        // A set bit always has its entry; should it ever lack one, the volume
        // serves the block.
        if (Entry == NULL)
            Location = BlockNotCached;

        Slot = 0;
        if (Location != BlockNotCached)
            Slot = Entry->Slot;
        // A memory block counts as used now, before its run is served.
        if (Location == BlockInMemory)
            TouchBlockEntry(&Cache->Memory, Entry);
        Status = AddToRun(Cache, Request, (UCHAR)Location, &Runs[Location], Block, Slot);
        if (Status != STATUS_SUCCESS)
            return Status;
    }

    for (i = 0; i < 3; i++) {
        Status = ServePending(Cache, Request, (UCHAR)i, &Runs[i]);
        if (Status != STATUS_SUCCESS)
            return Status;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS ServeRead(PVolumeCache Cache, PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PULONG Transferred)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    ReadRequest Request;
    ULONG End;
    NTSTATUS Status;

    if (!RequestWithinCache(Cache, Offset, Length))
        return ReadPastCache(Buffer, Offset, Length, Cache, Transferred);

    Request.Head = (ULONG)(Offset & (BlockSize - 1));
    Request.First = (ULONG)((Offset - Request.Head) / BlockSize);
    Request.Count = ((Request.Head + Length + BlockSize - 1) & ~(BlockSize - 1)) / BlockSize;
    End = (Request.Head + Length) & (BlockSize - 1);
    Request.Tail = End == 0 ? 0 : BlockSize - End;
    Request.Base = (PUCHAR)Buffer - Request.Head;
    Request.Transferred = 0;
    if (Request.Count == 0)
        return STATUS_SUCCESS;

    Status = ServeBlocks(Cache, &Request);
    *Transferred = Request.Transferred;
    return Status;
}

_Use_decl_annotations_ NTSTATUS CacheReadRequest(PVolumeCache Cache, PVOID Buffer, ULONGLONG Offset,
                                                 ULONG Length, PULONG Transferred)
{
    NTSTATUS Status;

    Cache->PassOnUncached = FALSE;
    *Transferred = 0;
    Status = ServeRead(Cache, Buffer, Offset, Length, Transferred);
    // A request handed on uncached is the owning driver's, and not counted.
    if (!Cache->PassOnUncached) {
        Cache->Counters.ReadBytes += Status == STATUS_SUCCESS ? *Transferred : 0;
        Cache->Counters.ReadRequests += 1;
    }
    return Status;
}
