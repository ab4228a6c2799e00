// Interception of a cached volume's reads and writes, the worker's queue and
// counters, and what goes on to the volume driver's own routines unchanged.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "SpiedDriverTest.h"

namespace testbed {
namespace {

NTSTATUS NTAPI StopAtCaller(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    static_cast<std::atomic<bool> *>(Context)->store(true);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class InterceptionTest : public SpiedDriverTest {
protected:
    void SetUp() override
    {
        SpiedDriverTest::SetUp();
        AddPlainVolumes(16 * MiB, 0, 7);
        ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
        Context = FindVolumeByLetter(L'c');
        ASSERT_NE(Context, nullptr);
    }

    // Waits until the volume's queue holds Count requests.
    bool WaitForQueued(size_t Count = 1)
    {
        for (int i = 0; i < 5000; ++i) {
            size_t queued = 0;
            KIRQL irql = KfAcquireSpinLock(&Context->QueueLock);
            for (PLIST_ENTRY e = Context->RequestQueue.Flink; e != &Context->RequestQueue; e = e->Flink)
                ++queued;
            KfReleaseSpinLock(&Context->QueueLock, irql);
            if (queued >= Count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // The spy's records of requests that arrived exactly as sent, in the
    // given thread.
    size_t PassedThrough(uint64_t Offset, ULONG Length, std::thread::id Thread)
    {
        size_t n = 0;
        for (const SpyRecord &r : Spy.Records())
            if (r.Offset == Offset && r.Length == Length && r.Thread == Thread)
                ++n;
        return n;
    }

    PVolumeCacheContext Context = nullptr;
};

TEST_F(InterceptionTest, RequestsForUncachedVolumesReachTheVolumeDriverUnchanged)
{
    const auto me = std::this_thread::get_id();
    std::vector<uint8_t> buffer(3072);
    ULONG_PTR information = 0;
    ASSERT_EQ(host::SendReadWrite(Bed().Volume(L'd')->Device(), IRP_MJ_READ, buffer.data(), 3072, 4608,
                                  &information, true, SL_OVERRIDE_VERIFY_VOLUME),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 3072u);
    EXPECT_EQ(buffer, Pattern(4608, 3072, 7));
    ASSERT_EQ(Spy.Count(), 1u);
    SpyRecord read = Spy.Records()[0];
    EXPECT_EQ(read.Device, Bed().Volume(L'd')->Device());
    EXPECT_EQ(read.Major, IRP_MJ_READ);
    EXPECT_EQ(read.Flags, SL_OVERRIDE_VERIFY_VOLUME);
    EXPECT_EQ(read.Thread, me);
    EXPECT_EQ(PassedThrough(4608, 3072, me), 1u);

    // The volume driver's status comes back as it gave it.
    sim::VolumeFaults faults;
    faults.FailNthWrite = 1;
    faults.FailStatus = STATUS_DEVICE_NOT_READY;
    Bed().Volume(L'd')->SetFaults(faults);
    EXPECT_EQ(Bed().Write(L'd', 512, buffer.data(), 1024), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(PassedThrough(512, 1024, me), 1u);
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 0u);
}

TEST_F(InterceptionTest, StoppingVolumePassesNewRequestsOnWhileEarlierOnesWait)
{
    Spy.CloseGate([](const SpyRecord &r) { return r.Offset == 0; });
    std::thread first([&] { EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB)); });
    ASSERT_TRUE(Spy.WaitForCount(1));  // the worker is held in the volume driver

    __atomic_store_n(&Context->Stopping, (UCHAR)1, __ATOMIC_SEQ_CST);
    const auto me = std::this_thread::get_id();
    EXPECT_EQ(Bed().ReadBytes(L'c', 8 * MiB + 512, 1536), Pattern(8 * MiB + 512, 1536));
    std::vector<uint8_t> data(512, 0x42);
    EXPECT_EQ(Bed().Write(L'c', 6 * MiB, data.data(), 512), STATUS_SUCCESS);
    EXPECT_EQ(PassedThrough(8 * MiB + 512, 1536, me), 1u);
    EXPECT_EQ(PassedThrough(6 * MiB, 512, me), 1u);
    EXPECT_EQ(Bed().BackingBytes(L'c', 6 * MiB, 512), data);
    EXPECT_EQ(Spy.WaitingAtGate(), 1u) << "the queued read must still be waiting";

    __atomic_store_n(&Context->Stopping, (UCHAR)0, __ATOMIC_SEQ_CST);
    Spy.OpenGate();
    first.join();
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 1u);
}

TEST_F(InterceptionTest, QueuedReadsCompleteInArrivalOrder)
{
    Spy.CloseGate([](const SpyRecord &r) { return r.Offset == 0; });
    std::thread first([&] { EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB)); });
    ASSERT_TRUE(Spy.WaitForCount(1));
    std::thread second(
        [&] { EXPECT_EQ(Bed().ReadBytes(L'c', 1 * MiB, 64 * KiB), Pattern(1 * MiB, 64 * KiB)); });
    ASSERT_TRUE(WaitForQueued());
    EXPECT_EQ(Spy.Count(), 1u) << "the second read overtook the first";
    Spy.OpenGate();
    first.join();
    second.join();

    std::vector<SpyRecord> records = Spy.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Offset, 0u);
    EXPECT_EQ(records[1].Offset, 1 * MiB);
    EXPECT_EQ(records[0].Thread, records[1].Thread) << "both are served by the volume's worker";
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 2u);
}

TEST_F(InterceptionTest, RequestsQueuedWhenTheWorkerEndsGoOnToTheVolumeDriver)
{
    Spy.CloseGate([](const SpyRecord &r) { return r.Offset == 0; });
    std::thread first([&] { EXPECT_EQ(Bed().ReadBytes(L'c', 0, 64 * KiB), Pattern(0, 64 * KiB)); });
    ASSERT_TRUE(Spy.WaitForCount(1));
    const uint64_t offset = 5 * MiB + 512;
    std::vector<uint8_t> written(4096, 0x77);
    std::thread second([&] { EXPECT_EQ(Bed().ReadBytes(L'c', offset, 4096), Pattern(offset, 4096)); });
    std::thread third([&] { EXPECT_EQ(Bed().Write(L'c', 9 * MiB, written.data(), 4096), STATUS_SUCCESS); });
    ASSERT_TRUE(WaitForQueued(2));

    std::thread stop([&] { EXPECT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS); });
    while (!__atomic_load_n(&Context->Terminate, __ATOMIC_SEQ_CST))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Spy.OpenGate();
    first.join();
    second.join();
    third.join();
    stop.join();

    // Neither was served by the cache: both reached the volume driver as sent
    // (the read path would have read whole blocks, the write path would have
    // forced the write).
    size_t seen = 0;
    for (const SpyRecord &r : Spy.Records())
        if ((r.Offset == offset && r.Length == 4096 && r.Major == IRP_MJ_READ) ||
            (r.Offset == 9 * MiB && r.Length == 4096 && r.Major == IRP_MJ_WRITE && r.Flags == 0))
            ++seen;
    EXPECT_EQ(seen, 2u);
    EXPECT_EQ(Bed().BackingBytes(L'c', 9 * MiB, 4096), written);
}

TEST_F(InterceptionTest, RequestsWithoutAMappableBufferGoThroughTheWorkerUncached)
{
    const auto me = std::this_thread::get_id();
    PDEVICE_OBJECT device = Bed().Volume(L'c')->Device();

    // No MDL: queued, then handed on by the worker as it came.
    std::vector<uint8_t> buffer(4096);
    std::atomic<bool> completed{false};
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->UserBuffer = buffer.data();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = 4096;
    stack->Parameters.Read.ByteOffset.QuadPart = 1 * MiB;
    stack->CompletionRoutine = StopAtCaller;
    stack->Context = &completed;
    stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_PENDING);
    for (int i = 0; i < 5000 && !completed.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(completed.load());
    EXPECT_EQ(irp->IoStatus.Status, VolumeSpy::kNoMdlStatus);
    IoFreeIrp(irp);
    ASSERT_EQ(Spy.Count(), 1u);
    EXPECT_FALSE(Spy.Records()[0].HasMdl);
    const std::thread::id worker = Spy.Records()[0].Thread;
    EXPECT_NE(worker, me) << "the worker hands it on";

    // A read whose buffer cannot be mapped into system space.
    host::MdlMapFailNext(1);
    EXPECT_EQ(Bed().Read(L'c', 2 * MiB, buffer.data(), 4096, nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(buffer, Pattern(2 * MiB, 4096));
    EXPECT_EQ(PassedThrough(2 * MiB, 4096, worker), 1u) << "as sent, by the worker";
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 0u) << "the cache served neither";

    // A write whose buffer cannot be mapped drops the cached copy of its
    // block before it reaches the volume: the next read sees its bytes.
    const uint64_t block = 3 * MiB;
    ASSERT_EQ(Bed().ReadBytes(L'c', block, 64 * KiB), Pattern(block, 64 * KiB));
    ASSERT_EQ(Bed().ReadBytes(L'c', block, 64 * KiB), Pattern(block, 64 * KiB));
    EXPECT_EQ(Bed().Stats(L'c')->MemoryHits, 1u) << "the block is cached";
    std::vector<uint8_t> written(4096, 0x5E);
    host::MdlMapFailNext(1);
    ASSERT_EQ(Bed().Write(L'c', block + 512, written.data(), 4096, nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(PassedThrough(block + 512, 4096, worker), 1u);
    std::vector<uint8_t> expected = Pattern(block, 64 * KiB);
    std::copy(written.begin(), written.end(), expected.begin() + 512);
    EXPECT_EQ(Bed().ReadBytes(L'c', block, 64 * KiB), expected) << "a stale copy survived the write";
}

TEST_F(InterceptionTest, ReadCountersAndWritesLeaveThemAlone)
{
    struct Step {
        const char *Name;
        UCHAR Major;
        bool Fail;
        bool MapBuffer;
        NTSTATUS Status;
        ULONG_PTR Information;
        uint64_t ReadRequests;
        uint64_t ReadBytes;
    };
    // clang-format off
    const Step steps[] = {
        {"read of 64 KiB", IRP_MJ_READ, false, true, STATUS_SUCCESS, 64 * KiB, 1, 64 * KiB},
        {"read into a buffer the worker maps", IRP_MJ_READ, false, false, STATUS_SUCCESS, 64 * KiB, 2, 128 * KiB},
        {"failed read", IRP_MJ_READ, true, true, STATUS_IO_DEVICE_ERROR, 0, 3, 128 * KiB},
        {"write", IRP_MJ_WRITE, false, true, STATUS_SUCCESS, 64 * KiB, 3, 128 * KiB},
        {"failed write", IRP_MJ_WRITE, true, true, STATUS_IO_DEVICE_ERROR, 0, 3, 128 * KiB},
    };
    // clang-format on
    uint64_t offset = 0;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.Name);
        sim::VolumeFaults faults;
        faults.FailNthRead = step.Fail && step.Major == IRP_MJ_READ ? 1 : 0;
        faults.FailNthWrite = step.Fail && step.Major == IRP_MJ_WRITE ? 1 : 0;
        Bed().Volume(L'c')->SetFaults(faults);
        std::vector<uint8_t> buffer(64 * KiB, 0x3C);
        ULONG_PTR information = 12345;
        NTSTATUS status =
            step.Major == IRP_MJ_READ
                ? Bed().Read(L'c', offset, buffer.data(), 64 * KiB, &information, step.MapBuffer)
                : Bed().Write(L'c', offset, buffer.data(), 64 * KiB, &information, step.MapBuffer);
        EXPECT_EQ(status, step.Status);
        EXPECT_EQ(information, step.Information);
        if (step.Major == IRP_MJ_READ && !step.Fail) {
            EXPECT_EQ(buffer, Pattern(offset, 64 * KiB));
        }
        std::optional<CacheStatistics> stats = Bed().Stats(L'c');
        ASSERT_TRUE(stats.has_value());
        EXPECT_EQ(stats->ReadRequests, step.ReadRequests);
        EXPECT_EQ(stats->ReadBytes, step.ReadBytes);
        offset += 1 * MiB;  // a fresh block each time, so that each read goes to the volume
    }
}

// While the worker transfers the cache file, the file system may take a page
// fault on the worker's own thread; the in-page read it sends to the cached
// volume must not wait in the queue behind the worker that waits for it.
TEST_F(InterceptionTest, AnInPageReadOnTheWorkersOwnThreadGoesStraightToTheVolume)
{
    StartSettings settings = Small();
    settings.SsdEnabled = true;
    settings.SsdSize = 512 * MiB;
    ASSERT_EQ(Bed().StartCache(L'd', settings), STATUS_SUCCESS);
    PVolumeCacheContext d = FindVolumeByLetter(L'd');
    ASSERT_NE(d, nullptr);
    PDEVICE_OBJECT device = Bed().Volume(L'd')->Device();

    struct Fault {
        int Taken = 0;
        NTSTATUS Status = STATUS_PENDING;
        std::thread::id Thread;
        std::vector<uint8_t> Bytes = std::vector<uint8_t>(4096);
    } fault;
    host::SetFileTransferPageFault([&] {
        if (KeGetCurrentThread() != d->WorkerThread || fault.Taken++ != 0)
            return;
        fault.Thread = std::this_thread::get_id();
        // A bound on the wait, so that a read stuck behind the worker fails
        // the test instead of hanging it.
        fault.Status = host::InPageRead(device, 5 * MiB, fault.Bytes.data(), 4096, nullptr, 10000);
    });
    // The second read is a memory hit, which the worker copies into the
    // cache file.
    EXPECT_EQ(Bed().ReadBytes(L'd', 0, 64 * KiB), Pattern(0, 64 * KiB, 7));
    EXPECT_EQ(Bed().ReadBytes(L'd', 0, 64 * KiB), Pattern(0, 64 * KiB, 7));
    host::SetFileTransferPageFault(nullptr);

    ASSERT_EQ(fault.Taken, 1) << "the worker wrote no cache file";
    EXPECT_EQ(fault.Status, STATUS_SUCCESS) << "the in-page read waited behind the worker";
    EXPECT_EQ(fault.Bytes, Pattern(5 * MiB, 4096, 7));
    EXPECT_EQ(PassedThrough(5 * MiB, 4096, fault.Thread), 1u)
        << "it reaches the volume's driver as sent, on the worker's thread";
}

// The statistics request copies what the worker published after its last
// request, never counters of a request half served: here the first of two
// miss runs of one read is counted while the second waits at the volume.
TEST_F(InterceptionTest, StatisticsAreASnapshotBetweenRequests)
{
    ASSERT_EQ(Bed().ReadBytes(L'c', 64 * KiB, 64 * KiB), Pattern(64 * KiB, 64 * KiB));
    std::optional<CacheStatistics> before = Bed().Stats(L'c');
    ASSERT_TRUE(before.has_value());

    // Blocks 0 (miss), 1 (memory), 2 (miss): the run {0} is served when
    // block 2 breaks it off, then {2} is held at the volume.
    Spy.CloseGate([](const SpyRecord &r) { return r.Major == IRP_MJ_READ && r.Offset == 128 * KiB; });
    std::thread reader([&] { EXPECT_EQ(Bed().ReadBytes(L'c', 0, 192 * KiB), Pattern(0, 192 * KiB)); });
    for (int i = 0; i < 5000 && Spy.WaitingAtGate() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(Spy.WaitingAtGate(), 1u);
    std::optional<CacheStatistics> during = Bed().Stats(L'c');
    Spy.OpenGate();
    reader.join();
    ASSERT_TRUE(during.has_value());
    EXPECT_EQ(std::memcmp(&*during, &*before, sizeof(CacheStatistics)), 0)
        << "volume reads " << during->VolumeReads << " of " << during->ReadRequests << " requests";

    std::optional<CacheStatistics> after = Bed().Stats(L'c');
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->ReadRequests, 2u);
    EXPECT_EQ(after->ReadBytes, 256 * KiB);
    EXPECT_EQ(after->VolumeReads, 3u);
    EXPECT_EQ(after->VolumeReadBytes, 192 * KiB);
    EXPECT_EQ(after->MemoryHits, 1u);
    EXPECT_EQ(after->MemoryHitBytes, 64 * KiB);
}

}  // namespace
}  // namespace testbed
