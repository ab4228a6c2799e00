// The transfer below the interception that the engine uses to reach a cached
// volume.
#include <thread>

#include "SpiedDriverTest.h"

namespace testbed {
namespace {

class TargetDeviceIoTest : public SpiedDriverTest {
protected:
    void SetUp() override
    {
        SpiedDriverTest::SetUp();
        Bed().AddVolume(L'c', 8 * MiB);  // a file system is mounted on it
        ASSERT_EQ(Bed().StartCache(L'c', Small()), STATUS_SUCCESS);
        Context = FindVolumeByLetter(L'c');
        ASSERT_NE(Context, nullptr);
    }

    PVolumeCacheContext Context = nullptr;
};

TEST_F(TargetDeviceIoTest, ImmediateAndPendingCompletionGiveTheSameResult)
{
    struct Case {
        sim::Completion Mode;
        bool Fail;
        NTSTATUS Status;
        ULONG Information;
    };
    const Case cases[] = {
        {sim::Completion::Immediate, false, STATUS_SUCCESS, 8192},
        {sim::Completion::Pending, false, STATUS_SUCCESS, 8192},
        {sim::Completion::Immediate, true, STATUS_IO_DEVICE_ERROR, 0},
        {sim::Completion::Pending, true, STATUS_IO_DEVICE_ERROR, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "pending " << (c.Mode == sim::Completion::Pending) << " fail " << c.Fail);
        Bed().Volume(L'c')->SetCompletion(c.Mode);
        sim::VolumeFaults faults;
        faults.FailNthRead = c.Fail ? 1 : 0;
        Bed().Volume(L'c')->SetFaults(faults);
        std::vector<uint8_t> buffer(8192, 0);
        ULONG information = 0xFFFF;
        EXPECT_EQ(TargetDeviceIo(IRP_MJ_READ, 3 * MiB + 512, 8192, buffer.data(), Context, &information),
                  c.Status);
        EXPECT_EQ(information, c.Information);
        if (!c.Fail) {
            EXPECT_EQ(buffer, Pattern(3 * MiB + 512, 8192));
        }

        std::vector<uint8_t> data(4096, c.Fail ? 0x11 : 0x22);
        information = 0xFFFF;
        EXPECT_EQ(TargetDeviceIo(IRP_MJ_WRITE, 1 * MiB, 4096, data.data(), Context, &information),
                  STATUS_SUCCESS);
        EXPECT_EQ(information, 4096u);
        EXPECT_EQ(Bed().BackingBytes(L'c', 1 * MiB, 4096), data);
    }
}

TEST_F(TargetDeviceIoTest, WritesAreForcedAndNothingPassesTheInterception)
{
    const auto me = std::this_thread::get_id();
    std::vector<uint8_t> buffer(4096, 0x5A);
    ULONG information = 0;
    ASSERT_EQ(TargetDeviceIo(IRP_MJ_WRITE, 64 * KiB, 4096, buffer.data(), Context, &information),
              STATUS_SUCCESS);
    ASSERT_EQ(TargetDeviceIo(IRP_MJ_READ, 64 * KiB, 4096, buffer.data(), Context, &information),
              STATUS_SUCCESS);

    std::vector<SpyRecord> records = Spy.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].Major, IRP_MJ_WRITE);
    EXPECT_TRUE(records[0].Flags & SL_FORCE_DIRECT_WRITE);
    EXPECT_EQ(records[1].Major, IRP_MJ_READ);
    EXPECT_FALSE(records[1].Flags & SL_FORCE_DIRECT_WRITE);
    for (const SpyRecord &r : records) {
        EXPECT_EQ(r.Device, Bed().Volume(L'c')->Device());
        // Sent from this thread straight to the saved routine: had the
        // interception seen it, the volume's worker would have sent it.
        EXPECT_EQ(r.Thread, me);
        EXPECT_EQ(r.Offset, 64 * KiB);
        EXPECT_EQ(r.Length, 4096u);
    }
    EXPECT_EQ(Bed().Volume(L'c')->Counters().ForcedWrites.load(), 1u);
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 0u);
}

// The file system's write-through and verify-override marks are the
// volume's to honour: the transfers that serve an intercepted request carry
// them, and a plain request's transfers do not.
TEST_F(TargetDeviceIoTest, LowerTransfersKeepTheRequestsFlags)
{
    PDEVICE_OBJECT device = Bed().Volume(L'c')->Device();
    sim::VolumeCounters &counters = Bed().Volume(L'c')->Counters();
    std::vector<uint8_t> data(64 * KiB, 0x3C);
    ULONG_PTR information = 0;

    ASSERT_EQ(host::SendReadWrite(device, IRP_MJ_WRITE, data.data(), ULONG(data.size()), 0, &information,
                                  true, SL_WRITE_THROUGH),
              STATUS_SUCCESS);
    ASSERT_EQ(
        host::SendReadWrite(device, IRP_MJ_WRITE, data.data(), ULONG(data.size()), 64 * KiB, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(counters.Writes.load(), 2u);
    EXPECT_EQ(counters.WriteThroughWrites.load(), 1u);

    std::vector<uint8_t> buffer(64 * KiB);
    ASSERT_EQ(host::SendReadWrite(device, IRP_MJ_READ, buffer.data(), ULONG(buffer.size()), 2 * MiB,
                                  &information, true, SL_OVERRIDE_VERIFY_VOLUME),
              STATUS_SUCCESS);
    ASSERT_EQ(
        host::SendReadWrite(device, IRP_MJ_READ, buffer.data(), ULONG(buffer.size()), 3 * MiB, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(counters.Reads.load(), 2u);
    EXPECT_EQ(counters.VerifyOverrides.load(), 1u);
    // Both went through the worker and the cache.
    EXPECT_EQ(Bed().Stats(L'c')->ReadRequests, 2u);
}

}  // namespace
}  // namespace testbed
