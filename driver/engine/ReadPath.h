// Read path: serves one read of a cached volume from its tiers.
#pragma once

#include "VolumeCache.h"

// Entry point of the worker thread: serves one read of Length bytes at
// Offset into Buffer and counts it. Transferred receives the bytes delivered
// to the caller. When it raises the volume's PassOnUncached, its result does
// not count: the worker sends the request on to the owning driver instead.
NTSTATUS CacheReadRequest(PVolumeCache Cache, PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PULONG Transferred);
