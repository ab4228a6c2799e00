// Generic tables of the run-time library: ordered sets of caller-sized
// elements kept in a splay tree.
//
// Each element lives in a node that the table's allocate routine provides:
//   RTL_SPLAY_LINKS | LIST_ENTRY (insertion order) | the caller's bytes,
// which begin where an 8-byte-aligned LONGLONG would (offset 24 on x86, 40 on
// x86-64). The allocate routine is asked for that offset plus the caller's
// size, as the platform's table asks.
// The root's Parent link points to the root itself. Every lookup, insertion,
// deletion and enumeration step splays the node it ends on to the root, which
// keeps runs of nearby keys (an LRU order, a sequential scan) cheap.
// Enumeration remembers its position as the root: Restart=FALSE returns the
// successor of the current root, so other operations between two steps of an
// enumeration move its position, as on the platform.
#include <ntddk.h>

namespace {

struct TableNode {
    RTL_SPLAY_LINKS Links;
    LIST_ENTRY InsertOrder;
    LONGLONG UserData;
};

constexpr size_t NodeHeaderSize = offsetof(TableNode, UserData);

inline PVOID UserData(PRTL_SPLAY_LINKS Node) {
    return reinterpret_cast<PUCHAR>(Node) + NodeHeaderSize;
}

inline TableNode *NodeOf(PRTL_SPLAY_LINKS Links) {
    return reinterpret_cast<TableNode *>(Links);
}

inline bool IsRoot(PRTL_SPLAY_LINKS Node) {
    return Node->Parent == Node;
}

// Moves Node one level up, over its parent.
void Rotate(PRTL_SPLAY_LINKS Node) {
    PRTL_SPLAY_LINKS Parent = Node->Parent;
    bool ParentWasRoot = IsRoot(Parent);
    PRTL_SPLAY_LINKS Grand = Parent->Parent;

    if (Parent->LeftChild == Node) {
        Parent->LeftChild = Node->RightChild;
        if (Node->RightChild)
            Node->RightChild->Parent = Parent;
        Node->RightChild = Parent;
    } else {
        Parent->RightChild = Node->LeftChild;
        if (Node->LeftChild)
            Node->LeftChild->Parent = Parent;
        Node->LeftChild = Parent;
    }

    if (ParentWasRoot) {
        Node->Parent = Node;
    } else {
        Node->Parent = Grand;
        if (Grand->LeftChild == Parent)
            Grand->LeftChild = Node;
        else
            Grand->RightChild = Node;
    }
    Parent->Parent = Node;
}

// Makes Node the root of the tree it belongs to.
PRTL_SPLAY_LINKS Splay(PRTL_SPLAY_LINKS Node) {
    while (!IsRoot(Node)) {
        PRTL_SPLAY_LINKS Parent = Node->Parent;
        if (IsRoot(Parent)) {
            Rotate(Node);
            break;
        }
        PRTL_SPLAY_LINKS Grand = Parent->Parent;
        bool NodeIsLeft = Parent->LeftChild == Node;
        bool ParentIsLeft = Grand->LeftChild == Parent;
        if (NodeIsLeft == ParentIsLeft) {
            Rotate(Parent);  // zig-zig
            Rotate(Node);
        } else {
            Rotate(Node);  // zig-zag
            Rotate(Node);
        }
    }
    return Node;
}

PRTL_SPLAY_LINKS Leftmost(PRTL_SPLAY_LINKS Node) {
    while (Node->LeftChild)
        Node = Node->LeftChild;
    return Node;
}

PRTL_SPLAY_LINKS Rightmost(PRTL_SPLAY_LINKS Node) {
    while (Node->RightChild)
        Node = Node->RightChild;
    return Node;
}

// Descends from the root towards Buffer. Returns the equal node, or null with
// *Last = the node under which Buffer would hang (null for an empty table) and
// *Result = how Buffer compares with it.
PRTL_SPLAY_LINKS FindNode(PRTL_GENERIC_TABLE Table, PVOID Buffer, PRTL_SPLAY_LINKS *Last,
                          RTL_GENERIC_COMPARE_RESULTS *Result) {
    PRTL_SPLAY_LINKS Node = Table->TableRoot;
    *Last = nullptr;
    *Result = GenericEqual;
    while (Node) {
        RTL_GENERIC_COMPARE_RESULTS Compare = Table->CompareRoutine(Table, Buffer, UserData(Node));
        if (Compare == GenericEqual)
            return Node;
        *Last = Node;
        *Result = Compare;
        Node = Compare == GenericLessThan ? Node->LeftChild : Node->RightChild;
    }
    return nullptr;
}

// Finds the node equal to Buffer and splays it to the root; when there is
// none, splays the node the search ended on, as every search does.
PRTL_SPLAY_LINKS FindAndSplay(PRTL_GENERIC_TABLE Table, PVOID Buffer) {
    PRTL_SPLAY_LINKS Last;
    RTL_GENERIC_COMPARE_RESULTS Result;
    PRTL_SPLAY_LINKS Found = FindNode(Table, Buffer, &Last, &Result);
    PRTL_SPLAY_LINKS Top = Found ? Found : Last;
    if (Top)
        Table->TableRoot = Splay(Top);
    return Found;
}

// Unlinks the root Node and returns the new root (null when the tree empties).
PRTL_SPLAY_LINKS RemoveRoot(PRTL_SPLAY_LINKS Node) {
    PRTL_SPLAY_LINKS Left = Node->LeftChild;
    PRTL_SPLAY_LINKS Right = Node->RightChild;
    if (!Left) {
        if (Right)
            Right->Parent = Right;
        return Right;
    }
    // The largest element of the left subtree becomes the root; splayed to
    // the top of that subtree it has no right child to take over.
    Left->Parent = Left;
    PRTL_SPLAY_LINKS NewRoot = Splay(Rightmost(Left));
    NewRoot->RightChild = Right;
    if (Right)
        Right->Parent = NewRoot;
    return NewRoot;
}

}  // namespace

NT_BEGIN_DECLS

void RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table, PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                               PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                               PRTL_GENERIC_FREE_ROUTINE FreeRoutine, PVOID TableContext) {
    Table->TableRoot = nullptr;
    InitializeListHead(&Table->InsertOrderList);
    Table->OrderedPointer = &Table->InsertOrderList;
    Table->WhichOrderedElement = 0;
    Table->NumberGenericTableElements = 0;
    Table->CompareRoutine = CompareRoutine;
    Table->AllocateRoutine = AllocateRoutine;
    Table->FreeRoutine = FreeRoutine;
    Table->TableContext = TableContext;
}

PVOID RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer, CLONG BufferSize,
                                   PBOOLEAN NewElement) {
    PRTL_SPLAY_LINKS Parent;
    RTL_GENERIC_COMPARE_RESULTS Result;
    PRTL_SPLAY_LINKS Found = FindNode(Table, Buffer, &Parent, &Result);
    if (NewElement)
        *NewElement = FALSE;
    if (Found) {
        Table->TableRoot = Splay(Found);
        return UserData(Found);
    }

    auto *Node = static_cast<TableNode *>(
        Table->AllocateRoutine(Table, static_cast<CLONG>(NodeHeaderSize + BufferSize)));
    if (!Node) {
        // Splaying the last node visited keeps the tree's cost bounded even
        // when insertions keep failing.
        if (Parent)
            Table->TableRoot = Splay(Parent);
        return nullptr;
    }

    PRTL_SPLAY_LINKS Links = &Node->Links;
    Links->LeftChild = Links->RightChild = nullptr;
    RtlCopyMemory(UserData(Links), Buffer, BufferSize);
    if (Parent) {
        Links->Parent = Parent;
        if (Result == GenericLessThan)
            Parent->LeftChild = Links;
        else
            Parent->RightChild = Links;
    } else {
        Links->Parent = Links;
    }
    InsertTailList(&Table->InsertOrderList, &Node->InsertOrder);
    Table->NumberGenericTableElements++;
    Table->WhichOrderedElement = 0;
    Table->OrderedPointer = &Table->InsertOrderList;
    Table->TableRoot = Splay(Links);
    if (NewElement)
        *NewElement = TRUE;
    return UserData(Links);
}

PVOID RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer) {
    PRTL_SPLAY_LINKS Found = FindAndSplay(Table, Buffer);
    return Found ? UserData(Found) : nullptr;
}

BOOLEAN RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer) {
    // Buffer may be the node's own copy: it is not read again from here on.
    PRTL_SPLAY_LINKS Found = FindAndSplay(Table, Buffer);
    if (!Found)
        return FALSE;
    Table->TableRoot = RemoveRoot(Found);
    TableNode *Node = NodeOf(Found);
    RemoveEntryList(&Node->InsertOrder);
    Table->NumberGenericTableElements--;
    Table->WhichOrderedElement = 0;
    Table->OrderedPointer = &Table->InsertOrderList;
    Table->FreeRoutine(Table, Node);
    return TRUE;
}

PVOID RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart) {
    PRTL_SPLAY_LINKS Root = Table->TableRoot;
    if (!Root)
        return nullptr;
    PRTL_SPLAY_LINKS Next;
    if (Restart) {
        Next = Leftmost(Root);
    } else {
        // The root is the element returned last; its successor lies in its
        // right subtree, or there is none.
        if (!Root->RightChild)
            return nullptr;
        Next = Leftmost(Root->RightChild);
    }
    Table->TableRoot = Splay(Next);
    return UserData(Next);
}

ULONG RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table) {
    return Table->NumberGenericTableElements;
}

BOOLEAN RtlIsGenericTableEmpty(PRTL_GENERIC_TABLE Table) {
    return Table->TableRoot == nullptr ? TRUE : FALSE;
}

NT_END_DECLS
