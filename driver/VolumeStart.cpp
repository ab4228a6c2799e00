// Start of one volume's cache: check the request and the volume, set up the
// engine's record of it, attach the worker thread, and publish the volume in
// the table (taking over the owning driver's read and write entries the first
// time).
#include "Driver.h"

#define VOLUME_OPEN_ACCESS  SYNCHRONIZE
#define VOLUME_OPEN_SHARE   (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
#define VOLUME_OPEN_OPTIONS (FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE)
// DELETE: the file is opened delete-on-close, which the platform refuses
// without delete access.
#define CACHE_FILE_ACCESS (SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA | DELETE)
#define CACHE_FILE_OPTIONS                                                                                   \
    (FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE |               \
     FILE_RANDOM_ACCESS | FILE_DELETE_ON_CLOSE)
#define QUEUE_SEMAPHORE_LIMIT 0x0FFFFFFF

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
static NTSTATUS QueryVolume(WCHAR FoldedLetter, PDEVICE_OBJECT *VolumeDevice, ULONGLONG *PartitionLength)
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
    status = ZwDeviceIoControlFile(handle, NULL, NULL, NULL, &ioStatus, IOCTL_DISK_GET_PARTITION_INFO, NULL,
                                   0, &partition, sizeof(partition));
    if (NT_SUCCESS(status))
        status =
            ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&fileObject, NULL);
    if (NT_SUCCESS(status)) {
        *VolumeDevice = fileObject->DeviceObject;
        ObReferenceObject(*VolumeDevice);
        *PartitionLength = (ULONGLONG)partition.PartitionLength.QuadPart;
        ObfDereferenceObject(fileObject);
    }
    ZwClose(handle);
    return status;
}

// What opening the cache file needs and learns.
typedef struct _CacheFileOpen {
    const WCHAR *Path;
    ULONGLONG Length;
    PDEVICE_OBJECT VolumeDevice;
    PDEVICE_OBJECT FileDevice;  // the device the file's file object reports
} CacheFileOpen;

// Opens (or creates) the cache file, checks where it lies and gives it its
// length. On failure the handle is closed again, which deletes the file.
static CACHE_OPEN_FILE OpenCacheFile;

static NTSTATUS OpenCacheFile(PVOID Context, PHANDLE FileHandle)
{
    CacheFileOpen *open = (CacheFileOpen *)Context;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK ioStatus;
    FILE_END_OF_FILE_INFORMATION endOfFile;
    PFILE_OBJECT fileObject;
    HANDLE handle;
    NTSTATUS status;

    RtlInitUnicodeString(&name, open->Path);
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateFile(&handle, CACHE_FILE_ACCESS, &attributes, &ioStatus, NULL, 0, 0, FILE_OPEN_IF,
                          CACHE_FILE_OPTIONS, NULL, 0);
    if (!NT_SUCCESS(status))
        return status;

    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&fileObject, NULL);
    if (NT_SUCCESS(status)) {
        open->FileDevice = fileObject->DeviceObject;
        ObfDereferenceObject(fileObject);
        if (open->FileDevice == open->VolumeDevice || IsCachedVolumeDevice(open->FileDevice))
            status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        endOfFile.EndOfFile.QuadPart = (LONGLONG)open->Length;
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

// The request's rules, in their order, and the sizes the platform cannot
// serve. Settings receives the values the cache uses: the sizes rounded where
// their rule applies, as the request gave them otherwise; Slot the table slot
// the volume will take.
static NTSTATUS CheckStartRequest(const CacheControlRequest *Request, const WCHAR *CacheFilePath,
                                  CacheSettings *Settings, PLONG Slot)
{
    RtlZeroMemory(Settings, sizeof(*Settings));
    Settings->MemorySize = Request->MemorySize;
    Settings->SsdSize = Request->SsdSize;
    Settings->SsdMaxSize = Request->SsdMaxSize;
    Settings->AllocateBlockSize = Request->AllocateBlockSize;
    Settings->CacheBlockSize = Request->CacheBlockSize;
    Settings->SsdEnabled = Request->SsdEnabled;
    Settings->SsdAutoGrow = Request->SsdAutoGrow;

    if (!IsPowerOfTwo(Settings->AllocateBlockSize) || !IsPowerOfTwo(Settings->CacheBlockSize))
        return STATUS_UNSUCCESSFUL;
    Settings->MemorySize &= ~(ULONGLONG)(Settings->AllocateBlockSize - 1);
    if (Settings->MemorySize == 0)
        return STATUS_UNSUCCESSFUL;
    if (Settings->SsdEnabled) {
        Settings->SsdSize &= ~(CACHE_SSD_SIZE_UNIT - 1);
        if (Settings->SsdSize == 0)
            return STATUS_UNSUCCESSFUL;
        if (Settings->SsdAutoGrow) {
            Settings->SsdMaxSize &= ~(CACHE_SSD_SIZE_UNIT - 1);
            if (Settings->SsdMaxSize == 0 || Settings->SsdSize >= Settings->SsdMaxSize)
                return STATUS_UNSUCCESSFUL;
        }
    }
    // Sizes the platform cannot serve. The disk stack fails transfers that are
    // not whole sectors, so a cache block below one sector could never be
    // read from the volume; page allocation hands out whole pages, so an
    // allocation block below a page would come back longer than asked and
    // be taken for a short chunk.
    if (Settings->CacheBlockSize < CACHE_MIN_BLOCK_SIZE || Settings->AllocateBlockSize < PAGE_SIZE)
        return STATUS_UNSUCCESSFUL;
    // A tier smaller than one cache block would have no slot to fill.
    if ((ULONG)(Settings->MemorySize / Settings->CacheBlockSize) == 0 ||
        (Settings->SsdEnabled && (ULONG)(Settings->SsdSize / Settings->CacheBlockSize) == 0))
        return STATUS_UNSUCCESSFUL;
    // With every slot taken, no worker may be started.
    *Slot = FirstEmptySlot();
    if (*Slot < 0)
        return STATUS_UNSUCCESSFUL;
    if (Settings->SsdEnabled && !PathIsTerminated(CacheFilePath))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Opens the volume and checks that it may be cached. On success the device
// comes back referenced.
static NTSTATUS CheckVolume(WCHAR FoldedLetter, ULONG CacheBlockSize, PDEVICE_OBJECT *VolumeDevice,
                            ULONGLONG *PartitionLength)
{
    NTSTATUS status;

    status = QueryVolume(FoldedLetter, VolumeDevice, PartitionLength);
    if (!NT_SUCCESS(status))
        return status;
    if (HoldsCachedVolumesFile(*VolumeDevice))
        status = STATUS_INVALID_PARAMETER;
    // A volume reached by a second letter is the same device: the first
    // context gets all its requests, and a second one would keep copies that
    // writes no longer refresh, to serve them once the first is stopped.
    else if (IsCachedVolumeDevice(*VolumeDevice))
        status = STATUS_UNSUCCESSFUL;
    // Block numbers are 32-bit: a volume with more blocks could not be indexed.
    else if (*PartitionLength / CacheBlockSize > 0xFFFFFFFFull)
        status = STATUS_UNSUCCESSFUL;
    // Only the driver whose entries were taken over passes its requests to
    // the interception: a volume of another driver would never be served
    // from the cache, while its statistics said it was cached.
    else if (DriverGlobals.HookInstalled && (*VolumeDevice)->DriverObject != DriverGlobals.HookedDriver)
        status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status))
        ObDereferenceObject(*VolumeDevice);
    return status;
}

// The volume's context with the engine's record set up: the storage first (the
// transfer buffer, the cache file, the memory page store), then the context
// that takes it over with the volume device's reference, then the tiers. On
// failure all of it is released, the device's reference included.
static NTSTATUS SetUpVolumeContext(WCHAR FoldedLetter, const WCHAR *CacheFilePath,
                                   const CacheSettings *Settings, PDEVICE_OBJECT VolumeDevice,
                                   ULONGLONG PartitionLength, PVolumeCacheContext *Context)
{
    CacheFileOpen open;
    CacheStorage storage;
    PVolumeCacheContext context = NULL;
    NTSTATUS status;

    open.Path = CacheFilePath;
    open.Length = Settings->SsdSize;
    open.VolumeDevice = VolumeDevice;
    open.FileDevice = NULL;
    status = CacheStorageAcquire(&storage, Settings, OpenCacheFile, &open);
    if (NT_SUCCESS(status)) {
        context = (PVolumeCacheContext)ExAllocatePoolWithTag(NonPagedPool, sizeof(VolumeCacheContext),
                                                             CACHE_POOL_TAG);
        if (context == NULL) {
            CacheStorageRelease(&storage);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(VolumeDevice);
        return status;
    }

    RtlZeroMemory(context, sizeof(*context));
    context->VolumeDevice = VolumeDevice;
    context->DriveLetter = FoldedLetter;
    context->CacheFileDevice = open.FileDevice;
    KeInitializeSemaphore(&context->QueueSemaphore, 0, QUEUE_SEMAPHORE_LIMIT);
    KeInitializeSpinLock(&context->QueueLock);
    InitializeListHead(&context->RequestQueue);
    status = CacheInitialize(&context->Cache, Settings, PartitionLength, &storage, TargetDeviceIo, context);
    if (!NT_SUCCESS(status)) {
        ReleaseVolumeContext(context);
        return status;
    }
    *Context = context;
    return STATUS_SUCCESS;
}

// Starts the volume's worker thread and keeps a reference to it. Started
// tells whether the thread runs: a thread that runs keeps the context, even
// when its reference could not be taken.
static NTSTATUS AttachWorker(PVolumeCacheContext Context, PBOOLEAN Started)
{
    OBJECT_ATTRIBUTES threadAttributes;
    HANDLE threadHandle = NULL;
    NTSTATUS status;

    *Started = FALSE;
    InitializeObjectAttributes(&threadAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    status =
        PsCreateSystemThread(&threadHandle, 0, &threadAttributes, NULL, NULL, VolumeWorkerThread, Context);
    if (!NT_SUCCESS(status))
        return STATUS_INSUFFICIENT_RESOURCES;
    *Started = TRUE;
    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID *)&Context->WorkerThread, NULL);
    ZwClose(threadHandle);
    if (!NT_SUCCESS(status)) {
        // A kernel handle just created does not fail to reference. Should it
        // ever, the worker cannot be waited for: it is told to end, and its
        // context stays allocated rather than be freed under it.
        RaiseFlag(&Context->Terminate);
        KeReleaseSemaphore(&Context->QueueSemaphore, IO_NO_INCREMENT, 1, FALSE);
    }
    return status;
}

_Use_decl_annotations_ NTSTATUS StartVolumeCache(const CacheControlRequest *Request)
{
    const WCHAR *cacheFilePath =
        (const WCHAR *)((const UCHAR *)Request + CACHE_OFFSET_OF(CacheControlRequest, CacheFilePath));
    WCHAR letter = Request->DriveLetter;
    PDEVICE_OBJECT volumeDevice = NULL;
    ULONGLONG partitionLength = 0;
    PVolumeCacheContext context = NULL;
    CacheSettings settings;
    BOOLEAN started;
    LONG slot;
    NTSTATUS status;

    status = CheckStartRequest(Request, cacheFilePath, &settings, &slot);
    if (!NT_SUCCESS(status))
        return status;
    if (letter >= L'A' && letter <= L'Z')
        letter = (WCHAR)(letter + 0x20);
    status = CheckVolume(letter, settings.CacheBlockSize, &volumeDevice, &partitionLength);
    if (!NT_SUCCESS(status))
        return status;

    status = SetUpVolumeContext(letter, cacheFilePath, &settings, volumeDevice, partitionLength, &context);
    if (!NT_SUCCESS(status))
        return status;
    status = AttachWorker(context, &started);
    if (!NT_SUCCESS(status)) {
        if (!started)
            ReleaseVolumeContext(context);
        return status;
    }

    // From here the control requests and the interception find the volume.
    PublishStatistics(context);
    context->SlotIndex = (ULONG)slot;
    (void)InterlockedExchangePointer((PVOID volatile *)&DriverGlobals.VolumeTable[slot], context);
    InstallInterception(volumeDevice->DriverObject);
    return STATUS_SUCCESS;
}
