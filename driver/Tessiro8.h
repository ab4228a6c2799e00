// The cache driver's one public entry point: what a loader calls to start
// the driver (the system at boot, the host kernel for the tools, the
// benchmarks and the tests). Everything else of the driver is private to it.
#pragma once

#include <ntddk.h>

#ifdef __cplusplus
extern "C" {
#endif

// Creates the control device and its link and fills the dispatch table.
DRIVER_INITIALIZE DriverEntry;
NTSTATUS NTAPI DriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath);

#ifdef __cplusplus
}
#endif
