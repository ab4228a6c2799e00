// Read path: serves one read of a cached volume from its tiers.
#pragma once

#include "VolumeCache.h"

// Routine description: the worker thread's entry for a read. Serves one read
// of Length bytes at Offset into Buffer and counts it. Transferred receives the bytes delivered
// to the caller. When it raises the volume's PassOnUncached, its result does
// not count: the worker sends the request on to the owning driver instead.
NTSTATUS CacheReadRequest(_Inout_ PVolumeCache Cache, _Out_writes_bytes_(Length) PVOID Buffer,
                          _In_ ULONGLONG Offset, _In_ ULONG Length, _Out_ PULONG Transferred);
