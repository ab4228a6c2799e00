// The SSD tier: block slots in the cache file, filled by promoting memory hits
// (the read path reads them back for SSD hits).
//
// The file holds raw slots from offset 0 (slot s at s * CacheBlockSize) and
// nothing else; which block a slot holds is known only from the SSD index.
#include "SsdTier.h"
#include "Tier.h"

// One synchronous transfer at an explicit offset. A short transfer counts as
// a failure: a short read would leave stale bytes in the buffer, a short write
// a slot that does not hold its block.
static NTSTATUS CacheFileTransfer(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer,
                                  BOOLEAN Write)
{
    IO_STATUS_BLOCK IoStatus;
    LARGE_INTEGER ByteOffset;
    NTSTATUS Status;

    ByteOffset.QuadPart = (LONGLONG)Offset;
    IoStatus.Status = STATUS_SUCCESS;
    IoStatus.Information = 0;
    if (Write)
        Status = ZwWriteFile(FileHandle, NULL, NULL, NULL, &IoStatus, Buffer, Length, &ByteOffset, NULL);
    else
        Status = ZwReadFile(FileHandle, NULL, NULL, NULL, &IoStatus, Buffer, Length, &ByteOffset, NULL);
    if (NT_SUCCESS(Status) && IoStatus.Information != Length)
        Status = Write ? STATUS_DISK_FULL : STATUS_END_OF_FILE;
    return Status;
}

NTSTATUS CacheFileRead(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer)
{
    return CacheFileTransfer(FileHandle, Offset, Length, Buffer, FALSE);
}

NTSTATUS CacheFileWrite(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer)
{
    return CacheFileTransfer(FileHandle, Offset, Length, Buffer, TRUE);
}

// One file write of consecutive slots from FirstSlot, holding the blocks from
// FirstBlock. When the write fails, the blocks it should have stored leave
// the SSD tier: their slots hold no known bytes.
static void WritePromotion(PVolumeCache Cache, ULONG FirstSlot, ULONG FirstBlock, ULONG Bytes, PUCHAR Source)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONG k;

    if (CacheFileWrite(Cache->Storage.CacheFile, (ULONGLONG)FirstSlot * BlockSize, Bytes, Source) ==
        STATUS_SUCCESS)
        return;
    for (k = 0; k < Bytes / BlockSize; k++)
        DropBlockEntry(&Cache->Ssd, FirstBlock + k, FirstSlot + k);
}

void PromoteRunToSsd(PVolumeCache Cache, ULONG FirstBlock, ULONG Count, PUCHAR Bounce)
{
    ULONG BlockSize = Cache->Settings.CacheBlockSize;
    PCacheTier Tier = &Cache->Ssd;
    ULONG PendingSlot = CACHE_NO_SLOT;  // first slot of the pending write
    ULONG PendingBlock = 0;             // its first block
    ULONG PendingBytes = 0;
    PUCHAR PendingSource = NULL;
    ULONG PreviousSlot = 0;
    ULONG Block, Slot, j;
    PUCHAR Source;

    if (!Cache->Settings.SsdEnabled)
        return;

    for (j = 0; j < Count; j++) {
        Block = FirstBlock + j;
        Source = Bounce + j * BlockSize;

        // Already held: its slot is not rewritten, and it breaks the group.
        if (BitmapTest(Tier->Bitmap, Block) || !TakeSlot(Tier, &Slot)) {
            if (PendingSlot != CACHE_NO_SLOT) {
                WritePromotion(Cache, PendingSlot, PendingBlock, PendingBytes, PendingSource);
                PendingSlot = CACHE_NO_SLOT;
            }
            continue;
        }

        if (PendingSlot != CACHE_NO_SLOT && Slot == PreviousSlot + 1) {
            PendingBytes += BlockSize;
        } else {
            if (PendingSlot != CACHE_NO_SLOT)
                WritePromotion(Cache, PendingSlot, PendingBlock, PendingBytes, PendingSource);
            PendingSlot = Slot;
            PendingBlock = Block;
            PendingBytes = BlockSize;
            PendingSource = Source;
        }

        // The entry is made before the bytes reach the file, within this call.
        // Without a node the block stays out of the tier: it leaves the group
        // (which is written as it stands, so that slots and sources stay in
        // step) and its slot goes back to the tier.
        if (!InsertBlockEntry(Tier, Block, Slot)) {
            PendingBytes -= BlockSize;
            if (PendingBytes != 0)
                WritePromotion(Cache, PendingSlot, PendingBlock, PendingBytes, PendingSource);
            PendingSlot = CACHE_NO_SLOT;
            ReleaseSlot(Tier, Slot);
        }
        PreviousSlot = Slot;
    }

    if (PendingSlot != CACHE_NO_SLOT)
        WritePromotion(Cache, PendingSlot, PendingBlock, PendingBytes, PendingSource);
}
