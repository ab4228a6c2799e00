// The SSD tier's cache file, and promotion of memory hits into it.
#pragma once

#include "VolumeCache.h"

// The cache file: synchronous, unbuffered transfers at explicit offsets. A
// transfer of fewer bytes than asked fails.
NTSTATUS CacheFileRead(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);
NTSTATUS CacheFileWrite(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);

// Copies Count whole blocks from Bounce into the SSD tier, skipping blocks the
// tier already holds and writing consecutive slots with one file write.
// Nothing happens without the SSD tier.
void PromoteRunToSsd(PVolumeCache Cache, ULONG FirstBlock, ULONG Count, PUCHAR Bounce);
