// Write path: sends one write of a cached volume to the volume and refreshes
// the cached copies of the blocks it covers.
#pragma once

#include "VolumeCache.h"

// Entry point of the worker thread: writes Length bytes at Offset from
// Buffer. Transferred receives the bytes the volume took. When it raises the
// volume's PassOnUncached, its result does not count: the worker sends the
// request on to the owning driver instead.
NTSTATUS CacheWriteRequest(PVolumeCache Cache, PVOID Buffer, ULONGLONG Offset, ULONG Length,
                           PULONG Transferred);
