// The memory tier's page store on the host kernel's simulated physical memory:
// the window search for chunks, exhaustion, accesses across chunk boundaries,
// refused mappings and set-up failures.
#include "BlockIndexFixture.h"
#include "driver/engine/PageStore.h"

#include <cstring>

using namespace engine_test;

namespace {

constexpr ULONG KiB = 1024;
constexpr ULONG Chunk = 64 * KiB;
constexpr uint64_t GiB = 1ull << 30;

// Byte i of the store holds Pattern(i), so any misplaced copy shows.
UCHAR Pattern(uint64_t Offset)
{
    return static_cast<UCHAR>((Offset * 131) ^ (Offset >> 9));
}

std::vector<UCHAR> PatternAt(uint64_t Offset, size_t Length)
{
    std::vector<UCHAR> Bytes(Length);
    for (size_t i = 0; i < Length; i++)
        Bytes[i] = Pattern(Offset + i);
    return Bytes;
}

host::PhysicalRequest Window(uint64_t Low, uint64_t High, uint64_t Given)
{
    return host::PhysicalRequest{Low, High, Chunk, Given};
}

// The 1 GiB window that the search tries k steps below the top one.
host::PhysicalRequest StepWindow(unsigned k, uint64_t Given)
{
    uint64_t High = PAGE_STORE_FIRST_HIGH - k * PAGE_STORE_WINDOW_STEP;
    return Window(High - (PAGE_STORE_WINDOW_STEP - 1), High, Given);
}

void ExpectRequests(size_t From, const std::vector<host::PhysicalRequest> &Expected)
{
    std::vector<host::PhysicalRequest> All = host::PhysicalRequests();
    ASSERT_EQ(All.size(), From + Expected.size());
    for (size_t i = 0; i < Expected.size(); i++) {
        SCOPED_TRACE(testing::Message() << "request " << From + i);
        EXPECT_EQ(All[From + i].Low, Expected[i].Low);
        EXPECT_EQ(All[From + i].High, Expected[i].High);
        EXPECT_EQ(All[From + i].Asked, Expected[i].Asked);
        EXPECT_EQ(All[From + i].Given, Expected[i].Given);
    }
}

class PageStoreTest : public KernelFixture {
protected:
    void SetUp() override {}  // each test boots with its own physical memory
    void Boot(std::vector<host::PhysicalRange> Memory = {{0x100000, 32 * GiB}})
    {
        host::KernelConfig Config;
        Config.PhysicalMemory = std::move(Memory);
        BootKernel(Config);
    }
    void TearDown() override
    {
        if (Initialized)
            PageStoreRelease(&Store);
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_EQ(host::PoolLiveAllocations(0), 0u) << "chunk descriptors left";
        KernelFixture::TearDown();
    }
    void Initialize(uint64_t MemorySize)
    {
        ASSERT_TRUE(PageStoreInitialize(&Store, MemorySize, Chunk));
        Initialized = true;
    }
    ULONG Write(uint64_t Offset, size_t Length)
    {
        std::vector<UCHAR> Bytes = PatternAt(Offset, Length);
        return PageStoreWrite(&Store, Bytes.data(), Offset, static_cast<LONG>(Length));
    }
    // Reads and compares; returns the count that PageStoreRead gave.
    ULONG ReadAndCheck(uint64_t Offset, size_t Length)
    {
        std::vector<UCHAR> Bytes(Length, 0xEE);
        ULONG Count = PageStoreRead(&Store, Bytes.data(), Offset, static_cast<LONG>(Length));
        EXPECT_TRUE(std::memcmp(Bytes.data(), PatternAt(Offset, Length).data(), Count) == 0)
            << "bytes read differ from those written";
        return Count;
    }
    // Physical address of a chunk's first page.
    uint64_t ChunkBase(ULONG Index)
    {
        return static_cast<uint64_t>(MmGetMdlPfnArray(Store.Chunks[Index])[0]) << PAGE_SHIFT;
    }

    MemoryPageStore Store;
    bool Initialized = false;
};

TEST_F(PageStoreTest, OneChunkStoreHoldsItsBytesAndNeverExhausts)
{
    Boot();
    Initialize(Chunk);
    EXPECT_EQ(Store.ChunkCount, 1u);
    EXPECT_EQ(Store.ChunksAllocated, 1u);
    EXPECT_EQ(Store.MappedChunk, Store.Chunks[0]);
    EXPECT_EQ(Store.LowAddress, PAGE_STORE_FIRST_LOW);
    EXPECT_EQ(Store.HighAddress, PAGE_STORE_FIRST_HIGH);
    // The first chunk may come from anywhere.
    ExpectRequests(0, {Window(0, ~0ull, Chunk)});

    for (ULONG Slot = 0; Slot < 4; Slot++)
        EXPECT_EQ(Write(Slot * 16 * KiB, 16 * KiB), 16 * KiB);
    EXPECT_EQ(ReadAndCheck(0, Chunk), Chunk);
    // Nothing lies past the only chunk; asking for it neither allocates nor exhausts.
    EXPECT_EQ(Write(Chunk, 16 * KiB), 0u);
    EXPECT_EQ(ReadAndCheck(Chunk - 4 * KiB, 8 * KiB), 4 * KiB);
    EXPECT_FALSE(PageStoreIsExhausted(&Store));
    EXPECT_EQ(host::PhysicalRequests().size(), 1u);
}

TEST_F(PageStoreTest, AShortChunkInTheTopWindowIsGivenBackAndTheSearchGoesOneWindowDown)
{
    Boot();
    Initialize(4 * Chunk);
    host::PhysicalFaults Faults;
    Faults.Partial = {{{31 * GiB, GiB}, Chunk / 2}};
    host::PhysicalSetFaults(Faults);

    EXPECT_EQ(Write(Chunk, 16 * KiB), 16 * KiB);
    ExpectRequests(1, {StepWindow(0, Chunk / 2), StepWindow(1, Chunk)});
    EXPECT_GE(ChunkBase(1), 30 * GiB);
    EXPECT_LT(ChunkBase(1), 31 * GiB);
    EXPECT_EQ(host::PhysicalBytesInUse(), 2ull * Chunk) << "the short chunk went back";
    EXPECT_EQ(ReadAndCheck(Chunk, 16 * KiB), 16 * KiB);
}

TEST_F(PageStoreTest, TheNextChunkIsSoughtInTheWindowOfTheLastSuccess)
{
    // Memory only at the bottom (for the first chunk) and in [29 GiB, 30 GiB).
    Boot({{0x100000, 2 * Chunk}, {29 * GiB, 4 * Chunk}});
    Initialize(4 * Chunk);
    EXPECT_LT(ChunkBase(0), GiB);

    EXPECT_EQ(Write(1 * Chunk, 4 * KiB), 4 * KiB);
    ExpectRequests(1, {StepWindow(0, 0), StepWindow(1, 0), StepWindow(2, Chunk)});
    EXPECT_EQ(Write(2 * Chunk, 4 * KiB), 4 * KiB);
    ExpectRequests(4, {StepWindow(2, Chunk)});
    EXPECT_GE(ChunkBase(2), 29 * GiB);
}

TEST_F(PageStoreTest, ExhaustionWalksEveryWindowDownToZeroOnceAndStays)
{
    // Room for two chunks, both below 1 GiB.
    Boot({{0x100000, 2 * Chunk}});
    Initialize(4 * Chunk);

    // The second chunk is found only in the lowest window, after 31 misses.
    EXPECT_EQ(Write(Chunk, 4 * KiB), 4 * KiB);
    std::vector<host::PhysicalRequest> Walk;
    for (unsigned k = 0; k < 32; k++)
        Walk.push_back(StepWindow(k, k == 31 ? Chunk : 0));
    ExpectRequests(1, Walk);
    EXPECT_EQ(Store.LowAddress, 0u);
    EXPECT_FALSE(PageStoreIsExhausted(&Store));

    // The third is not there: one more try in the lowest window, then give up.
    EXPECT_EQ(Write(2 * Chunk, 4 * KiB), 0u);
    ExpectRequests(33, {StepWindow(31, 0)});
    EXPECT_TRUE(PageStoreIsExhausted(&Store));
    EXPECT_EQ(Store.ChunksAllocated, 2u);

    // The chunks it has keep working; the flag stays.
    EXPECT_EQ(Write(0, 4 * KiB), 4 * KiB);
    EXPECT_EQ(ReadAndCheck(0, 4 * KiB), 4 * KiB);
    EXPECT_EQ(ReadAndCheck(Chunk, 4 * KiB), 4 * KiB);
    EXPECT_EQ(Write(3 * Chunk, 4 * KiB), 0u);
    EXPECT_TRUE(PageStoreIsExhausted(&Store));
}

TEST_F(PageStoreTest, RunsAcrossChunkBoundariesAreReadWhole)
{
    Boot();
    Initialize(4 * Chunk);
    // Blocks are written one slot at a time, as the read path places them.
    for (uint64_t Offset = 0; Offset < 4 * Chunk; Offset += 16 * KiB)
        ASSERT_EQ(Write(Offset, 16 * KiB), 16 * KiB);

    struct Case {
        const char *What;
        uint64_t Offset;
        size_t Length;
        ULONG LastChunk;
    };
    const Case Cases[] = {
        {"two chunks", Chunk - 16 * KiB, 32 * KiB, 1},
        {"three chunks", Chunk / 2, 2 * Chunk, 2},
        {"all four chunks", 0, 4 * Chunk, 3},
        {"inside one chunk", 2 * Chunk + 4 * KiB, 8 * KiB, 2},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        EXPECT_EQ(ReadAndCheck(C.Offset, C.Length), C.Length);
        EXPECT_EQ(Store.MappedChunk, Store.Chunks[C.LastChunk]) << "the window shows the run's last chunk";
        EXPECT_EQ(Store.MappedAddress, Store.MappingWindow);
    }
}

TEST_F(PageStoreTest, AWriteAcrossChunkBoundariesObtainsTheChunksInOrder)
{
    Boot();
    Initialize(3 * Chunk);
    EXPECT_EQ(Write(40 * KiB, 100 * KiB), 100 * KiB);
    EXPECT_EQ(Store.ChunksAllocated, 3u);
    EXPECT_EQ(ReadAndCheck(40 * KiB, 100 * KiB), 100 * KiB);
    // Past the store's end only the part inside it is written.
    EXPECT_EQ(Write(3 * Chunk - 4 * KiB, 8 * KiB), 4 * KiB);
}

TEST_F(PageStoreTest, RefusedMappingsFailTheAccessAndLeaveTheChunks)
{
    Boot();
    Initialize(4 * Chunk);
    ASSERT_EQ(Write(0, Chunk), Chunk);
    ASSERT_EQ(Write(Chunk, Chunk), Chunk);  // chunk 1 is now the mapped one

    host::PhysicalFaults Refuse;
    Refuse.RefuseMappingAddress = true;
    host::PhysicalSetFaults(Refuse);
    EXPECT_EQ(ReadAndCheck(Chunk, 4 * KiB), 4 * KiB) << "the mapped chunk needs no new mapping";
    EXPECT_EQ(ReadAndCheck(Chunk - 4 * KiB, 8 * KiB), 0u) << "chunk 0 cannot be mapped";
    EXPECT_EQ(Store.MappedChunk, nullptr);
    EXPECT_EQ(ReadAndCheck(Chunk, 4 * KiB), 0u);
    // A new chunk is obtained and kept, but cannot be written yet.
    EXPECT_EQ(Write(2 * Chunk, 4 * KiB), 0u);
    EXPECT_EQ(Store.ChunksAllocated, 3u);

    host::PhysicalSetFaults(host::PhysicalFaults());
    EXPECT_EQ(ReadAndCheck(0, 2 * Chunk), 2 * Chunk) << "nothing was lost";
    EXPECT_EQ(Write(2 * Chunk, 4 * KiB), 4 * KiB);
    EXPECT_EQ(Store.ChunksAllocated, 3u);
    EXPECT_EQ(ReadAndCheck(2 * Chunk, 4 * KiB), 4 * KiB);

    // A run whose second chunk cannot be mapped reports the part it read.
    host::PhysicalSetFaults(Refuse);
    EXPECT_EQ(ReadAndCheck(2 * Chunk - 4 * KiB, 8 * KiB), 0u);
    host::PhysicalSetFaults(host::PhysicalFaults());
    ASSERT_EQ(ReadAndCheck(Chunk, 4 * KiB), 4 * KiB);
    host::PhysicalSetFaults(Refuse);
    EXPECT_EQ(ReadAndCheck(2 * Chunk - 4 * KiB, 8 * KiB), 4 * KiB);
}

TEST_F(PageStoreTest, SetUpFailuresHoldNothing)
{
    Boot();
    struct Case {
        const char *What;
        uint64_t MemorySize;
        ULONG ChunkSize;
        bool RefuseWindow;
        long PhysicalFailAfter;
        long PoolFailAfter;
    };
    const Case Cases[] = {
        {"no address range for the window", 4 * Chunk, Chunk, true, -1, -1},
        {"no first chunk", 4 * Chunk, Chunk, false, 0, -1},
        {"no chunk array", 4 * Chunk, Chunk, false, -1, 0},
        {"chunk size 0", 4 * Chunk, 0, false, -1, -1},
        {"memory size 0", 0, Chunk, false, -1, -1},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        host::PhysicalFaults Faults;
        Faults.RefuseMappingAddress = C.RefuseWindow;
        Faults.FailAfter = C.PhysicalFailAfter;
        host::PhysicalSetFaults(Faults);
        if (C.PoolFailAfter >= 0)
            host::PoolFailAfter(CACHE_POOL_TAG, C.PoolFailAfter);
        size_t Before = host::PhysicalRequests().size();
        std::memset(&Store, 0xA5, sizeof(Store));  // a stale record
        EXPECT_FALSE(PageStoreInitialize(&Store, C.MemorySize, C.ChunkSize));
        host::PoolClearFaults();
        host::PhysicalSetFaults(host::PhysicalFaults());
        EXPECT_EQ(host::PhysicalBytesInUse(), 0u);
        EXPECT_EQ(host::PoolLiveAllocations(CACHE_POOL_TAG), 0u);
        EXPECT_LE(host::PhysicalRequests().size(), Before + 1) << "a failed first chunk is not searched for";
    }
    // The host kernel's shutdown (TearDown) reports any reservation left.
}

}  // namespace
