// The driver's frame: entry and unload, and the control device's create,
// close and default handlers.
#include "Driver.h"

// The driver's state lives in static storage, which the system zeroes at
// load. A driver image that is loaded again in the same address space (as a
// test harness does) must not see the previous load's state.
static void ResetDriverState(void)
{
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
}

_Use_decl_annotations_ extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                             PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    NTSTATUS Status;
    ULONG Major;

    UNREFERENCED_PARAMETER(RegistryPath);
    ResetDriverState();

    // Exclusive: one open handle at a time. Secure open: the device's
    // security applies to every open, whatever name follows the device's.
    RtlInitUnicodeString(&DeviceName, CACHE_DEVICE_NAME);
    Status = IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, TRUE,
                            &DriverGlobals.ControlDevice);
    if (!NT_SUCCESS(Status)) {
        DriverGlobals.ControlDevice = NULL;
        return Status;
    }

    RtlInitUnicodeString(&LinkName, CACHE_DOS_DEVICE_NAME);
    Status = IoCreateSymbolicLink(&LinkName, &DeviceName);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(DriverGlobals.ControlDevice);
        DriverGlobals.ControlDevice = NULL;
        return Status;
    }

    for (Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; Major++)
        DriverObject->MajorFunction[Major] = DispatchDefault;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->DriverUnload = CacheUnload;

    ExInitializeNPagedLookasideList(&TableNodeLookaside, NULL, NULL, 0, TABLE_NODE_SIZE, CACHE_POOL_TAG, 0);
    KeInitializeEvent(&DriverGlobals.ControlGate, SynchronizationEvent, TRUE);
    return STATUS_SUCCESS;
}

// Create admits administrators only, and only for the device itself; close
// always succeeds. Nothing is kept per handle.
//
// The device has no namespace: an open of a name below it (\\.\Tessiro8\x)
// reaches this routine with that name in the file object, and is refused, as
// the platform asks of an exclusive device.
//
// The system's I/O manager passes the opener's security context with every
// create. An I/O manager that passes none (Wine's, which runs every program
// with administrative rights) gives nothing to check, and the open is
// admitted.
_Use_decl_annotations_ extern "C" NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = STATUS_SUCCESS;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (Stack->MajorFunction == IRP_MJ_CREATE) {
        PIO_SECURITY_CONTEXT Security = Stack->Parameters.Create.SecurityContext;
        if (Stack->FileObject != NULL && Stack->FileObject->FileName.Length != 0)
            Status = STATUS_OBJECT_NAME_NOT_FOUND;
        else if (Security != NULL && Security->AccessState != NULL &&
                 !SeTokenIsAdmin(SeQuerySubjectContextToken(&Security->AccessState->SubjectSecurityContext)))
            Status = STATUS_ACCESS_DENIED;
    }

    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

_Use_decl_annotations_ extern "C" NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
}

_Use_decl_annotations_ extern "C" void NTAPI CacheUnload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING LinkName;
    ULONG Slot;

    UNREFERENCED_PARAMETER(DriverObject);
    for (Slot = 0; Slot < CACHE_VOLUME_SLOTS; Slot++) {
        PVolumeCacheContext Context = ReadVolumeSlot(Slot);
        if (Context != NULL)
            StopVolumeCache(Context);
    }

    ExDeleteNPagedLookasideList(&TableNodeLookaside);
    IoDeleteDevice(DriverGlobals.ControlDevice);
    DriverGlobals.ControlDevice = NULL;
    RtlInitUnicodeString(&LinkName, CACHE_DOS_DEVICE_NAME);
    IoDeleteSymbolicLink(&LinkName);

    RemoveInterception();
}
