// Block index of one tier: presence bitmap, lookup table by block number and
// LRU table by (last use, block).
//
// Only the volume's worker thread touches a volume's index, so nothing here
// takes a lock. Invariants between two calls, per tier:
//   - a block's bit is set exactly when the lookup table and the LRU table
//     each hold an entry for it, and the two entries are equal;
//   - no two entries share a slot; every slot in use is below *SlotsUsed.
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

// The header that the run-time library's generic table puts in front of each
// element: splay links, the insertion-order link, then the caller's bytes at
// the offset of an 8-byte-aligned LONGLONG. The table asks its allocate
// routine for that offset plus the element's size: 24 + 16 on x86, 40 + 16 on
// x86-64.
typedef struct _TableEntryHeader {
    RTL_SPLAY_LINKS SplayLinks;
    LIST_ENTRY ListEntry;
    LONGLONG UserData;
} TableEntryHeader;

// Bytes of one table node: the table's own header plus one entry. Every
// table of every volume takes its nodes from TableNodeLookaside, whose blocks
// have this size.
#define TABLE_NODE_SIZE (FIELD_OFFSET(TableEntryHeader, UserData) + sizeof(BlockEntry))

static_assert(sizeof(PVOID) != 4 || TABLE_NODE_SIZE == 40, "a 32-bit table node is 40 bytes");
static_assert(sizeof(PVOID) != 8 || TABLE_NODE_SIZE == 56, "a 64-bit table node is 56 bytes");

// Returned by EvictLeastRecentlyUsed when the tier holds no block (a tier
// with no slots, or one emptied by failed insertions): there is no slot to
// reuse, and the caller must not place the block in that tier.
#define CACHE_NO_SLOT 0xFFFFFFFFu

TierIndex MemoryTierIndex(PVolumeCacheContext Context);
TierIndex SsdTierIndex(PVolumeCacheContext Context);

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareBlockNumbers(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second);
RTL_GENERIC_COMPARE_RESULTS NTAPI CompareLastUse(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second);
// Node routines of all four tables: fixed-size blocks of TableNodeLookaside.
// A request larger than TABLE_NODE_SIZE is refused (null), never overrun.
PVOID NTAPI AllocateTableNode(PRTL_GENERIC_TABLE Table, CLONG ByteSize);
VOID NTAPI FreeTableNode(PRTL_GENERIC_TABLE Table, PVOID Buffer);

// Nonzero when the block's bit is set. Block b is bit (b & 7) of byte b >> 3.
ULONG BitmapTest(const UCHAR *Bitmap, ULONG Block);
// Sets the bit when Value is nonzero, clears it otherwise; returns TRUE.
BOOLEAN BitmapSet(PUCHAR Bitmap, ULONG Block, ULONG Value);
// Memory first; the SSD bitmap is read only when the volume's SsdEnabled is set.
BlockLocation ClassifyBlock(PVolumeCacheContext Context, ULONG Block);
// The lookup table's entry of the block, or NULL.
PBlockEntry LookupBlockEntry(PRTL_GENERIC_TABLE LookupTable, ULONG Block);
// Gives the entry (the lookup table's copy) the current tick and moves it in
// the LRU order. Slot and presence do not change, and Entry stays valid. A
// touch within the entry's own tick changes nothing; when no table node can be
// had for the new LRU position the entry keeps its old tick.
void TouchBlockEntry(PTierIndex Tier, PBlockEntry Entry);
// Removes the least recently used block (smallest tick, then lowest block)
// from the tier and returns its slot, whose bytes stay as they are; returns
// CACHE_NO_SLOT when the tier holds nothing. Needs no memory.
ULONG EvictLeastRecentlyUsed(PTierIndex Tier);
// Enters Block at Slot with the current tick. Returns FALSE, with the tier
// unchanged, when a table node cannot be allocated or the block is already in
// the tier; the caller then treats the block as not placed in this tier.
BOOLEAN InsertBlockEntry(PTierIndex Tier, ULONG Block, ULONG Slot);
// The system's tick count, read as KeQueryTickCount reads it.
ULONGLONG CurrentTick(void);
