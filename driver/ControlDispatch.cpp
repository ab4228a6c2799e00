// IRP_MJ_DEVICE_CONTROL of the control device: start and stop of a volume's
// cache, its statistics, and the driver's version.
#include "Driver.h"

static NTSTATUS ControlVolume(const UCHAR *Buffer)
{
    const CacheControlRequest *request = (const CacheControlRequest *)Buffer;
    PVolumeCacheContext context = FindVolumeByLetter(request->DriveLetter);

    if (context != NULL)
        return request->Start != 0 ? STATUS_UNSUCCESSFUL : StopVolumeCache(context);
    if (request->Start == 0)
        return STATUS_UNSUCCESSFUL;
    return StartVolumeCache(request);
}

_Use_decl_annotations_ extern "C" NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    PVolumeCacheContext context;

    UNREFERENCED_PARAMETER(DeviceObject);
    KeWaitForSingleObject(&DriverGlobals.ControlGate, Executive, KernelMode, FALSE, NULL);

    switch (code) {
    case IOCTL_CACHE_CONTROL_VOLUME:
        // A longer input is served from its first bytes.
        if (inputLength < sizeof(CacheControlRequest))
            status = STATUS_BUFFER_TOO_SMALL;
        else
            status = ControlVolume(buffer);
        break;

    case IOCTL_CACHE_QUERY_STATISTICS:
        if (inputLength < sizeof(ULONG) || outputLength < sizeof(CacheStatistics)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        // The letter is the low 16 bits of a 32-bit value; the rest is ignored.
        context = FindVolumeByLetter((WCHAR)(*(const ULONG *)buffer & 0xFFFF));
        if (context == NULL) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        CopyStatistics(context, (CacheStatistics *)buffer);
        information = sizeof(CacheStatistics);
        break;

    case IOCTL_CACHE_QUERY_VERSION:
        if (outputLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        *(PULONG)buffer = CACHE_DRIVER_VERSION;
        information = sizeof(ULONG);
        break;

    default:
        break;
    }

    KeSetEvent(&DriverGlobals.ControlGate, IO_NO_INCREMENT, FALSE);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
