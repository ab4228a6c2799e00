// Start of one volume's cache: checks, volume and cache file, memory tier,
// context with its tier indexes, worker thread, table slot and, the first
// time, the take-over of the owning driver's read and write entries.
#include "Driver.h"
#include "engine/PageStore.h"
#include "engine/Tier.h"

#define VOLUME_OPEN_ACCESS     SYNCHRONIZE
#define VOLUME_OPEN_SHARE      (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
#define VOLUME_OPEN_OPTIONS    (FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE)
// DELETE: the file is opened delete-on-close, which the platform refuses
// without delete access.
#define CACHE_FILE_ACCESS      (SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA | DELETE)
#define CACHE_FILE_OPTIONS     (FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_NONALERT | \
                                FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS | FILE_DELETE_ON_CLOSE)
#define QUEUE_SEMAPHORE_LIMIT  0x0FFFFFFF

static BOOLEAN IsPowerOfTwo(ULONG Value)
{
    return Value != 0 && (Value & (Value - 1)) == 0;
}

static LONG FirstEmptySlot(void)
{
    ULONG slot;

    for (slot = 0; slot < CACHE_VOLUME_SLOTS; slot++)
        if (ReadVolumeSlot(slot) == NULL)
            return (LONG)slot;
    return -1;
}

// The path is taken up to its first NUL, which must lie within the field.
static BOOLEAN PathIsTerminated(const WCHAR *Path)
{
    ULONG i;

    for (i = 0; i < CACHE_FILE_PATH_CHARS; i++)
        if (Path[i] == 0)
            return TRUE;
    return FALSE;
}

// The cache file's reads and writes run on the worker thread. Were they
// addressed to a cached volume, they would be queued to a worker that waits
// for them.
static BOOLEAN IsCachedVolumeDevice(PDEVICE_OBJECT Device)
{
    return Device != NULL && FindVolumeByDevice(Device) != NULL;
}

static BOOLEAN HoldsCachedVolumesFile(PDEVICE_OBJECT VolumeDevice)
{
    ULONG slot;

    for (slot = 0; slot < CACHE_VOLUME_SLOTS; slot++) {
        PVolumeCacheContext context = ReadVolumeSlot(slot);
        if (context != NULL && context->CacheFileDevice == VolumeDevice)
            return TRUE;
    }
    return FALSE;
}

// Opens the volume \??\x: to learn its device and its length. Nothing holds
// the volume open afterwards; the device comes back referenced, so that it
// stays valid for as long as the cache uses it.
//
// The handles of a start are kernel handles: the start runs in the thread of
// the control request, whose process could otherwise use or close them.
static NTSTATUS QueryVolume(WCHAR FoldedLetter, PDEVICE_OBJECT *VolumeDevice,
                            ULONGLONG *PartitionLength)
{
    WCHAR nameText[] = L"\\??\\C:";
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    PARTITION_INFORMATION partition;
    PFILE_OBJECT fileObject;
    HANDLE handle;
    NTSTATUS status;

    nameText[4] = FoldedLetter;
    RtlInitUnicodeString(&name, nameText);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenFile(&handle, VOLUME_OPEN_ACCESS, &attributes, &ioStatus, VOLUME_OPEN_SHARE,
                        VOLUME_OPEN_OPTIONS);
    if (!NT_SUCCESS(status))
        return status;

    RtlZeroMemory(&partition, sizeof(partition));
    status = ZwDeviceIoControlFile(handle, NULL, NULL, NULL, &ioStatus, IOCTL_DISK_GET_PARTITION_INFO,
                                   NULL, 0, &partition, sizeof(partition));
    if (NT_SUCCESS(status))
        status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&fileObject,
                                           NULL);
    if (NT_SUCCESS(status)) {
        *VolumeDevice = fileObject->DeviceObject;
        ObReferenceObject(*VolumeDevice);
        *PartitionLength = (ULONGLONG)partition.PartitionLength.QuadPart;
        ObfDereferenceObject(fileObject);
    }
    ZwClose(handle);
    return status;
}

// Opens (or creates) the cache file, checks where it lies and gives it its
// length. On failure the handle is closed again, which deletes the file.
static NTSTATUS OpenCacheFile(const WCHAR *Path, ULONGLONG Length, PDEVICE_OBJECT VolumeDevice,
                              HANDLE *FileHandle, PDEVICE_OBJECT *FileDevice)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    FILE_END_OF_FILE_INFORMATION endOfFile;
    PFILE_OBJECT fileObject;
    HANDLE handle;
    NTSTATUS status;

    RtlInitUnicodeString(&name, Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateFile(&handle, CACHE_FILE_ACCESS, &attributes, &ioStatus, NULL, 0, 0, FILE_OPEN_IF,
                          CACHE_FILE_OPTIONS, NULL, 0);
    if (!NT_SUCCESS(status))
        return status;

    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&fileObject, NULL);
    if (NT_SUCCESS(status)) {
        *FileDevice = fileObject->DeviceObject;
        ObfDereferenceObject(fileObject);
        if (*FileDevice == VolumeDevice || IsCachedVolumeDevice(*FileDevice))
            status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        endOfFile.EndOfFile.QuadPart = (LONGLONG)Length;
        if (!NT_SUCCESS(ZwSetInformationFile(handle, &ioStatus, &endOfFile, sizeof(endOfFile),
                                             FileEndOfFileInformation)))
            status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(handle);
        return status;
    }
    *FileHandle = handle;
    return STATUS_SUCCESS;
}

static PVOID AllocateZeroed(SIZE_T Bytes)
{
    PVOID memory = ExAllocatePoolWithTag(NonPagedPool, Bytes, CACHE_POOL_TAG);
    if (memory != NULL)
        RtlZeroMemory(memory, Bytes);
    return memory;
}

// Takes over the owning driver's read and write entries, once per load.
static void InstallInterception(PDRIVER_OBJECT OwningDriver)
{
    if (HookInstalled)
        return;
    SavedWriteDispatch = OwningDriver->MajorFunction[IRP_MJ_WRITE];
    SavedReadDispatch = OwningDriver->MajorFunction[IRP_MJ_READ];
    ExchangeReadWriteEntries(OwningDriver, InterceptReadWrite, InterceptReadWrite);
    HookInstalled = TRUE;
    HookedDriver = OwningDriver;
}

NTSTATUS StartVolumeCache(WCHAR DriveLetter, const WCHAR *CacheFilePath,
                          ULONGLONG MemorySize, ULONGLONG SsdSize,
                          ULONG AllocateBlockSize, ULONG CacheBlockSize,
                          UCHAR SsdEnabled, UCHAR SsdAutoGrow, ULONGLONG SsdMaxSize)
{
    PDEVICE_OBJECT volumeDevice = NULL;
    PDEVICE_OBJECT cacheFileDevice = NULL;
    ULONGLONG partitionLength = 0;
    PUCHAR transferBuffer = NULL;
    HANDLE cacheFile = NULL;
    PMemoryPageStore store = NULL;
    BOOLEAN storeInitialized = FALSE;
    PVolumeCacheContext context = NULL;
    HANDLE threadHandle = NULL;
    OBJECT_ATTRIBUTES threadAttributes;
    ULONG blocks;
    LONG slot;
    NTSTATUS status;

    // The request's five rules, in this order.
    if (!IsPowerOfTwo(AllocateBlockSize) || !IsPowerOfTwo(CacheBlockSize))
        return STATUS_UNSUCCESSFUL;
    MemorySize &= ~(ULONGLONG)(AllocateBlockSize - 1);
    if (MemorySize == 0)
        return STATUS_UNSUCCESSFUL;
    if (SsdEnabled) {
        SsdSize &= ~(CACHE_SSD_SIZE_UNIT - 1);
        if (SsdSize == 0)
            return STATUS_UNSUCCESSFUL;
        if (SsdAutoGrow) {
            SsdMaxSize &= ~(CACHE_SSD_SIZE_UNIT - 1);
            if (SsdMaxSize == 0 || SsdSize >= SsdMaxSize)
                return STATUS_UNSUCCESSFUL;
        }
    }
    // Sizes the platform cannot serve. The disk stack fails transfers that are
    // not whole sectors, so a cache block below one sector could never be
    // read from the volume; page allocation hands out whole pages, so an
    // allocation block below a page would come back longer than asked and
    // be taken for a short chunk.
    if (CacheBlockSize < CACHE_MIN_BLOCK_SIZE || AllocateBlockSize < PAGE_SIZE)
        return STATUS_UNSUCCESSFUL;
    // A tier smaller than one cache block would have no slot to fill.
    if ((ULONG)(MemorySize / CacheBlockSize) == 0 ||
        (SsdEnabled && (ULONG)(SsdSize / CacheBlockSize) == 0))
        return STATUS_UNSUCCESSFUL;
    // With every slot taken, no worker may be started.
    slot = FirstEmptySlot();
    if (slot < 0)
        return STATUS_UNSUCCESSFUL;
    if (SsdEnabled && !PathIsTerminated(CacheFilePath))
        return STATUS_INVALID_PARAMETER;

    if (DriveLetter >= L'A' && DriveLetter <= L'Z')
        DriveLetter = (WCHAR)(DriveLetter + 0x20);

    status = QueryVolume(DriveLetter, &volumeDevice, &partitionLength);
    if (!NT_SUCCESS(status))
        return status;
    if (HoldsCachedVolumesFile(volumeDevice))
        status = STATUS_INVALID_PARAMETER;
    // A volume reached by a second letter is the same device: the first
    // context gets all its requests, and a second one would keep copies that
    // writes no longer refresh, to serve them once the first is stopped.
    else if (IsCachedVolumeDevice(volumeDevice))
        status = STATUS_UNSUCCESSFUL;
    // Block numbers are 32-bit: a volume with more blocks could not be indexed.
    else if (partitionLength / CacheBlockSize > 0xFFFFFFFFull)
        status = STATUS_UNSUCCESSFUL;
    // Only the driver whose entries were taken over passes its requests to
    // the interception: a volume of another driver would never be served
    // from the cache, while its statistics said it was cached.
    else if (HookInstalled && volumeDevice->DriverObject != HookedDriver)
        status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(volumeDevice);
        return status;
    }

    transferBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, CACHE_TRANSFER_BUFFER_SIZE, CACHE_POOL_TAG);
    if (transferBuffer == NULL) {
        ObDereferenceObject(volumeDevice);
        return STATUS_UNSUCCESSFUL;
    }

    if (SsdEnabled) {
        status = OpenCacheFile(CacheFilePath, SsdSize, volumeDevice, &cacheFile, &cacheFileDevice);
        if (!NT_SUCCESS(status))
            goto Fail;
    }

    store = (PMemoryPageStore)AllocateZeroed(sizeof(MemoryPageStore));
    if (store == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Fail;
    }
    if (!PageStoreInitialize(store, MemorySize, AllocateBlockSize)) {
        status = STATUS_UNSUCCESSFUL;
        goto Fail;
    }
    storeInitialized = TRUE;

    context = (PVolumeCacheContext)AllocateZeroed(sizeof(VolumeCacheContext));
    if (context == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Fail;
    }
    context->TransferBuffer = transferBuffer;
    context->MemoryStore = store;
    context->VolumeDevice = volumeDevice;
    context->DriveLetter = DriveLetter;
    context->CacheFileHandle = cacheFile;
    context->CacheFileDevice = cacheFileDevice;
    context->VolumeLength = partitionLength;
    context->Statistics.AllocateBlockSize = AllocateBlockSize;
    context->Statistics.CacheBlockSize = CacheBlockSize;
    context->Statistics.MemorySize = MemorySize;
    context->Statistics.SsdSize = SsdSize;
    context->Statistics.SsdMaxSize = SsdMaxSize;
    context->Statistics.SsdEnabled = SsdEnabled;
    context->Statistics.SsdAutoGrow = SsdAutoGrow;
    context->Statistics.VolumeSizeGB = (ULONG)(partitionLength >> 30);
    PublishStatistics(context);

    blocks = (ULONG)(partitionLength / CacheBlockSize);
    if (!TierInitialize(&context->Memory, blocks, (ULONG)(MemorySize / CacheBlockSize), CacheBlockSize,
                        store) ||
        (SsdEnabled && !TierInitialize(&context->Ssd, blocks, (ULONG)(SsdSize / CacheBlockSize),
                                       CacheBlockSize, NULL))) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Fail;
    }

    KeInitializeSemaphore(&context->QueueSemaphore, 0, QUEUE_SEMAPHORE_LIMIT);
    KeInitializeSpinLock(&context->QueueLock);
    InitializeListHead(&context->RequestQueue);

    InitializeObjectAttributes(&threadAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status = PsCreateSystemThread(&threadHandle, 0, &threadAttributes, NULL, NULL, VolumeWorkerThread,
                                  context);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Fail;
    }
    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID *)&context->WorkerThread, NULL);
    ZwClose(threadHandle);
    if (!NT_SUCCESS(status)) {
        // A kernel handle just created does not fail to reference. Should it
        // ever, the worker cannot be waited for: it is told to end, and its
        // context stays allocated rather than be freed under it.
        RaiseFlag(&context->Terminate);
        KeReleaseSemaphore(&context->QueueSemaphore, IO_NO_INCREMENT, 1, FALSE);
        return status;
    }

    // From here the control requests and the interception find the volume.
    context->SlotIndex = (ULONG)slot;
    (void)InterlockedExchangePointer((PVOID volatile *)&VolumeTable[slot], context);
    InstallInterception(volumeDevice->DriverObject);
    return STATUS_SUCCESS;

Fail:
    if (context != NULL) {
        TierRelease(&context->Ssd);
        TierRelease(&context->Memory);
        ExFreePoolWithTag(context, CACHE_POOL_TAG);
    }
    if (storeInitialized)
        PageStoreRelease(store);
    if (store != NULL)
        ExFreePoolWithTag(store, CACHE_POOL_TAG);
    if (cacheFile != NULL)
        ZwClose(cacheFile);
    ExFreePoolWithTag(transferBuffer, CACHE_POOL_TAG);
    ObDereferenceObject(volumeDevice);
    return status;
}
