// Block index of one tier: presence bitmap, lookup table by block number and
// LRU table by (last use, block).
#pragma once

#include "../Driver.h"

typedef enum _BlockLocation {
    BlockNotCached = 0,
    BlockInMemory = 1,
    BlockInSsd = 2,
} BlockLocation;

// 16 bytes, in this order.
typedef struct _BlockEntry {
    ULONG Block;
    ULONG Slot;
    ULONG TickLow;
    LONG TickHigh;
} BlockEntry, *PBlockEntry;

static_assert(sizeof(BlockEntry) == 16, "BlockEntry is 16 bytes");

// The members of a VolumeCacheContext that make up the index of one tier.
// Built by MemoryTierIndex / SsdTierIndex, so one routine serves both tiers.
typedef struct _TierIndex {
    PUCHAR Bitmap;
    PRTL_GENERIC_TABLE LookupTable;
    PRTL_GENERIC_TABLE LruTable;
    PULONG SlotsUsed;
    ULONG SlotCount;
    PULONG BlocksUsed;  // the tier's statistic
} TierIndex, *PTierIndex;

// Bytes of one table node: the table's own header plus one entry.
#define TABLE_NODE_SIZE (sizeof(RTL_SPLAY_LINKS) + sizeof(LIST_ENTRY) + sizeof(BlockEntry))

TierIndex MemoryTierIndex(PVolumeCacheContext Context);
TierIndex SsdTierIndex(PVolumeCacheContext Context);

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareBlockNumbers(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second);
RTL_GENERIC_COMPARE_RESULTS NTAPI CompareLastUse(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second);
PVOID NTAPI AllocateTableNode(PRTL_GENERIC_TABLE Table, CLONG ByteSize);
VOID NTAPI FreeTableNode(PRTL_GENERIC_TABLE Table, PVOID Buffer);

ULONG BitmapTest(const UCHAR *Bitmap, ULONG Block);
BOOLEAN BitmapSet(PUCHAR Bitmap, ULONG Block, ULONG Value);
BlockLocation ClassifyBlock(PVolumeCacheContext Context, ULONG Block);
PBlockEntry LookupBlockEntry(PRTL_GENERIC_TABLE LookupTable, ULONG Block);
void TouchBlockEntry(PTierIndex Tier, PBlockEntry Entry);
ULONG EvictLeastRecentlyUsed(PTierIndex Tier);
BOOLEAN InsertBlockEntry(PTierIndex Tier, ULONG Block, ULONG Slot);
ULONGLONG CurrentTick(void);
