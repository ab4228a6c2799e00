// IRPs: stack locations, calling drivers, completion routines, pending
// propagation, and the requests that IoBuildSynchronousFsdRequest builds.
#include "KernelTest.h"

#include <thread>

namespace {

// A two-driver stack: "Upper" passes requests down to "Lower" with a
// completion routine; Lower completes at once or pends and completes later
// from another thread.
struct StackState {
    PDEVICE_OBJECT Upper = nullptr, Lower = nullptr;
    bool LowerPends = false;
    NTSTATUS LowerStatus = STATUS_SUCCESS;
    bool StopCompletion = false;
    std::vector<std::string> Events;
    BOOLEAN PendingSeenByRoutine = FALSE;
    PDEVICE_OBJECT RoutineDevice = nullptr;
    std::thread Completer;
    UCHAR LowerFlags = 0;
    PVOID LowerBuffer = nullptr;
    // Lower returns STATUS_PENDING without marking the request pending,
    // having completed it at once (1) or completing it later (2).
    int LowerForgetsMark = 0;
} S;

NTSTATUS UpperCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    S.Events.push_back(static_cast<const char *>(Context));
    S.PendingSeenByRoutine = Irp->PendingReturned;
    S.RoutineDevice = Device;
    // The rule of a routine that does not stop completion.
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    return S.StopCompletion ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS UpperDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    S.Events.push_back("upper");
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UpperCompletion, (PVOID) "routine", TRUE, TRUE, TRUE);
    return IoCallDriver(S.Lower, Irp);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    EXPECT_EQ(Stack->DeviceObject, Device);
    S.LowerFlags = Stack->Flags;
    S.LowerBuffer =
        Irp->MdlAddress ? MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority) : nullptr;
    S.Events.push_back("lower");
    Irp->IoStatus.Status = S.LowerStatus;
    Irp->IoStatus.Information = NT_SUCCESS(S.LowerStatus) ? Stack->Parameters.Read.Length : 0;
    if (S.LowerForgetsMark == 1) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    if (!S.LowerPends && !S.LowerForgetsMark) {
        NTSTATUS Status = S.LowerStatus;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    if (!S.LowerForgetsMark)
        IoMarkIrpPending(Irp);
    S.Completer = std::thread([Irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        IoCompleteRequest(Irp, IO_DISK_INCREMENT);
    });
    return STATUS_PENDING;
}

NTSTATUS StackEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    UNICODE_STRING UpperName = Name(L"\\Device\\Upper"), LowerName = Name(L"\\Device\\Lower");
    NTSTATUS Status = IoCreateDevice(Driver, 0, &LowerName, FILE_DEVICE_DISK, 0, FALSE, &S.Lower);
    if (NT_SUCCESS(Status))
        Status = IoCreateDevice(Driver, 0, &UpperName, FILE_DEVICE_DISK, 0, FALSE, &S.Upper);
    if (!NT_SUCCESS(Status))
        return Status;
    S.Lower->Flags |= DO_DIRECT_IO;
    S.Upper->Flags |= DO_DIRECT_IO;
    S.Upper->StackSize = 2;
    // Both devices belong to this driver; the major function is chosen by device.
    Driver->MajorFunction[IRP_MJ_READ] = [](PDEVICE_OBJECT Device, PIRP Irp) {
        return Device == S.Upper ? UpperDispatch(Device, Irp) : LowerDispatch(Device, Irp);
    };
    Driver->MajorFunction[IRP_MJ_WRITE] = Driver->MajorFunction[IRP_MJ_READ];
    Driver->DriverUnload = [](PDRIVER_OBJECT D) {
        while (D->DeviceObject)
            IoDeleteDevice(D->DeviceObject);
    };
    return STATUS_SUCCESS;
}

class IrpTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        S.Events.clear();
        S.LowerPends = false;
        S.LowerStatus = STATUS_SUCCESS;
        S.StopCompletion = false;
        S.PendingSeenByRoutine = FALSE;
        S.LowerForgetsMark = 0;
        Driver = host::LoadDriver(L"Stack", StackEntry);
        ASSERT_NE(Driver, nullptr);
    }
    void TearDown() override
    {
        if (S.Completer.joinable())
            S.Completer.join();
        EXPECT_TRUE(host::UnloadDriver(Driver));
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT Driver = nullptr;
};

}  // namespace

TEST_F(IrpTest, StackLocationsFollowTheIrpAndStartPastTheLast)
{
    PIRP Irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(Irp, nullptr);
    auto *First = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    EXPECT_EQ(Irp->StackCount, 3);
    EXPECT_EQ(Irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp), First + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(Irp), First + 2);
    IoSetNextIrpStackLocation(Irp);
    EXPECT_EQ(Irp->CurrentLocation, 3);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp), First + 2);
    IoFreeIrp(Irp);
}

// Each case: does the lower driver pend, and with which status does it end.
struct CompletionCase {
    const char *Name;
    bool Pends;
    NTSTATUS Status;
};

void PrintTo(const CompletionCase &c, std::ostream *os)
{
    *os << c.Name;
}

class SynchronousRequestTest : public IrpTest, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(SynchronousRequestTest, CompletesThroughRoutinesToTheCallersEventAndStatusBlock)
{
    S.LowerPends = GetParam().Pends;
    S.LowerStatus = GetParam().Status;
    char Buffer[1000];
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb = {};
    Iosb.Information = 12345;
    LARGE_INTEGER Offset;
    Offset.QuadPart = 4096;
    PIRP Irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, S.Upper, Buffer, sizeof(Buffer), &Offset, &Event, &Iosb);
    ASSERT_NE(Irp, nullptr);
    // The build fills the next location, with an MDL over the system buffer.
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    EXPECT_EQ(Next->MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(Next->Parameters.Read.Length, sizeof(Buffer));
    EXPECT_EQ(Next->Parameters.Read.ByteOffset.QuadPart, 4096);
    ASSERT_NE(Irp->MdlAddress, nullptr);
    EXPECT_NE(Irp->MdlAddress->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    EXPECT_EQ(Irp->MdlAddress->MappedSystemVa, Buffer);
    EXPECT_EQ(Irp->CurrentLocation, 3);

    NTSTATUS Status = IoCallDriver(S.Upper, Irp);
    // A request that fails without being pended gets neither its status
    // block nor its event: the caller has the status IoCallDriver returned.
    const bool Reported = GetParam().Pends || !NT_ERROR(GetParam().Status);
    if (GetParam().Pends) {
        EXPECT_EQ(Status, STATUS_PENDING);
        EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
        EXPECT_TRUE(S.PendingSeenByRoutine);
    } else {
        EXPECT_EQ(Status, GetParam().Status);
        EXPECT_EQ(KeReadStateEvent(&Event), Reported ? 1 : 0);
        EXPECT_FALSE(S.PendingSeenByRoutine);
    }
    if (Reported) {
        EXPECT_EQ(Iosb.Status, GetParam().Status);
        EXPECT_EQ(Iosb.Information, NT_SUCCESS(GetParam().Status) ? sizeof(Buffer) : 0u);
    } else {
        EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(Iosb.Information, 12345u);
    }
    EXPECT_EQ(S.LowerBuffer, Buffer);
    EXPECT_EQ(S.RoutineDevice, S.Upper);
    EXPECT_EQ(S.Events, (std::vector<std::string>{"upper", "lower", "routine"}));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Modes, SynchronousRequestTest,
                         ::testing::Values(
                             CompletionCase{"SucceedsAtOnce", false, STATUS_SUCCESS},
                             CompletionCase{"SucceedsPended", true, STATUS_SUCCESS},
                             CompletionCase{"FailsAtOnce", false, STATUS_IO_DEVICE_ERROR},
                             CompletionCase{"FailsPended", true, STATUS_IO_DEVICE_ERROR},
                             CompletionCase{"OverflowsAtOnce", false, STATUS_BUFFER_OVERFLOW}),
                         [](const auto &info) { return std::string(info.param.Name); });
// clang-format on

// A dispatch routine that returns STATUS_PENDING must have marked the request
// pending: otherwise a failure is never reported to its waiter. The check
// holds whether the request completes before the routine returns or after.
class PendingMarkDeathTest : public IrpTest {};

TEST_F(PendingMarkDeathTest, PendingWithoutMarkStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int Mode : {1, 2}) {
        SCOPED_TRACE(Mode == 1 ? "completed before returning" : "completed later");
        EXPECT_DEATH(
            {
                S.LowerForgetsMark = Mode;
                S.LowerStatus = STATUS_IO_DEVICE_ERROR;
                char Buffer[512];
                KEVENT Event;
                KeInitializeEvent(&Event, NotificationEvent, FALSE);
                IO_STATUS_BLOCK Iosb = {};
                PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, S.Lower, Buffer, sizeof(Buffer), nullptr,
                                                        &Event, &Iosb);
                if (IoCallDriver(S.Lower, Irp) == STATUS_PENDING)
                    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
            },
            "without marking it pending");
    }
}

TEST_F(IrpTest, MoreProcessingRequiredHandsTheIrpBackToTheRoutine)
{
    S.StopCompletion = true;
    PIRP Irp = IoAllocateIrp(S.Upper->StackSize + 1, FALSE);
    ASSERT_NE(Irp, nullptr);
    // Our own location above the device's, as a filter sending a request would.
    IoSetCompletionRoutine(Irp, UpperCompletion, (PVOID) "top", TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_WRITE;
    Next->Parameters.Write.Length = 0;
    EXPECT_EQ(IoCallDriver(S.Upper, Irp), STATUS_SUCCESS);
    // The upper routine stopped completion: the top routine never ran.
    EXPECT_EQ(S.Events, (std::vector<std::string>{"upper", "lower", "routine"}));
    IoFreeIrp(Irp);
}

TEST_F(IrpTest, CallingADriverDirectlyWithTheNextLocationMadeCurrent)
{
    // What a driver does to bypass a dispatch table entry: make the built
    // location current itself and call the routine.
    S.LowerPends = true;
    char Buffer[512];
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    PIRP Irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, S.Lower, Buffer, sizeof(Buffer), &Offset, &Event, &Iosb);
    ASSERT_NE(Irp, nullptr);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    Stack->Flags |= SL_FORCE_DIRECT_WRITE;
    Stack->DeviceObject = S.Lower;
    ASSERT_EQ(Driver->MajorFunction[IRP_MJ_WRITE](S.Lower, Irp), STATUS_PENDING);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Iosb.Information, sizeof(Buffer));
    EXPECT_EQ(S.LowerFlags, SL_FORCE_DIRECT_WRITE);
}

TEST_F(IrpTest, UnmappedMdlIsMappedOnDemandAndMappingFailureIsInjectable)
{
    char Buffer[8192];
    ULONG_PTR Information;
    ASSERT_EQ(host::SendReadWrite(S.Lower, IRP_MJ_READ, Buffer + 100, 5000, 0, &Information, false),
              STATUS_SUCCESS);
    EXPECT_EQ(S.LowerBuffer, Buffer + 100);
    // One mapping left: the sender maps the buffer, the driver finds it
    // mapped and needs no other; the next driver mapping fails.
    host::MdlMapFailAfter(1);
    ASSERT_EQ(host::SendReadWrite(S.Lower, IRP_MJ_READ, Buffer, 100, 0, &Information, true), STATUS_SUCCESS);
    EXPECT_EQ(S.LowerBuffer, Buffer);
    ASSERT_EQ(host::SendReadWrite(S.Lower, IRP_MJ_READ, Buffer, 100, 0, &Information, false), STATUS_SUCCESS);
    EXPECT_EQ(S.LowerBuffer, nullptr);
    host::MdlMapFailAfter(-1);
    // A run of failing mappings ends: the next one fails, the one after maps.
    host::MdlMapFailNext(1);
    ASSERT_EQ(host::SendReadWrite(S.Lower, IRP_MJ_READ, Buffer, 100, 0, &Information, false), STATUS_SUCCESS);
    EXPECT_EQ(S.LowerBuffer, nullptr);
    ASSERT_EQ(host::SendReadWrite(S.Lower, IRP_MJ_READ, Buffer, 100, 0, &Information, false), STATUS_SUCCESS);
    EXPECT_EQ(S.LowerBuffer, Buffer);
}

// The requests IoBuildSynchronousFsdRequest builds need pool for the IRP and
// its MDL; when the pool is exhausted the build returns null.
TEST_F(IrpTest, BuildingARequestCanFailForLackOfPool)
{
    char Buffer[512];
    KEVENT Event;
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    host::BuildRequestFailAfter(1);
    PIRP Irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, S.Lower, Buffer, sizeof(Buffer), &Offset, &Event, &Iosb);
    ASSERT_NE(Irp, nullptr);
    EXPECT_EQ(
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, S.Lower, Buffer, sizeof(Buffer), &Offset, &Event, &Iosb),
        nullptr);
    host::BuildRequestFailAfter(-1);
    ASSERT_EQ(IoCallDriver(S.Lower, Irp), STATUS_SUCCESS);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(Iosb.Status, STATUS_SUCCESS);
}

TEST(IrpDeathTest, CompletingTwiceOrWithPendingStopsTheSystem)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    host::KernelBoot();
    EXPECT_DEATH(
        {
            PIRP Irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(Irp);
            Irp->IoStatus.Status = STATUS_PENDING;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        },
        "completed with STATUS_PENDING");
    EXPECT_DEATH(
        {
            PIRP Irp = IoAllocateIrp(1, FALSE);
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        },
        "MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_TRUE(host::KernelShutdown());
}
