// The panel's three calls to the cache driver. Each opens \\.\Tessiro8, sends
// one device control request and closes the handle again.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "shared/CacheProtocol.h"

// Sends the request (panel/ControlRequest.h builds it) as it is: starts or
// stops caching one volume. True when the driver accepted.
bool SendControlRequest(const CacheControlRequest &request);

// True with the volume's record when the driver caches the volume; the
// record is written only on success.
bool QueryVolumeStatistics(WCHAR driveLetter, CacheStatistics *statistics);

// The running driver's version; 0xFFFFFFFF when the device cannot be opened,
// 0 when the request fails after the open. openError, when given, receives
// the open's error (ERROR_SUCCESS when the device opened).
ULONG QueryDriverVersion(DWORD *openError = nullptr);

// True when an open error of the control device means that no driver has
// created it: the driver is not running. A device that exists but is held
// by another program (it admits one handle at a time) or denies access
// fails with another error.
bool ControlDeviceMissing(DWORD openError);

#define DRIVER_NOT_RUNNING 0xFFFFFFFFu
