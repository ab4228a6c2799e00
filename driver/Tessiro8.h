// The driver's one public entry: what tools, benchmarks and the host stand-ins may call.
#pragma once

#include <ntddk.h>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
