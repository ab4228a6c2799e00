// Control of the host build's Win32 stand-in from tests and the demo: the
// simulated machine (drive letters, labels, device names), the sandbox that
// holds its files, the service control manager and its faults, and whether
// the caller acts as an administrator.
//
// Nothing here is part of the Win32 API; the panel never includes it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct _DRIVER_OBJECT;
struct _UNICODE_STRING;

namespace hostwin32 {

// A driver's entry routine (the host kernel's PDRIVER_INITIALIZE).
typedef int32_t (*DriverEntryRoutine)(struct _DRIVER_OBJECT *, struct _UNICODE_STRING *);

// One drive letter of the simulated machine.
struct Drive {
    WCHAR Letter = L'C';
    std::u16string Label;    // GetVolumeInformationW's volume name
    std::u16string Device;   // QueryDosDeviceW's target; empty: the query fails
    bool InfoFails = false;  // GetVolumeInformationW fails (no medium)
    // A removable drive without a medium (an empty card reader): every call
    // that touches the medium fails with ERROR_NOT_READY, and unless the
    // process's error mode has SEM_FAILCRITICALERRORS the system first shows
    // its "No Disk" box (counted by CriticalErrorBoxes, dismissed at once).
    bool EmptyRemovable = false;
};

// Typical devices.
std::u16string HardDiskDevice(int number);  // \Device\HarddiskVolumeN
extern const char16_t CdRomDevice[];        // \Device\CdRom0
extern const char16_t NetworkDevice[];      // \Device\LanmanRedirector\;Z:0\server\share

struct Machine {
    // Host directory holding the machine's files: Win32 path X:\a\b lives at
    // <SandboxDir>/X/a/b. Empty: a fresh temporary directory.
    std::string SandboxDir;
    std::u16string ModulePath = u"C:\\Program Files\\Tessiro8\\Tessiro8.exe";
    std::u16string SystemDirectory = u"C:\\WINDOWS\\system32";
    std::vector<Drive> Drives;
    // The panel runs as a 32-bit process on 64-bit Windows (WOW64): its
    // system directory is redirected, and IsWow64Process says so.
    bool Wow64 = false;
    // Kernel32 exports IsWow64Process (Windows XP SP2 and later).
    bool HasIsWow64Process = true;
};

// Installs a machine: clears services, handles, faults and locks, and creates
// the directories of the executable and of <system>\Drivers in the sandbox.
// Drivers still loaded by earlier services are unloaded first; the drivers
// registered with SetServiceDriver stay registered.
void SetMachine(const Machine &machine);
const Machine &CurrentMachine();
// Changes the drive letters only (a disk that goes away, a medium taken out).
void SetDrives(const std::vector<Drive> &drives);
// Host path of a Win32 path (X:\...); a path beginning with '/' is taken as
// a host path already.
std::string HostPath(const WCHAR *win32Path);
std::string HostPath(const std::u16string &win32Path);
// Whole file contents (empty when missing).
std::string ReadHostFile(const std::u16string &win32Path);
bool FileExists(const std::u16string &win32Path);
void RemoveFile(const std::u16string &win32Path);
// Holds the file open without sharing (another program), or releases it.
void LockFile(const std::u16string &win32Path, bool locked);
// Sets or clears the file's read-only attribute: it can still be read, but
// every write access and every profile write fails with ERROR_ACCESS_DENIED.
void SetFileReadOnly(const std::u16string &win32Path, bool readOnly);
// System error boxes ("No Disk") raised since the machine was installed.
int CriticalErrorBoxes();

// --- Service control manager --------------------------------------------------
struct ServiceState {
    bool Exists = false;
    bool Running = false;
    bool MarkedForDelete = false;
    DWORD ServiceType = 0;
    DWORD StartType = 0;
    DWORD ErrorControl = 0;
    std::u16string DisplayName;
    std::u16string BinaryPath;
};
ServiceState QueryService(const std::u16string &name);

// The entry routine StartServiceW loads for a service name (the driver its
// image holds). A service with no entry set fails to start with
// ERROR_FILE_NOT_FOUND, as one whose image is missing.
void SetServiceDriver(const std::u16string &name, DriverEntryRoutine entry);
// A service left by an earlier installation, optionally running its driver:
// `entry` when given (an older driver, say), else the entry set for its name.
// Later starts of the service load the entry set for its name.
bool InstallService(const std::u16string &name, bool running, DriverEntryRoutine entry = nullptr);
// The next `count` StartServiceW calls fail (ERROR_SERVICE_REQUEST_TIMEOUT).
void FailServiceStarts(int count);
// OpenSCManagerW fails (ERROR_ACCESS_DENIED) while set.
void FailServiceManager(bool fail);
// Service calls made so far, e.g. "OpenSCManager", "OpenService Tessiro8",
// "CreateService Tessiro8", "StartService Tessiro8", "StopService Tessiro8",
// "DeleteService Tessiro8".
const std::vector<std::string> &ServiceCalls();
void ClearServiceCalls();
// Stops every running service's driver (test teardown, before the kernel's
// shutdown). True when every unload was clean.
bool StopAllServices();

// --- Device access ------------------------------------------------------------------
// CreateFileW on \\.\X opens the host kernel's \??\X as an administrator
// unless this is cleared.
void SetActAsAdmin(bool admin);
// Number of device handles open now (the panel keeps none between calls).
int OpenDeviceHandles();
// Device control calls sent so far (codes, in order).
const std::vector<DWORD> &DeviceControlCalls();
void ClearDeviceControlCalls();

}  // namespace hostwin32
