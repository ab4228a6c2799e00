// Control requests from any administrator's program: the fuzz data chooses a
// short sequence of device control requests (the code, the two lengths, the
// bytes) that are sent to the cache driver's control device in the host
// kernel, on a handle that an administrator opened for the input.
//
// Every reply is checked against the control protocol: the status each code
// and buffer size allows, Information within the output length, nothing
// written past the output length, and the statistics of a volume that a start
// left cached. Afterwards every started volume is stopped, the driver is
// unloaded, and no pool, physical page, thread or cache file may be left.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver/Driver.h"
#include "host/kernel/include/HostKernel.h"
#include "host/voldrv/SimVolume.h"

#include "FuzzInput.h"

namespace {

using fuzz::FuzzInput;

const wchar_t kControlDeviceName[] = L"\\??\\Tessiro8";
constexpr WCHAR kCacheLetter = L'S';
constexpr size_t kMaxRequests = 8;

// Volumes of the simulated machine: c of 4 MiB, e of an odd length.
struct VolumeShape {
    WCHAR Letter;
    uint64_t Length;
};
const VolumeShape kVolumes[] = {{L'c', 4ull << 20}, {L'e', (1ull << 20) + 512}};

// Control codes the fuzz data picks from: the three codes, their neighbours
// (other functions, other transfer methods, other access bits), and a few
// values of no meaning. One more choice takes a raw 32-bit code.
const ULONG kCodes[] = {
    IOCTL_CACHE_CONTROL_VOLUME,
    IOCTL_CACHE_QUERY_STATISTICS,
    IOCTL_CACHE_QUERY_VERSION,
    IOCTL_CACHE_CONTROL_VOLUME,
    IOCTL_CACHE_QUERY_STATISTICS,
    IOCTL_CACHE_QUERY_VERSION,
    0x222000u,
    0x222010u,
    0x222005u,
    0x222006u,
    0x222007u,
    0x22200Bu,
    0x226004u,
    0x22A008u,
    0x002004u,
    0u,
};
// Buffer lengths around the protocol's limits.
const ULONG kLengths[] = {0, 1, 3, 4, 5, 119, 120, 121, 559, 560, 561, 700, 1024, 4096};
// Drive letters: cached-able volumes in both cases, a letter without a
// volume, the cache files' letter, a digit.
const WCHAR kLetters[] = {L'c', L'C', L'e', L'E', L'd', L'S', L'1', L'z'};

std::string CacheDirectory;
size_t BaselineThreads = 0;
PFILE_OBJECT ControlHandle = nullptr;  // the input's administrator's handle

WCHAR Fold(WCHAR Letter)
{
    return Letter >= L'A' && Letter <= L'Z' ? WCHAR(Letter + 0x20) : Letter;
}

bool IsPowerOfTwo(ULONG Value)
{
    return Value != 0 && (Value & (Value - 1)) == 0;
}

// The driver's view of what is cached, kept by the harness from the replies.
struct Model {
    bool Started[65536] = {};
    std::vector<WCHAR> StartedLetters;

    bool IsStarted(WCHAR Letter) const { return Started[Fold(Letter)]; }
    void Start(WCHAR Letter)
    {
        Started[Fold(Letter)] = true;
        StartedLetters.push_back(Fold(Letter));
    }
    void Stop(WCHAR Letter)
    {
        Started[Fold(Letter)] = false;
        for (size_t i = 0; i < StartedLetters.size(); ++i)
            if (StartedLetters[i] == Fold(Letter)) {
                StartedLetters.erase(StartedLetters.begin() + long(i));
                break;
            }
    }
};

struct Reply {
    NTSTATUS Status = 0;
    ULONG_PTR Information = 0;
    std::vector<uint8_t> Output;  // what the caller got back
    bool Untouched = true;        // raw transport: the system buffer is as it was sent
};

NTSTATUS NTAPI StopAtCaller(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    *static_cast<bool *>(Context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::string Hex(uint64_t Value)
{
    char text[32];
    snprintf(text, sizeof text, "0x%llx", (unsigned long long)Value);
    return text;
}

// Sends one request on the input's handle. Raw: the IRP is built
// here with a system buffer of exactly max(in, out) bytes whose bytes past
// the output length are then compared; otherwise the host kernel's user-mode
// device control call carries it and the caller's output buffer has exactly
// the output length.
Reply Send(ULONG Code, const std::vector<uint8_t> &Input, ULONG OutputLength, bool Raw)
{
    PFILE_OBJECT file = ControlHandle;
    Reply reply;
    const ULONG inputLength = ULONG(Input.size());
    if (!Raw) {
        // An exact-size heap block, so that a copy past it is caught.
        uint8_t *out = OutputLength ? new uint8_t[OutputLength] : nullptr;
        if (out)
            memset(out, 0xA5, OutputLength);
        reply.Status = host::UserDeviceIoControl(file, Code, Input.empty() ? nullptr : Input.data(),
                                                 inputLength, out, OutputLength, &reply.Information);
        if (out)
            reply.Output.assign(out, out + OutputLength);
        delete[] out;
    } else {
        const ULONG size = inputLength > OutputLength ? inputLength : OutputLength;
        uint8_t *system = size ? static_cast<uint8_t *>(malloc(size)) : nullptr;
        for (ULONG i = 0; i < size; ++i)
            system[i] = i < inputLength ? Input[i] : uint8_t(0x5A ^ i);
        std::vector<uint8_t> before(system, system + size);

        bool completed = false;
        PDEVICE_OBJECT device = file->DeviceObject;
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->AssociatedIrp.SystemBuffer = system;
        irp->Flags |= IRP_BUFFERED_IO;
        irp->RequestorMode = UserMode;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->FileObject = file;
        stack->Parameters.DeviceIoControl.IoControlCode = Code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
        stack->CompletionRoutine = StopAtCaller;
        stack->Context = &completed;
        stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        NTSTATUS returned = IofCallDriver(device, irp);
        FUZZ_CHECK(completed, "the handler completes every control request");
        reply.Status = irp->IoStatus.Status;
        reply.Information = irp->IoStatus.Information;
        FUZZ_CHECK(returned == reply.Status,
                   "returned " + Hex(ULONG(returned)) + ", completed with " + Hex(ULONG(reply.Status)));
        for (ULONG i = OutputLength; i < size; ++i)
            FUZZ_CHECK(system[i] == before[i], "system buffer byte " + std::to_string(i) +
                                                   " written past the output length " +
                                                   std::to_string(OutputLength));
        reply.Untouched = size == 0 || memcmp(system, before.data(), size) == 0;
        reply.Output.assign(system, system + (OutputLength < size ? OutputLength : size));
        IoFreeIrp(irp);
        free(system);
    }
    FUZZ_CHECK(reply.Information <= OutputLength, "Information " + std::to_string(reply.Information) +
                                                      " beyond the output length " +
                                                      std::to_string(OutputLength));
    return reply;
}

std::vector<uint8_t> RequestBytes(const CacheControlRequest &Request)
{
    std::vector<uint8_t> bytes(sizeof Request);
    memcpy(bytes.data(), &Request, sizeof Request);
    return bytes;
}

CacheControlRequest StopRequest(WCHAR Letter)
{
    CacheControlRequest request;
    memset(&request, 0, sizeof request);
    request.DriveLetter = Letter;
    return request;
}

void SetPath(CacheControlRequest *Request, const std::u16string &Path)
{
    size_t n = Path.size() < CACHE_FILE_PATH_CHARS ? Path.size() : CACHE_FILE_PATH_CHARS;
    for (size_t i = 0; i < n; ++i)
        Request->CacheFilePath[i] = WCHAR(Path[i]);
}

uint64_t SizeOf(FuzzInput &In)
{
    uint8_t shape = In.Byte();
    if (shape & 0x80)
        return In.U64();
    return uint64_t(In.U16()) << (shape % 48);
}

ULONG BlockSizeOf(FuzzInput &In)
{
    uint8_t shape = In.Byte();
    if (shape & 0x80)
        return In.U32();
    return 1u << (shape % 32);
}

ULONG LengthOf(FuzzInput &In)
{
    uint8_t shape = In.Byte();
    if (shape & 0x80)
        return In.U16() % 8192;
    return kLengths[shape % (sizeof kLengths / sizeof kLengths[0])];
}

WCHAR LetterOf(FuzzInput &In)
{
    uint8_t shape = In.Byte();
    if (shape >= 0xF0)
        return WCHAR(In.U16());
    return kLetters[shape % (sizeof kLetters / sizeof kLetters[0])];
}

// A start or stop request from named fields, so that the fuzzer reaches the
// start's later checks and its successes.
CacheControlRequest FieldRequest(FuzzInput &In)
{
    CacheControlRequest request;
    memset(&request, 0, sizeof request);
    request.DriveLetter = LetterOf(In);
    uint8_t flags = In.Byte();
    request.SsdEnabled = (flags & 0x40) ? In.Byte() : (flags & 1);
    request.SsdAutoGrow = (flags & 0x20) ? In.Byte() : ((flags >> 1) & 1);
    request.Start = (flags & 0x10) ? In.U16() : ((flags >> 2) & 1);
    std::u16string letter(1, char16_t(request.DriveLetter));
    switch (In.Byte() % 7) {
    case 0:
        SetPath(&request, u"\\??\\S:\\cache-" + letter + u".dat");
        break;
    case 1:
        SetPath(&request, std::u16string(CACHE_FILE_PATH_CHARS, u'A'));
        break;  // no NUL
    case 2:
        SetPath(&request, u"\\??\\C:\\cache.dat");
        break;  // on a cached-able volume
    case 3:
        SetPath(&request, u"\\??\\Q:\\cache.dat");
        break;  // no such drive
    case 4:
        break;  // empty
    case 5:
        SetPath(&request, u"\\??\\S:\\" + std::u16string(CACHE_FILE_PATH_CHARS - 8, u'x'));
        break;
    default: {
        size_t n = In.Byte() % (CACHE_FILE_PATH_CHARS + 1);
        In.Bytes(request.CacheFilePath, n * sizeof(WCHAR));
        break;
    }
    }
    request.MemorySize = SizeOf(In);
    request.SsdSize = SizeOf(In);
    request.SsdMaxSize = SizeOf(In);
    request.AllocateBlockSize = BlockSizeOf(In);
    request.CacheBlockSize = BlockSizeOf(In);
    return request;
}

// Whether a start request breaks one of the protocol's five rules, which the
// driver must answer with STATUS_UNSUCCESSFUL.
bool BreaksStartRules(const CacheControlRequest &Request)
{
    if (!IsPowerOfTwo(Request.AllocateBlockSize) || !IsPowerOfTwo(Request.CacheBlockSize))
        return true;
    if ((Request.MemorySize & ~uint64_t(Request.AllocateBlockSize - 1)) == 0)
        return true;
    if (!Request.SsdEnabled)
        return false;
    uint64_t ssd = Request.SsdSize & ~(CACHE_SSD_SIZE_UNIT - 1);
    if (ssd == 0)
        return true;
    if (!Request.SsdAutoGrow)
        return false;
    uint64_t max = Request.SsdMaxSize & ~(CACHE_SSD_SIZE_UNIT - 1);
    return max == 0 || ssd >= max;
}

// The statistics of a volume just started hold its configuration as the
// rules made it, and no counts yet.
void CheckStartedStatistics(const CacheControlRequest &Request)
{
    ULONG letter = Request.DriveLetter;
    std::vector<uint8_t> input(sizeof letter);
    memcpy(input.data(), &letter, sizeof letter);
    Reply reply = Send(IOCTL_CACHE_QUERY_STATISTICS, input, sizeof(CacheStatistics), false);
    FUZZ_CHECK(reply.Status == STATUS_SUCCESS, "statistics of a started volume: " + Hex(ULONG(reply.Status)));
    FUZZ_CHECK(reply.Information == sizeof(CacheStatistics), "statistics size");
    CacheStatistics s;
    memcpy(&s, reply.Output.data(), sizeof s);
    const uint64_t unit = CACHE_SSD_SIZE_UNIT;
    FUZZ_CHECK(s.ReadRequests == 0 && s.ReadBytes == 0 && s.VolumeReads == 0 && s.VolumeReadBytes == 0 &&
                   s.SsdHits == 0 && s.SsdHitBytes == 0 && s.MemoryHits == 0 && s.MemoryHitBytes == 0 &&
                   s.MemoryBlocksUsed == 0 && s.SsdBlocksUsed == 0,
               "a fresh volume counts nothing");
    FUZZ_CHECK(s.AllocateBlockSize == Request.AllocateBlockSize, "AllocateBlockSize");
    FUZZ_CHECK(s.CacheBlockSize == Request.CacheBlockSize, "CacheBlockSize");
    FUZZ_CHECK(s.MemorySize == (Request.MemorySize & ~uint64_t(Request.AllocateBlockSize - 1)),
               "MemorySize rounded to the allocation block");
    FUZZ_CHECK(s.SsdEnabled == Request.SsdEnabled && s.SsdAutoGrow == Request.SsdAutoGrow, "flags");
    FUZZ_CHECK(s.SsdSize == (Request.SsdEnabled ? Request.SsdSize & ~(unit - 1) : Request.SsdSize),
               "SsdSize");
    FUZZ_CHECK(s.SsdMaxSize == (Request.SsdEnabled && Request.SsdAutoGrow ? Request.SsdMaxSize & ~(unit - 1)
                                                                          : Request.SsdMaxSize),
               "SsdMaxSize");
    FUZZ_CHECK(s.Reserved1 == 0 && s.Reserved2 == 0 && s.Reserved3 == 0, "reserved fields are zero");
    FUZZ_CHECK(s.VolumeSizeGB == 0, "the volumes are smaller than 1 GiB");
}

void CheckReply(ULONG Code, const std::vector<uint8_t> &Input, ULONG OutputLength, const Reply &R,
                Model &State)
{
    const ULONG inputLength = ULONG(Input.size());
    const std::string what = "code " + Hex(Code) + " in " + std::to_string(inputLength) + " out " +
                             std::to_string(OutputLength) + ": status " + Hex(ULONG(R.Status));
    // Only a successful query writes the buffer.
    if (!(NT_SUCCESS(R.Status) &&
          (Code == IOCTL_CACHE_QUERY_STATISTICS || Code == IOCTL_CACHE_QUERY_VERSION)))
        FUZZ_CHECK(R.Untouched, what + ": the buffer was written");
    switch (Code) {
    case IOCTL_CACHE_CONTROL_VOLUME: {
        FUZZ_CHECK(R.Information == 0, what);
        if (inputLength < sizeof(CacheControlRequest)) {
            FUZZ_CHECK(R.Status == STATUS_BUFFER_TOO_SMALL, what);
            return;
        }
        CacheControlRequest request;
        memcpy(&request, Input.data(), sizeof request);
        if (State.IsStarted(request.DriveLetter)) {
            FUZZ_CHECK(R.Status == (request.Start ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS), what);
            if (!request.Start)
                State.Stop(request.DriveLetter);
            return;
        }
        if (!request.Start) {
            FUZZ_CHECK(R.Status == STATUS_UNSUCCESSFUL, what);
            return;
        }
        if (BreaksStartRules(request)) {
            FUZZ_CHECK(R.Status == STATUS_UNSUCCESSFUL, what + " (a start that breaks the rules)");
            return;
        }
        // Otherwise the start's own status: success, or the failure of a
        // check of its own or of a system call.
        FUZZ_CHECK(R.Status == STATUS_SUCCESS || NT_ERROR(R.Status), what);
        if (R.Status == STATUS_SUCCESS) {
            State.Start(request.DriveLetter);
            CheckStartedStatistics(request);
        }
        return;
    }
    case IOCTL_CACHE_QUERY_STATISTICS: {
        if (inputLength < 4 || OutputLength < sizeof(CacheStatistics)) {
            FUZZ_CHECK(R.Status == STATUS_BUFFER_TOO_SMALL && R.Information == 0, what);
            return;
        }
        ULONG value;
        memcpy(&value, Input.data(), sizeof value);
        if (State.IsStarted(WCHAR(value & 0xFFFF))) {
            FUZZ_CHECK(R.Status == STATUS_SUCCESS && R.Information == sizeof(CacheStatistics), what);
        } else {
            FUZZ_CHECK(R.Status == STATUS_UNSUCCESSFUL && R.Information == 0, what);
        }
        return;
    }
    case IOCTL_CACHE_QUERY_VERSION: {
        if (OutputLength < 4) {
            FUZZ_CHECK(R.Status == STATUS_BUFFER_TOO_SMALL && R.Information == 0, what);
            return;
        }
        FUZZ_CHECK(R.Status == STATUS_SUCCESS && R.Information == 4, what);
        const uint8_t version[4] = {0x25, 0x03, 0x11, 0x20};
        FUZZ_CHECK(R.Output.size() >= 4 && memcmp(R.Output.data(), version, 4) == 0, "version bytes");
        return;
    }
    default:
        FUZZ_CHECK(R.Status == STATUS_SUCCESS && R.Information == 0, what + " (an unknown code)");
        return;
    }
}

void OneRequest(FuzzInput &In, Model &State)
{
    uint8_t choice = In.Byte();
    ULONG code = choice >= 0xF0 ? In.U32() : kCodes[choice % (sizeof kCodes / sizeof kCodes[0])];
    uint8_t flags = In.Byte();
    bool raw = flags & 1;
    ULONG inputLength = LengthOf(In);
    ULONG outputLength = LengthOf(In);
    std::vector<uint8_t> input(inputLength, 0xEE);
    switch ((flags >> 1) & 3) {
    case 0:  // the bytes as they come
        In.Bytes(input.data(), inputLength);
        break;
    case 1: {  // a start or stop request
        std::vector<uint8_t> request = RequestBytes(FieldRequest(In));
        std::copy_n(request.begin(), std::min<size_t>(inputLength, request.size()), input.begin());
        break;
    }
    case 2: {  // a letter in the low 16 bits
        ULONG value = ULONG(LetterOf(In)) | (ULONG(In.U16()) << 16);
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&value);
        std::copy_n(bytes, std::min<size_t>(inputLength, sizeof value), input.begin());
        break;
    }
    default:
        break;
    }
    Reply reply = Send(code, input, outputLength, raw);
    static const bool trace = getenv("TESSIRO_FUZZ_TRACE") != nullptr;
    if (trace)
        fprintf(stderr, "code %s in %u out %u%s: status %s information %lu\n", Hex(code).c_str(), inputLength,
                outputLength, raw ? " (raw)" : "", Hex(ULONG(reply.Status)).c_str(),
                (unsigned long)reply.Information);
    CheckReply(code, input, outputLength, reply, State);
}

size_t FilesIn(const std::string &Directory)
{
    size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(Directory, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

// At exit, the machine is taken down as a test bed's teardown does, so that
// the kernel's caches are released before the leak check runs.
void ShutDownMachine()
{
    for (const VolumeShape &shape : kVolumes)
        if (sim::SimVolume *volume = sim::FindVolume(shape.Letter))
            sim::RemoveVolume(volume);
    sim::UnloadSimVolumeDriver();
    host::UnmapFileDrive(kCacheLetter);
    host::KernelShutdown();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    host::KernelConfig config;
    config.ManualTick = true;
    config.DelayScale = 0;  // a stop's one-second drain takes no time
    // A small machine: a start that asks for more memory than it has gets
    // fewer pages or none, as the platform gives them.
    config.PhysicalMemory = {{0x100000, 96ull << 20}};
    host::KernelBoot(config);
    // No block of the driver's is larger than its 4 MiB transfer buffer on
    // this machine; larger requests fail as on a machine short of pool, and
    // the fuzzer does not spend its time filling fresh pool.
    host::PoolFailSizeAtLeast(CACHE_POOL_TAG, CACHE_TRANSFER_BUFFER_SIZE + 1);
    sim::LoadSimVolumeDriver();
    for (const VolumeShape &shape : kVolumes) {
        sim::VolumeConfig volume;
        volume.Letter = shape.Letter;
        volume.Length = shape.Length;
        sim::CreateVolume(volume);
    }
    CacheDirectory = fuzz::MakeScratchDirectory("tessiro8-fuzz");
    host::FileDrive drive;
    drive.Letter = kCacheLetter;
    drive.HostDirectory = CacheDirectory;
    drive.FreeBytes = 4ull << 30;
    host::MapFileDrive(drive);
    BaselineThreads = host::RunningSystemThreadCount();
    atexit(ShutDownMachine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = host::LoadDriver(L"Tessiro8", DriverEntry, &status);
    FUZZ_CHECK(driver != nullptr, "the cache driver loads: " + Hex(ULONG(status)));

    status = host::UserOpenDevice(kControlDeviceName, true, &ControlHandle);
    FUZZ_CHECK(NT_SUCCESS(status), "an administrator's open of the control device: " + Hex(ULONG(status)));

    static Model *State = new Model;
    FuzzInput in(Data, Size);
    for (size_t i = 0; i < kMaxRequests && !in.Empty(); ++i)
        OneRequest(in, *State);

    // Stop every volume the requests left cached; then nothing is cached.
    std::vector<WCHAR> started = State->StartedLetters;
    for (WCHAR letter : started) {
        Reply reply = Send(IOCTL_CACHE_CONTROL_VOLUME, RequestBytes(StopRequest(letter)), 0, false);
        FUZZ_CHECK(reply.Status == STATUS_SUCCESS, "stop of a started volume: " + Hex(ULONG(reply.Status)));
        State->Stop(letter);
    }
    for (WCHAR letter : kLetters) {
        ULONG value = letter;
        std::vector<uint8_t> input(sizeof value);
        memcpy(input.data(), &value, sizeof value);
        Reply reply = Send(IOCTL_CACHE_QUERY_STATISTICS, input, sizeof(CacheStatistics), false);
        FUZZ_CHECK(reply.Status == STATUS_UNSUCCESSFUL, "nothing is cached after the stops");
    }
    FUZZ_CHECK(FilesIn(CacheDirectory) == 0, "every cache file is deleted with its volume's stop");
    host::UserCloseDevice(ControlHandle);
    ControlHandle = nullptr;

    FUZZ_CHECK(host::UnloadDriver(driver, {CACHE_POOL_TAG}), "the driver unloads and leaves no pool");
    FUZZ_CHECK(host::PoolLiveAllocations(CACHE_POOL_TAG) == 0, "no 'LTAH' allocation is left");
    FUZZ_CHECK(host::PhysicalBytesInUse() == 0, "no physical page is held");
    // A thread's object is signalled a moment before the thread is gone.
    for (int i = 0; i < 200000 && host::RunningSystemThreadCount() != BaselineThreads; ++i)
        std::this_thread::yield();
    for (int i = 0; i < 2000 && host::RunningSystemThreadCount() != BaselineThreads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    FUZZ_CHECK(host::RunningSystemThreadCount() == BaselineThreads, "no worker thread is left");
    return 0;
}
