// Read path, write path and the SSD tier's cache file.
#pragma once

#include "../Driver.h"

NTSTATUS CacheReadRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                          PVolumeCacheContext Context, PIRP Irp, PULONG Transferred);
NTSTATUS CacheWriteRequest(PVOID Buffer, ULONGLONG Offset, ULONG Length,
                           PVolumeCacheContext Context, PIRP Irp, PULONG Transferred);
NTSTATUS CacheFileRead(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);
NTSTATUS CacheFileWrite(HANDLE FileHandle, ULONGLONG Offset, ULONG Length, PVOID Buffer);
