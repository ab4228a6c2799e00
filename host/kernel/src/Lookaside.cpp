// Non-paged lookaside lists: a free list of fixed-size blocks in front of the
// pool, at most Depth blocks deep.
#include "KernelInternal.h"

namespace host::detail {
void SpinAcquireRaw(PKSPIN_LOCK Lock);
void SpinReleaseRaw(PKSPIN_LOCK Lock);
}  // namespace host::detail

using namespace host::detail;

namespace {

constexpr USHORT DefaultDepth = 256;

PVOID DefaultAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
}

// Blocks currently cached on the list: every allocation that did not miss
// took one off, every free that did not miss put one on.
ULONG CachedCount(PNPAGED_LOOKASIDE_LIST L)
{
    return (L->TotalFrees - L->FreeMisses) - (L->TotalAllocates - L->AllocateMisses);
}

}  // namespace

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    (void)Flags;
    memset(Lookaside, 0, sizeof(*Lookaside));
    Lookaside->ListHead.Next = nullptr;
    Lookaside->Depth = Depth ? Depth : DefaultDepth;
    Lookaside->MaximumDepth = Lookaside->Depth;
    Lookaside->Type = NonPagedPool;
    Lookaside->Tag = Tag;
    // Every block can hold the list link, as on the platform.
    Lookaside->Size = ULONG(Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
    Lookaside->Allocate = Allocate ? Allocate : DefaultAllocate;
    Lookaside->Free = Free ? Free : ExFreePool;
    KeInitializeSpinLock(&Lookaside->Lock);
    InitializeListHead(&Lookaside->ListEntry);
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    for (;;) {
        SpinAcquireRaw(&Lookaside->Lock);
        PSINGLE_LIST_ENTRY Entry = Lookaside->ListHead.Next;
        if (Entry) {
            Lookaside->ListHead.Next = Entry->Next;
            Lookaside->TotalAllocates++;  // keeps CachedCount right
        }
        SpinReleaseRaw(&Lookaside->Lock);
        if (!Entry)
            break;
        Lookaside->Free(Entry);
    }
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    SpinAcquireRaw(&Lookaside->Lock);
    Lookaside->TotalAllocates++;
    PSINGLE_LIST_ENTRY Entry = Lookaside->ListHead.Next;
    if (Entry)
        Lookaside->ListHead.Next = Entry->Next;
    else
        Lookaside->AllocateMisses++;
    SpinReleaseRaw(&Lookaside->Lock);
    if (Entry)
        return Entry;
    return Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    SpinAcquireRaw(&Lookaside->Lock);
    bool Keep = CachedCount(Lookaside) < Lookaside->Depth;
    Lookaside->TotalFrees++;
    if (Keep) {
        auto *Link = static_cast<PSINGLE_LIST_ENTRY>(Entry);
        Link->Next = Lookaside->ListHead.Next;
        Lookaside->ListHead.Next = Link;
    } else {
        Lookaside->FreeMisses++;
    }
    SpinReleaseRaw(&Lookaside->Lock);
    if (!Keep)
        Lookaside->Free(Entry);
}
