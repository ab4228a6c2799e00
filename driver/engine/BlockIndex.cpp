// Block index of one tier: which blocks the tier holds (bitmap), where
// (lookup table by block number) and in which order they were last used (LRU
// table by tick, then block number).
#include "BlockIndex.h"

NPAGED_LOOKASIDE_LIST TableNodeLookaside;

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareBlockNumbers(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second)
{
    ULONG A = ((PBlockEntry)First)->Block;
    ULONG B = ((PBlockEntry)Second)->Block;

    UNREFERENCED_PARAMETER(Table);
    if (A < B)
        return GenericLessThan;
    if (A > B)
        return GenericGreaterThan;
    return GenericEqual;
}

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareLastUse(PRTL_GENERIC_TABLE Table, PVOID First, PVOID Second)
{
    PBlockEntry A = (PBlockEntry)First;
    PBlockEntry B = (PBlockEntry)Second;

    UNREFERENCED_PARAMETER(Table);
    // The tick is a signed 64-bit count: high halves signed, low halves unsigned.
    if (A->TickHigh != B->TickHigh)
        return A->TickHigh < B->TickHigh ? GenericLessThan : GenericGreaterThan;
    if (A->TickLow != B->TickLow)
        return A->TickLow < B->TickLow ? GenericLessThan : GenericGreaterThan;
    if (A->Block != B->Block)
        return A->Block < B->Block ? GenericLessThan : GenericGreaterThan;
    return GenericEqual;
}

PVOID NTAPI AllocateTableNode(PRTL_GENERIC_TABLE Table, CLONG ByteSize)
{
    UNREFERENCED_PARAMETER(Table);
    // The lookaside blocks hold exactly one node; a larger request would
    // overrun it.
    if (ByteSize > TABLE_NODE_SIZE)
        return NULL;
    return ExAllocateFromNPagedLookasideList(&TableNodeLookaside);
}

VOID NTAPI FreeTableNode(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    UNREFERENCED_PARAMETER(Table);
    ExFreeToNPagedLookasideList(&TableNodeLookaside, Buffer);
}

ULONG BitmapTest(const UCHAR *Bitmap, ULONG Block)
{
    return Bitmap[Block >> 3] & (1u << (Block & 7));
}

BOOLEAN BitmapSet(PUCHAR Bitmap, ULONG Block, ULONG Value)
{
    UCHAR Mask = (UCHAR)(1u << (Block & 7));

    if (Value)
        Bitmap[Block >> 3] |= Mask;
    else
        Bitmap[Block >> 3] &= (UCHAR)~Mask;
    return TRUE;
}

PBlockEntry LookupBlockEntry(PRTL_GENERIC_TABLE LookupTable, ULONG Block)
{
    BlockEntry Key;

    RtlZeroMemory(&Key, sizeof(Key));
    Key.Block = Block;
    return (PBlockEntry)RtlLookupElementGenericTable(LookupTable, &Key);
}

ULONGLONG CurrentTick(void)
{
    LARGE_INTEGER Tick;

    KeQueryTickCount(&Tick);
    return (ULONGLONG)Tick.QuadPart;
}

static void SetEntryTick(PBlockEntry Entry, ULONGLONG Tick)
{
    Entry->TickLow = (ULONG)Tick;
    Entry->TickHigh = (LONG)(Tick >> 32);
}

void TouchBlockEntry(PCacheTier Tier, PBlockEntry Entry)
{
    BlockEntry Updated;
    BOOLEAN Inserted;

    Updated = *Entry;
    SetEntryTick(&Updated, CurrentTick());
    // Same tick, same key: the entry already sits where a touch would put it.
    if (Updated.TickLow == Entry->TickLow && Updated.TickHigh == Entry->TickHigh)
        return;

    // The new position is inserted before the old one is deleted, so a node
    // that cannot be had leaves both tables as they were.
    if (!RtlInsertElementGenericTable(&Tier->LruTable, &Updated, sizeof(Updated), &Inserted))
        return;
    RtlDeleteElementGenericTable(&Tier->LruTable, Entry);
    Entry->TickLow = Updated.TickLow;
    Entry->TickHigh = Updated.TickHigh;
}

ULONG EvictLeastRecentlyUsed(PCacheTier Tier)
{
    PBlockEntry Oldest;
    BlockEntry Key;
    ULONG Slot;

    Oldest = (PBlockEntry)RtlEnumerateGenericTable(&Tier->LruTable, TRUE);
    if (Oldest == NULL)
        return CACHE_NO_SLOT;

    Slot = Oldest->Slot;
    BitmapSet(Tier->Bitmap, Oldest->Block, 0);
    RtlZeroMemory(&Key, sizeof(Key));
    Key.Block = Oldest->Block;
    RtlDeleteElementGenericTable(&Tier->LookupTable, &Key);
    // Last: Oldest is the LRU table's own node.
    RtlDeleteElementGenericTable(&Tier->LruTable, Oldest);
    return Slot;
}

BOOLEAN InsertBlockEntry(PCacheTier Tier, ULONG Block, ULONG Slot)
{
    BlockEntry Entry;
    BOOLEAN Inserted = FALSE;

    Entry.Block = Block;
    Entry.Slot = Slot;
    SetEntryTick(&Entry, CurrentTick());

    if (!RtlInsertElementGenericTable(&Tier->LookupTable, &Entry, sizeof(Entry), &Inserted) || !Inserted)
        return FALSE;

    if (!RtlInsertElementGenericTable(&Tier->LruTable, &Entry, sizeof(Entry), &Inserted) || !Inserted) {
        // No entry in one table only: take the lookup entry back out.
        RtlDeleteElementGenericTable(&Tier->LookupTable, &Entry);
        return FALSE;
    }

    // The bit last: it is set only once both entries exist.
    BitmapSet(Tier->Bitmap, Block, 1);
    return TRUE;
}
