// Generic tables of the run-time library: ordered sets of caller-sized
// elements. The interface, the node layout and the allocate-size contract are
// the platform's; the order is kept in a B-tree of the host's own
// (GenericTableOrder.h) instead of the platform's splay tree, so that a lookup
// or a deletion in a large table (the block index of a big tier) reads a few
// lines of a few B-tree nodes rather than one scattered element node per level
// of a binary tree.
//
// Each element lives in a node that the table's allocate routine provides:
//   RTL_SPLAY_LINKS | LIST_ENTRY | the caller's bytes,
// which begin where an 8-byte-aligned LONGLONG would (offset 24 on x86, 40 on
// x86-64). The allocate routine is asked for that offset plus the caller's
// size, as the platform's table asks, and the pointers the table returns point
// into those nodes. The splay links are not used (they are left zero).
//
// Enumeration keeps its position in OrderedPointer: the insertion-order link
// of the element returned last (the list head when there is none). The
// platform uses that field for RtlGetElementGenericTable, which the host does
// not provide. Restart=FALSE returns the successor of that element; an
// insertion or a deletion in between ends the walk, and the next step starts
// again at the smallest element (on the platform such changes move the
// position to wherever the tree was last splayed).
#include <ntddk.h>

#include "GenericTableOrder.h"

using namespace host::detail;

namespace {

struct TableNode {
    RTL_SPLAY_LINKS Links;
    LIST_ENTRY InsertOrder;
    LONGLONG UserData;
};

constexpr size_t NodeHeaderSize = offsetof(TableNode, UserData);

inline PVOID UserData(TableNode *Node)
{
    return reinterpret_cast<PUCHAR>(Node) + NodeHeaderSize;
}
inline TableNode *NodeOf(PVOID Element)
{
    return reinterpret_cast<TableNode *>(static_cast<PUCHAR>(Element) - NodeHeaderSize);
}

// The walk of an enumeration starts over.
void EndEnumeration(PRTL_GENERIC_TABLE Table)
{
    Table->WhichOrderedElement = 0;
    Table->OrderedPointer = &Table->InsertOrderList;
}

}  // namespace

NT_BEGIN_DECLS

void RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table, PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                               PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                               PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext)
{
    Table->TableRoot = nullptr;
    InitializeListHead(&Table->InsertOrderList);
    EndEnumeration(Table);
    Table->NumberGenericTableElements = 0;
    Table->CompareRoutine = CompareRoutine;
    Table->AllocateRoutine = AllocateRoutine;
    Table->FreeRoutine = FreeRoutine;
    Table->TableContext = TableContext;
}

PVOID RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                   PBOOLEAN NewElement)
{
    if (NewElement)
        *NewElement = FALSE;
    InsertPoint Point;
    if (!FindInsertPoint(Table, Buffer, &Point))
        return nullptr;
    if (Point.Equal)
        return ElementOf(*Point.Equal);

    auto *Node = static_cast<TableNode *>(
        Table->AllocateRoutine(Table, static_cast<CLONG>(NodeHeaderSize + BufferSize)));
    if (!Node) {
        ShrinkRoot(Table);  // the root made for the first element
        return nullptr;
    }
    RtlZeroMemory(&Node->Links, sizeof(Node->Links));
    InitializeListHead(&Node->InsertOrder);
    RtlCopyMemory(UserData(Node), Buffer, BufferSize);
    AddKey(Point, UserData(Node), Buffer, BufferSize);
    Table->NumberGenericTableElements++;
    EndEnumeration(Table);
    if (NewElement)
        *NewElement = TRUE;
    return UserData(Node);
}

PVOID RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    TableKey *Found = FindKey(Table, Buffer);
    return Found ? ElementOf(*Found) : nullptr;
}

BOOLEAN RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    // Buffer may be the element itself: it is freed only once the B-tree no
    // longer needs it for comparisons.
    PVOID Element;
    if (!RemoveKey(Table, Buffer, &Element))
        return FALSE;
    Table->NumberGenericTableElements--;
    EndEnumeration(Table);
    Table->FreeRoutine(Table, NodeOf(Element));
    return TRUE;
}

PVOID RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart)
{
    TableKey *Next;
    if (Restart || Table->OrderedPointer == &Table->InsertOrderList)
        Next = SmallestKey(Table);
    else
        Next = NextKey(Table, UserData(CONTAINING_RECORD(Table->OrderedPointer, TableNode, InsertOrder)));
    if (!Next)
        return nullptr;
    Table->OrderedPointer = &NodeOf(ElementOf(*Next))->InsertOrder;
    return ElementOf(*Next);
}

ULONG RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table)
{
    return Table->NumberGenericTableElements;
}

BOOLEAN RtlIsGenericTableEmpty(PRTL_GENERIC_TABLE Table)
{
    return Table->TableRoot == nullptr ? TRUE : FALSE;
}

NT_END_DECLS
