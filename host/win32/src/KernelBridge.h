// The Win32 stand-in's way into the host kernel, with plain types so that
// the Win32 side needs no kernel header.
#pragma once

#include <stdint.h>

#include "HostWin32.h"

namespace hostwin32::detail {

int32_t OpenDevice(const wchar_t *ntName, bool admin, void **file);
int32_t DeviceControl(void *file, uint32_t code, const void *input, uint32_t inputLength, void *output,
                      uint32_t outputLength, uint64_t *information);
void CloseDevice(void *file);

// Loads a driver as \Driver\<name>; null (and the status) on failure.
void *LoadServiceDriver(const wchar_t *name, DriverEntryRoutine entry, int32_t *status);
bool UnloadServiceDriver(void *driver);

// RtlNtStatusToDosError for the statuses the stand-in meets.
uint32_t DosErrorOf(int32_t status);

}  // namespace hostwin32::detail
