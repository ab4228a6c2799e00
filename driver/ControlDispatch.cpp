// IRP_MJ_DEVICE_CONTROL of the control device: start and stop of a volume's
// cache, its statistics, and the driver's version.
#include "Driver.h"

static NTSTATUS ControlVolume(const UCHAR *Buffer)
{
    const CacheControlRequest *Request = (const CacheControlRequest *)Buffer;
    PVolumeCacheContext Context = FindVolumeByLetter(Request->DriveLetter);

    if (Context != NULL)
        return Request->Start != 0 ? STATUS_UNSUCCESSFUL : StopVolumeCache(Context);
    if (Request->Start == 0)
        return STATUS_UNSUCCESSFUL;
    return StartVolumeCache(Request);
}

_Use_decl_annotations_ extern "C" NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = Stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR Buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    PVolumeCacheContext Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    KeWaitForSingleObject(&DriverGlobals.ControlGate, Executive, KernelMode, FALSE, NULL);

    switch (Code) {
    case IOCTL_CACHE_CONTROL_VOLUME:
        // A longer input is served from its first bytes.
        if (InputLength < sizeof(CacheControlRequest))
            Status = STATUS_BUFFER_TOO_SMALL;
        else
            Status = ControlVolume(Buffer);
        break;

    case IOCTL_CACHE_QUERY_STATISTICS:
        if (InputLength < sizeof(ULONG) || OutputLength < sizeof(CacheStatistics)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        // The letter is the low 16 bits of a 32-bit value; the rest is ignored.
        Context = FindVolumeByLetter((WCHAR)(*(const ULONG *)Buffer & 0xFFFF));
        if (Context == NULL) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        CopyStatistics(Context, (CacheStatistics *)Buffer);
        Information = sizeof(CacheStatistics);
        break;

    case IOCTL_CACHE_QUERY_VERSION:
        if (OutputLength < sizeof(ULONG)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        *(PULONG)Buffer = CACHE_DRIVER_VERSION;
        Information = sizeof(ULONG);
        break;

    default:
        break;
    }

    KeSetEvent(&DriverGlobals.ControlGate, IO_NO_INCREMENT, FALSE);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
