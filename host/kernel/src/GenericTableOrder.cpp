// The B-tree behind the host's generic tables (see GenericTableOrder.h):
// minimum degree Degree, keys only (no element data) in the nodes, splits on
// the way down for an insertion and borrows or merges on the way down for a
// deletion, so that neither has to climb back up.
#include "GenericTableOrder.h"

#include "KernelInternal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace host::detail {

// Minimum degree: every node but the root holds MinKeys..MaxKeys keys; an
// inner node has one child more than keys.
constexpr int Degree = 8;
constexpr int MinKeys = Degree - 1;
constexpr int MaxKeys = 2 * Degree - 1;

struct BNode {
    USHORT Count;
    bool Leaf;
    TableKey Keys[MaxKeys];
    BNode *Children[MaxKeys + 1];  // inner nodes only: a leaf is allocated without them
};

namespace {

constexpr uintptr_t CopiedBit = 1;

constexpr size_t LeafBytes = offsetof(BNode, Children);
constexpr size_t InnerBytes = sizeof(BNode);
constexpr size_t LineBytes = 64;

std::atomic<size_t> IndexBytes{0};

BNode *NewNode(bool Leaf)
{
    size_t Bytes = Leaf ? LeafBytes : InnerBytes;
    auto *Node = static_cast<BNode *>(std::malloc(Bytes));
    if (!Node)
        return nullptr;
    Node->Count = 0;
    Node->Leaf = Leaf;
    IndexBytes += Bytes;
    return Node;
}

void FreeNode(BNode *Node)
{
    IndexBytes -= Node->Leaf ? LeafBytes : InnerBytes;
    std::free(Node);
}

inline BNode *RootOf(PRTL_GENERIC_TABLE Table)
{
    return reinterpret_cast<BNode *>(Table->TableRoot);
}
inline void SetRoot(PRTL_GENERIC_TABLE Table, BNode *Root)
{
    Table->TableRoot = reinterpret_cast<PRTL_SPLAY_LINKS>(Root);
}

inline PVOID CompareData(TableKey &K)
{
    return (K.ElementAndCopied & CopiedBit) ? static_cast<PVOID>(K.Copy) : ElementOf(K);
}

// Asks for every line of Node at once, so that the binary search in it waits
// for memory once rather than once per step.
inline void Prefetch(const BNode *Node)
{
    const char *Bytes = reinterpret_cast<const char *>(Node);
    for (size_t At = 0; At < LeafBytes + LineBytes; At += LineBytes)
        __builtin_prefetch(Bytes + At);
}

// The position of Buffer in Node: the index of the equal key (*Equal set), or
// of the first key greater than Buffer, which is also the child to descend to.
int Search(PRTL_GENERIC_TABLE Table, BNode *Node, PVOID Buffer, bool *Equal)
{
    int Low = 0, High = Node->Count;
    *Equal = false;
    while (Low < High) {
        int Middle = (Low + High) / 2;
        RTL_GENERIC_COMPARE_RESULTS Result =
            Table->CompareRoutine(Table, Buffer, CompareData(Node->Keys[Middle]));
        if (Result == GenericEqual) {
            *Equal = true;
            return Middle;
        }
        if (Result == GenericLessThan)
            High = Middle;
        else
            Low = Middle + 1;
    }
    return Low;
}

void MoveKeys(BNode *To, int ToAt, BNode *From, int FromAt, int Count)
{
    std::memmove(&To->Keys[ToAt], &From->Keys[FromAt], sizeof(TableKey) * size_t(Count));
}
void MoveChildren(BNode *To, int ToAt, BNode *From, int FromAt, int Count)
{
    std::memmove(&To->Children[ToAt], &From->Children[FromAt], sizeof(BNode *) * size_t(Count));
}

// Splits the full child At of Parent (which is not full) around its middle key,
// which moves up into Parent. False when no node could be had: nothing changed.
bool SplitChild(BNode *Parent, int At)
{
    BNode *Left = Parent->Children[At];
    BNode *Right = NewNode(Left->Leaf);
    if (!Right)
        return false;
    Right->Count = MinKeys;
    MoveKeys(Right, 0, Left, Degree, MinKeys);
    if (!Left->Leaf)
        MoveChildren(Right, 0, Left, Degree, Degree);
    Left->Count = MinKeys;

    MoveChildren(Parent, At + 2, Parent, At + 1, Parent->Count - At);
    Parent->Children[At + 1] = Right;
    MoveKeys(Parent, At + 1, Parent, At, Parent->Count - At);
    Parent->Keys[At] = Left->Keys[MinKeys];
    Parent->Count++;
    return true;
}

// Joins child At+1 of Parent and the key between them into child At.
void Merge(BNode *Parent, int At)
{
    BNode *Left = Parent->Children[At];
    BNode *Right = Parent->Children[At + 1];
    Left->Keys[Left->Count] = Parent->Keys[At];
    MoveKeys(Left, Left->Count + 1, Right, 0, Right->Count);
    if (!Left->Leaf)
        MoveChildren(Left, Left->Count + 1, Right, 0, Right->Count + 1);
    Left->Count = USHORT(Left->Count + 1 + Right->Count);
    MoveKeys(Parent, At, Parent, At + 1, Parent->Count - At - 1);
    MoveChildren(Parent, At + 1, Parent, At + 2, Parent->Count - At - 1);
    Parent->Count--;
    FreeNode(Right);
}

// Gives child At of Parent, which holds MinKeys keys, one key more: from a
// sibling that can spare one (through Parent), or by merging it with a
// sibling. Returns the index of the child that now covers its keys.
int Fill(BNode *Parent, int At)
{
    BNode *Child = Parent->Children[At];
    if (At > 0 && Parent->Children[At - 1]->Count > MinKeys) {
        BNode *Left = Parent->Children[At - 1];
        MoveKeys(Child, 1, Child, 0, Child->Count);
        if (!Child->Leaf)
            MoveChildren(Child, 1, Child, 0, Child->Count + 1);
        Child->Keys[0] = Parent->Keys[At - 1];
        if (!Child->Leaf)
            Child->Children[0] = Left->Children[Left->Count];
        Parent->Keys[At - 1] = Left->Keys[Left->Count - 1];
        Left->Count--;
        Child->Count++;
        return At;
    }
    if (At < Parent->Count && Parent->Children[At + 1]->Count > MinKeys) {
        BNode *Right = Parent->Children[At + 1];
        Child->Keys[Child->Count] = Parent->Keys[At];
        if (!Child->Leaf)
            Child->Children[Child->Count + 1] = Right->Children[0];
        Parent->Keys[At] = Right->Keys[0];
        MoveKeys(Right, 0, Right, 1, Right->Count - 1);
        if (!Right->Leaf)
            MoveChildren(Right, 0, Right, 1, Right->Count);
        Right->Count--;
        Child->Count++;
        return At;
    }
    if (At < Parent->Count) {
        Merge(Parent, At);
        return At;
    }
    Merge(Parent, At - 1);
    return At - 1;
}

// Where a deletion descends: the key sought, or the largest or smallest key
// of the subtree (which replaces a key taken out of an inner node).
enum class Target { Equal, Largest, Smallest };

// Takes a key out of the subtree under Node, which holds more than MinKeys
// keys unless it is the root, keeping that true of every node it descends
// to. Returns false when the subtree holds no key equal to Buffer.
bool DeleteKey(PRTL_GENERIC_TABLE Table, BNode *Node, Target What, PVOID Buffer, TableKey *Removed)
{
    for (;;) {
        bool Equal = false;
        int At;
        if (What == Target::Equal)
            At = Search(Table, Node, Buffer, &Equal);
        else if (What == Target::Largest)
            At = Node->Leaf ? Node->Count - 1 : Node->Count;
        else
            At = 0;
        if (Node->Leaf) {
            if (What == Target::Equal && !Equal)
                return false;
            *Removed = Node->Keys[At];
            MoveKeys(Node, At, Node, At + 1, Node->Count - At - 1);
            Node->Count--;
            return true;
        }
        if (Equal) {
            // The key leaves an inner node: its neighbour in order, taken out
            // of the leaves below, takes its place.
            *Removed = Node->Keys[At];
            if (Node->Children[At]->Count > MinKeys)
                return DeleteKey(Table, Node->Children[At], Target::Largest, nullptr, &Node->Keys[At]);
            if (Node->Children[At + 1]->Count > MinKeys)
                return DeleteKey(Table, Node->Children[At + 1], Target::Smallest, nullptr, &Node->Keys[At]);
            // Both neighbours are minimal: the key sinks into their merge,
            // where the next step finds it again.
            Merge(Node, At);
            Node = Node->Children[At];
            continue;
        }
        // The key, if the table holds it, lies under child At; a borrow or a
        // merge keeps it under the child that Fill returns.
        if (Node->Children[At]->Count == MinKeys)
            At = Fill(Node, At);
        Node = Node->Children[At];
        Prefetch(Node);
    }
}

}  // namespace

TableKey *FindKey(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    for (BNode *Node = RootOf(Table); Node;) {
        bool Equal;
        int At = Search(Table, Node, Buffer, &Equal);
        if (Equal)
            return &Node->Keys[At];
        if (Node->Leaf)
            return nullptr;
        Node = Node->Children[At];
        Prefetch(Node);
    }
    return nullptr;
}

// Descends towards Buffer, splitting full nodes on the way down so that a
// split never has to travel back up. False when a node could not be had; the
// splits made before it leave a sound tree.
bool FindInsertPoint(PRTL_GENERIC_TABLE Table, PVOID Buffer, InsertPoint *Point)
{
    BNode *Node = RootOf(Table);
    Point->Equal = nullptr;
    if (!Node) {
        Node = NewNode(true);
        if (!Node)
            return false;
        SetRoot(Table, Node);
    } else if (Node->Count == MaxKeys) {
        BNode *Root = NewNode(false);
        if (!Root)
            return false;
        Root->Children[0] = Node;
        if (!SplitChild(Root, 0)) {
            FreeNode(Root);
            return false;
        }
        SetRoot(Table, Root);
        Node = Root;
    }
    for (;;) {
        bool Equal;
        int At = Search(Table, Node, Buffer, &Equal);
        if (Equal) {
            Point->Equal = &Node->Keys[At];
            return true;
        }
        if (Node->Leaf) {
            Point->Leaf = Node;
            Point->At = At;
            return true;
        }
        if (Node->Children[At]->Count == MaxKeys) {
            if (!SplitChild(Node, At))
                return false;
            RTL_GENERIC_COMPARE_RESULTS Result =
                Table->CompareRoutine(Table, Buffer, CompareData(Node->Keys[At]));
            if (Result == GenericEqual) {
                Point->Equal = &Node->Keys[At];
                return true;
            }
            if (Result == GenericGreaterThan)
                At++;
        }
        Node = Node->Children[At];
        Prefetch(Node);
    }
}

void AddKey(const InsertPoint &Point, PVOID Element, PVOID Buffer, CLONG Bytes)
{
    if (reinterpret_cast<uintptr_t>(Element) & CopiedBit)
        BugCheck("generic table: the element at the odd address %p", Element);
    BNode *Leaf = Point.Leaf;
    MoveKeys(Leaf, Point.At + 1, Leaf, Point.At, Leaf->Count - Point.At);
    Leaf->Count++;
    TableKey &Entry = Leaf->Keys[Point.At];
    Entry.ElementAndCopied = reinterpret_cast<uintptr_t>(Element);
    if (Bytes <= KeyCopyBytes) {
        std::memset(Entry.Copy, 0, sizeof(Entry.Copy));
        std::memcpy(Entry.Copy, Buffer, Bytes);
        Entry.ElementAndCopied |= CopiedBit;
    }
}

bool RemoveKey(PRTL_GENERIC_TABLE Table, PVOID Buffer, PVOID *Element)
{
    BNode *Root = RootOf(Table);
    if (!Root)
        return false;
    TableKey Removed;
    bool Deleted = DeleteKey(Table, Root, Target::Equal, Buffer, &Removed);
    ShrinkRoot(Table);
    if (Deleted)
        *Element = ElementOf(Removed);
    return Deleted;
}

void ShrinkRoot(PRTL_GENERIC_TABLE Table)
{
    BNode *Root = RootOf(Table);
    if (!Root || Root->Count > 0)
        return;
    SetRoot(Table, Root->Leaf ? nullptr : Root->Children[0]);
    FreeNode(Root);
}

TableKey *SmallestKey(PRTL_GENERIC_TABLE Table)
{
    BNode *Node = RootOf(Table);
    if (!Node)
        return nullptr;
    while (!Node->Leaf)
        Node = Node->Children[0];
    return &Node->Keys[0];
}

TableKey *NextKey(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    TableKey *Best = nullptr;
    for (BNode *Node = RootOf(Table); Node;) {
        bool Equal;
        int At = Search(Table, Node, Buffer, &Equal);
        if (Equal)
            At++;
        if (At < Node->Count)
            Best = &Node->Keys[At];
        if (Node->Leaf)
            break;
        Node = Node->Children[At];
    }
    return Best;
}

}  // namespace host::detail

size_t host::GenericTableIndexBytes()
{
    return host::detail::IndexBytes.load();
}
