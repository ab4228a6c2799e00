// The run-time library's generic tables, which hold the block index: order,
// duplicates, deletion by the node's own key, the node layout that the
// allocate routine sees, refused allocations, and random runs against
// std::map.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <map>
#include <vector>

#include "host/kernel/include/HostKernel.h"
#include "host/kernel/include/ntddk.h"

namespace {

struct Item {
    ULONG Key;
    ULONG Payload;
};

// The platform's header: splay links and the insertion-order link, then the
// element where an 8-byte-aligned LONGLONG would begin.
constexpr size_t HeaderSize = (sizeof(RTL_SPLAY_LINKS) + sizeof(LIST_ENTRY) + 7) & ~size_t(7);

struct Allocator {
    std::vector<CLONG> Sizes;
    std::vector<void *> Nodes;
    size_t Live = 0;
    bool Refuse = false;
};

// The table context is the test's allocator.
PVOID AllocateNode(PRTL_GENERIC_TABLE Table, CLONG ByteSize)
{
    auto *A = static_cast<Allocator *>(Table->TableContext);
    A->Sizes.push_back(ByteSize);
    if (A->Refuse)
        return nullptr;
    void *Node = std::malloc(ByteSize);
    A->Nodes.push_back(Node);
    A->Live++;
    return Node;
}

void FreeNode(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    auto *A = static_cast<Allocator *>(Table->TableContext);
    A->Live--;
    std::free(Buffer);  // any later read of it shows under ASan
}

RTL_GENERIC_COMPARE_RESULTS CompareItems(PRTL_GENERIC_TABLE, PVOID First, PVOID Second)
{
    ULONG A = static_cast<Item *>(First)->Key, B = static_cast<Item *>(Second)->Key;
    return A < B ? GenericLessThan : A > B ? GenericGreaterThan : GenericEqual;
}

class GenericTableTest : public ::testing::Test {
protected:
    void SetUp() override { RtlInitializeGenericTable(&Table, CompareItems, AllocateNode, FreeNode, &Nodes); }
    void TearDown() override
    {
        while (PVOID First = RtlEnumerateGenericTable(&Table, TRUE))
            RtlDeleteElementGenericTable(&Table, First);
        EXPECT_EQ(Nodes.Live, 0u);
        EXPECT_TRUE(RtlIsGenericTableEmpty(&Table));
    }
    Item *Insert(ULONG Key, ULONG Payload = 0, BOOLEAN *New = nullptr)
    {
        Item I{Key, Payload};
        BOOLEAN Dummy;
        return static_cast<Item *>(RtlInsertElementGenericTable(&Table, &I, sizeof(I), New ? New : &Dummy));
    }
    Item *Lookup(ULONG Key)
    {
        Item I{Key, 0};
        return static_cast<Item *>(RtlLookupElementGenericTable(&Table, &I));
    }
    std::vector<ULONG> Keys()
    {
        std::vector<ULONG> K;
        for (PVOID E = RtlEnumerateGenericTable(&Table, TRUE); E; E = RtlEnumerateGenericTable(&Table, FALSE))
            K.push_back(static_cast<Item *>(E)->Key);
        return K;
    }

    RTL_GENERIC_TABLE Table;
    Allocator Nodes;
};

TEST_F(GenericTableTest, EnumeratesInKeyOrderFromTheSmallest)
{
    EXPECT_TRUE(RtlIsGenericTableEmpty(&Table));
    EXPECT_EQ(RtlEnumerateGenericTable(&Table, TRUE), nullptr);
    const ULONG Inserted[] = {50, 10, 0xFFFFFFFFu, 30, 0, 20, 40};
    for (ULONG K : Inserted)
        ASSERT_NE(Insert(K, K + 1), nullptr);
    EXPECT_EQ(Keys(), (std::vector<ULONG>{0, 10, 20, 30, 40, 50, 0xFFFFFFFFu}));
    EXPECT_EQ(RtlNumberGenericTableElements(&Table), 7u);
    EXPECT_FALSE(RtlIsGenericTableEmpty(&Table));
    // A restart after a partial walk begins again at the smallest.
    RtlEnumerateGenericTable(&Table, TRUE);
    RtlEnumerateGenericTable(&Table, FALSE);
    EXPECT_EQ(static_cast<Item *>(RtlEnumerateGenericTable(&Table, TRUE))->Key, 0u);
}

TEST_F(GenericTableTest, NodesCarryTheHeaderAndACopyOfTheElement)
{
    Item Original{7, 0xABCD};
    BOOLEAN New = FALSE;
    auto *Stored =
        static_cast<Item *>(RtlInsertElementGenericTable(&Table, &Original, sizeof(Original), &New));
    ASSERT_NE(Stored, nullptr);
    EXPECT_TRUE(New);
    ASSERT_EQ(Nodes.Sizes.size(), 1u);
    EXPECT_EQ(Nodes.Sizes[0], HeaderSize + sizeof(Item));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(Stored), static_cast<PUCHAR>(Nodes.Nodes[0]) + HeaderSize);
    EXPECT_NE(Stored, &Original);
    EXPECT_EQ(Stored->Payload, 0xABCDu);
    EXPECT_EQ(Lookup(7), Stored);
    EXPECT_EQ(Lookup(8), nullptr);
}

TEST_F(GenericTableTest, AnEqualElementIsNotInsertedTwice)
{
    Item *First = Insert(5, 1);
    BOOLEAN New = TRUE;
    Item *Second = Insert(5, 2, &New);
    EXPECT_EQ(Second, First);
    EXPECT_FALSE(New);
    EXPECT_EQ(First->Payload, 1u) << "the stored element is left as it was";
    EXPECT_EQ(RtlNumberGenericTableElements(&Table), 1u);
    EXPECT_EQ(Nodes.Sizes.size(), 1u) << "no node allocated for the duplicate";
}

TEST_F(GenericTableTest, ARefusedNodeInsertsNothing)
{
    Insert(1);
    Nodes.Refuse = true;
    BOOLEAN New = TRUE;
    EXPECT_EQ(Insert(2, 0, &New), nullptr);
    EXPECT_FALSE(New);
    Nodes.Refuse = false;
    EXPECT_EQ(Keys(), (std::vector<ULONG>{1}));
    EXPECT_EQ(RtlNumberGenericTableElements(&Table), 1u);
}

TEST_F(GenericTableTest, DeletesByTheNodesOwnKey)
{
    for (ULONG K = 0; K < 64; K++)
        Insert((K * 37) % 64);
    // Delete the smallest, the largest and the middle through the stored copy.
    const ULONG Deleted[] = {0, 63, 32};
    for (ULONG K : Deleted) {
        Item *Own = Lookup(K);
        ASSERT_NE(Own, nullptr);
        EXPECT_TRUE(RtlDeleteElementGenericTable(&Table, Own));
        EXPECT_EQ(Lookup(K), nullptr);
    }
    Item Missing{32, 0};
    EXPECT_FALSE(RtlDeleteElementGenericTable(&Table, &Missing));
    EXPECT_EQ(RtlNumberGenericTableElements(&Table), 61u);
    EXPECT_EQ(Nodes.Live, 61u);
    std::vector<ULONG> K = Keys();
    ASSERT_EQ(K.size(), 61u);
    EXPECT_EQ(K.front(), 1u);
    EXPECT_EQ(K.back(), 62u);
}

TEST_F(GenericTableTest, AWalkInterruptedByAChangeStartsOverAtTheSmallest)
{
    for (ULONG K = 1; K <= 5; K++)
        Insert(K * 10);
    struct Case {
        const char *Change;
        bool Delete;  // delete the element returned last, else insert a new one
    };
    const Case Cases[] = {{"deleting the element the walk stands on", true}, {"inserting an element", false}};
    for (const Case &C : Cases) {
        RtlEnumerateGenericTable(&Table, TRUE);
        auto *Current = static_cast<Item *>(RtlEnumerateGenericTable(&Table, FALSE));
        ASSERT_NE(Current, nullptr);
        if (C.Delete)
            ASSERT_TRUE(RtlDeleteElementGenericTable(&Table, Current));
        else
            Insert(Current->Key + 1);
        // A freed position would be read here (ASan), a stale one would skip.
        auto *Next = static_cast<Item *>(RtlEnumerateGenericTable(&Table, FALSE));
        ASSERT_NE(Next, nullptr) << C.Change;
        EXPECT_EQ(Next->Key, Keys().front()) << C.Change;
    }
}

// Random insertions, deletions (by a separate key or by the element itself)
// and lookups against std::map, for tables deep enough to split, borrow and
// merge at every level, with elements small enough for the table to keep a
// copy of them and too large for it. The payload is changed in place after
// each insertion: lookups must return the element itself, and a change outside
// the key must not disturb the order.
TEST_F(GenericTableTest, RandomOperationsMatchAnOrderedMap)
{
    struct Case {
        ULONG KeyRange;
        int Steps;
        CLONG ElementBytes;
    };
    // clang-format off
    const Case Cases[] = {
        {2000,   200000, sizeof(Item)},
        {200000, 400000, sizeof(Item)},
        {20000,  200000, 40},   // larger than what the table copies
    };
    // clang-format on
    for (const Case &C : Cases) {
        SCOPED_TRACE(testing::Message() << C.KeyRange << " keys, " << C.ElementBytes << "-byte elements");
        const size_t IndexBytesBefore = host::GenericTableIndexBytes();
        std::mt19937 Random(C.KeyRange);
        std::map<ULONG, ULONG> Model;
        std::vector<UCHAR> Buffer(C.ElementBytes, 0xEE);
        auto Check = [&] {
            std::vector<ULONG> Expected;
            for (auto &KeyPayload : Model)
                Expected.push_back(KeyPayload.first);
            ASSERT_EQ(Keys(), Expected);
        };
        for (int Step = 0; Step < C.Steps; Step++) {
            ULONG Key = Random() % C.KeyRange;
            Item I{Key, 0};
            std::memcpy(Buffer.data(), &I, sizeof(I));
            switch (Random() % 5) {
            case 0:
            case 1: {
                BOOLEAN New;
                auto *Stored = static_cast<Item *>(
                    RtlInsertElementGenericTable(&Table, Buffer.data(), C.ElementBytes, &New));
                ASSERT_NE(Stored, nullptr);
                ASSERT_EQ(Stored->Key, Key);
                ASSERT_EQ(New != 0, Model.count(Key) == 0);
                Stored->Payload = Random();
                Model[Key] = Stored->Payload;
                break;
            }
            case 2:
                ASSERT_EQ(RtlDeleteElementGenericTable(&Table, Buffer.data()) != 0, Model.erase(Key) != 0);
                break;
            case 3:
                if (Item *Own = Lookup(Key)) {
                    ASSERT_TRUE(RtlDeleteElementGenericTable(&Table, Own));
                    Model.erase(Key);
                }
                break;
            default: {
                Item *Found = Lookup(Key);
                auto Expected = Model.find(Key);
                ASSERT_EQ(Found != nullptr, Expected != Model.end());
                if (Found) {
                    ASSERT_EQ(Found->Payload, Expected->second);
                }
                break;
            }
            }
            ASSERT_EQ(RtlNumberGenericTableElements(&Table), Model.size());
            ASSERT_EQ(Nodes.Live, Model.size());
            if (Step % 50000 == 0)
                Check();
        }
        Check();
        for (auto &KeyPayload : Model) {
            Item I{KeyPayload.first, 0};
            std::memcpy(Buffer.data(), &I, sizeof(I));
            ASSERT_TRUE(RtlDeleteElementGenericTable(&Table, Buffer.data()));
        }
        EXPECT_TRUE(RtlIsGenericTableEmpty(&Table));
        EXPECT_EQ(host::GenericTableIndexBytes(), IndexBytesBefore)
            << "every node of the ordering structure is freed";
    }
}

}  // namespace
