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
    ULONG Slot;

    for (Slot = 0; Slot < CACHE_VOLUME_SLOTS; Slot++)
        if (ReadVolumeSlot(Slot) == NULL)
            return (LONG)Slot;
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
    ULONG Slot;

    for (Slot = 0; Slot < CACHE_VOLUME_SLOTS; Slot++) {
        PVolumeCacheContext Context = ReadVolumeSlot(Slot);
        if (Context != NULL && Context->CacheFileDevice == VolumeDevice)
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
    WCHAR NameText[] = L"\\??\\C:";
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    PARTITION_INFORMATION Partition;
    PFILE_OBJECT FileObject;
    HANDLE Handle;
    NTSTATUS Status;

    NameText[4] = FoldedLetter;
    RtlInitUnicodeString(&Name, NameText);
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = ZwOpenFile(&Handle, VOLUME_OPEN_ACCESS, &Attributes, &IoStatus, VOLUME_OPEN_SHARE,
                        VOLUME_OPEN_OPTIONS);
    if (!NT_SUCCESS(Status))
        return Status;

    RtlZeroMemory(&Partition, sizeof(Partition));
    Status = ZwDeviceIoControlFile(Handle, NULL, NULL, NULL, &IoStatus, IOCTL_DISK_GET_PARTITION_INFO, NULL,
                                   0, &Partition, sizeof(Partition));
    if (NT_SUCCESS(Status))
        Status =
            ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&FileObject, NULL);
    if (NT_SUCCESS(Status)) {
        *VolumeDevice = FileObject->DeviceObject;
        ObReferenceObject(*VolumeDevice);
        *PartitionLength = (ULONGLONG)Partition.PartitionLength.QuadPart;
        ObfDereferenceObject(FileObject);
    }
    ZwClose(Handle);
    return Status;
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
    CacheFileOpen *Open = (CacheFileOpen *)Context;
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    FILE_END_OF_FILE_INFORMATION EndOfFile;
    PFILE_OBJECT FileObject;
    HANDLE Handle;
    NTSTATUS Status;

    RtlInitUnicodeString(&Name, Open->Path);
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    Status = ZwCreateFile(&Handle, CACHE_FILE_ACCESS, &Attributes, &IoStatus, NULL, 0, 0, FILE_OPEN_IF,
                          CACHE_FILE_OPTIONS, NULL, 0);
    if (!NT_SUCCESS(Status))
        return Status;

    Status = ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&FileObject, NULL);
    if (NT_SUCCESS(Status)) {
        Open->FileDevice = FileObject->DeviceObject;
        ObfDereferenceObject(FileObject);
        if (Open->FileDevice == Open->VolumeDevice || IsCachedVolumeDevice(Open->FileDevice))
            Status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(Status)) {
        EndOfFile.EndOfFile.QuadPart = (LONGLONG)Open->Length;
        if (!NT_SUCCESS(ZwSetInformationFile(Handle, &IoStatus, &EndOfFile, sizeof(EndOfFile),
                                             FileEndOfFileInformation)))
            Status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(Status)) {
        ZwClose(Handle);
        return Status;
    }
    *FileHandle = Handle;
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
    NTSTATUS Status;

    Status = QueryVolume(FoldedLetter, VolumeDevice, PartitionLength);
    if (!NT_SUCCESS(Status))
        return Status;
    if (HoldsCachedVolumesFile(*VolumeDevice))
        Status = STATUS_INVALID_PARAMETER;
    // A volume reached by a second letter is the same device: the first
    // context gets all its requests, and a second one would keep copies that
    // writes no longer refresh, to serve them once the first is stopped.
    else if (IsCachedVolumeDevice(*VolumeDevice))
        Status = STATUS_UNSUCCESSFUL;
    // Block numbers are 32-bit: a volume with more blocks could not be indexed.
    else if (*PartitionLength / CacheBlockSize > 0xFFFFFFFFull)
        Status = STATUS_UNSUCCESSFUL;
    // Only the driver whose entries were taken over passes its requests to
    // the interception: a volume of another driver would never be served
    // from the cache, while its statistics said it was cached.
    else if (DriverGlobals.HookInstalled && (*VolumeDevice)->DriverObject != DriverGlobals.HookedDriver)
        Status = STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(Status))
        ObDereferenceObject(*VolumeDevice);
    return Status;
}

// The volume's context with the engine's record set up: the storage first (the
// transfer buffer, the cache file, the memory page store), then the context
// that takes it over with the volume device's reference, then the tiers. On
// failure all of it is released, the device's reference included.
static NTSTATUS SetUpVolumeContext(WCHAR FoldedLetter, const WCHAR *CacheFilePath,
                                   const CacheSettings *Settings, PDEVICE_OBJECT VolumeDevice,
                                   ULONGLONG PartitionLength, PVolumeCacheContext *Result)
{
    CacheFileOpen Open;
    CacheStorage Storage;
    PVolumeCacheContext Context = NULL;
    NTSTATUS Status;

    Open.Path = CacheFilePath;
    Open.Length = Settings->SsdSize;
    Open.VolumeDevice = VolumeDevice;
    Open.FileDevice = NULL;
    Status = CacheStorageAcquire(&Storage, Settings, OpenCacheFile, &Open);
    if (NT_SUCCESS(Status)) {
        Context = (PVolumeCacheContext)ExAllocatePoolWithTag(NonPagedPool, sizeof(VolumeCacheContext),
                                                             CACHE_POOL_TAG);
        if (Context == NULL) {
            CacheStorageRelease(&Storage);
            Status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (!NT_SUCCESS(Status)) {
        ObDereferenceObject(VolumeDevice);
        return Status;
    }

    RtlZeroMemory(Context, sizeof(*Context));
    Context->VolumeDevice = VolumeDevice;
    Context->DriveLetter = FoldedLetter;
    Context->CacheFileDevice = Open.FileDevice;
    KeInitializeSemaphore(&Context->QueueSemaphore, 0, QUEUE_SEMAPHORE_LIMIT);
    KeInitializeSpinLock(&Context->QueueLock);
    InitializeListHead(&Context->RequestQueue);
    Status = CacheInitialize(&Context->Cache, Settings, PartitionLength, &Storage, TargetDeviceIo, Context);
    if (!NT_SUCCESS(Status)) {
        ReleaseVolumeContext(Context);
        return Status;
    }
    *Result = Context;
    return STATUS_SUCCESS;
}

// Starts the volume's worker thread and keeps a reference to it. Started
// tells whether the thread runs: a thread that runs keeps the context, even
// when its reference could not be taken.
static NTSTATUS AttachWorker(PVolumeCacheContext Context, PBOOLEAN Started)
{
    OBJECT_ATTRIBUTES ThreadAttributes;
    HANDLE ThreadHandle = NULL;
    NTSTATUS Status;

    *Started = FALSE;
    InitializeObjectAttributes(&ThreadAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    Status =
        PsCreateSystemThread(&ThreadHandle, 0, &ThreadAttributes, NULL, NULL, VolumeWorkerThread, Context);
    if (!NT_SUCCESS(Status))
        return STATUS_INSUFFICIENT_RESOURCES;
    *Started = TRUE;
    Status = ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       (PVOID *)&Context->WorkerThread, NULL);
    ZwClose(ThreadHandle);
    if (!NT_SUCCESS(Status)) {
        // A kernel handle just created does not fail to reference. Should it
        // ever, the worker cannot be waited for: it is told to end, and its
        // context stays allocated rather than be freed under it.
        RaiseFlag(&Context->Terminate);
        KeReleaseSemaphore(&Context->QueueSemaphore, IO_NO_INCREMENT, 1, FALSE);
    }
    return Status;
}

_Use_decl_annotations_ NTSTATUS StartVolumeCache(const CacheControlRequest *Request)
{
    const WCHAR *CacheFilePath =
        (const WCHAR *)((const UCHAR *)Request + CACHE_OFFSET_OF(CacheControlRequest, CacheFilePath));
    WCHAR Letter = Request->DriveLetter;
    PDEVICE_OBJECT VolumeDevice = NULL;
    ULONGLONG PartitionLength = 0;
    PVolumeCacheContext Context = NULL;
    CacheSettings Settings;
    BOOLEAN Started;
    LONG Slot;
    NTSTATUS Status;

    Status = CheckStartRequest(Request, CacheFilePath, &Settings, &Slot);
    if (!NT_SUCCESS(Status))
        return Status;
    if (Letter >= L'A' && Letter <= L'Z')
        Letter = (WCHAR)(Letter + 0x20);
    Status = CheckVolume(Letter, Settings.CacheBlockSize, &VolumeDevice, &PartitionLength);
    if (!NT_SUCCESS(Status))
        return Status;

    Status = SetUpVolumeContext(Letter, CacheFilePath, &Settings, VolumeDevice, PartitionLength, &Context);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = AttachWorker(Context, &Started);
    if (!NT_SUCCESS(Status)) {
        if (!Started)
            ReleaseVolumeContext(Context);
        return Status;
    }

    // From here the control requests and the interception find the volume.
    PublishStatistics(Context);
    Context->SlotIndex = (ULONG)Slot;
    (void)InterlockedExchangePointer((PVOID volatile *)&DriverGlobals.VolumeTable[Slot], Context);
    InstallInterception(VolumeDevice->DriverObject);
    return STATUS_SUCCESS;
}
