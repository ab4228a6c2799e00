// Files on mapped drive letters and opens of volumes by their DOS names.
#include "KernelTest.h"

#include <SimVolume.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

class FileTest : public FileDriveTest {
protected:
    NTSTATUS Create(const wchar_t *Path, ULONG Share, ULONG Disposition, ULONG Options, HANDLE *Handle,
                    ULONG_PTR *Information = nullptr,
                    ACCESS_MASK Access = SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA | DELETE)
    {
        UNICODE_STRING Text = Name(Path);
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, &Text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK Iosb = {};
        NTSTATUS Status =
            ZwCreateFile(Handle, Access, &Attributes, &Iosb, nullptr, 0, Share, Disposition,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | Options, nullptr, 0);
        if (Information)
            *Information = Iosb.Information;
        return Status;
    }

    bool Exists(const char *Relative)
    {
        struct stat Info;
        return stat((Directory + "/" + Relative).c_str(), &Info) == 0;
    }
};

constexpr ULONG CacheOptions = FILE_NO_INTERMEDIATE_BUFFERING | FILE_RANDOM_ACCESS | FILE_DELETE_ON_CLOSE;

}  // namespace

TEST_F(FileTest, DispositionsCreateOpenAndRefuseAsThePlatformDoes)
{
    HANDLE Handle;
    ULONG_PTR Information;
    EXPECT_EQ(Create(L"\\??\\S:\\a.bin", 7, FILE_OPEN, 0, &Handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Create(L"\\??\\s:\\a.bin", 7, FILE_OPEN_IF, 0, &Handle, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Information, ULONG_PTR(FILE_CREATED));
    EXPECT_TRUE(Exists("a.bin"));
    ZwClose(Handle);
    ASSERT_EQ(Create(L"\\DosDevices\\S:\\a.bin", 7, FILE_OPEN_IF, 0, &Handle, &Information), STATUS_SUCCESS);
    EXPECT_EQ(Information, ULONG_PTR(FILE_OPENED));
    ZwClose(Handle);
    EXPECT_EQ(Create(L"\\??\\S:\\a.bin", 7, FILE_CREATE, 0, &Handle), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Create(L"\\??\\S:\\missing\\a.bin", 7, FILE_OPEN_IF, 0, &Handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(L"\\??\\Q:\\a.bin", 7, FILE_OPEN_IF, 0, &Handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(host::HostPathOf(L"\\??\\S:\\dir\\x.bin"), Directory + "/dir/x.bin");
}

TEST_F(FileTest, ExclusiveOpenRefusesASecondOpenUntilClosed)
{
    HANDLE First, Second;
    ASSERT_EQ(Create(L"\\??\\S:\\cache.bin", 0, FILE_OPEN_IF, 0, &First), STATUS_SUCCESS);
    EXPECT_EQ(Create(L"\\??\\S:\\cache.bin", 7, FILE_OPEN_IF, 0, &Second), STATUS_SHARING_VIOLATION);
    ZwClose(First);
    ASSERT_EQ(Create(L"\\??\\S:\\cache.bin", 7, FILE_OPEN_IF, 0, &Second), STATUS_SUCCESS);
    // A shared open in turn refuses an exclusive one.
    EXPECT_EQ(Create(L"\\??\\S:\\cache.bin", 0, FILE_OPEN_IF, 0, &First), STATUS_SHARING_VIOLATION);
    ZwClose(Second);
}

TEST_F(FileTest, DeleteOnCloseNeedsDeleteAccess)
{
    HANDLE Handle = nullptr;
    EXPECT_EQ(Create(L"\\??\\S:\\cache.bin", 0, FILE_OPEN_IF, CacheOptions, &Handle, nullptr,
                     SYNCHRONIZE | FILE_READ_DATA | FILE_WRITE_DATA),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Handle, nullptr);
    EXPECT_FALSE(Exists("cache.bin"));
}

TEST_F(FileTest, DeleteOnCloseRemovesTheFileAtTheLastClose)
{
    HANDLE Handle;
    ASSERT_EQ(Create(L"\\??\\S:\\cache.bin", 0, FILE_OPEN_IF, CacheOptions, &Handle), STATUS_SUCCESS);
    PFILE_OBJECT File;
    ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode,
                                        reinterpret_cast<PVOID *>(&File), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(File->DeviceObject, nullptr);  // a plain host directory has no volume device
    ZwClose(Handle);
    EXPECT_TRUE(Exists("cache.bin"));  // the reference still holds the file object
    ObDereferenceObject(File);
    EXPECT_FALSE(Exists("cache.bin"));
}

TEST_F(FileTest, EndOfFileBeyondFreeSpaceFailsWithDiskFull)
{
    host::MapFileDrive({L'T', Directory, 4096, nullptr, 1 << 20});
    HANDLE Handle;
    ASSERT_EQ(Create(L"\\??\\T:\\cache.bin", 0, FILE_OPEN_IF, CacheOptions, &Handle), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION End;
    IO_STATUS_BLOCK Iosb;
    End.EndOfFile.QuadPart = (1 << 20) + 1;
    EXPECT_EQ(ZwSetInformationFile(Handle, &Iosb, &End, sizeof(End), FileEndOfFileInformation),
              STATUS_DISK_FULL);
    End.EndOfFile.QuadPart = 1 << 20;
    EXPECT_EQ(ZwSetInformationFile(Handle, &Iosb, &End, sizeof(End), FileEndOfFileInformation),
              STATUS_SUCCESS);
    struct stat Info;
    ASSERT_EQ(stat((Directory + "/cache.bin").c_str(), &Info), 0);
    EXPECT_EQ(Info.st_size, 1 << 20);
    ZwClose(Handle);
}

// Unbuffered transfers must be whole sectors at sector offsets, from buffers
// that meet the device's alignment requirement.
struct AlignmentCase {
    const char *Name;
    LONGLONG Offset;
    ULONG Length;
    NTSTATUS Expected;
    ULONG BufferShift = 0;  // bytes the buffers lie past a 16-byte boundary
};

void PrintTo(const AlignmentCase &c, std::ostream *os)
{
    *os << c.Name;
}

class UnbufferedTest : public FileTest, public ::testing::WithParamInterface<AlignmentCase> {};

TEST_P(UnbufferedTest, TransfersFollowTheSectorRule)
{
    host::MapFileDrive({L'U', Directory, 4096, nullptr, 0});
    HANDLE Handle;
    ASSERT_EQ(Create(L"\\??\\U:\\cache.bin", 0, FILE_OPEN_IF, CacheOptions, &Handle), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION End;
    IO_STATUS_BLOCK Iosb;
    End.EndOfFile.QuadPart = 64 * 1024;
    ASSERT_EQ(ZwSetInformationFile(Handle, &Iosb, &End, sizeof(End), FileEndOfFileInformation),
              STATUS_SUCCESS);
    const ULONG Shift = GetParam().BufferShift;
    std::vector<unsigned char> DataSpace(GetParam().Length + 32, 0x5A), BackSpace(GetParam().Length + 32);
    auto Aligned = [Shift](std::vector<unsigned char> &Space) {
        uintptr_t At = (reinterpret_cast<uintptr_t>(Space.data()) + 15) & ~uintptr_t(15);
        return reinterpret_cast<unsigned char *>(At + Shift);
    };
    unsigned char *Data = Aligned(DataSpace), *Back = Aligned(BackSpace);
    LARGE_INTEGER Offset;
    Offset.QuadPart = GetParam().Offset;
    Iosb.Information = 777;  // a failing call leaves the status block as it was
    EXPECT_EQ(
        ZwWriteFile(Handle, nullptr, nullptr, nullptr, &Iosb, Data, GetParam().Length, &Offset, nullptr),
        GetParam().Expected);
    EXPECT_EQ(ZwReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Back, GetParam().Length, &Offset, nullptr),
              GetParam().Expected);
    if (NT_SUCCESS(GetParam().Expected)) {
        EXPECT_EQ(Iosb.Information, GetParam().Length);
        EXPECT_EQ(memcmp(Back, Data, GetParam().Length), 0);
    } else {
        EXPECT_EQ(Iosb.Information, 777u);
    }
    ZwClose(Handle);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, UnbufferedTest,
                         ::testing::Values(
                             AlignmentCase{"OnePageAtStart", 0, 4096, STATUS_SUCCESS},
                             AlignmentCase{"TwoPagesAtTwoPages", 8192, 8192, STATUS_SUCCESS},
                             AlignmentCase{"OffsetOfOneSector", 512, 4096, STATUS_INVALID_PARAMETER},
                             AlignmentCase{"LengthOfOneSector", 4096, 512, STATUS_INVALID_PARAMETER},
                             AlignmentCase{"LengthNotSectors", 4096, 6000, STATUS_INVALID_PARAMETER},
                             AlignmentCase{"BufferLongAligned", 0, 4096, STATUS_SUCCESS, 4},
                             AlignmentCase{"BufferWordAligned", 0, 4096, STATUS_INVALID_PARAMETER, 2}),
                         [](const auto &info) { return std::string(info.param.Name); });
// clang-format on

TEST_F(FileTest, InjectedFileFaultsFailLaterTransfers)
{
    HANDLE Handle;
    ASSERT_EQ(Create(L"\\??\\S:\\cache.bin", 0, FILE_OPEN_IF, 0, &Handle), STATUS_SUCCESS);
    char Buffer[512] = {};
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    host::SetFileFaults({1, 0});
    EXPECT_EQ(ZwWriteFile(Handle, nullptr, nullptr, nullptr, &Iosb, Buffer, 512, &Offset, nullptr),
              STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(ZwReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Buffer, 512, &Offset, nullptr),
              STATUS_END_OF_FILE);  // the first read passes (and finds an empty file)
    EXPECT_EQ(ZwReadFile(Handle, nullptr, nullptr, nullptr, &Iosb, Buffer, 512, &Offset, nullptr),
              STATUS_IO_DEVICE_ERROR);
    host::SetFileFaults({});
    EXPECT_EQ(ZwWriteFile(Handle, nullptr, nullptr, nullptr, &Iosb, Buffer, 512, &Offset, nullptr),
              STATUS_SUCCESS);
    ZwClose(Handle);
}

TEST_F(FileTest, VolumeOpensByLetterAndReportsItsPartition)
{
    sim::VolumeConfig Config;
    Config.Letter = L'C';
    Config.Length = 1000000007;
    sim::SimVolume *Volume = sim::CreateVolume(Config);
    ASSERT_NE(Volume, nullptr);
    host::MapFileDrive({L'D', Directory, 512, Volume->Device(), 0});

    UNICODE_STRING Text = Name(L"\\??\\c:");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK Iosb;
    HANDLE Handle;
    ASSERT_EQ(ZwOpenFile(&Handle, SYNCHRONIZE, &Attributes, &Iosb, 7, 0x60), STATUS_SUCCESS);
    PARTITION_INFORMATION Partition;
    memset(&Partition, 0xEE, sizeof(Partition));
    ASSERT_EQ(ZwDeviceIoControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_PARTITION_INFO,
                                    nullptr, 0, &Partition, sizeof(Partition)),
              STATUS_SUCCESS);
    EXPECT_EQ(Iosb.Information, sizeof(PARTITION_INFORMATION));
    EXPECT_EQ(Partition.PartitionLength.QuadPart, 1000000007);
    EXPECT_EQ(ZwDeviceIoControlFile(Handle, nullptr, nullptr, nullptr, &Iosb, IOCTL_DISK_GET_PARTITION_INFO,
                                    nullptr, 0, &Partition, 8),
              STATUS_BUFFER_TOO_SMALL);
    PFILE_OBJECT File;
    ASSERT_EQ(
        ObReferenceObjectByHandle(Handle, 0, nullptr, KernelMode, reinterpret_cast<PVOID *>(&File), nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(File->DeviceObject, Volume->Device());
    EXPECT_EQ(File->DeviceObject->DriverObject, sim::SimVolumeDriver());
    ObDereferenceObject(File);
    ZwClose(Handle);

    Text = Name(L"\\??\\Q:");
    EXPECT_EQ(ZwOpenFile(&Handle, SYNCHRONIZE, &Attributes, &Iosb, 7, 0x60), STATUS_OBJECT_NAME_NOT_FOUND);

    // Files on a letter mapped with a device report that device.
    ASSERT_EQ(Create(L"\\??\\D:\\cache.bin", 0, FILE_OPEN_IF, CacheOptions, &Handle), STATUS_SUCCESS);
    ASSERT_EQ(
        ObReferenceObjectByHandle(Handle, 0, nullptr, KernelMode, reinterpret_cast<PVOID *>(&File), nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(File->DeviceObject, Volume->Device());
    ObDereferenceObject(File);
    ZwClose(Handle);
}
