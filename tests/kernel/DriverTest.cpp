// Driver objects, devices, the namespace with its symbolic links, exclusive
// devices and the leak checks of UnloadDriver.
#include "KernelTest.h"

namespace {

PDEVICE_OBJECT Created[4];
int CreateCount;
int CloseCount;
int CleanupCount;
bool LastCreateWasAdmin;
void *LeakedBlock;

NTSTATUS CountingCreate(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ++CreateCount;
    LastCreateWasAdmin = SeTokenIsAdmin(SeQuerySubjectContextToken(
        &Stack->Parameters.Create.SecurityContext->AccessState->SubjectSecurityContext));
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CountingClose(PDEVICE_OBJECT, PIRP Irp)
{
    ++(IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CLOSE ? CloseCount : CleanupCount);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void DeleteAll(PDRIVER_OBJECT Driver)
{
    UNICODE_STRING Link = Name(L"\\DosDevices\\TestLink");
    IoDeleteSymbolicLink(&Link);
    while (Driver->DeviceObject)
        IoDeleteDevice(Driver->DeviceObject);
}

void FreeLeak(PDRIVER_OBJECT Driver)
{
    DeleteAll(Driver);
    if (LeakedBlock)
        ExFreePoolWithTag(LeakedBlock, TestTag);
    LeakedBlock = nullptr;
}

NTSTATUS TestEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    UNICODE_STRING Device = Name(L"\\Device\\TestDevice");
    UNICODE_STRING Link = Name(L"\\DosDevices\\TestLink");
    NTSTATUS Status = IoCreateDevice(Driver, 16, &Device, FILE_DEVICE_UNKNOWN, 0, TRUE, &Created[0]);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = IoCreateSymbolicLink(&Link, &Device);
    if (!NT_SUCCESS(Status)) {
        IoDeleteDevice(Created[0]);
        return Status;
    }
    Driver->MajorFunction[IRP_MJ_CREATE] = CountingCreate;
    Driver->MajorFunction[IRP_MJ_CLOSE] = CountingClose;
    Driver->MajorFunction[IRP_MJ_CLEANUP] = CountingClose;
    Driver->DriverUnload = DeleteAll;
    return STATUS_SUCCESS;
}

class DriverTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        CreateCount = CloseCount = CleanupCount = 0;
        Driver = host::LoadDriver(L"Test", TestEntry);
        ASSERT_NE(Driver, nullptr);
    }
    PDRIVER_OBJECT Driver = nullptr;
};

}  // namespace

TEST_F(DriverTest, LoadFillsTheTableWithTheInvalidRequestRoutine)
{
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(Driver->DriverName.Buffer),
                             Driver->DriverName.Length / 2),
              u"\\Driver\\Test");
    EXPECT_EQ(Driver->DeviceObject, Created[0]);
    EXPECT_EQ(Created[0]->DriverObject, Driver);
    EXPECT_EQ(Created[0]->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(Created[0]->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_NE(Created[0]->DeviceExtension, nullptr);
    ULONG_PTR Information = 1;
    char Buffer[16];
    EXPECT_EQ(host::SendReadWrite(Created[0], IRP_MJ_READ, Buffer, sizeof(Buffer), 0, &Information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Information, 0u);
    EXPECT_TRUE(host::UnloadDriver(Driver));
}

TEST_F(DriverTest, NamesResolveThroughLinksWithoutRegardToCase)
{
    EXPECT_EQ(host::FindDevice(L"\\Device\\TestDevice"), Created[0]);
    EXPECT_EQ(host::FindDevice(L"\\device\\testdevice"), Created[0]);
    EXPECT_EQ(host::FindDevice(L"\\??\\TestLink"), Created[0]);
    EXPECT_EQ(host::FindDevice(L"\\DosDevices\\TESTLINK"), Created[0]);
    EXPECT_EQ(host::FindDevice(L"\\??\\Other"), nullptr);
    // A second device or link of the same name is refused.
    UNICODE_STRING Device = Name(L"\\Device\\TESTDEVICE"), Link = Name(L"\\??\\testlink");
    PDEVICE_OBJECT Second;
    EXPECT_EQ(IoCreateDevice(Driver, 0, &Device, FILE_DEVICE_UNKNOWN, 0, FALSE, &Second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&Link, &Device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&Link), STATUS_SUCCESS);
    EXPECT_EQ(host::FindDevice(L"\\??\\TestLink"), nullptr);
    EXPECT_EQ(IoDeleteSymbolicLink(&Link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(host::UnloadDriver(Driver));
}

TEST_F(DriverTest, ExclusiveDeviceAdmitsOneOpenAtATime)
{
    PFILE_OBJECT First, Second;
    ASSERT_EQ(host::UserOpenDevice(L"\\??\\TestLink", false, &First), STATUS_SUCCESS);
    EXPECT_EQ(First->DeviceObject, Created[0]);
    EXPECT_FALSE(LastCreateWasAdmin);
    EXPECT_EQ(host::UserOpenDevice(L"\\Device\\TestDevice", true, &Second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(CreateCount, 1);  // the refused open never reached the driver
    host::UserCloseDevice(First);
    EXPECT_EQ(CleanupCount, 1);
    EXPECT_EQ(CloseCount, 1);
    ASSERT_EQ(host::UserOpenDevice(L"\\Device\\TestDevice", true, &Second), STATUS_SUCCESS);
    EXPECT_TRUE(LastCreateWasAdmin);
    host::UserCloseDevice(Second);
    EXPECT_EQ(host::UserOpenDevice(L"\\??\\Nothing", true, &Second), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(host::UnloadDriver(Driver));
}

TEST_F(DriverTest, UnloadReportsLivePoolOfTheDriversTags)
{
    LeakedBlock = ExAllocatePoolWithTag(NonPagedPool, 40, TestTag);
    Driver->DriverUnload = DeleteAll;  // forgets the block
    EXPECT_FALSE(host::UnloadDriver(Driver, {TestTag}));
    ExFreePoolWithTag(LeakedBlock, TestTag);
    LeakedBlock = nullptr;
}

TEST_F(DriverTest, UnloadWithoutTagsOrLeaksSucceeds)
{
    LeakedBlock = ExAllocatePoolWithTag(NonPagedPool, 40, TestTag);
    Driver->DriverUnload = FreeLeak;
    EXPECT_TRUE(host::UnloadDriver(Driver, {TestTag}));
}

TEST_F(DriverTest, UnloadReportsDevicesLeftBehind)
{
    Driver->DriverUnload = [](PDRIVER_OBJECT) {};
    EXPECT_FALSE(host::UnloadDriver(Driver));
    // The shutdown deletes what the driver left and then reports clean pool.
}

TEST_F(DriverTest, FailedEntryLeavesNoDriver)
{
    NTSTATUS Status = STATUS_SUCCESS;
    // The same names again: the device collides, so the entry fails.
    EXPECT_EQ(host::LoadDriver(L"Again", TestEntry, &Status), nullptr);
    EXPECT_EQ(Status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(host::UnloadDriver(Driver));
}
