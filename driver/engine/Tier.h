// Slots of one tier: taking one for a new block, evicting, giving one back,
// dropping a block, and checking that blocks still lie in the slots a pending
// run recorded. Built on the tier's block index and, for memory, its page
// store.
//
// Only the volume's worker thread uses a tier (set-up and release run while no
// worker does), so nothing here takes a lock.
#pragma once

#include "BlockIndex.h"

// Slot argument of DropBlockEntry: the block is dropped whatever its slot.
#define CACHE_ANY_SLOT 0xFFFFFFFFu

// Sets up a zeroed tier of SlotCount slots of BlockSize bytes for a volume of
// Blocks whole blocks: one bit per block, the last partial block included.
// Store is the memory tier's page store, null for the SSD tier. FALSE when the
// bitmap cannot be allocated.
BOOLEAN TierInitialize(PCacheTier Tier, ULONG Blocks, ULONG SlotCount, ULONG BlockSize,
                       struct _MemoryPageStore *Store);
// Empties both tables and frees the bitmap of a tier set up by TierInitialize
// (a tier that was never set up has no bitmap and is left alone).
void TierRelease(PCacheTier Tier);

// TRUE once no fresh slot is left: all handed out, or (memory) the page store
// cannot grow any more.
BOOLEAN TierIsFull(PCacheTier Tier);

// Takes a slot for a new block: a fresh one while the tier has some,
// otherwise the least recently used one. FALSE when the tier has no slot at
// all.
BOOLEAN TakeSlot(PCacheTier Tier, PULONG Slot);
// Takes a slot that no block holds, or else the least recently used block's.
BOOLEAN EvictForSlot(PCacheTier Tier, PULONG Slot);
// Puts a slot that no block holds at the front of the tier's eviction order,
// so that it is the next slot the tier reuses.
void ReleaseSlot(PCacheTier Tier, ULONG Slot);
// Removes Block from the tier when it lies in Slot (any slot when Slot is
// CACHE_ANY_SLOT): its bit and both entries go, and its slot is released.
void DropBlockEntry(PCacheTier Tier, ULONG Block, ULONG Slot);

// TRUE when blocks FirstBlock.. of the tier still lie in slots FirstSlot..
// (a pending run's blocks may have been evicted by an earlier run of the same
// request, and their slots handed to other blocks).
BOOLEAN RunStillInSlots(PCacheTier Tier, ULONG FirstBlock, ULONG FirstSlot, ULONG Count);

// Puts one block, which the memory tier does not hold, into the memory tier:
// a slot, its bytes in the page store, its entries.
void PlaceInMemory(PCacheTier Memory, ULONG Block, const UCHAR *Source);
