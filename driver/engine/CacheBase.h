// What every part of the cache engine builds on: the kernel's headers, the
// control protocol's records and the engine's pool tag and sizes.
#pragma once

#include <ntifs.h>
#include <ntddk.h>

#include "../../shared/CacheProtocol.h"

#define CACHE_POOL_TAG             0x4841544Cu  // 'LTAH'
#define CACHE_TRANSFER_BUFFER_SIZE 0x400000u    // 4 MiB bounce buffer per volume
