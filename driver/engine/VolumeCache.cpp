// The engine's record of one cached volume, and the parts of it that the
// read path, the write path and the worker share.
#include "VolumeCache.h"
#include "Tier.h"

NTSTATUS CacheStorageAcquire(PCacheStorage Storage, const CacheSettings *Settings,
                             CACHE_OPEN_FILE *OpenCacheFile, PVOID OpenContext)
{
    NTSTATUS Status;

    RtlZeroMemory(Storage, sizeof(*Storage));
    Storage->TransferBuffer =
        (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, CACHE_TRANSFER_BUFFER_SIZE, CACHE_POOL_TAG);
    if (Storage->TransferBuffer == NULL)
        return STATUS_UNSUCCESSFUL;

    if (Settings->SsdEnabled) {
        Status = OpenCacheFile(OpenContext, &Storage->CacheFile);
        if (!NT_SUCCESS(Status)) {
            Storage->CacheFile = NULL;
            goto Fail;
        }
    }

    Storage->Store =
        (PMemoryPageStore)ExAllocatePoolWithTag(NonPagedPool, sizeof(MemoryPageStore), CACHE_POOL_TAG);
    if (Storage->Store == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Fail;
    }
    if (!PageStoreInitialize(Storage->Store, Settings->MemorySize, Settings->AllocateBlockSize)) {
        // Nothing is held by a store whose set-up failed.
        ExFreePoolWithTag(Storage->Store, CACHE_POOL_TAG);
        Storage->Store = NULL;
        Status = STATUS_UNSUCCESSFUL;
        goto Fail;
    }
    return STATUS_SUCCESS;

Fail:
    CacheStorageRelease(Storage);
    return Status;
}

void CacheStorageRelease(PCacheStorage Storage)
{
    if (Storage->Store != NULL) {
        PageStoreRelease(Storage->Store);
        ExFreePoolWithTag(Storage->Store, CACHE_POOL_TAG);
    }
    if (Storage->CacheFile != NULL)
        ZwClose(Storage->CacheFile);  // deletes the file
    if (Storage->TransferBuffer != NULL)
        ExFreePoolWithTag(Storage->TransferBuffer, CACHE_POOL_TAG);
    RtlZeroMemory(Storage, sizeof(*Storage));
}

NTSTATUS CacheInitialize(PVolumeCache Cache, const CacheSettings *Settings, ULONGLONG VolumeLength,
                         const CacheStorage *Storage, PCACHE_LOWER_TRANSFER LowerTransfer, PVOID LowerContext)
{
    ULONG Blocks = (ULONG)(VolumeLength / Settings->CacheBlockSize);

    Cache->Settings = *Settings;
    Cache->VolumeLength = VolumeLength;
    Cache->Storage = *Storage;
    Cache->LowerTransfer = LowerTransfer;
    Cache->LowerContext = LowerContext;
    if (!TierInitialize(&Cache->Memory, Blocks, (ULONG)(Settings->MemorySize / Settings->CacheBlockSize),
                        Settings->CacheBlockSize, Storage->Store))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Settings->SsdEnabled &&
        !TierInitialize(&Cache->Ssd, Blocks, (ULONG)(Settings->SsdSize / Settings->CacheBlockSize),
                        Settings->CacheBlockSize, NULL))
        return STATUS_INSUFFICIENT_RESOURCES;
    return STATUS_SUCCESS;
}

void CacheRelease(PVolumeCache Cache)
{
    TierRelease(&Cache->Memory);
    TierRelease(&Cache->Ssd);
    CacheStorageRelease(&Cache->Storage);
}

void CacheFillStatistics(PVolumeCache Cache, CacheStatistics *Statistics)
{
    const CacheCounters *Counters = &Cache->Counters;
    const CacheSettings *Settings = &Cache->Settings;

    RtlZeroMemory(Statistics, sizeof(*Statistics));
    Statistics->ReadRequests = Counters->ReadRequests;
    Statistics->ReadBytes = Counters->ReadBytes;
    Statistics->VolumeReads = Counters->VolumeReads;
    Statistics->VolumeReadBytes = Counters->VolumeReadBytes;
    Statistics->SsdHits = Counters->SsdHits;
    Statistics->SsdHitBytes = Counters->SsdHitBytes;
    Statistics->MemoryHits = Counters->MemoryHits;
    Statistics->MemoryHitBytes = Counters->MemoryHitBytes;
    Statistics->AllocateBlockSize = Settings->AllocateBlockSize;
    Statistics->CacheBlockSize = Settings->CacheBlockSize;
    Statistics->MemorySize = Settings->MemorySize;
    Statistics->MemoryBlocksUsed = Cache->Memory.SlotsUsed;
    Statistics->SsdSize = Settings->SsdSize;
    Statistics->SsdMaxSize = Settings->SsdMaxSize;
    Statistics->SsdBlocksUsed = Cache->Ssd.SlotsUsed;
    Statistics->SsdEnabled = Settings->SsdEnabled;
    Statistics->SsdAutoGrow = Settings->SsdAutoGrow;
    Statistics->VolumeSizeGB = (ULONG)(Cache->VolumeLength >> 30);
}

void PassRequestOnUncached(PVolumeCache Cache)
{
    Cache->PassOnUncached = TRUE;
}

NTSTATUS CacheLowerTransfer(PVolumeCache Cache, UCHAR MajorFunction, ULONGLONG ByteOffset, ULONG Length,
                            PVOID Buffer, PULONG Information)
{
    return Cache->LowerTransfer(MajorFunction, ByteOffset, Length, Buffer, Cache->LowerContext, Information);
}

PUCHAR AcquireBounceBuffer(PVolumeCache Cache, ULONG Bytes)
{
    PUCHAR Bounce;

    if (Bytes <= CACHE_TRANSFER_BUFFER_SIZE)
        return Cache->Storage.TransferBuffer;
    Bounce = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Bytes, CACHE_POOL_TAG);
    if (Bounce == NULL)
        PassRequestOnUncached(Cache);
    return Bounce;
}

void ReleaseBounceBuffer(PVolumeCache Cache, PUCHAR Bounce)
{
    if (Bounce != NULL && Bounce != Cache->Storage.TransferBuffer)
        ExFreePoolWithTag(Bounce, CACHE_POOL_TAG);
}

ULONG CacheableBlockCount(PVolumeCache Cache)
{
    return (ULONG)(Cache->VolumeLength / Cache->Settings.CacheBlockSize);
}

BOOLEAN RequestWithinCache(PVolumeCache Cache, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONGLONG Limit = (ULONGLONG)CacheableBlockCount(Cache) * BlockSize;
    ULONGLONG Head = Offset & (BlockSize - 1);

    if (Offset > Limit || Length > Limit - Offset)
        return FALSE;
    // Run and buffer sizes are 32-bit byte counts.
    return Head + Length + BlockSize - 1 <= 0xFFFFFFFFull;
}

BlockLocation ClassifyBlock(PVolumeCache Cache, ULONG Block)
{
    if (BitmapTest(Cache->Memory.Bitmap, Block))
        return BlockInMemory;
    if (Cache->Settings.SsdEnabled && BitmapTest(Cache->Ssd.Bitmap, Block))
        return BlockInSsd;
    return BlockNotCached;
}

void DropCachedRange(PVolumeCache Cache, ULONG FirstBlock, ULONG Count)
{
    ULONG i;

    for (i = 0; i < Count; i++)
        DropBlockEntry(&Cache->Memory, FirstBlock + i, CACHE_ANY_SLOT);
    if (!Cache->Settings.SsdEnabled)
        return;
    for (i = 0; i < Count; i++)
        DropBlockEntry(&Cache->Ssd, FirstBlock + i, CACHE_ANY_SLOT);
}

void DropCoveredBlocks(PVolumeCache Cache, ULONGLONG Offset, ULONG Length)
{
    ULONGLONG BlockSize = Cache->Settings.CacheBlockSize;
    ULONGLONG Cacheable = CacheableBlockCount(Cache);
    ULONGLONG First, Last;

    if (Length == 0)
        return;
    First = Offset / BlockSize;
    if (First >= Cacheable)
        return;
    Last = (Offset + Length - 1) / BlockSize;
    if (Last >= Cacheable)
        Last = Cacheable - 1;
    DropCachedRange(Cache, (ULONG)First, (ULONG)(Last - First + 1));
}
