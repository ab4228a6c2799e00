// Non-paged pool: allocations carry a header with their tag and size, so that
// live allocations can be counted per tag (as the driver verifier's pool
// tracking does) and faults can be injected per tag.
#include "KernelInternal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace host::detail {
namespace {

constexpr uint64_t PoolMagic = 0x4c4f4f504c4f4f50ull;  // "POOLPOOL"
constexpr uint64_t FreedMagic = 0x4445455246465246ull;

struct PoolHeader {
    uint64_t Magic;
    ULONG Tag;
    ULONG Reserved;
    size_t Size;
    PoolHeader *Prev, *Next;  // live list, for the report at shutdown
    uint64_t Pad[3];
};
// One cache line: the caller's bytes begin on a line of their own, so that a
// small block the caller reads as a whole (a table node: links and element)
// costs one line, not two.
static_assert(sizeof(PoolHeader) == 64, "the header fills one cache line");

struct TagState {
    size_t Live = 0;
    size_t Bytes = 0;
    long FailAfter = -1;      // successes left before failing; -1: no limit
    size_t FailMinBytes = 0;  // 0: no size limit
};

std::mutex PoolLock;
std::unordered_map<ULONG, TagState> Tags;
size_t PoolTotalBytes = 0;  // live bytes of every tag, against PoolLimitBytes
size_t PoolLimitBytes = X86NonPagedPoolBytes;
PoolHeader LiveList = {0, 0, 0, 0, &LiveList, &LiveList, {0, 0, 0}};

std::string TagText(ULONG Tag)
{
    std::string Text;
    for (int i = 0; i < 4; ++i) {
        char c = char((Tag >> (8 * i)) & 0xFF);
        Text += (c >= 32 && c < 127) ? c : '.';
    }
    return Text;
}

}  // namespace

void ResetPool(const KernelConfig &Config)
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    Tags.clear();
    PoolTotalBytes = 0;
    PoolLimitBytes = Config.NonPagedPoolBytes;
}

size_t PoolReleaseAll()
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    size_t Count = 0;
    while (LiveList.Next != &LiveList) {
        PoolHeader *Block = LiveList.Next;
        if (Count < 20)
            fprintf(stderr, "host kernel: pool leak: %zu bytes with tag '%s' (0x%08x)\n", Block->Size,
                    TagText(Block->Tag).c_str(), Block->Tag);
        Block->Prev->Next = Block->Next;
        Block->Next->Prev = Block->Prev;
        Block->Magic = FreedMagic;
        PoolPagesFree(Block, sizeof(PoolHeader) + (Block->Size ? Block->Size : 1));
        ++Count;
    }
    Tags.clear();
    PoolTotalBytes = 0;
    return Count;
}

}  // namespace host::detail

using namespace host::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    (void)PoolType;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("ExAllocatePoolWithTag at IRQL %u", KeGetCurrentIrql());
    {
        std::lock_guard<std::mutex> Guard(PoolLock);
        TagState &State = Tags[Tag];
        if (State.FailMinBytes != 0 && NumberOfBytes >= State.FailMinBytes)
            return nullptr;
        if (State.FailAfter == 0)
            return nullptr;
        // The platform's non-paged pool has a fixed size: a request that
        // would take it beyond that fails, however large the host is.
        if (NumberOfBytes > PoolLimitBytes - PoolTotalBytes)
            return nullptr;
        if (State.FailAfter > 0)
            --State.FailAfter;
        PoolTotalBytes += NumberOfBytes;
    }
    auto *Block = static_cast<PoolHeader *>(
        PoolPagesAllocate(sizeof(PoolHeader) + (NumberOfBytes ? NumberOfBytes : 1)));
    if (!Block) {
        std::lock_guard<std::mutex> Guard(PoolLock);
        PoolTotalBytes -= NumberOfBytes;
        return nullptr;
    }
    Block->Magic = PoolMagic;
    Block->Tag = Tag;
    Block->Reserved = 0;
    Block->Size = NumberOfBytes;
    // Fresh pool holds garbage on the platform; fill it so that code relying
    // on zeroed pool shows up in tests.
    memset(Block + 1, 0xCD, NumberOfBytes);
    std::lock_guard<std::mutex> Guard(PoolLock);
    TagState &State = Tags[Tag];
    State.Live++;
    State.Bytes += NumberOfBytes;
    Block->Next = LiveList.Next;
    Block->Prev = &LiveList;
    LiveList.Next->Prev = Block;
    LiveList.Next = Block;
    return Block + 1;
}

static void FreePoolBlock(PVOID P, const ULONG *Tag)
{
    if (!P)
        BugCheck("freeing a null pool pointer");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        BugCheck("ExFreePool at IRQL %u", KeGetCurrentIrql());
    PoolHeader *Block = static_cast<PoolHeader *>(P) - 1;
    std::lock_guard<std::mutex> Guard(PoolLock);
    if (Block->Magic != PoolMagic)
        BugCheck("ExFreePool of %p: not a live pool block (double free or foreign pointer)", P);
    if (Tag && *Tag != Block->Tag)
        BugCheck("ExFreePoolWithTag of %p with tag 0x%08x, allocated with 0x%08x", P, *Tag, Block->Tag);
    TagState &State = Tags[Block->Tag];
    State.Live--;
    State.Bytes -= Block->Size;
    PoolTotalBytes -= Block->Size;
    Block->Prev->Next = Block->Next;
    Block->Next->Prev = Block->Prev;
    Block->Magic = FreedMagic;
    PoolPagesFree(Block, sizeof(PoolHeader) + (Block->Size ? Block->Size : 1));
}

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreePoolBlock(P, &Tag);
}
void ExFreePool(PVOID P)
{
    FreePoolBlock(P, nullptr);
}

namespace host {

size_t PoolLiveAllocations(ULONG Tag)
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    auto It = Tags.find(Tag);
    return It == Tags.end() ? 0 : It->second.Live;
}

size_t PoolLiveBytes(ULONG Tag)
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    auto It = Tags.find(Tag);
    return It == Tags.end() ? 0 : It->second.Bytes;
}

void PoolFailAfter(ULONG Tag, long N)
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    Tags[Tag].FailAfter = N < 0 ? -1 : N;
}

void PoolFailSizeAtLeast(ULONG Tag, size_t MinBytes)
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    Tags[Tag].FailMinBytes = MinBytes;
}

void PoolClearFaults()
{
    std::lock_guard<std::mutex> Guard(PoolLock);
    for (auto &Entry : Tags) {
        Entry.second.FailAfter = -1;
        Entry.second.FailMinBytes = 0;
    }
}

}  // namespace host
