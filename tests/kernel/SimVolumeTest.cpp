// The simulated volume driver: transfers through the MDL, completion modes,
// the end of the volume, raw-write protection, faults and counters.
#include "KernelTest.h"

#include <SimVolume.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

class SimVolumeTest : public KernelTest, public ::testing::WithParamInterface<sim::Completion> {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::VolumeConfig Config;
        Config.Letter = L'E';
        Config.Length = (1 << 20) + 512;  // not a multiple of the usual block sizes
        Config.Mode = GetParam();
        Volume = sim::CreateVolume(Config);
        ASSERT_NE(Volume, nullptr);
        Device = Volume->Device();
    }

    // A request built by IoBuildSynchronousFsdRequest and sent the way a
    // driver that bypasses the dispatch table sends it.
    // StackLength, when not 0, replaces the length in the stack location, so
    // that the request asks for more than its MDL describes.
    NTSTATUS Direct(UCHAR Major, void *Buffer, ULONG Length, uint64_t Offset, bool Force,
                    ULONG_PTR *Information, ULONG StackLength = 0)
    {
        KEVENT Event;
        KeInitializeEvent(&Event, NotificationEvent, FALSE);
        // A request that fails at once leaves the status block as it was.
        IO_STATUS_BLOCK Iosb = {};
        LARGE_INTEGER Start;
        Start.QuadPart = LONGLONG(Offset);
        PIRP Irp = IoBuildSynchronousFsdRequest(Major, Device, Buffer, Length, &Start, &Event, &Iosb);
        if (!Irp)
            return STATUS_INSUFFICIENT_RESOURCES;
        IoSetNextIrpStackLocation(Irp);
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        if (Force)
            Stack->Flags |= SL_FORCE_DIRECT_WRITE;
        if (StackLength)
            Stack->Parameters.Read.Length = StackLength;
        Stack->DeviceObject = Device;
        NTSTATUS Status = Device->DriverObject->MajorFunction[Major](Device, Irp);
        if (Status == STATUS_PENDING) {
            KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
            Status = Iosb.Status;
        }
        *Information = Iosb.Information;
        return Status;
    }

    sim::SimVolume *Volume = nullptr;
    PDEVICE_OBJECT Device = nullptr;
};

}  // namespace

TEST_P(SimVolumeTest, DeviceLooksLikeAVolume)
{
    EXPECT_EQ(host::FindDevice(L"\\??\\E:"), Device);
    EXPECT_EQ(host::FindDevice(L"\\Device\\HarddiskVolume1"), Device);
    EXPECT_NE(Device->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(sim::FindVolume(L'e'), Volume);
    sim::VolumeConfig Same;
    Same.Letter = L'e';
    EXPECT_EQ(sim::CreateVolume(Same), nullptr);  // the letter is taken
}

TEST_P(SimVolumeTest, ForcedWritesReachTheBackingAndReadsReturnThem)
{
    std::vector<unsigned char> Data(4096), Back(4096);
    for (size_t i = 0; i < Data.size(); ++i)
        Data[i] = static_cast<unsigned char>(i * 7);
    ULONG_PTR Information = 0;
    uint64_t End = Volume->Length();
    ASSERT_EQ(Direct(IRP_MJ_WRITE, Data.data(), 4096, End - 4096, true, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Information, 4096u);
    // The system's own requests carry an unmapped MDL that the volume maps.
    EXPECT_EQ(host::SendReadWrite(Device, IRP_MJ_READ, Back.data(), 4096, End - 512, &Information, false),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(host::SendReadWrite(Device, IRP_MJ_READ, Back.data(), 512, End - 512, &Information, false),
              STATUS_SUCCESS);
    EXPECT_EQ(Information, 512u);
    EXPECT_TRUE(std::equal(Back.begin(), Back.begin() + 512, Data.begin() + 3584));
    EXPECT_EQ(Volume->Counters().ForcedWrites.load(), 1u);
    EXPECT_EQ(Volume->Counters().Reads.load(), 2u);
    EXPECT_EQ(Volume->Counters().ReadBytes.load(), 512u);
}

TEST_P(SimVolumeTest, MountedVolumeRefusesRawWritesWithoutTheFlag)
{
    char Buffer[512] = {1};
    ULONG_PTR Information = 7;
    EXPECT_EQ(Direct(IRP_MJ_WRITE, Buffer, 512, 0, false, &Information), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Information, 0u);
    EXPECT_EQ(host::SendReadWrite(Device, IRP_MJ_WRITE, Buffer, 512, 0, &Information), STATUS_ACCESS_DENIED);
    EXPECT_EQ(
        host::SendReadWrite(Device, IRP_MJ_WRITE, Buffer, 512, 0, &Information, true, SL_FORCE_DIRECT_WRITE),
        STATUS_SUCCESS);
    EXPECT_EQ(Volume->Counters().RejectedWrites.load(), 2u);
    EXPECT_EQ(Volume->Counters().WriteBytes.load(), 512u);
    Volume->SetFileSystemMounted(false);
    EXPECT_EQ(Direct(IRP_MJ_WRITE, Buffer, 512, 0, false, &Information), STATUS_SUCCESS);
}

TEST_P(SimVolumeTest, InjectedFaultsFailTheChosenRequests)
{
    char Buffer[4096];
    ULONG_PTR Information;
    sim::VolumeFaults Faults;
    Faults.FailNthRead = 2;
    Faults.RangeOffset = 65536;
    Faults.RangeLength = 1;
    Faults.RangeWrites = false;
    Volume->SetFaults(Faults);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 0, false, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 0, false, &Information), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Information, 0u);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 0, false, &Information), STATUS_SUCCESS);
    // The range: reads touching byte 65536 fail, writes pass.
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 61440, false, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 65536 - 512, false, &Information), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Direct(IRP_MJ_WRITE, Buffer, 4096, 65536, true, &Information), STATUS_SUCCESS);
    Faults = sim::VolumeFaults();
    Faults.FailNthWrite = 1;
    Faults.FailStatus = STATUS_DEVICE_NOT_READY;
    Volume->SetFaults(Faults);
    EXPECT_EQ(Direct(IRP_MJ_WRITE, Buffer, 4096, 0, true, &Information), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Direct(IRP_MJ_WRITE, Buffer, 4096, 0, true, &Information), STATUS_SUCCESS);

    // A short read succeeds with the bytes it reports and leaves the rest of
    // the buffer alone.
    Faults = sim::VolumeFaults();
    Faults.ShortNthRead = 2;
    Faults.ShortReadBytes = 1024;
    Volume->SetFaults(Faults);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 0, false, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Information, 4096u);
    memset(Buffer, 0x6B, sizeof(Buffer));
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 4096, 8192, false, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Information, 1024u);
    std::vector<uint8_t> Expected(4096, 0x6B);
    Volume->Backing().Read(8192, Expected.data(), 1024);
    EXPECT_EQ(std::vector<uint8_t>(Buffer, Buffer + 4096), Expected);
}

TEST_P(SimVolumeTest, RequestsPastTheEndFailWhole)
{
    char Buffer[1024];
    ULONG_PTR Information;
    uint64_t End = Volume->Length();
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 512, End - 512, false, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 1024, End - 512, false, &Information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Information, 0u);
    EXPECT_EQ(Direct(IRP_MJ_READ, Buffer, 512, End, false, &Information), STATUS_INVALID_PARAMETER);
}

// A disk transfers whole sectors from a buffer that holds the whole request.
TEST_P(SimVolumeTest, TransfersAreWholeSectorsWithinTheirMdl)
{
    struct Case {
        const char *What;
        uint64_t Offset;
        ULONG Length, StackLength;
        NTSTATUS Status;
    };
    const Case Cases[] = {
        {"whole sectors", 1536, 2048, 0, STATUS_SUCCESS},
        {"offset within a sector", 100, 512, 0, STATUS_INVALID_PARAMETER},
        {"length not a sector multiple", 512, 1000, 0, STATUS_INVALID_PARAMETER},
        {"odd offset and length", 3, 777, 0, STATUS_INVALID_PARAMETER},
        {"MDL shorter than the request", 0, 512, 1024, STATUS_INVALID_PARAMETER},
    };
    alignas(16) static char Buffer[4096];
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.What);
        for (UCHAR Major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
            ULONG_PTR Information = 0;
            EXPECT_EQ(Direct(Major, Buffer, C.Length, C.Offset, true, &Information, C.StackLength), C.Status);
            EXPECT_EQ(Information, C.Status == STATUS_SUCCESS ? C.Length : 0u);
        }
    }
}

TEST_P(SimVolumeTest, ManyConcurrentRequestsAllComplete)
{
    Volume->SetLatency(200);
    constexpr int Threads = 8, PerThread = 50;
    std::vector<std::thread> Senders;
    std::atomic<int> Failures{0};
    for (int t = 0; t < Threads; ++t)
        Senders.emplace_back([&, t] {
            std::vector<char> Buffer(4096, char(t));
            for (int i = 0; i < PerThread; ++i) {
                ULONG_PTR Information;
                uint64_t Offset = uint64_t(t) * 65536 + uint64_t(i % 16) * 4096;
                if (host::SendReadWrite(Device, i % 2 ? IRP_MJ_READ : IRP_MJ_WRITE, Buffer.data(), 4096,
                                        Offset, &Information, i % 3 == 0,
                                        SL_FORCE_DIRECT_WRITE) != STATUS_SUCCESS ||
                    Information != 4096)
                    Failures++;
            }
        });
    for (auto &Sender : Senders)
        Sender.join();
    EXPECT_EQ(Failures.load(), 0);
    EXPECT_EQ(Volume->Counters().Reads + Volume->Counters().Writes, uint64_t(Threads * PerThread));
}

INSTANTIATE_TEST_SUITE_P(Completion, SimVolumeTest,
                         ::testing::Values(sim::Completion::Immediate, sim::Completion::Pending),
                         [](const ::testing::TestParamInfo<sim::Completion> &Info) {
                             return Info.param == sim::Completion::Immediate ? "Immediate" : "Pending";
                         });

TEST_F(KernelTest, PendingVolumeReturnsPendingAndCompletesLater)
{
    sim::VolumeConfig Config;
    Config.Letter = L'F';
    Config.Mode = sim::Completion::Pending;
    Config.LatencyMicros = 1000;
    sim::SimVolume *Volume = sim::CreateVolume(Config);
    ASSERT_NE(Volume, nullptr);
    char Buffer[512];
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    PIRP Irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, Volume->Device(), Buffer, 512, &Offset, &Event, &Iosb);
    ASSERT_NE(Irp, nullptr);
    EXPECT_EQ(IoCallDriver(Volume->Device(), Irp), STATUS_PENDING);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Iosb.Information, 512u);
    sim::RemoveVolume(Volume);
    EXPECT_EQ(host::FindDevice(L"\\??\\F:"), nullptr);
    sim::UnloadSimVolumeDriver();
    EXPECT_EQ(sim::SimVolumeDriver(), nullptr);
}
