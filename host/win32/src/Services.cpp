// The service control manager: kernel-driver services whose start loads a
// driver into the host kernel and whose stop unloads it.
#include "KernelBridge.h"
#include "Win32Internal.h"

#include <map>
#include <set>
#include <sys/stat.h>

namespace hostwin32 {
namespace {

struct Service {
    std::u16string Name;  // as created
    ServiceState State;
    void *Driver = nullptr;
    int OpenHandles = 0;
};

struct ScHandle {
    bool IsManager;
    std::u16string Name;  // upper-cased service name
};

struct Manager {
    std::map<std::u16string, Service> Services;
    std::map<std::u16string, DriverEntryRoutine> Entries;
    std::set<ScHandle *> Handles;
    std::vector<std::string> Calls;
    int FailStarts = 0;
    bool FailOpen = false;
};

Manager &TheManager()
{
    static Manager manager;
    return manager;
}

std::u16string Key(const std::u16string &name)
{
    std::u16string key = name;
    for (char16_t &c : key) {
        if (c >= u'a' && c <= u'z') {
            c = (char16_t)(c - u'a' + u'A');
        }
    }
    return key;
}

void Log(const char *call, const std::u16string &name)
{
    std::string entry = call;
    if (!name.empty()) {
        entry += " " + detail::Utf8Of(name);
    }
    TheManager().Calls.push_back(entry);
}

DriverEntryRoutine EntryFor(const std::u16string &name)
{
    auto found = TheManager().Entries.find(Key(name));
    return found != TheManager().Entries.end() ? found->second : nullptr;
}

// A service marked for deletion goes once it is stopped and unreferenced.
void Collect(const std::u16string &key)
{
    auto found = TheManager().Services.find(key);
    if (found != TheManager().Services.end() && found->second.State.MarkedForDelete &&
        !found->second.State.Running && found->second.OpenHandles == 0) {
        TheManager().Services.erase(found);
    }
}

bool Load(const std::u16string &key, Service &service, DWORD *error, DriverEntryRoutine entry = nullptr)
{
    if (entry == nullptr) {
        entry = EntryFor(key);
    }
    if (entry == nullptr) {
        *error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    int32_t status = 0;
    const std::u16string &name = service.Name.empty() ? key : service.Name;
    void *driver = detail::LoadServiceDriver(reinterpret_cast<const wchar_t *>(name.c_str()), entry, &status);
    if (driver == nullptr) {
        *error = detail::DosErrorOf(status);
        return false;
    }
    service.Driver = driver;
    service.State.Running = true;
    return true;
}

bool Unload(Service &service)
{
    bool clean = detail::UnloadServiceDriver(service.Driver);
    service.Driver = nullptr;
    service.State.Running = false;
    return clean;
}

ScHandle *Lookup(SC_HANDLE handle)
{
    auto *object = reinterpret_cast<ScHandle *>(handle);
    return TheManager().Handles.count(object) != 0 ? object : nullptr;
}

Service *ServiceOf(SC_HANDLE handle)
{
    ScHandle *object = Lookup(handle);
    if (object == nullptr || object->IsManager) {
        return nullptr;
    }
    auto found = TheManager().Services.find(object->Name);
    return found == TheManager().Services.end() ? nullptr : &found->second;
}

SC_HANDLE NewHandle(bool isManager, const std::u16string &key)
{
    auto *object = new ScHandle{isManager, key};
    TheManager().Handles.insert(object);
    if (!isManager) {
        ++TheManager().Services[key].OpenHandles;
    }
    return reinterpret_cast<SC_HANDLE>(object);
}

}  // namespace

namespace detail {

void ResetServices()
{
    StopAllServices();
    Manager &manager = TheManager();
    for (ScHandle *handle : manager.Handles) {
        delete handle;
    }
    // The drivers registered for service names are the process's, not the machine's.
    std::map<std::u16string, DriverEntryRoutine> entries = std::move(manager.Entries);
    manager = Manager();
    manager.Entries = std::move(entries);
}

}  // namespace detail

ServiceState QueryService(const std::u16string &name)
{
    auto found = TheManager().Services.find(Key(name));
    return found == TheManager().Services.end() ? ServiceState() : found->second.State;
}

void SetServiceDriver(const std::u16string &name, DriverEntryRoutine entry)
{
    TheManager().Entries[Key(name)] = entry;
}

bool InstallService(const std::u16string &name, bool running, DriverEntryRoutine entry)
{
    Service &service = TheManager().Services[Key(name)];
    service.Name = name;
    service.State.Exists = true;
    service.State.ServiceType = SERVICE_KERNEL_DRIVER;
    service.State.StartType = SERVICE_AUTO_START;
    service.State.ErrorControl = SERVICE_ERROR_NORMAL;
    service.State.DisplayName = name;
    service.State.BinaryPath = CurrentMachine().SystemDirectory + u"\\Drivers\\" + name + u".sys";
    DWORD error = 0;
    return !running || Load(Key(name), service, &error, entry);
}

void FailServiceStarts(int count)
{
    TheManager().FailStarts = count;
}

void FailServiceManager(bool fail)
{
    TheManager().FailOpen = fail;
}

const std::vector<std::string> &ServiceCalls()
{
    return TheManager().Calls;
}

void ClearServiceCalls()
{
    TheManager().Calls.clear();
}

bool StopAllServices()
{
    bool clean = true;
    for (auto &entry : TheManager().Services) {
        if (entry.second.State.Running) {
            clean = Unload(entry.second) && clean;
        }
    }
    return clean;
}

}  // namespace hostwin32

using namespace hostwin32;

extern "C" {

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    Log("OpenSCManager", u"");
    if (TheManager().FailOpen) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return NewHandle(true, u"");
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD)
{
    std::u16string name = detail::FromWide(serviceName);
    Log("OpenService", name);
    ScHandle *object = Lookup(manager);
    if (object == nullptr || !object->IsManager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto found = TheManager().Services.find(Key(name));
    if (found == TheManager().Services.end()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return NewHandle(false, Key(name));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD,
                                DWORD serviceType, DWORD startType, DWORD errorControl,
                                LPCWSTR binaryPathName, LPCWSTR, LPDWORD, LPCWSTR, LPCWSTR, LPCWSTR)
{
    std::u16string name = detail::FromWide(serviceName);
    Log("CreateService", name);
    ScHandle *object = Lookup(manager);
    if (object == nullptr || !object->IsManager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto found = TheManager().Services.find(Key(name));
    if (found != TheManager().Services.end()) {
        SetLastError(found->second.State.MarkedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                         : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    Service &service = TheManager().Services[Key(name)];
    service.Name = name;
    service.State.Exists = true;
    service.State.ServiceType = serviceType;
    service.State.StartType = startType;
    service.State.ErrorControl = errorControl;
    service.State.DisplayName = detail::FromWide(displayName);
    service.State.BinaryPath = detail::FromWide(binaryPathName);
    return NewHandle(false, Key(name));
}

BOOL WINAPI StartServiceW(SC_HANDLE handle, DWORD, LPCWSTR *)
{
    ScHandle *object = Lookup(handle);
    Service *service = ServiceOf(handle);
    Log("StartService", service != nullptr ? service->Name : u"");
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (service->State.Running) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (service->State.MarkedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (TheManager().FailStarts > 0) {
        --TheManager().FailStarts;
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return FALSE;
    }
    struct stat info;
    if (stat(HostPath(service->State.BinaryPath).c_str(), &info) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DWORD error = 0;
    if (!Load(object->Name, *service, &error)) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE handle, DWORD control, LPSERVICE_STATUS status)
{
    Service *service = ServiceOf(handle);
    Log(control == SERVICE_CONTROL_STOP ? "StopService" : "ControlService",
        service != nullptr ? service->Name : u"");
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (control != SERVICE_CONTROL_STOP) {
        SetLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
    if (!service->State.Running) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    Unload(*service);
    if (status != nullptr) {
        *status = SERVICE_STATUS{service->State.ServiceType, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    }
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE handle)
{
    Service *service = ServiceOf(handle);
    Log("DeleteService", service != nullptr ? service->Name : u"");
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (service->State.MarkedForDelete) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    service->State.MarkedForDelete = true;
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle)
{
    ScHandle *object = Lookup(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    TheManager().Handles.erase(object);
    if (!object->IsManager) {
        auto found = TheManager().Services.find(object->Name);
        if (found != TheManager().Services.end()) {
            --found->second.OpenHandles;
        }
        Collect(object->Name);
    }
    delete object;
    return TRUE;
}

}  // extern "C"
