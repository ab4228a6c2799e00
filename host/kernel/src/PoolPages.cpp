// Memory behind the non-paged pool. The platform maps non-paged pool with
// large pages where it can, so walking many small blocks (the table nodes of
// a large block index) costs no translation miss per block. Small blocks here
// come from 2 MiB regions that the host is asked to back with huge pages, and
// freed blocks are kept per size class for reuse; larger blocks come from
// malloc. Sanitizer builds take every block from malloc, so that a use after
// free or an overrun is caught; under ASan a large block is taken with its
// size rounded up to one of eight steps per doubling, the part past the
// asked size poisoned, and when freed it is kept poisoned for a later block
// of its step, as the host would otherwise map and fault in fresh pages for
// every large block (a start's transfer buffer, a chunk array). A kept block
// is handed out only once a younger one of its step waits behind it, so a
// block freed last is never the next one handed out.
#include "KernelInternal.h"

#include <sys/mman.h>

#include <cstdlib>
#include <deque>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define HOST_POOL_KEEPS_LARGE_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOST_POOL_KEEPS_LARGE_BLOCKS 1
#endif
#endif
#ifdef HOST_POOL_KEEPS_LARGE_BLOCKS
#include <sanitizer/asan_interface.h>
#endif

namespace host::detail {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t LargestSmallBlock = 0;
#else
constexpr size_t LargestSmallBlock = 512;
#endif
// Small blocks start on cache lines (the regions are line-aligned).
constexpr size_t Granule = 64;
constexpr size_t RegionBytes = size_t(2) << 20;

struct FreeBlock {
    FreeBlock *Next;
};

std::mutex PagesLock;
FreeBlock *FreeLists[LargestSmallBlock / Granule + 1];
char *RegionNext = nullptr;
char *RegionEnd = nullptr;

size_t ClassOf(size_t Bytes)
{
    return (Bytes + Granule - 1) / Granule;
}

#ifdef HOST_POOL_KEEPS_LARGE_BLOCKS
constexpr size_t SmallestKeptBlock = size_t(64) << 10;
constexpr size_t KeptBytesLimit = size_t(32) << 20;
struct KeptBlock {
    size_t Bytes;
    void *Block;
};
// Oldest first; never destroyed, so that the leak check at exit sees the
// blocks as held.
std::deque<KeptBlock> &Kept()
{
    static auto *Blocks = new std::deque<KeptBlock>;
    return *Blocks;
}
size_t KeptBytes = 0;

// The size a large block is taken with.
size_t KeptStep(size_t Bytes)
{
    size_t Top = 1;
    while (Top <= Bytes / 2)
        Top <<= 1;
    size_t Step = Top / 8;
    return (Bytes + Step - 1) / Step * Step;
}

bool IsKeptSize(size_t Bytes)
{
    return Bytes >= SmallestKeptBlock && KeptStep(Bytes) <= KeptBytesLimit;
}

void *TakeKeptBlock(size_t Bytes)
{
    std::lock_guard<std::mutex> Guard(PagesLock);
    std::deque<KeptBlock> &Blocks = Kept();
    size_t Oldest = Blocks.size();
    for (size_t i = 0; i < Blocks.size(); ++i) {
        if (Blocks[i].Bytes != Bytes)
            continue;
        if (Oldest == Blocks.size()) {
            Oldest = i;
            continue;
        }
        void *Block = Blocks[Oldest].Block;
        Blocks.erase(Blocks.begin() + long(Oldest));
        KeptBytes -= Bytes;
        return Block;
    }
    return nullptr;
}

// A block of the asked size, the rest of its step poisoned.
void *AllocateKeptSize(size_t Bytes)
{
    size_t Capacity = KeptStep(Bytes);
    void *Block = TakeKeptBlock(Capacity);
    if (!Block)
        Block = malloc(Capacity);
    if (!Block)
        return nullptr;
    ASAN_POISON_MEMORY_REGION(Block, Capacity);
    ASAN_UNPOISON_MEMORY_REGION(Block, Bytes);
    return Block;
}

void KeepBlock(void *Block, size_t Bytes)
{
    Bytes = KeptStep(Bytes);
    std::deque<KeptBlock> Dropped;
    {
        std::lock_guard<std::mutex> Guard(PagesLock);
        std::deque<KeptBlock> &Blocks = Kept();
        while (!Blocks.empty() && Bytes > KeptBytesLimit - KeptBytes) {
            Dropped.push_back(Blocks.front());
            KeptBytes -= Blocks.front().Bytes;
            Blocks.pop_front();
        }
        ASAN_POISON_MEMORY_REGION(Block, Bytes);
        Blocks.push_back({Bytes, Block});
        KeptBytes += Bytes;
    }
    for (const KeptBlock &Old : Dropped) {
        ASAN_UNPOISON_MEMORY_REGION(Old.Block, Old.Bytes);
        free(Old.Block);
    }
}
#endif

}  // namespace

void *PoolPagesAllocate(size_t Bytes)
{
    if (Bytes > LargestSmallBlock) {
#ifdef HOST_POOL_KEEPS_LARGE_BLOCKS
        if (IsKeptSize(Bytes))
            return AllocateKeptSize(Bytes);
#endif
        return malloc(Bytes);
    }
    size_t Class = ClassOf(Bytes);
    std::lock_guard<std::mutex> Guard(PagesLock);
    if (FreeBlock *Block = FreeLists[Class]) {
        FreeLists[Class] = Block->Next;
        return Block;
    }
    size_t Size = Class * Granule;
    if (size_t(RegionEnd - RegionNext) < Size) {
        void *Region = nullptr;
        if (posix_memalign(&Region, RegionBytes, RegionBytes) != 0)
            return nullptr;
        madvise(Region, RegionBytes, MADV_HUGEPAGE);
        RegionNext = static_cast<char *>(Region);
        RegionEnd = RegionNext + RegionBytes;
    }
    void *Block = RegionNext;
    RegionNext += Size;
    return Block;
}

void PoolPagesFree(void *Block, size_t Bytes)
{
    if (Bytes > LargestSmallBlock) {
#ifdef HOST_POOL_KEEPS_LARGE_BLOCKS
        if (IsKeptSize(Bytes)) {
            KeepBlock(Block, Bytes);
            return;
        }
#endif
        free(Block);
        return;
    }
    auto *Free = static_cast<FreeBlock *>(Block);
    std::lock_guard<std::mutex> Guard(PagesLock);
    size_t Class = ClassOf(Bytes);
    Free->Next = FreeLists[Class];
    FreeLists[Class] = Free;
}

}  // namespace host::detail
