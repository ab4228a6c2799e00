// Generic tables of the run-time library: ordered sets of caller-sized
// elements. The interface, the node layout and the allocate-size contract are
// the platform's; the order is kept in a red-black tree instead of the
// platform's splay tree, so that lookups and deletions of scattered keys in
// large tables (the block index of a big tier) cost one descent and no
// rotations up to the root.
//
// Each element lives in a node that the table's allocate routine provides:
//   RTL_SPLAY_LINKS | LIST_ENTRY (insertion order) | the caller's bytes,
// which begin where an 8-byte-aligned LONGLONG would (offset 24 on x86, 40 on
// x86-64). The allocate routine is asked for that offset plus the caller's
// size, as the platform's table asks. The splay links serve as the tree's
// parent and child links; the node's colour is the lowest bit of its parent
// link (nodes are at least 8-byte aligned), and the root's parent is null.
// The insertion-order links serve the platform's RtlGetElementGenericTable,
// which the host does not provide: they are not kept, which spares every
// deletion two scattered neighbours.
//
// Enumeration keeps its position in OrderedPointer: the insertion-order link
// of the element returned last (the list head when there is none). The
// platform uses that field for RtlGetElementGenericTable, which the host does
// not provide. Restart=FALSE returns the successor of that element; an
// insertion or a deletion in between ends the walk, and the next step starts
// again at the smallest element (on the platform such changes move the
// position to wherever the tree was last splayed).
#include <ntddk.h>

#include <cstdint>

namespace {

struct TableNode {
    RTL_SPLAY_LINKS Links;
    LIST_ENTRY InsertOrder;
    LONGLONG UserData;
};

constexpr size_t NodeHeaderSize = offsetof(TableNode, UserData);
constexpr uintptr_t RedBit = 1;

using Link = PRTL_SPLAY_LINKS;

inline PVOID UserData(Link Node)
{
    return reinterpret_cast<PUCHAR>(Node) + NodeHeaderSize;
}
inline TableNode *NodeOf(Link Node)
{
    return reinterpret_cast<TableNode *>(Node);
}

inline Link ParentOf(Link Node)
{
    return reinterpret_cast<Link>(reinterpret_cast<uintptr_t>(Node->Parent) & ~RedBit);
}
inline bool IsRed(Link Node)
{
    return Node && (reinterpret_cast<uintptr_t>(Node->Parent) & RedBit);
}
inline void SetParent(Link Node, Link Parent)
{
    uintptr_t Colour = reinterpret_cast<uintptr_t>(Node->Parent) & RedBit;
    Node->Parent = reinterpret_cast<Link>(reinterpret_cast<uintptr_t>(Parent) | Colour);
}
inline void SetRed(Link Node, bool Red)
{
    uintptr_t Parent = reinterpret_cast<uintptr_t>(Node->Parent) & ~RedBit;
    Node->Parent = reinterpret_cast<Link>(Parent | (Red ? RedBit : 0));
}

// Puts Child where Old hangs under Parent (or at the root).
void ReplaceChild(PRTL_GENERIC_TABLE Table, Link Parent, Link Old, Link Child)
{
    if (!Parent)
        Table->TableRoot = Child;
    else if (Parent->LeftChild == Old)
        Parent->LeftChild = Child;
    else
        Parent->RightChild = Child;
}

void RotateLeft(PRTL_GENERIC_TABLE Table, Link Node)
{
    Link Right = Node->RightChild;
    Node->RightChild = Right->LeftChild;
    if (Right->LeftChild)
        SetParent(Right->LeftChild, Node);
    Link Parent = ParentOf(Node);
    SetParent(Right, Parent);
    ReplaceChild(Table, Parent, Node, Right);
    Right->LeftChild = Node;
    SetParent(Node, Right);
}

void RotateRight(PRTL_GENERIC_TABLE Table, Link Node)
{
    Link Left = Node->LeftChild;
    Node->LeftChild = Left->RightChild;
    if (Left->RightChild)
        SetParent(Left->RightChild, Node);
    Link Parent = ParentOf(Node);
    SetParent(Left, Parent);
    ReplaceChild(Table, Parent, Node, Left);
    Left->RightChild = Node;
    SetParent(Node, Left);
}

// Restores the colour rules after the red leaf Node was linked in.
void BalanceInsert(PRTL_GENERIC_TABLE Table, Link Node)
{
    Link Parent;
    while ((Parent = ParentOf(Node)) && IsRed(Parent)) {
        Link Grand = ParentOf(Parent);  // a red node is never the root
        bool ParentIsLeft = Grand->LeftChild == Parent;
        Link Uncle = ParentIsLeft ? Grand->RightChild : Grand->LeftChild;
        if (IsRed(Uncle)) {
            SetRed(Parent, false);
            SetRed(Uncle, false);
            SetRed(Grand, true);
            Node = Grand;
            continue;
        }
        if (ParentIsLeft) {
            if (Node == Parent->RightChild) {
                RotateLeft(Table, Parent);
                Parent = Node;
            }
            RotateRight(Table, Grand);
        } else {
            if (Node == Parent->LeftChild) {
                RotateRight(Table, Parent);
                Parent = Node;
            }
            RotateLeft(Table, Grand);
        }
        SetRed(Parent, false);
        SetRed(Grand, true);
        break;
    }
    SetRed(Table->TableRoot, false);
}

// Restores the colour rules after a black node was taken out above Node
// (which may be null), whose parent is Parent.
void BalanceDelete(PRTL_GENERIC_TABLE Table, Link Node, Link Parent)
{
    while (Node != Table->TableRoot && !IsRed(Node)) {
        if (Node == Parent->LeftChild) {
            Link Sibling = Parent->RightChild;
            if (IsRed(Sibling)) {
                SetRed(Sibling, false);
                SetRed(Parent, true);
                RotateLeft(Table, Parent);
                Sibling = Parent->RightChild;
            }
            if (!IsRed(Sibling->LeftChild) && !IsRed(Sibling->RightChild)) {
                SetRed(Sibling, true);
                Node = Parent;
                Parent = ParentOf(Node);
                continue;
            }
            if (!IsRed(Sibling->RightChild)) {
                SetRed(Sibling->LeftChild, false);
                SetRed(Sibling, true);
                RotateRight(Table, Sibling);
                Sibling = Parent->RightChild;
            }
            SetRed(Sibling, IsRed(Parent));
            SetRed(Parent, false);
            SetRed(Sibling->RightChild, false);
            RotateLeft(Table, Parent);
        } else {
            Link Sibling = Parent->LeftChild;
            if (IsRed(Sibling)) {
                SetRed(Sibling, false);
                SetRed(Parent, true);
                RotateRight(Table, Parent);
                Sibling = Parent->LeftChild;
            }
            if (!IsRed(Sibling->LeftChild) && !IsRed(Sibling->RightChild)) {
                SetRed(Sibling, true);
                Node = Parent;
                Parent = ParentOf(Node);
                continue;
            }
            if (!IsRed(Sibling->LeftChild)) {
                SetRed(Sibling->RightChild, false);
                SetRed(Sibling, true);
                RotateLeft(Table, Sibling);
                Sibling = Parent->LeftChild;
            }
            SetRed(Sibling, IsRed(Parent));
            SetRed(Parent, false);
            SetRed(Sibling->LeftChild, false);
            RotateRight(Table, Parent);
        }
        Node = Table->TableRoot;
        break;
    }
    if (Node)
        SetRed(Node, false);
}

// Unlinks Node from the tree.
void Unlink(PRTL_GENERIC_TABLE Table, Link Node)
{
    Link Child, Parent;
    bool RemovedBlack;
    if (!Node->LeftChild || !Node->RightChild) {
        Child = Node->LeftChild ? Node->LeftChild : Node->RightChild;
        Parent = ParentOf(Node);
        RemovedBlack = !IsRed(Node);
        if (Child)
            SetParent(Child, Parent);
        ReplaceChild(Table, Parent, Node, Child);
    } else {
        // The successor, which has no left child, takes Node's place and
        // colour; the tree loses a node where the successor was.
        Link Next = Node->RightChild;
        while (Next->LeftChild)
            Next = Next->LeftChild;
        Child = Next->RightChild;
        Parent = ParentOf(Next);
        RemovedBlack = !IsRed(Next);
        if (Parent == Node) {
            Parent = Next;
        } else {
            if (Child)
                SetParent(Child, Parent);
            Parent->LeftChild = Child;
            Next->RightChild = Node->RightChild;
            SetParent(Next->RightChild, Next);
        }
        Next->LeftChild = Node->LeftChild;
        SetParent(Next->LeftChild, Next);
        Link Above = ParentOf(Node);
        Next->Parent = Node->Parent;  // parent and colour
        ReplaceChild(Table, Above, Node, Next);
    }
    if (RemovedBlack)
        BalanceDelete(Table, Child, Parent);
}

// Asks for the lines of Node that a descent reads (links and element) while
// the step above is still comparing.
inline void Prefetch(Link Node)
{
    if (Node) {
        __builtin_prefetch(&Node->RightChild);
        __builtin_prefetch(UserData(Node));
    }
}

// Descends from the root towards Buffer. Returns the equal node, or null with
// *Last = the node under which Buffer would hang (null for an empty table) and
// *Result = how Buffer compares with it.
Link FindNode(PRTL_GENERIC_TABLE Table, PVOID Buffer, Link *Last, RTL_GENERIC_COMPARE_RESULTS *Result)
{
    Link Node = Table->TableRoot;
    *Last = nullptr;
    *Result = GenericEqual;
    while (Node) {
        Prefetch(Node->LeftChild);
        Prefetch(Node->RightChild);
        RTL_GENERIC_COMPARE_RESULTS Compare = Table->CompareRoutine(Table, Buffer, UserData(Node));
        if (Compare == GenericEqual)
            return Node;
        *Last = Node;
        *Result = Compare;
        Node = Compare == GenericLessThan ? Node->LeftChild : Node->RightChild;
    }
    return nullptr;
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
    Link Parent;
    RTL_GENERIC_COMPARE_RESULTS Result;
    Link Found = FindNode(Table, Buffer, &Parent, &Result);
    if (NewElement)
        *NewElement = FALSE;
    if (Found)
        return UserData(Found);

    auto *Node = static_cast<TableNode *>(
        Table->AllocateRoutine(Table, static_cast<CLONG>(NodeHeaderSize + BufferSize)));
    if (!Node)
        return nullptr;

    Link Links = &Node->Links;
    Links->LeftChild = Links->RightChild = nullptr;
    Links->Parent = Parent;
    RtlCopyMemory(UserData(Links), Buffer, BufferSize);
    if (!Parent)
        Table->TableRoot = Links;
    else if (Result == GenericLessThan)
        Parent->LeftChild = Links;
    else
        Parent->RightChild = Links;
    SetRed(Links, true);
    BalanceInsert(Table, Links);
    Table->NumberGenericTableElements++;
    EndEnumeration(Table);
    if (NewElement)
        *NewElement = TRUE;
    return UserData(Links);
}

PVOID RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    Link Last;
    RTL_GENERIC_COMPARE_RESULTS Result;
    Link Found = FindNode(Table, Buffer, &Last, &Result);
    return Found ? UserData(Found) : nullptr;
}

BOOLEAN RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    // Buffer may be the node's own copy: it is not read again from here on.
    Link Last;
    RTL_GENERIC_COMPARE_RESULTS Result;
    Link Found = FindNode(Table, Buffer, &Last, &Result);
    if (!Found)
        return FALSE;
    Unlink(Table, Found);
    Table->NumberGenericTableElements--;
    EndEnumeration(Table);
    Table->FreeRoutine(Table, NodeOf(Found));
    return TRUE;
}

PVOID RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart)
{
    Link Next = Table->TableRoot;
    if (!Next)
        return nullptr;
    if (Restart || Table->OrderedPointer == &Table->InsertOrderList) {
        while (Next->LeftChild)
            Next = Next->LeftChild;
    } else {
        // The successor of the element returned last.
        Link Node = &CONTAINING_RECORD(Table->OrderedPointer, TableNode, InsertOrder)->Links;
        if (Node->RightChild) {
            Next = Node->RightChild;
            while (Next->LeftChild)
                Next = Next->LeftChild;
        } else {
            Next = ParentOf(Node);
            while (Next && Next->RightChild == Node) {
                Node = Next;
                Next = ParentOf(Node);
            }
            if (!Next)
                return nullptr;
        }
    }
    Table->OrderedPointer = &NodeOf(Next)->InsertOrder;
    return UserData(Next);
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
