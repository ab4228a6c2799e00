// The control requests the panel sends to the cache driver, built from a
// volume's settings as they are stored in cache.ini; the record goes to the
// driver as it is built.
#pragma once

#include "panel/ConfigFile.h"
#include "shared/CacheProtocol.h"

// The request that starts caching the letter's volume with the settings:
// megabytes and kilobytes to bytes, and with the SSD tier its sizes, its
// growth and the cache file as "\??\<path>". False when the path does not fit
// the request (longer than CACHE_WIN32_PATH_MAX code units): every other
// field is filled then, the path is left empty, and the request must not be
// sent.
bool BuildStartRequest(const VolumeSettings &settings, WCHAR driveLetter, CacheControlRequest *request);

// The request that stops caching the letter's volume.
CacheControlRequest BuildStopRequest(WCHAR driveLetter);

// Builds the start request and sends it; true when the driver accepted.
bool SendStartRequest(const VolumeSettings &settings, WCHAR driveLetter);
