// Memory behind the non-paged pool. The platform maps non-paged pool with
// large pages where it can, so walking many small blocks (the table nodes of
// a large block index) costs no translation miss per block. Small blocks here
// come from 2 MiB regions that the host is asked to back with huge pages, and
// freed blocks are kept per size class for reuse; larger blocks come from
// malloc. Sanitizer builds take every block from malloc, so that a use after
// free or an overrun is caught.
#include "KernelInternal.h"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>

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

size_t ClassOf(size_t Bytes) { return (Bytes + Granule - 1) / Granule; }

}  // namespace

void *PoolPagesAllocate(size_t Bytes) {
    if (Bytes > LargestSmallBlock)
        return malloc(Bytes);
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

void PoolPagesFree(void *Block, size_t Bytes) {
    if (Bytes > LargestSmallBlock) {
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
