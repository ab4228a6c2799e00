// Handles as NT keeps them: a table per process and one for kernel handles,
// object types checked on reference, and the bug check for a kernel-mode close
// of a handle the caller does not hold.
#include "KernelTest.h"

#include <sys/stat.h>

#include <cstdlib>

namespace {

class HandleTest : public FileDriveTest {
protected:
    static NTSTATUS Open(const wchar_t *Path, ULONG Attributes, HANDLE *Handle)
    {
        UNICODE_STRING Text = Name(Path);
        OBJECT_ATTRIBUTES Object;
        InitializeObjectAttributes(&Object, &Text, Attributes, nullptr, nullptr);
        IO_STATUS_BLOCK Iosb = {};
        return ZwCreateFile(Handle, SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA, &Object, &Iosb, nullptr,
                            0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    }
};

// What a system thread can do with a handle made in another context.
struct Probe {
    HANDLE Handle;
    NTSTATUS Reference;
    NTSTATUS Close;
};

void ProbeInSystemThread(PVOID Argument)
{
    auto *P = static_cast<Probe *>(Argument);
    PVOID Object = nullptr;
    P->Reference = ObReferenceObjectByHandle(P->Handle, 0, *IoFileObjectType, KernelMode, &Object, nullptr);
    if (NT_SUCCESS(P->Reference)) {
        ObDereferenceObject(Object);
        P->Close = ZwClose(P->Handle);
    }
}

NTSTATUS RunProbe(Probe *P)
{
    HANDLE Thread;
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS Status = PsCreateSystemThread(&Thread, 0, &Attributes, nullptr, nullptr, ProbeInSystemThread, P);
    if (!NT_SUCCESS(Status))
        return Status;
    PVOID Object;
    Status = ObReferenceObjectByHandle(Thread, 0, *PsThreadType, KernelMode, &Object, nullptr);
    ZwClose(Thread);
    if (!NT_SUCCESS(Status))
        return Status;
    KeWaitForSingleObject(Object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Object);
    return STATUS_SUCCESS;
}

}  // namespace

// A handle made without OBJ_KERNEL_HANDLE in the caller's process is that
// process's: a system thread does not see it. A kernel handle is valid there,
// but not for a user-mode reference.
TEST_F(HandleTest, KernelHandlesAreSharedAndProcessHandlesAreNot)
{
    HANDLE Process, Kernel;
    ASSERT_EQ(Open(L"\\??\\S:\\process.dat", OBJ_CASE_INSENSITIVE, &Process), STATUS_SUCCESS);
    EXPECT_EQ(host::UserProcessHandlesCreated(), 1u);
    ASSERT_EQ(Open(L"\\??\\S:\\kernel.dat", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, &Kernel),
              STATUS_SUCCESS);
    EXPECT_EQ(host::UserProcessHandlesCreated(), 1u);
    EXPECT_NE(Process, Kernel);

    Probe InSystem{Process, STATUS_PENDING, STATUS_PENDING};
    ASSERT_EQ(RunProbe(&InSystem), STATUS_SUCCESS);
    EXPECT_EQ(InSystem.Reference, STATUS_INVALID_HANDLE);

    PVOID Object;
    EXPECT_EQ(ObReferenceObjectByHandle(Kernel, 0, *IoFileObjectType, UserMode, &Object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(Process, 0, *IoFileObjectType, UserMode, &Object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(Object);

    Probe Shared{Kernel, STATUS_PENDING, STATUS_PENDING};
    ASSERT_EQ(RunProbe(&Shared), STATUS_SUCCESS);
    EXPECT_EQ(Shared.Reference, STATUS_SUCCESS);
    EXPECT_EQ(Shared.Close, STATUS_SUCCESS);  // closed there, for every process
    EXPECT_EQ(ZwClose(Process), STATUS_SUCCESS);
}

TEST_F(HandleTest, ReferenceChecksTheObjectType)
{
    HANDLE File;
    ASSERT_EQ(Open(L"\\??\\S:\\typed.dat", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, &File), STATUS_SUCCESS);
    PVOID Object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(File, 0, *PsThreadType, KernelMode, &Object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(Object, nullptr);
    ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, &Object, nullptr),
              STATUS_SUCCESS);
    long Held = host::ObjectReferences(Object);
    EXPECT_EQ(ZwClose(File), STATUS_SUCCESS);
    EXPECT_EQ(host::ObjectReferences(Object), Held - 1);
    ObDereferenceObject(Object);
}

TEST(HandleDeathTest, KernelModeCloseOfAnInvalidHandleStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::KernelBoot();
    EXPECT_DEATH(
        {
            char Template[] = "/tmp/hostkernel-handles-XXXXXX";
            if (!mkdtemp(Template))
                abort();
            host::MapFileDrive({L'S', Template, 512, nullptr, 0});
            UNICODE_STRING Text = Name(L"\\??\\S:\\twice.dat");
            OBJECT_ATTRIBUTES Object;
            InitializeObjectAttributes(&Object, &Text, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            IO_STATUS_BLOCK Iosb = {};
            HANDLE Handle;
            ZwCreateFile(&Handle, SYNCHRONIZE | FILE_READ_DATA, &Object, &Iosb, nullptr, 0, 0, FILE_OPEN_IF,
                         FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
            ZwClose(Handle);
            ZwClose(Handle);
        },
        "INVALID_KERNEL_HANDLE");
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(uintptr_t(0x1234))), "INVALID_KERNEL_HANDLE");
    EXPECT_TRUE(host::KernelShutdown());
}
