// Write path: every write goes through to the volume first, as one request
// below the interception; then each cached copy of a written block is
// overwritten with the new bytes, in both tiers, and counts as used now.
// Writes never bring new blocks into a tier and change no counter.
//
// When the volume write fails, or takes fewer bytes than asked, what the
// volume holds is unknown: the cached copies of the written blocks are
// dropped instead, so that later reads go to the volume. When the write's
// bounce buffer or lower request cannot be had, the worker hands the write to
// the owning driver uncached and drops the copies itself.
#include "WritePath.h"
#include "SsdTier.h"
#include "Tier.h"
#include "PageStore.h"
#include "VolumeCache.h"

// Unbuffered transfers on the cache file need sector-aligned offsets and
// lengths. Whole slots always are; a part of a block is written directly
// only when it is aligned to the largest sector size in use.
#define CACHE_FILE_ALIGNMENT 4096u

// Overwrites Bytes bytes at InBlock within the SSD copy in Slot. An unaligned
// part goes through TransferBuffer (free again once the volume write is done):
// the whole slot is read, patched and written back.
static NTSTATUS RefreshSsdCopy(PVolumeCache Cache, ULONG Slot, ULONG InBlock, ULONG Bytes,
                               const UCHAR *Source)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONGLONG SlotOffset = (ULONGLONG)Slot * BlockSize;
    PUCHAR Whole = Cache->Storage.TransferBuffer;
    NTSTATUS Status;

    if ((InBlock % CACHE_FILE_ALIGNMENT) == 0 && (Bytes % CACHE_FILE_ALIGNMENT) == 0)
        return CacheFileWrite(Cache->Storage.CacheFile, SlotOffset + InBlock, Bytes, (PVOID)Source);

    if (BlockSize > CACHE_TRANSFER_BUFFER_SIZE)
        return STATUS_BUFFER_TOO_SMALL;
    Status = CacheFileRead(Cache->Storage.CacheFile, SlotOffset, BlockSize, Whole);
    if (Status != STATUS_SUCCESS)
        return Status;
    RtlCopyMemory(Whole + InBlock, Source, Bytes);
    return CacheFileWrite(Cache->Storage.CacheFile, SlotOffset, BlockSize, Whole);
}

_Use_decl_annotations_ NTSTATUS CacheWriteRequest(PVolumeCache Cache, PVOID Buffer, ULONGLONG Offset,
                                                  ULONG Length, PULONG Transferred)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    PCacheTier Memory = &Cache->Memory;
    PCacheTier Ssd = &Cache->Ssd;
    PBlockEntry Entry;
    PUCHAR Bounce;
    ULONG Head, First, Count, InBlock, Bytes, Block, Slot, i;
    const UCHAR *Source;
    NTSTATUS Status;

    Cache->PassOnUncached = FALSE;
    Bounce = AcquireBounceBuffer(Cache, Length);
    if (Bounce == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(Bounce, Buffer, Length);
    Status = CacheLowerTransfer(Cache, IRP_MJ_WRITE, Offset, Length, Bounce, Transferred);
    ReleaseBounceBuffer(Cache, Bounce);

    if (Length == 0)
        return Status;

    // A write that the volume took only in part leaves it holding bytes the
    // cache cannot know: its copies go, as after a failed write.
    if (Status != STATUS_SUCCESS || *Transferred != Length || !RequestWithinCache(Cache, Offset, Length)) {
        DropCoveredBlocks(Cache, Offset, Length);
        return Status;
    }

    Head = (ULONG)(Offset & (BlockSize - 1));
    First = (ULONG)((Offset - Head) / BlockSize);
    Count = ((Head + Length + BlockSize - 1) & ~(BlockSize - 1)) / BlockSize;

    for (i = 0; i < Count; i++) {
        Block = First + i;
        InBlock = i == 0 ? Head : 0;
        Bytes = BlockSize - InBlock;
        if (i == Count - 1)
            Bytes -= BlockSize * Count - Head - Length;
        Source = (const UCHAR *)Buffer + (i * BlockSize + InBlock - Head);

        Entry = BitmapTest(Memory->Bitmap, Block) ? LookupBlockEntry(&Memory->LookupTable, Block) : NULL;
        if (Entry != NULL) {
            Slot = Entry->Slot;
            TouchBlockEntry(Memory, Entry);
            if (PageStoreWrite(Cache->Storage.Store, Source, (ULONGLONG)Slot * BlockSize + InBlock,
                               (LONG)Bytes) != Bytes)
                DropBlockEntry(Memory, Block, Slot);
        }

        Entry = Cache->Settings.SsdEnabled && BitmapTest(Ssd->Bitmap, Block)
                    ? LookupBlockEntry(&Ssd->LookupTable, Block)
                    : NULL;
        if (Entry != NULL) {
            Slot = Entry->Slot;
            TouchBlockEntry(Ssd, Entry);
            // A copy that cannot be refreshed must not stay behind stale.
            if (RefreshSsdCopy(Cache, Slot, InBlock, Bytes, Source) != STATUS_SUCCESS)
                DropBlockEntry(Ssd, Block, Slot);
        }
    }
    return Status;
}
