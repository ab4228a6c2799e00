// The Win32 stand-in's calls into the host kernel.
#include "KernelBridge.h"

#include <HostKernel.h>

namespace hostwin32::detail {

int32_t OpenDevice(const wchar_t *ntName, bool admin, void **file)
{
    PFILE_OBJECT object = nullptr;
    NTSTATUS status = host::UserOpenDevice(ntName, admin, &object);
    *file = object;
    return status;
}

int32_t DeviceControl(void *file, uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength, uint64_t *information)
{
    ULONG_PTR info = 0;
    NTSTATUS status = host::UserDeviceIoControl(static_cast<PFILE_OBJECT>(file), code, input, inputLength,
                                                output, outputLength, &info);
    *information = info;
    return status;
}

void CloseDevice(void *file)
{
    host::UserCloseDevice(static_cast<PFILE_OBJECT>(file));
}

void *LoadServiceDriver(const wchar_t *name, DriverEntryRoutine entry, int32_t *status)
{
    NTSTATUS result = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = host::LoadDriver(name, reinterpret_cast<PDRIVER_INITIALIZE>(entry), &result);
    *status = driver != nullptr ? STATUS_SUCCESS : result;
    return driver;
}

bool UnloadServiceDriver(void *driver)
{
    return host::UnloadDriver(static_cast<PDRIVER_OBJECT>(driver));
}

uint32_t DosErrorOf(int32_t status)
{
    switch ((uint32_t)status) {
    case (uint32_t)STATUS_SUCCESS:
        return 0;  // ERROR_SUCCESS
    case (uint32_t)STATUS_UNSUCCESSFUL:
        return 31;  // ERROR_GEN_FAILURE
    case (uint32_t)STATUS_NOT_IMPLEMENTED:
        return 1;  // ERROR_INVALID_FUNCTION
    case (uint32_t)STATUS_INVALID_DEVICE_REQUEST:
        return 1;
    case (uint32_t)STATUS_INVALID_HANDLE:
        return 6;  // ERROR_INVALID_HANDLE
    case (uint32_t)STATUS_INVALID_PARAMETER:
        return 87;
    case (uint32_t)STATUS_NO_SUCH_DEVICE:
        return 2;  // ERROR_FILE_NOT_FOUND
    case (uint32_t)STATUS_OBJECT_NAME_NOT_FOUND:
        return 2;
    case (uint32_t)STATUS_OBJECT_PATH_NOT_FOUND:
        return 3;
    case (uint32_t)STATUS_OBJECT_NAME_INVALID:
        return 123;
    case (uint32_t)STATUS_ACCESS_DENIED:
        return 5;
    case (uint32_t)STATUS_SHARING_VIOLATION:
        return 32;
    case (uint32_t)STATUS_BUFFER_TOO_SMALL:
        return 122;  // ERROR_INSUFFICIENT_BUFFER
    case (uint32_t)STATUS_NOT_SUPPORTED:
        return 50;
    case (uint32_t)STATUS_INSUFFICIENT_RESOURCES:
        return 1450;
    case (uint32_t)STATUS_DISK_FULL:
        return 112;
    case (uint32_t)STATUS_DEVICE_NOT_READY:
        return 21;
    case (uint32_t)STATUS_IO_DEVICE_ERROR:
        return 1117;
    case (uint32_t)STATUS_DEVICE_BUSY:
        return 170;  // ERROR_BUSY
    case (uint32_t)STATUS_END_OF_FILE:
        return 38;  // ERROR_HANDLE_EOF
    default:
        return 317;  // ERROR_MR_MID_NOT_FOUND
    }
}

}  // namespace hostwin32::detail
