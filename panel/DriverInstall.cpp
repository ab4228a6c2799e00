// Driver file and kernel service.
#include "panel/DriverInstall.h"

#include "panel/DriverClient.h"
#include "panel/DriverImage.h"
#include "panel/Messages.h"
#include "panel/Text.h"

bool RunningUnderWow64()
{
    typedef BOOL(WINAPI * IsWow64ProcessRoutine)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return false;
    }
    // Looked up at run time: Windows before XP SP2 has no such export, and
    // has no 64-bit edition either.
    IsWow64ProcessRoutine isWow64Process = reinterpret_cast<IsWow64ProcessRoutine>(
        reinterpret_cast<void (*)(void)>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64Process != nullptr && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool WriteDriverFile(WCHAR *path)
{
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    if (!TextAppend(path, MAX_PATH, L"\\Drivers\\Tessiro8.sys")) {
        return false;
    }
    HANDLE file = CreateFileW(path, GENERIC_ALL, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    WriteFile(file, DriverImage, (DWORD)DRIVER_IMAGE_SIZE, &written, nullptr);
    CloseHandle(file);
    return written == DRIVER_IMAGE_SIZE;
}

bool OpenAndCheckService(ui::Dialog &owner)
{
    WCHAR driverPath[MAX_PATH];
    if (!WriteDriverFile(driverPath)) {
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = OpenServiceW(manager, DRIVER_SERVICE_NAME, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    if (service == nullptr) {
        return false;
    }
    DWORD openError = ERROR_SUCCESS;
    ULONG version = QueryDriverVersion(&openError);
    if (version == DRIVER_NOT_RUNNING && !ControlDeviceMissing(openError)) {
        // The device is there but cannot be opened now: another program
        // holds it, or access is denied. The driver runs; it is kept as it
        // is, since deleting its service would lose it at the next boot.
    } else if (version == DRIVER_NOT_RUNNING) {
        if (!StartServiceW(service, 0, nullptr)) {
            DeleteService(service);
            CloseServiceHandle(service);
            return false;
        }
    } else if (version != CACHE_DRIVER_VERSION) {
        int answer = owner.MessageBox(TEXT_OLD_DRIVER_PROMPT, PANEL_CAPTION, STYLE_QUESTION);
        if (answer == IDNO) {
            SERVICE_STATUS status;
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
            return false;
        }
    }
    CloseServiceHandle(service);
    return true;
}

bool CreateAndStartService()
{
    WCHAR driverPath[MAX_PATH];
    if (!WriteDriverFile(driverPath)) {
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return false;
    }
    SC_HANDLE service = CreateServiceW(manager, DRIVER_SERVICE_NAME, DRIVER_SERVICE_NAME, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       driverPath, nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(manager);
    if (service == nullptr) {
        return false;
    }
    BOOL started = StartServiceW(service, 0, nullptr);
    CloseServiceHandle(service);
    return started != FALSE;
}
