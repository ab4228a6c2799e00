// Write path: sends one write of a cached volume to the volume and refreshes
// the cached copies of the blocks it covers.
#pragma once

#include "VolumeCache.h"

// Routine description: the worker thread's entry for a write. Writes Length
// bytes at Offset from Buffer. Transferred receives the bytes the volume took. When it raises the
// volume's PassOnUncached, its result does not count: the worker sends the
// request on to the owning driver instead.
NTSTATUS CacheWriteRequest(_Inout_ PVolumeCache Cache, _In_reads_bytes_(Length) PVOID Buffer,
                           _In_ ULONGLONG Offset, _In_ ULONG Length, _Out_ PULONG Transferred);
