// The control requests built from a volume's settings.
#include "panel/ControlRequest.h"

#include "panel/DriverClient.h"
#include "panel/Text.h"

#include <string.h>

bool BuildStartRequest(const VolumeSettings &settings, WCHAR driveLetter, CacheControlRequest *request)
{
    memset(request, 0, sizeof(*request));
    request->DriveLetter = UpperAscii(driveLetter);
    request->SsdEnabled = settings.SsdUsed ? 1 : 0;
    request->Start = 1;
    request->MemorySize = (ULONGLONG)settings.MemSize << 20;
    request->AllocateBlockSize = (ULONG)(settings.AllocateBlockSize << 20);
    request->CacheBlockSize = (ULONG)(settings.CacheBlockSize << 10);
    if (!settings.SsdUsed) {
        return true;
    }
    request->SsdSize = (ULONGLONG)settings.SsdSize << 20;
    request->SsdAutoGrow = settings.SsdGrow ? 1 : 0;
    request->SsdMaxSize = (ULONGLONG)settings.SsdMaxSize << 20;
    // "\??\" and the path must fit the request's path field with its NUL.
    if (TextLength(settings.CacheFile) > CACHE_WIN32_PATH_MAX) {
        return false;
    }
    FormatText(request->CacheFilePath, CACHE_FILE_PATH_CHARS, L"\\??\\%ws", settings.CacheFile);
    return true;
}

CacheControlRequest BuildStopRequest(WCHAR driveLetter)
{
    CacheControlRequest request;
    memset(&request, 0, sizeof(request));
    request.DriveLetter = driveLetter;
    return request;
}

bool SendStartRequest(const VolumeSettings &settings, WCHAR driveLetter)
{
    CacheControlRequest request;
    return BuildStartRequest(settings, driveLetter, &request) && SendControlRequest(request);
}
