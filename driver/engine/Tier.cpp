// Slots of one tier: the policy above the block index that decides which
// slot a new block takes and what happens to a slot whose block leaves.
#include "Tier.h"
#include "PageStore.h"

// A slot put back by ReleaseSlot sits at the front of the LRU table under the
// tier's FreeSlotBlock and a tick below every real one.
#define FREE_SLOT_TICK_HIGH ((LONG)0x80000000)

BOOLEAN TierInitialize(PCacheTier Tier, ULONG Blocks, ULONG SlotCount, ULONG BlockSize,
                       struct _MemoryPageStore *Store)
{
    SIZE_T BitmapBytes = (SIZE_T)(Blocks >> 3) + 1;

    Tier->Bitmap = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BitmapBytes, CACHE_POOL_TAG);
    if (Tier->Bitmap == NULL)
        return FALSE;
    RtlZeroMemory(Tier->Bitmap, BitmapBytes);
    Tier->SlotsUsed = 0;
    Tier->SlotCount = SlotCount;
    Tier->BlockSize = BlockSize;
    Tier->FreeSlotBlock = Blocks;
    Tier->Store = Store;
    RtlInitializeGenericTable(&Tier->LookupTable, CompareBlockNumbers, AllocateTableNode, FreeTableNode,
                              NULL);
    RtlInitializeGenericTable(&Tier->LruTable, CompareLastUse, AllocateTableNode, FreeTableNode, NULL);
    return TRUE;
}

static void EmptyTable(PRTL_GENERIC_TABLE Table)
{
    PVOID Element;

    // Deleting the first element restarts the enumeration each time.
    while ((Element = RtlEnumerateGenericTable(Table, TRUE)) != NULL)
        RtlDeleteElementGenericTable(Table, Element);
}

void TierRelease(PCacheTier Tier)
{
    if (Tier->Bitmap == NULL)
        return;
    ExFreePoolWithTag(Tier->Bitmap, CACHE_POOL_TAG);
    Tier->Bitmap = NULL;
    EmptyTable(&Tier->LookupTable);
    EmptyTable(&Tier->LruTable);
}

BOOLEAN TierIsFull(PCacheTier Tier)
{
    return (Tier->Store != NULL && PageStoreIsExhausted(Tier->Store)) || Tier->SlotsUsed >= Tier->SlotCount;
}

static BOOLEAN IsFreeSlotEntry(PCacheTier Tier, const BlockEntry *Entry)
{
    return Entry->TickHigh == FREE_SLOT_TICK_HIGH && Entry->Block == Tier->FreeSlotBlock;
}

void ReleaseSlot(PCacheTier Tier, ULONG Slot)
{
    BlockEntry Free;
    BOOLEAN Inserted;

    Free.Block = Tier->FreeSlotBlock;
    Free.Slot = Slot;
    Free.TickLow = Slot;
    Free.TickHigh = FREE_SLOT_TICK_HIGH;
    // Without a node the slot is simply never used again: the tier is one
    // slot smaller, and nothing maps to stale bytes.
    RtlInsertElementGenericTable(&Tier->LruTable, &Free, sizeof(Free), &Inserted);
}

BOOLEAN EvictForSlot(PCacheTier Tier, PULONG Slot)
{
    PBlockEntry Oldest;
    BlockEntry Free;

    Oldest = (PBlockEntry)RtlEnumerateGenericTable(&Tier->LruTable, TRUE);
    if (Oldest == NULL)
        return FALSE;
    if (IsFreeSlotEntry(Tier, Oldest)) {
        Free = *Oldest;
        RtlDeleteElementGenericTable(&Tier->LruTable, &Free);
        *Slot = Free.Slot;
        return TRUE;
    }
    *Slot = EvictLeastRecentlyUsed(Tier);
    return *Slot != CACHE_NO_SLOT;
}

BOOLEAN TakeSlot(PCacheTier Tier, PULONG Slot)
{
    if (!TierIsFull(Tier)) {
        *Slot = Tier->SlotsUsed;
        Tier->SlotsUsed += 1;
        return TRUE;
    }
    return EvictForSlot(Tier, Slot);
}

void DropBlockEntry(PCacheTier Tier, ULONG Block, ULONG Slot)
{
    PBlockEntry Entry;
    BlockEntry Copy;

    if (!BitmapTest(Tier->Bitmap, Block))
        return;
    Entry = LookupBlockEntry(&Tier->LookupTable, Block);
    if (Entry == NULL || (Slot != CACHE_ANY_SLOT && Entry->Slot != Slot))
        return;
    Copy = *Entry;
    BitmapSet(Tier->Bitmap, Block, 0);
    RtlDeleteElementGenericTable(&Tier->LruTable, &Copy);
    RtlDeleteElementGenericTable(&Tier->LookupTable, &Copy);
    ReleaseSlot(Tier, Copy.Slot);
}

BOOLEAN RunStillInSlots(PCacheTier Tier, ULONG FirstBlock, ULONG FirstSlot, ULONG Count)
{
    PBlockEntry Entry;
    ULONG j;

    // Slots are reused only by evictions, and a tier evicts only once it is
    // full: before that every recorded slot still holds its block.
    if (!TierIsFull(Tier))
        return TRUE;
    for (j = 0; j < Count; j++) {
        if (!BitmapTest(Tier->Bitmap, FirstBlock + j))
            return FALSE;
        Entry = LookupBlockEntry(&Tier->LookupTable, FirstBlock + j);
        if (Entry == NULL || Entry->Slot != FirstSlot + j)
            return FALSE;
    }
    return TRUE;
}

// Writes one block's bytes into a memory slot: TRUE when all of them got there.
static BOOLEAN WriteMemorySlot(PCacheTier Memory, ULONG Slot, const UCHAR *Source)
{
    return PageStoreWrite(Memory->Store, Source, (ULONGLONG)Slot * Memory->BlockSize,
                          (LONG)Memory->BlockSize) == Memory->BlockSize;
}

void PlaceInMemory(PCacheTier Memory, ULONG Block, const UCHAR *Source)
{
    ULONG FreshSlots = Memory->SlotsUsed;
    ULONG Slot;

    if (BitmapTest(Memory->Bitmap, Block))
        return;
    if (!TakeSlot(Memory, &Slot))
        return;
    if (!WriteMemorySlot(Memory, Slot, Source)) {
        // A fresh slot whose chunk cannot be obtained leaves the store
        // exhausted and is never used; the block then takes the least
        // recently used slot instead. Any other failure (a refused mapping)
        // gives the slot back rather than evict block after block into slots
        // that cannot be written.
        if (Memory->SlotsUsed == FreshSlots || !PageStoreIsExhausted(Memory->Store)) {
            ReleaseSlot(Memory, Slot);
            return;
        }
        if (!EvictForSlot(Memory, &Slot))
            return;
        if (!WriteMemorySlot(Memory, Slot, Source)) {
            ReleaseSlot(Memory, Slot);
            return;
        }
    }
    if (!InsertBlockEntry(Memory, Block, Slot))
        ReleaseSlot(Memory, Slot);
}
