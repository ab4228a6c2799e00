// The control device: its status table for every code and buffer size, the
// start request's rules, and who may open it.
#include <cstring>
#include <functional>

#include "SpiedDriverTest.h"

namespace testbed {
namespace {

constexpr ULONG kUnknownCode = 0x222010;

struct RawReply {
    NTSTATUS Returned;
    NTSTATUS Status;
    ULONG_PTR Information;
};

NTSTATUS NTAPI StopAtCaller(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    *static_cast<bool *>(Context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one METHOD_BUFFERED request to the control device with the system
// buffer and the two lengths exactly as given.
RawReply SendRaw(ULONG Code, std::vector<uint8_t> &SystemBuffer, ULONG InputLength, ULONG OutputLength)
{
    bool completed = false;
    PIRP irp = IoAllocateIrp(DriverGlobals.ControlDevice->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = SystemBuffer.empty() ? nullptr : SystemBuffer.data();
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = Code;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    stack->CompletionRoutine = StopAtCaller;
    stack->Context = &completed;
    stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    RawReply reply;
    reply.Returned = IofCallDriver(DriverGlobals.ControlDevice, irp);
    EXPECT_TRUE(completed) << "the control request was not completed by its handler";
    reply.Status = irp->IoStatus.Status;
    reply.Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return reply;
}

std::vector<uint8_t> RequestBytes(WCHAR Letter, bool Start, size_t Size,
                                  const StartSettings &Settings = StartSettings())
{
    CacheControlRequest request = CacheTestBed::BuildRequest(Letter, Start, Settings);
    std::vector<uint8_t> bytes(Size, 0xEE);  // bytes past the request are garbage
    memcpy(bytes.data(), &request, Size < sizeof(request) ? Size : sizeof(request));
    return bytes;
}

std::vector<uint8_t> LetterInput(ULONG Value, size_t Size)
{
    std::vector<uint8_t> bytes(Size, 0xAB);
    memcpy(bytes.data(), &Value, sizeof(Value) < Size ? sizeof(Value) : Size);
    return bytes;
}

class ControlDeviceTest : public SpiedDriverTest {
protected:
    void SetUp() override
    {
        SpiedDriverTest::SetUp();
        Bed().AddVolume(L'c', 8 * MiB);
    }
};

struct StatusCase {
    const char *Name;
    bool StartedBefore;  // volume c started before the request
    ULONG Code;
    std::function<std::vector<uint8_t>()> Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    NTSTATUS Status;
    ULONG_PTR Information;
    bool StartedAfter;
    // Checks the system buffer afterwards (null: nothing to check).
    std::function<void(const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After)> Check;
};

void Untouched(const std::vector<uint8_t> &Before, const std::vector<uint8_t> &After)
{
    EXPECT_EQ(Before, After) << "the buffer was written";
}

TEST_F(ControlDeviceTest, StatusTable)
{
    const ULONG req = sizeof(CacheControlRequest);
    const ULONG stats = sizeof(CacheStatistics);
    // clang-format off
    const StatusCase cases[] = {
        {"start, 559-byte input", false, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'c', true, 559); }, 559, 0, STATUS_BUFFER_TOO_SMALL, 0, false, Untouched},
        {"start, 560-byte input", false, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'c', true, 560); }, req, 0, STATUS_SUCCESS, 0, true, nullptr},
        {"start, longer input served from its first 560 bytes", false, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'c', true, 700); }, 700, 0, STATUS_SUCCESS, 0, true, nullptr},
        {"start C while c is started", true, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'C', true, 560); }, req, 0, STATUS_UNSUCCESSFUL, 0, true, nullptr},
        {"stop C while c is started", true, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'C', false, 560); }, req, 0, STATUS_SUCCESS, 0, false, nullptr},
        {"stop a volume that is not started", false, IOCTL_CACHE_CONTROL_VOLUME,
         [] { return RequestBytes(L'c', false, 560); }, req, 0, STATUS_UNSUCCESSFUL, 0, false, nullptr},
        {"statistics, 3-byte input", true, IOCTL_CACHE_QUERY_STATISTICS,
         [] { return LetterInput(L'c', 120); }, 3, stats, STATUS_BUFFER_TOO_SMALL, 0, true, Untouched},
        {"statistics, 119-byte output", true, IOCTL_CACHE_QUERY_STATISTICS,
         [] { return LetterInput(L'c', 120); }, 4, 119, STATUS_BUFFER_TOO_SMALL, 0, true, Untouched},
        {"statistics, upper 16 bits of the input ignored", true, IOCTL_CACHE_QUERY_STATISTICS,
         [] { return LetterInput(0xABCD0000u | L'C', 120); }, 4, stats, STATUS_SUCCESS, stats, true,
         [](const std::vector<uint8_t> &, const std::vector<uint8_t> &After) {
             CacheStatistics s;
             memcpy(&s, After.data(), sizeof(s));
             EXPECT_EQ(s.CacheBlockSize, 64 * KiB);
             EXPECT_EQ(s.MemorySize, 16ull * MiB);
             EXPECT_EQ(s.ReadRequests, 0u);
         }},
        {"statistics of a volume that is not started", false, IOCTL_CACHE_QUERY_STATISTICS,
         [] { return LetterInput(L'c', 120); }, 4, stats, STATUS_UNSUCCESSFUL, 0, false, Untouched},
        {"version, 3-byte output", false, IOCTL_CACHE_QUERY_VERSION,
         [] { return std::vector<uint8_t>(4, 0xAB); }, 0, 3, STATUS_BUFFER_TOO_SMALL, 0, false, Untouched},
        {"version, input not examined", false, IOCTL_CACHE_QUERY_VERSION,
         [] { return std::vector<uint8_t>(64, 0xAB); }, 64, 4, STATUS_SUCCESS, 4, false,
         [](const std::vector<uint8_t> &, const std::vector<uint8_t> &After) {
             EXPECT_EQ(std::vector<uint8_t>(After.begin(), After.begin() + 4),
                       (std::vector<uint8_t>{0x25, 0x03, 0x11, 0x20}));
         }},
        {"unknown code", true, kUnknownCode, [] { return std::vector<uint8_t>(16, 0xAB); }, 16, 16,
         STATUS_SUCCESS, 0, true, Untouched},
    };
    // clang-format on

    for (const StatusCase &c : cases) {
        SCOPED_TRACE(c.Name);
        if (c.StartedBefore) {
            ASSERT_EQ(Bed().StartCache(L'c'), STATUS_SUCCESS);
        }
        std::vector<uint8_t> before = c.Buffer();
        std::vector<uint8_t> buffer = before;
        RawReply reply = SendRaw(c.Code, buffer, c.InputLength, c.OutputLength);
        EXPECT_EQ(reply.Status, c.Status);
        EXPECT_EQ(reply.Returned, c.Status) << "returned status differs from the completed one";
        EXPECT_EQ(reply.Information, c.Information);
        if (c.Check)
            c.Check(before, buffer);
        EXPECT_EQ(Bed().Stats(L'c').has_value(), c.StartedAfter);
        if (Bed().Stats(L'c')) {
            ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
        }
    }
}

struct RuleCase {
    const char *Name;
    std::function<void(StartSettings &)> Change;
    NTSTATUS Status;
    uint64_t MemorySize;  // as the statistics show it on success
    uint64_t SsdSize;
    uint64_t SsdMaxSize;
    // Applied to the request after the client built it (null: none).
    std::function<void(CacheControlRequest &)> Tweak;
};

// The start request's five rules at their boundaries, the further refusals
// of a tier without any slot, and the sizes the platform cannot serve.
TEST_F(ControlDeviceTest, StartRules)
{
    const uint64_t half = 512ull * MiB;
    // clang-format off
    const RuleCase cases[] = {
        {"allocation block 0", [](StartSettings &s) { s.AllocateBlockSize = 0; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"allocation block 3", [](StartSettings &s) { s.AllocateBlockSize = 3; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"allocation block 0x3000", [](StartSettings &s) { s.AllocateBlockSize = 0x3000; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"cache block 0", [](StartSettings &s) { s.CacheBlockSize = 0; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"cache block 0x18000", [](StartSettings &s) { s.CacheBlockSize = 0x18000; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"memory one byte short of the allocation block",
         [](StartSettings &s) { s.AllocateBlockSize = 16 * MiB; s.MemorySize = 16 * MiB - 1; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"memory one byte short of two allocation blocks",
         [](StartSettings &s) { s.AllocateBlockSize = 16 * MiB; s.MemorySize = 32 * MiB - 1; },
         STATUS_SUCCESS, 16 * MiB, 0, 0, nullptr},
        {"SSD one byte short of 512 MiB",
         [&](StartSettings &s) { s = StartSettings::WithSsd(half - 1); }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"SSD one byte short of 1.5 GiB",
         [&](StartSettings &s) { s = StartSettings::WithSsd(3 * half - 1); }, STATUS_SUCCESS, 16 * MiB,
         2 * half, 0, nullptr},
        {"no SSD: its sizes are not examined and are kept as sent", [](StartSettings &) {},
         STATUS_SUCCESS, 16 * MiB, half - 1, 5,
         [&](CacheControlRequest &r) { r.SsdSize = half - 1; r.SsdMaxSize = 5; r.SsdAutoGrow = 1; }},
        {"auto-grow, maximum equal to size",
         [&](StartSettings &s) { s = StartSettings::WithSsd(2 * half); s.SsdAutoGrow = true; s.SsdMaxSize = 2 * half; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"auto-grow, maximum above size",
         [&](StartSettings &s) { s = StartSettings::WithSsd(2 * half); s.SsdAutoGrow = true; s.SsdMaxSize = 3 * half; },
         STATUS_SUCCESS, 16 * MiB, 2 * half, 3 * half, nullptr},
        {"auto-grow, maximum rounding down to size",
         [&](StartSettings &s) { s = StartSettings::WithSsd(2 * half); s.SsdAutoGrow = true; s.SsdMaxSize = 1503238553ull; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"SSD without auto-grow keeps the maximum as sent",
         [&](StartSettings &s) { s = StartSettings::WithSsd(half); s.SsdMaxSize = 12345; },
         STATUS_SUCCESS, 16 * MiB, half, 12345, nullptr},
        {"memory tier below one cache block",
         [](StartSettings &s) { s.MemorySize = 64 * KiB; s.AllocateBlockSize = 64 * KiB; s.CacheBlockSize = 128 * KiB; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"memory tier of 2^32 blocks",
         [](StartSettings &s) { s.MemorySize = 2048 * GiB; s.AllocateBlockSize = 1 * MiB; s.CacheBlockSize = 512; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        // A volume fails transfers that are not whole sectors, and page
        // allocation reports whole pages.
        {"cache block below a sector",
         [](StartSettings &s) { s.CacheBlockSize = 256; }, STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"cache block of one sector",
         [](StartSettings &s) { s.CacheBlockSize = 512; }, STATUS_SUCCESS, 16 * MiB, 0, 0, nullptr},
        {"allocation block below a page",
         [](StartSettings &s) { s.AllocateBlockSize = PAGE_SIZE / 2; s.CacheBlockSize = 512; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
        {"allocation block of one page",
         [](StartSettings &s) { s.AllocateBlockSize = PAGE_SIZE; s.MemorySize = 64 * PAGE_SIZE; s.CacheBlockSize = 512; },
         STATUS_SUCCESS, 64 * PAGE_SIZE, 0, 0, nullptr},
        {"SSD tier below one cache block",
         [&](StartSettings &s) { s = StartSettings::WithSsd(half); s.MemorySize = 2 * GiB; s.CacheBlockSize = 1u << 30; },
         STATUS_UNSUCCESSFUL, 0, 0, 0, nullptr},
    };
    // clang-format on

    const size_t baseline = host::PoolLiveAllocations(CACHE_POOL_TAG);
    for (const RuleCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const size_t pageRequests = host::PhysicalRequests().size();
        StartSettings settings;
        c.Change(settings);
        CacheControlRequest request = CacheTestBed::BuildRequest(L'c', true, settings);
        if (c.Tweak)
            c.Tweak(request);
        ASSERT_EQ(Bed().Control(request), c.Status);
        std::optional<CacheStatistics> stats = Bed().Stats(L'c');
        if (c.Status != STATUS_SUCCESS) {
            EXPECT_FALSE(stats.has_value());
            EXPECT_EQ(host::PhysicalRequests().size(), pageRequests) << "a refused start asked for pages";
            EXPECT_EQ(host::PoolLiveAllocations(CACHE_POOL_TAG), baseline) << "a refused start left memory";
            EXPECT_FALSE(CacheTestBed::FileExists(Bed().HostCachePath("cache-c.dat")));
            continue;
        }
        ASSERT_TRUE(stats.has_value());
        EXPECT_EQ(stats->MemorySize, c.MemorySize);
        EXPECT_EQ(stats->SsdSize, c.SsdSize);
        EXPECT_EQ(stats->SsdMaxSize, c.SsdMaxSize);
        EXPECT_EQ(stats->SsdEnabled, request.SsdEnabled);
        EXPECT_EQ(stats->SsdAutoGrow, request.SsdAutoGrow);
        EXPECT_EQ(stats->AllocateBlockSize, settings.AllocateBlockSize);
        EXPECT_EQ(stats->CacheBlockSize, settings.CacheBlockSize);
        EXPECT_EQ(stats->SsdBlocksUsed, 0u);
        EXPECT_EQ(stats->MemoryBlocksUsed, 0u);
        ASSERT_EQ(Bed().StopCache(L'c'), STATUS_SUCCESS);
    }
}

TEST_F(ControlDeviceTest, CacheFilePathWithoutTerminatorIsRefused)
{
    StartSettings settings = StartSettings::WithSsd();
    std::vector<uint8_t> buffer = RequestBytes(L'c', true, sizeof(CacheControlRequest), settings);
    CacheControlRequest request;
    memcpy(&request, buffer.data(), sizeof(request));
    for (WCHAR &unit : request.CacheFilePath)
        unit = L'x';
    memcpy(buffer.data(), &request, sizeof(request));
    RawReply reply = SendRaw(IOCTL_CACHE_CONTROL_VOLUME, buffer, sizeof(request), 0);
    EXPECT_EQ(reply.Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(Bed().Stats(L'c').has_value());

    // The same request with a NUL in the last code unit is a valid path.
    request.CacheFilePath[CACHE_FILE_PATH_CHARS - 1] = 0;
    memcpy(buffer.data(), &request, sizeof(request));
    reply = SendRaw(IOCTL_CACHE_CONTROL_VOLUME, buffer, sizeof(request), 0);
    EXPECT_NE(reply.Status, STATUS_INVALID_PARAMETER);
}

TEST_F(ControlDeviceTest, OpensAreExclusiveAndForAdministratorsOnly)
{
    PFILE_OBJECT first = nullptr;
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(host::UserOpenDevice(L"\\??\\Tessiro8", false, &second), STATUS_ACCESS_DENIED);

    ASSERT_EQ(host::UserOpenDevice(L"\\??\\Tessiro8", true, &first), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(host::UserOpenDevice(L"\\??\\Tessiro8", true, &second)));
    ULONG version = 0;
    EXPECT_FALSE(NT_SUCCESS(Bed().QueryVersion(&version))) << "the client's open must fail meanwhile";
    host::UserCloseDevice(first);

    ASSERT_EQ(Bed().QueryVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(version, CACHE_DRIVER_VERSION);
}

// A thread that impersonates a client opens with the client's rights, not
// with its process's.
TEST_F(ControlDeviceTest, TheImpersonatedClientsTokenDecides)
{
    struct Case {
        bool ProcessAdmin, ClientAdmin;
        NTSTATUS Status;
    };
    for (const Case &c : {Case{true, false, STATUS_ACCESS_DENIED}, Case{false, true, STATUS_SUCCESS}}) {
        SCOPED_TRACE(c.ProcessAdmin ? "administrator's process, user client"
                                    : "user process, administrator client");
        PFILE_OBJECT file = nullptr;
        host::UserImpersonate(c.ClientAdmin);
        EXPECT_EQ(host::UserOpenDevice(L"\\??\\Tessiro8", c.ProcessAdmin, &file), c.Status);
        host::UserRevertToSelf();
        host::UserCloseDevice(file);
    }
}

// The device has no namespace. The system hands an open of a name below the
// device to its driver, which refuses it: an exclusive device must, since
// exclusivity and the device's security are the system's only for the device
// itself.
TEST_F(ControlDeviceTest, NamesBelowTheDeviceAreRefused)
{
    for (const wchar_t *name : {L"\\??\\Tessiro8\\foo", L"\\Device\\Tessiro8\\", L"\\??\\Tessiro8\\a\\b"}) {
        SCOPED_TRACE(host::Utf8(name));
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(host::UserOpenDevice(name, true, &file), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(file, nullptr);
        ULONG version = 0;
        EXPECT_EQ(Bed().QueryVersion(&version), STATUS_SUCCESS) << "a refused open holds nothing";
    }
}

// Without a security context (an I/O manager that passes none) the opener
// cannot be checked and is admitted; close always succeeds.
TEST_F(ControlDeviceTest, CreateWithoutSecurityContextAndCloseSucceed)
{
    for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
        bool completed = false;
        PIRP irp = IoAllocateIrp(DriverGlobals.ControlDevice->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->CompletionRoutine = StopAtCaller;
        stack->Context = &completed;
        stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        EXPECT_EQ(IofCallDriver(DriverGlobals.ControlDevice, irp), STATUS_SUCCESS);
        EXPECT_TRUE(completed);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        IoFreeIrp(irp);
    }
}

TEST_F(ControlDeviceTest, ReadAndWriteOnTheControlDeviceAreNotSupported)
{
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(host::UserOpenDevice(L"\\??\\Tessiro8", true, &file), STATUS_SUCCESS);
    for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
        std::vector<uint8_t> buffer(512, 0x5A);
        ULONG_PTR information = 99;
        EXPECT_EQ(host::UserReadWrite(file, major, buffer.data(), 512, 0, &information),
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(buffer, std::vector<uint8_t>(512, 0x5A));
    }
    host::UserCloseDevice(file);
}

}  // namespace
}  // namespace testbed
