// Block index of one tier: presence bitmap, lookup table by block number and
// LRU table by (last use, block).
//
// Only the volume's worker thread touches a volume's index, so nothing here
// takes a lock. Invariants between two calls, per tier:
//   - a block's bit is set exactly when the lookup table and the LRU table
//     each hold an entry for it, and the two entries are equal;
//   - no two entries share a slot; every slot in use is below SlotsUsed.
#pragma once

#include "CacheBase.h"

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

// One tier of a volume: which blocks it holds (bitmap), in which slot (lookup
// table by block number) and in which order they were last used (LRU table by
// tick, then block number), with its slots. Slot s holds BlockSize bytes at
// s * BlockSize of the tier's bytes: the page store for memory, the cache file
// for the SSD tier. The volume record holds one for each tier.
typedef struct _CacheTier {
    PUCHAR Bitmap;
    RTL_GENERIC_TABLE LookupTable;
    RTL_GENERIC_TABLE LruTable;
    // Slots 0 .. SlotsUsed - 1 have been handed out, fresh and in order; the
    // tier's blocks-used statistic. Once they are all out, new blocks take
    // the least recently used block's slot.
    ULONG SlotsUsed;
    ULONG SlotCount;
    ULONG BlockSize;
    // The block number just past the cacheable blocks, which never has a bit
    // of its own: an LRU entry under it marks a slot that no block holds.
    ULONG FreeSlotBlock;
    // The memory tier's bytes, whose growth also bounds its fresh slots; null
    // for the SSD tier.
    struct _MemoryPageStore *Store;
} CacheTier, *PCacheTier;

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
// have this size: the one engine object that volumes share. The driver sets
// it up at load and deletes it at unload.
#define TABLE_NODE_SIZE (FIELD_OFFSET(TableEntryHeader, UserData) + sizeof(BlockEntry))

static_assert(sizeof(PVOID) != 4 || TABLE_NODE_SIZE == 40, "a 32-bit table node is 40 bytes");
static_assert(sizeof(PVOID) != 8 || TABLE_NODE_SIZE == 56, "a 64-bit table node is 56 bytes");

extern NPAGED_LOOKASIDE_LIST TableNodeLookaside;

// Returned by EvictLeastRecentlyUsed when the tier holds no block (a tier
// with no slots, or one emptied by failed insertions): there is no slot to
// reuse, and the caller must not place the block in that tier.
#define CACHE_NO_SLOT 0xFFFFFFFFu

// The generic table's routine types. The platform's headers name only the
// pointer types; these are the routines they point to.
typedef __typeof__(*(PRTL_GENERIC_COMPARE_ROUTINE)0) TABLE_COMPARE_ROUTINE;
typedef __typeof__(*(PRTL_GENERIC_ALLOCATE_ROUTINE)0) TABLE_ALLOCATE_ROUTINE;
typedef __typeof__(*(PRTL_GENERIC_FREE_ROUTINE)0) TABLE_FREE_ROUTINE;

// Order of the lookup tables: by block number.
TABLE_COMPARE_ROUTINE CompareBlockNumbers;
// Order of the LRU tables: by last use, then block number.
TABLE_COMPARE_ROUTINE CompareLastUse;
// Node routines of all four tables: fixed-size blocks of TableNodeLookaside.
// A request larger than TABLE_NODE_SIZE is refused (null), never overrun.
TABLE_ALLOCATE_ROUTINE AllocateTableNode;
TABLE_FREE_ROUTINE FreeTableNode;

// Nonzero when the block's bit is set. Block b is bit (b & 7) of byte b >> 3.
ULONG BitmapTest(const UCHAR *Bitmap, ULONG Block);
// Sets the bit when Value is nonzero, clears it otherwise; returns TRUE.
BOOLEAN BitmapSet(PUCHAR Bitmap, ULONG Block, ULONG Value);
// The lookup table's entry of the block, or NULL.
PBlockEntry LookupBlockEntry(PRTL_GENERIC_TABLE LookupTable, ULONG Block);
// Gives the entry (the lookup table's copy) the current tick and moves it in
// the LRU order. Slot and presence do not change, and Entry stays valid. A
// touch within the entry's own tick changes nothing; when no table node can be
// had for the new LRU position the entry keeps its old tick.
void TouchBlockEntry(PCacheTier Tier, PBlockEntry Entry);
// Removes the least recently used block (smallest tick, then lowest block)
// from the tier and returns its slot, whose bytes stay as they are; returns
// CACHE_NO_SLOT when the tier holds nothing. Needs no memory.
ULONG EvictLeastRecentlyUsed(PCacheTier Tier);
// Enters Block at Slot with the current tick. Returns FALSE, with the tier
// unchanged, when a table node cannot be allocated or the block is already in
// the tier; the caller then treats the block as not placed in this tier.
BOOLEAN InsertBlockEntry(PCacheTier Tier, ULONG Block, ULONG Slot);
// The system's tick count, read as KeQueryTickCount reads it.
ULONGLONG CurrentTick(void);
