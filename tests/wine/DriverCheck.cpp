// Loads the real Tessiro8.sys as a kernel service and checks its control
// device from user mode, as far as Wine can run the driver:
//
//   tessiro8_driver_check.exe <path of Tessiro8.sys>
//
// The driver file is copied into the system directory's Drivers folder and
// installed as the demand-start kernel service "Tessiro8Check", started,
// probed through \\.\Tessiro8 with raw DeviceIoControl and with the panel's
// own client calls, then stopped and removed again.
//
// Wine's kernel lacks the physical page mapping calls the memory tier needs
// (MmAllocateMappingAddress) and does not make the control device exclusive,
// so the checks stop short of a volume start that could succeed and of a
// second open while the device is held.
#include <windows.h>
#include <winioctl.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "CheckLog.h"
#include "panel/DriverClient.h"
#include "shared/CacheProtocol.h"

namespace {

const WCHAR kServiceName[] = L"Tessiro8Check";
const DWORD kUnknownCode = 0x222010;  // function 0x804: no such request

struct IoResult {
    bool Ok;
    DWORD Error;
    DWORD Returned;
};

HANDLE OpenDevice()
{
    return CreateFileW(CACHE_WIN32_DEVICE, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// One request on a handle of its own, as the panel sends them.
IoResult Control(DWORD code, const void *input, DWORD inputLength, void *output, DWORD outputLength)
{
    IoResult result = {false, 0, 0};
    HANDLE device = OpenDevice();
    if (device == INVALID_HANDLE_VALUE) {
        result.Error = GetLastError();
        return result;
    }
    SetLastError(0);
    result.Ok = DeviceIoControl(device, code, const_cast<void *>(input), inputLength, output, outputLength,
                                &result.Returned, nullptr) != FALSE;
    result.Error = result.Ok ? 0 : GetLastError();
    CloseHandle(device);
    return result;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD *finalState)
{
    SERVICE_STATUS status = {};
    for (int i = 0; i < 100; ++i) {
        if (!QueryServiceStatus(service, &status)) {
            break;
        }
        if (status.dwCurrentState == wanted) {
            *finalState = wanted;
            return true;
        }
        Sleep(100);
    }
    *finalState = status.dwCurrentState;
    return false;
}

// ---------------------------------------------------------------- installation

SC_HANDLE InstallAndStart(const WCHAR *sourcePath, SC_HANDLE manager)
{
    WCHAR target[MAX_PATH];
    GetSystemDirectoryW(target, MAX_PATH);
    lstrcatW(target, L"\\Drivers\\Tessiro8.sys");
    if (!CheckF(CopyFileW(sourcePath, target, FALSE) != FALSE, "driver file copied to system32\\drivers",
                "CopyFileW error %lu", GetLastError())) {
        return nullptr;
    }
    SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       target, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
    }
    if (!CheckF(service != nullptr, "kernel driver service created", "error %lu", GetLastError())) {
        return nullptr;
    }
    BOOL started = StartServiceW(service, 0, nullptr);
    DWORD startError = started ? 0 : GetLastError();
    DWORD state = 0;
    bool running = started && WaitForState(service, SERVICE_RUNNING, &state);
    CheckF(running, "driver loads and its service runs", "StartServiceW error %lu, state %lu", startError,
           state);
    if (!running) {
        DeleteService(service);
        CloseServiceHandle(service);
        return nullptr;
    }
    return service;
}

void StopAndRemove(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    BOOL stopping = ControlService(service, SERVICE_CONTROL_STOP, &status);
    DWORD state = 0;
    bool stopped = stopping && WaitForState(service, SERVICE_STOPPED, &state);
    CheckF(stopped, "driver unloads (service stops)", "ControlService %d, state %lu", stopping, state);
    Check(DeleteService(service) != FALSE, "service removed");
    CloseServiceHandle(service);
    if (stopped) {
        HANDLE device = OpenDevice();
        bool gone = device == INVALID_HANDLE_VALUE;
        if (!gone) {
            CloseHandle(device);
        }
        Check(gone, "control device is gone after unload");
        Check(QueryDriverVersion() == DRIVER_NOT_RUNNING, "QueryDriverVersion without driver is 0xFFFFFFFF");
    }
}

// ---------------------------------------------------------------- requests

void CheckVersion()
{
    HANDLE device = OpenDevice();
    if (!CheckF(device != INVALID_HANDLE_VALUE, "control device \\\\.\\Tessiro8 opens", "error %lu",
                GetLastError())) {
        return;
    }
    CloseHandle(device);

    unsigned char reply[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    IoResult r = Control(IOCTL_CACHE_QUERY_VERSION, nullptr, 0, reply, 4);
    CheckF(r.Ok && r.Returned == 4 && reply[0] == 0x25 && reply[1] == 0x03 && reply[2] == 0x11 &&
               reply[3] == 0x20,
           "version query returns the bytes 25 03 11 20", "ok %d, %lu bytes: %02x %02x %02x %02x, error %lu",
           r.Ok, r.Returned, reply[0], reply[1], reply[2], reply[3], r.Error);

    r = Control(IOCTL_CACHE_QUERY_VERSION, nullptr, 0, reply, 3);
    CheckF(!r.Ok && r.Error == ERROR_INSUFFICIENT_BUFFER,
           "version query with a 3-byte output is refused as too small", "ok %d, error %lu", r.Ok, r.Error);

    Check(QueryDriverVersion() == CACHE_DRIVER_VERSION, "QueryDriverVersion returns 0x20110325");
}

void CheckBufferSizes()
{
    // A request one byte short of CacheControlRequest: STATUS_BUFFER_TOO_SMALL,
    // which user mode sees as ERROR_INSUFFICIENT_BUFFER.
    std::vector<unsigned char> request(600, 0);
    CacheControlRequest *start = (CacheControlRequest *)request.data();
    start->DriveLetter = L'C';
    start->Start = 1;
    start->AllocateBlockSize = 3;  // breaks a rule, so nothing is started
    start->CacheBlockSize = 0x10000;
    start->MemorySize = 0x4000000;
    IoResult r = Control(IOCTL_CACHE_CONTROL_VOLUME, request.data(), 559, nullptr, 0);
    CheckF(!r.Ok && r.Error == ERROR_INSUFFICIENT_BUFFER,
           "559-byte control request fails with ERROR_INSUFFICIENT_BUFFER", "ok %d, error %lu", r.Ok,
           r.Error);

    // A longer one is read from its first 560 bytes: the rule check answers.
    r = Control(IOCTL_CACHE_CONTROL_VOLUME, request.data(), 600, nullptr, 0);
    CheckF(!r.Ok && r.Error == ERROR_GEN_FAILURE,
           "600-byte control request is examined (rule refusal, not size)", "ok %d, error %lu", r.Ok,
           r.Error);

    ULONG letter = L'C';
    CacheStatistics statistics;
    memset(&statistics, 0x5A, sizeof(statistics));
    r = Control(IOCTL_CACHE_QUERY_STATISTICS, &letter, sizeof(letter), &statistics, sizeof(statistics) - 1);
    CheckF(!r.Ok && r.Error == ERROR_INSUFFICIENT_BUFFER,
           "statistics query with a 119-byte output is too small", "ok %d, error %lu", r.Ok, r.Error);
    r = Control(IOCTL_CACHE_QUERY_STATISTICS, &letter, 3, &statistics, sizeof(statistics));
    CheckF(!r.Ok && r.Error == ERROR_INSUFFICIENT_BUFFER, "statistics query with a 3-byte input is too small",
           "ok %d, error %lu", r.Ok, r.Error);
}

void CheckUnknownVolumes()
{
    CacheStatistics statistics;
    memset(&statistics, 0x5A, sizeof(statistics));
    // Letters that are not cached, in both cases and with noise in the upper
    // half of the input, which the driver ignores.
    const ULONG letters[] = {L'C', L'c', L'Q', 0x12340000u | L'Q'};
    for (ULONG letter : letters) {
        IoResult r =
            Control(IOCTL_CACHE_QUERY_STATISTICS, &letter, sizeof(letter), &statistics, sizeof(statistics));
        char what[96];
        wsprintfA(what, "statistics query of uncached letter input 0x%08lx fails", letter);
        CheckF(!r.Ok && r.Error == ERROR_GEN_FAILURE && r.Returned == 0, what, "ok %d, error %lu, %lu bytes",
               r.Ok, r.Error, r.Returned);
    }
    CacheStatistics untouched;
    memset(&untouched, 0x5A, sizeof(untouched));
    Check(memcmp(&statistics, &untouched, sizeof(statistics)) == 0,
          "a failed statistics query copies nothing");
    Check(!QueryVolumeStatistics(L'C', &statistics),
          "QueryVolumeStatistics of a volume that is not cached is false");

    // Stopping a volume that is not started.
    CacheControlRequest stop = {};
    stop.DriveLetter = L'C';
    IoResult r = Control(IOCTL_CACHE_CONTROL_VOLUME, &stop, sizeof(stop), nullptr, 0);
    CheckF(!r.Ok && r.Error == ERROR_GEN_FAILURE, "stop of a volume that is not started fails",
           "ok %d, error %lu", r.Ok, r.Error);

    // A start with valid sizes for a letter that names no volume: the open of
    // the volume fails and passes its own status up.
    CacheControlRequest start = {};
    start.DriveLetter = L'Q';
    start.Start = 1;
    start.MemorySize = 0x2000000;
    start.AllocateBlockSize = 0x1000000;
    start.CacheBlockSize = 0x10000;
    r = Control(IOCTL_CACHE_CONTROL_VOLUME, &start, sizeof(start), nullptr, 0);
    CheckF(!r.Ok && r.Error != ERROR_INSUFFICIENT_BUFFER, "start for a letter that names no volume fails",
           "ok %d, error %lu", r.Ok, r.Error);
    if (!r.Ok) {
        Note("start of Q: failed with Win32 error %lu", r.Error);
    }
    Check(!SendControlRequest(start), "SendControlRequest start of Q: is false");
}

struct RuleCase {
    const char *What;
    ULONGLONG MemorySize;
    ULONG AllocateBlockSize;
    ULONG CacheBlockSize;
    UCHAR SsdEnabled;
    UCHAR SsdAutoGrow;
    ULONGLONG SsdSize;
    ULONGLONG SsdMaxSize;
};

void CheckSizeRules()
{
    const ULONGLONG MiB = 0x100000;
    // clang-format off
    const RuleCase cases[] = {
        {"allocation block size 0", 64 * MiB, 0, 0x10000, 0, 0, 0, 0},
        {"allocation block size 3", 64 * MiB, 3, 0x10000, 0, 0, 0, 0},
        {"allocation block size 0x3000", 64 * MiB, 0x3000, 0x10000, 0, 0, 0, 0},
        {"cache block size 0", 64 * MiB, 16 * MiB, 0, 0, 0, 0, 0},
        {"cache block size 0x3000", 64 * MiB, 16 * MiB, 0x3000, 0, 0, 0, 0},
        {"memory one byte short of an allocation block", 16 * MiB - 1, 16 * MiB, 0x10000, 0, 0, 0, 0},
        {"SSD size one byte short of 512 MiB", 64 * MiB, 16 * MiB, 0x10000, 1, 0, 512 * MiB - 1, 0},
        {"auto-grow limit equal to the SSD size", 64 * MiB, 16 * MiB, 0x10000, 1, 1, 1024 * MiB, 1024 * MiB},
        {"auto-grow limit 1.4 GiB rounding down to the SSD size", 64 * MiB, 16 * MiB, 0x10000, 1, 1, 1024 * MiB,
         1434 * MiB},
    };
    // clang-format on
    for (const RuleCase &c : cases) {
        CacheControlRequest start = {};
        start.DriveLetter = L'C';
        start.Start = 1;
        start.MemorySize = c.MemorySize;
        start.AllocateBlockSize = c.AllocateBlockSize;
        start.CacheBlockSize = c.CacheBlockSize;
        start.SsdEnabled = c.SsdEnabled;
        start.SsdAutoGrow = c.SsdAutoGrow;
        start.SsdSize = c.SsdSize;
        start.SsdMaxSize = c.SsdMaxSize;
        lstrcpyW(start.CacheFilePath, L"\\??\\C:\\tessiro8-check.dat");
        IoResult r = Control(IOCTL_CACHE_CONTROL_VOLUME, &start, sizeof(start), nullptr, 0);
        char what[160];
        wsprintfA(what, "start refused: %s", c.What);
        CheckF(!r.Ok && r.Error == ERROR_GEN_FAILURE, what, "ok %d, error %lu", r.Ok, r.Error);
    }
    // Nothing of the refused starts may remain: C: is still not cached.
    CacheStatistics statistics;
    Check(!QueryVolumeStatistics(L'C', &statistics), "refused starts leave C: uncached");
}

void CheckUnknownCode()
{
    unsigned char buffer[16] = {};
    IoResult r = Control(kUnknownCode, buffer, sizeof(buffer), buffer, sizeof(buffer));
    CheckF(r.Ok && r.Returned == 0, "unknown control code succeeds with no data",
           "ok %d, error %lu, %lu bytes", r.Ok, r.Error, r.Returned);
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    if (argc != 2) {
        printf("usage: tessiro8_driver_check <path of Tessiro8.sys>\n");
        return 2;
    }
    Note("Wine lacks MmAllocateMappingAddress and exclusive devices: no volume is started "
         "and the second open of the device is not checked here");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!CheckF(manager != nullptr, "service control manager opens", "error %lu", GetLastError())) {
        return Summary();
    }
    SC_HANDLE service = InstallAndStart(argv[1], manager);
    CloseServiceHandle(manager);
    if (service != nullptr) {
        CheckVersion();
        CheckBufferSizes();
        CheckUnknownVolumes();
        CheckSizeRules();
        CheckUnknownCode();
        StopAndRemove(service);
    }
    return Summary();
}
