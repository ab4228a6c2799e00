// The order of the host's generic tables: a B-tree of the host's own, one key
// per element, kept beside the elements' nodes (which the tables' allocate
// routines provide). Its nodes come from the host's heap, outside the pool,
// and are counted by host::GenericTableIndexBytes.
//
// A key holds the element's address and, for an element of up to
// KeyCopyBytes bytes, a copy of its bytes as inserted, which the compare
// routine is handed instead of the element: a descent then reads no element
// node. An element's order must not change while it is in the table, so what
// the compare routine reads of it cannot have changed either; the copy may
// differ from the element only in bytes that do not take part in the order.
// Larger elements are compared where they lie.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>

namespace host::detail {

constexpr size_t KeyCopyBytes = 16;

// One element in the B-tree: the copy, and the element's address with its
// lowest bit set when the copy holds the whole element (element nodes are
// pool blocks, so an element's address is even).
struct TableKey {
    alignas(8) UCHAR Copy[KeyCopyBytes];
    uintptr_t ElementAndCopied;
};
static_assert(sizeof(TableKey) == 24, "a key is the copy and one pointer");

inline PVOID ElementOf(const TableKey &K)
{
    return reinterpret_cast<PVOID>(K.ElementAndCopied & ~uintptr_t(1));
}

struct BNode;

// What an insertion found: the element equal to Buffer, or the B-tree leaf
// and position where Buffer belongs (every node on the way there having been
// split if it was full, so that adding a key to the leaf is all that is left).
struct InsertPoint {
    TableKey *Equal;
    BNode *Leaf;
    int At;
};

// The key equal to Buffer, or null.
TableKey *FindKey(PRTL_GENERIC_TABLE Table, PVOID Buffer);

// Descends towards Buffer, splitting full nodes on the way down. False when a
// node could not be had; the splits made before it leave a sound tree.
bool FindInsertPoint(PRTL_GENERIC_TABLE Table, PVOID Buffer, InsertPoint *Point);

// Adds at Point (found for these bytes) the key of the element at Element,
// whose Bytes bytes are those at Buffer. Element must be even.
void AddKey(const InsertPoint &Point, PVOID Element, PVOID Buffer, CLONG Bytes);

// Takes out the key equal to Buffer; *Element receives its element. False when
// the table holds none.
bool RemoveKey(PRTL_GENERIC_TABLE Table, PVOID Buffer, PVOID *Element);

// A root without keys gives way to its only child, or, as a leaf, to an
// empty tree (an insertion refused after its descent leaves one behind).
void ShrinkRoot(PRTL_GENERIC_TABLE Table);

// The smallest key, and the smallest key greater than Buffer; null for none.
TableKey *SmallestKey(PRTL_GENERIC_TABLE Table);
TableKey *NextKey(PRTL_GENERIC_TABLE Table, PVOID Buffer);

}  // namespace host::detail
