// Read path: serves one read of a cached volume from its tiers.
#pragma once

#include "../Driver.h"

// Entry point of the worker thread: serves one read of Length bytes at
// Offset into Buffer. Transferred receives the bytes delivered to the caller.
// When it raises the volume's PassOnUncached, its result does not count: the
// worker sends the request on to the owning driver instead.
NTSTATUS CacheReadRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PVolumeCacheContext Context, PIRP Irp, PULONG Transferred);
