// Client side of the control protocol.
#include "panel/DriverClient.h"

#include "panel/Text.h"

#include <string.h>

namespace {

HANDLE OpenControlDevice()
{
    return CreateFileW(CACHE_WIN32_DEVICE, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

bool SendControlRequest(const CacheControlRequest &request)
{
    HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    CacheControlRequest sent = request;
    DWORD returned = 0;
    BOOL accepted = DeviceIoControl(device, IOCTL_CACHE_CONTROL_VOLUME, &sent, sizeof(sent), nullptr, 0,
                                    &returned, nullptr);
    CloseHandle(device);
    return accepted != FALSE;
}

bool QueryVolumeStatistics(WCHAR driveLetter, CacheStatistics *statistics)
{
    HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return false;
    }
    ULONG letter = driveLetter;
    CacheStatistics reply;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IOCTL_CACHE_QUERY_STATISTICS, &letter, sizeof(letter), &reply,
                              sizeof(reply), &returned, nullptr);
    CloseHandle(device);
    if (!ok) {
        return false;
    }
    *statistics = reply;
    return true;
}

ULONG QueryDriverVersion(DWORD *openError)
{
    HANDLE device = OpenControlDevice();
    if (openError != nullptr) {
        *openError = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (device == INVALID_HANDLE_VALUE) {
        return DRIVER_NOT_RUNNING;
    }
    ULONG version = 0;
    DWORD returned = 0;
    DeviceIoControl(device, IOCTL_CACHE_QUERY_VERSION, nullptr, 0, &version, sizeof(version), &returned,
                    nullptr);
    CloseHandle(device);
    return version;
}

bool ControlDeviceMissing(DWORD openError)
{
    return openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND;
}
