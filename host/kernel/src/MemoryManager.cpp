// Simulated physical memory, page allocation for MDLs and reserved mappings.
//
// Physical memory is the set of installed ranges of KernelConfig. Its bytes
// live in one sparse memory file whose offset is the physical address, so a
// page takes real memory only once something writes it; freeing pages punches
// them out of the file again, and a later allocation of them reads zeros.
//
// A reserved mapping is an inaccessible range of host addresses. Mapping an
// MDL into it maps the file's pages of the MDL's PFN array there (shared, so
// every mapping of a page sees the same bytes); unmapping makes the range
// inaccessible again, so that a stale access faults at once.
//
// Without strict mappings (KernelConfig::StrictMappings false) an allocation
// gets one lasting view of its pages when it is first mapped, and mapping it
// into a reserved range returns that view: a chunk switch of a page store then
// costs no host call, no TLB shootdown and no page faults. The reservations'
// bookkeeping and its checks stay the same; only the fault on a stale access
// through an unmapped range is given up.
//
// Misuse that the platform answers with a bug check (mapping into a range that
// is still mapped, releasing a range or pages that are still mapped, unknown
// MDLs or addresses) is printed and aborts the process.
#include "KernelInternal.h"
#include "Subsystems.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

struct Reservation {
    size_t Size;
    ULONG Tag;
    PMDL Mapped;  // the MDL whose pages are mapped into the range, or null
};

struct Allocation {
    uint64_t Pages;         // pages held
    PUCHAR View = nullptr;  // lasting view of the pages (without strict mappings)
};

struct MemoryState {
    std::mutex Lock;
    int File = -1;
    uint64_t FileSize = 0;
    bool StrictMappings = true;
    std::map<uint64_t, uint64_t> FreePages;  // first PFN -> page count, merged
    std::unordered_map<PMDL, Allocation> Allocations;
    std::map<uintptr_t, Reservation> Reservations;  // base -> range
    host::PhysicalFaults Faults;
    long SuccessesSinceFaults = 0;
    std::vector<host::PhysicalRequest> Requests;
    uint64_t BytesInUse = 0;
};

MemoryState State;

[[noreturn]] void Fatal(const char *Routine, const char *What, const void *Address)
{
    host::detail::BugCheck("%s: %s (%p)", Routine, What, Address);
}

void ReleasePages(uint64_t FirstPfn, uint64_t Count)
{
    auto &Free = State.FreePages;
    if (State.File >= 0) {
        fallocate(State.File, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(FirstPfn << PAGE_SHIFT), static_cast<off_t>(Count << PAGE_SHIFT));
    }
    auto Next = Free.lower_bound(FirstPfn);
    if (Next != Free.begin()) {
        auto Previous = std::prev(Next);
        if (Previous->first + Previous->second == FirstPfn) {
            FirstPfn = Previous->first;
            Count += Previous->second;
            Free.erase(Previous);
        }
    }
    if (Next != Free.end() && FirstPfn + Count == Next->first) {
        Count += Next->second;
        Free.erase(Next);
    }
    Free[FirstPfn] = Count;
}

// Takes up to Wanted pages from the free pages inside [FirstPfn, EndPfn),
// lowest first, appending their numbers to Pfns.
uint64_t TakePages(uint64_t FirstPfn, uint64_t EndPfn, uint64_t Wanted, PPFN_NUMBER Pfns)
{
    auto &Free = State.FreePages;
    uint64_t Taken = 0;
    auto It = Free.upper_bound(FirstPfn);
    if (It != Free.begin())
        --It;
    while (It != Free.end() && Taken < Wanted && It->first < EndPfn) {
        uint64_t Base = It->first, Count = It->second;
        uint64_t From = Base > FirstPfn ? Base : FirstPfn;
        uint64_t To = Base + Count < EndPfn ? Base + Count : EndPfn;
        if (From >= To) {
            ++It;
            continue;
        }
        uint64_t Take = To - From < Wanted - Taken ? To - From : Wanted - Taken;
        for (uint64_t i = 0; i < Take; i++)
            Pfns[Taken + i] = static_cast<PFN_NUMBER>(From + i);
        Taken += Take;
        // Split the free range around [From, From + Take).
        It = Free.erase(It);
        if (From > Base)
            Free[Base] = From - Base;
        if (From + Take < Base + Count)
            It = Free.emplace(From + Take, Base + Count - From - Take).first;
    }
    return Taken;
}

uint64_t PagesOf(PMDL Mdl)
{
    return (static_cast<uint64_t>(Mdl->ByteOffset) + Mdl->ByteCount + PAGE_SIZE - 1) >> PAGE_SHIFT;
}

// Maps Count pages of the MDL's PFN array at Base, one host mapping per run
// of consecutive pages.
void MapPages(const char *Routine, PUCHAR Base, PMDL Mdl, uint64_t Count)
{
    PPFN_NUMBER Pfns = MmGetMdlPfnArray(Mdl);
    for (uint64_t i = 0; i < Count;) {
        uint64_t Run = 1;
        while (i + Run < Count && Pfns[i + Run] == Pfns[i] + Run)
            Run++;
        void *At = mmap(Base + (i << PAGE_SHIFT), Run << PAGE_SHIFT, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_FIXED, State.File, static_cast<off_t>(Pfns[i]) << PAGE_SHIFT);
        if (At == MAP_FAILED)
            Fatal(Routine, "host mmap failed", Base + (i << PAGE_SHIFT));
        i += Run;
    }
}

// The allocation's lasting view, made on first use; null when the host has
// no address range for it.
PUCHAR ViewOf(PMDL Mdl, Allocation &Pages)
{
    if (!Pages.View) {
        void *Range = mmap(nullptr, Pages.Pages << PAGE_SHIFT, PROT_NONE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (Range == MAP_FAILED)
            return nullptr;
        Pages.View = static_cast<PUCHAR>(Range);
        MapPages("MmMapLockedPagesWithReservedMapping", Pages.View, Mdl, Pages.Pages);
    }
    return Pages.View;
}

void DropView(Allocation &Pages)
{
    if (Pages.View)
        munmap(Pages.View, Pages.Pages << PAGE_SHIFT);
    Pages.View = nullptr;
}

void ResetReservation(uintptr_t Base, size_t Size)
{
    void *Address = mmap(reinterpret_cast<void *>(Base), Size, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    if (Address == MAP_FAILED)
        Fatal("MmUnmapReservedMapping", "cannot re-protect the range", reinterpret_cast<void *>(Base));
}

Reservation &FindReservation(const char *Routine, PVOID Base, ULONG Tag)
{
    auto It = State.Reservations.find(reinterpret_cast<uintptr_t>(Base));
    if (It == State.Reservations.end())
        Fatal(Routine, "address is not a reserved mapping range", Base);
    if (It->second.Tag != Tag)
        Fatal(Routine, "pool tag differs from the reservation's", Base);
    return It->second;
}

// Drops everything the memory manager holds; returns whether anything was.
bool ReleaseAll(bool Report)
{
    bool Clean = State.Allocations.empty() && State.Reservations.empty();
    if (Report) {
        for (auto &Held : State.Allocations)
            std::fprintf(stderr, "host kernel: physical pages still held: MDL %p, %llu pages\n",
                         static_cast<void *>(Held.first), static_cast<unsigned long long>(Held.second.Pages));
        for (auto &Entry : State.Reservations)
            std::fprintf(stderr, "host kernel: reserved mapping still held: %p, %zu bytes%s\n",
                         reinterpret_cast<void *>(Entry.first), Entry.second.Size,
                         Entry.second.Mapped ? " (mapped)" : "");
    }
    for (auto &Entry : State.Reservations)
        munmap(reinterpret_cast<void *>(Entry.first), Entry.second.Size);
    State.Reservations.clear();
    // The MDLs themselves are pool blocks; the pool reports them if leaked.
    for (auto &Entry : State.Allocations)
        DropView(Entry.second);
    State.Allocations.clear();
    State.FreePages.clear();
    if (State.File >= 0)
        close(State.File);
    State.File = -1;
    State.FileSize = 0;
    State.BytesInUse = 0;
    return Clean;
}

}  // namespace

NT_BEGIN_DECLS

PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                           PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes)
{
    (void)SkipBytes;
    uint64_t Low = static_cast<uint64_t>(LowAddress.QuadPart);
    uint64_t High = static_cast<uint64_t>(HighAddress.QuadPart);
    uint64_t Asked = TotalBytes;
    uint64_t WantedPages = (Asked + PAGE_SIZE - 1) >> PAGE_SHIFT;

    std::lock_guard<std::mutex> Guard(State.Lock);
    host::PhysicalRequest Request{Low, High, Asked, 0};

    bool Refused = WantedPages == 0 || Low > High ||
                   (State.Faults.FailAfter >= 0 && State.SuccessesSinceFaults >= State.Faults.FailAfter);
    if (!Refused) {
        for (auto &Partial : State.Faults.Partial) {
            uint64_t Base = Partial.first.Base, End = Base + Partial.first.Length;
            uint64_t Limit = Partial.second >> PAGE_SHIFT;
            if (Base <= High && Low < End && Limit < WantedPages)
                WantedPages = Limit;
        }
        Refused = WantedPages == 0;
    }

    PMDL Mdl = nullptr;
    if (!Refused) {
        SIZE_T MdlBytes = sizeof(MDL) + WantedPages * sizeof(PFN_NUMBER);
        Mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, MdlBytes, 0));
    }
    if (Mdl) {
        uint64_t FirstPfn = (Low + PAGE_SIZE - 1) >> PAGE_SHIFT;
        uint64_t EndPfn = (High >> PAGE_SHIFT) + ((High & (PAGE_SIZE - 1)) == PAGE_SIZE - 1 ? 1 : 0);
        uint64_t Taken = TakePages(FirstPfn, EndPfn, WantedPages, MmGetMdlPfnArray(Mdl));
        if (Taken == 0) {
            ExFreePoolWithTag(Mdl, 0);
            Mdl = nullptr;
        } else {
            // The platform hands out and reports whole pages: a request that
            // is not a page multiple gets its last page whole.
            uint64_t Bytes = Taken << PAGE_SHIFT;
            RtlZeroMemory(Mdl, sizeof(MDL));
            // Size is a 16-bit field; large chunks' MDLs exceed it, and
            // nothing reads it: the page count follows from ByteCount.
            SIZE_T Size = sizeof(MDL) + Taken * sizeof(PFN_NUMBER);
            Mdl->Size = static_cast<CSHORT>(Size > 0x7FFF ? 0x7FFF : Size);
            Mdl->MdlFlags = MDL_PAGES_LOCKED;
            Mdl->ByteCount = static_cast<ULONG>(Bytes);
            State.Allocations[Mdl] = Allocation{Taken};
            State.BytesInUse += Taken << PAGE_SHIFT;
            State.SuccessesSinceFaults++;
            Request.Given = Bytes;
        }
    }
    State.Requests.push_back(Request);
    return Mdl;
}

void MmFreePagesFromMdl(PMDL MemoryDescriptorList)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    auto It = State.Allocations.find(MemoryDescriptorList);
    if (It == State.Allocations.end())
        Fatal("MmFreePagesFromMdl", "MDL does not describe allocated pages", MemoryDescriptorList);
    for (auto &Entry : State.Reservations)
        if (Entry.second.Mapped == MemoryDescriptorList)
            Fatal("MmFreePagesFromMdl", "pages are still mapped", MemoryDescriptorList);
    DropView(It->second);
    uint64_t Count = It->second.Pages;
    PPFN_NUMBER Pfns = MmGetMdlPfnArray(MemoryDescriptorList);
    for (uint64_t i = 0; i < Count;) {
        uint64_t Run = 1;
        while (i + Run < Count && Pfns[i + Run] == Pfns[i] + Run)
            Run++;
        ReleasePages(Pfns[i], Run);
        i += Run;
    }
    State.BytesInUse -= Count << PAGE_SHIFT;
    State.Allocations.erase(It);
    MemoryDescriptorList->ByteCount = 0;
}

PVOID MmAllocateMappingAddress(SIZE_T NumberOfBytes, ULONG PoolTag)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    if (State.Faults.RefuseMappingAddress || NumberOfBytes == 0)
        return nullptr;
    size_t Size = (NumberOfBytes + PAGE_SIZE - 1) & ~static_cast<size_t>(PAGE_SIZE - 1);
    void *Address = mmap(nullptr, Size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Address == MAP_FAILED)
        return nullptr;
    State.Reservations[reinterpret_cast<uintptr_t>(Address)] = Reservation{Size, PoolTag, nullptr};
    return Address;
}

void MmFreeMappingAddress(PVOID BaseAddress, ULONG PoolTag)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    Reservation &Range = FindReservation("MmFreeMappingAddress", BaseAddress, PoolTag);
    if (Range.Mapped)
        Fatal("MmFreeMappingAddress", "range still holds a mapping", BaseAddress);
    munmap(BaseAddress, Range.Size);
    State.Reservations.erase(reinterpret_cast<uintptr_t>(BaseAddress));
}

PVOID MmMapLockedPagesWithReservedMapping(PVOID MappingAddress, ULONG PoolTag, PMDL MemoryDescriptorList,
                                          MEMORY_CACHING_TYPE CacheType)
{
    (void)CacheType;
    std::lock_guard<std::mutex> Guard(State.Lock);
    Reservation &Range = FindReservation("MmMapLockedPagesWithReservedMapping", MappingAddress, PoolTag);
    if (Range.Mapped)
        Fatal("MmMapLockedPagesWithReservedMapping", "range is still mapped", MappingAddress);
    if (State.Faults.RefuseMappingAddress)
        return nullptr;
    auto It = State.Allocations.find(MemoryDescriptorList);
    if (It == State.Allocations.end())
        Fatal("MmMapLockedPagesWithReservedMapping", "MDL does not describe allocated pages",
              MemoryDescriptorList);
    uint64_t Count = PagesOf(MemoryDescriptorList);
    if ((Count << PAGE_SHIFT) > Range.Size)
        Fatal("MmMapLockedPagesWithReservedMapping", "MDL is larger than the range", MappingAddress);

    PUCHAR Base = static_cast<PUCHAR>(MappingAddress);
    if (State.StrictMappings) {
        MapPages("MmMapLockedPagesWithReservedMapping", Base, MemoryDescriptorList, Count);
    } else {
        Base = ViewOf(MemoryDescriptorList, It->second);
        if (!Base)
            return nullptr;
    }
    Range.Mapped = MemoryDescriptorList;
    return Base + MemoryDescriptorList->ByteOffset;
}

void MmUnmapReservedMapping(PVOID BaseAddress, ULONG PoolTag, PMDL MemoryDescriptorList)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    Reservation &Range = FindReservation("MmUnmapReservedMapping", BaseAddress, PoolTag);
    if (Range.Mapped != MemoryDescriptorList)
        Fatal("MmUnmapReservedMapping", "range does not hold this MDL's mapping", BaseAddress);
    if (State.StrictMappings)
        ResetReservation(reinterpret_cast<uintptr_t>(BaseAddress), Range.Size);
    Range.Mapped = nullptr;
}

NT_END_DECLS

namespace host {

void PhysicalSetFaults(const PhysicalFaults &Faults)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    State.Faults = Faults;
    State.SuccessesSinceFaults = 0;
}

std::vector<PhysicalRequest> PhysicalRequests()
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.Requests;
}

uint64_t PhysicalBytesInUse()
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    return State.BytesInUse;
}

namespace detail {

void ResetMemoryManager(const KernelConfig &Config)
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    ReleaseAll(false);
    State.Faults = PhysicalFaults();
    State.SuccessesSinceFaults = 0;
    State.Requests.clear();
    State.StrictMappings = Config.StrictMappings;
    // Installed ranges in pages, sorted and merged so that overlaps count once.
    std::vector<std::pair<uint64_t, uint64_t>> Ranges;
    for (const PhysicalRange &Range : Config.PhysicalMemory) {
        uint64_t First = (Range.Base + PAGE_SIZE - 1) >> PAGE_SHIFT;
        uint64_t Last = (Range.Base + Range.Length) >> PAGE_SHIFT;
        if (Last > First)
            Ranges.emplace_back(First, Last);
    }
    std::sort(Ranges.begin(), Ranges.end());
    uint64_t Covered = 0;
    for (auto &Range : Ranges) {
        uint64_t First = Range.first > Covered ? Range.first : Covered;
        if (Range.second > First)
            ReleasePages(First, Range.second - First);
        if (Range.second > Covered)
            Covered = Range.second;
    }
    uint64_t End = Covered << PAGE_SHIFT;
    if (End) {
        State.File = memfd_create("host-physical-memory", MFD_CLOEXEC);
        if (State.File < 0 || ftruncate(State.File, static_cast<off_t>(End)) != 0)
            Fatal("KernelBoot", "cannot create the physical memory file", nullptr);
        State.FileSize = End;
    }
}

bool ShutdownMemoryManager()
{
    std::lock_guard<std::mutex> Guard(State.Lock);
    return ReleaseAll(true);
}

}  // namespace detail
}  // namespace host
