// Driver objects and device objects: loading and unloading drivers, creating
// and deleting devices and their names.
#include "KernelInternal.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <new>
#include <vector>

namespace host::detail {

NTSTATUS RegisterDeviceName(const std::u16string &Name, PDEVICE_OBJECT Device);

namespace {

constexpr CSHORT IoTypeDevice = 3;
constexpr CSHORT IoTypeDriver = 4;

struct DeviceBody {
    DEVICE_OBJECT Object;
    DeviceHost Host;
};
constexpr size_t ExtensionOffset = (sizeof(DeviceBody) + 15) & ~size_t(15);

struct DriverBody {
    DRIVER_OBJECT Object;
    std::u16string Name;
    std::u16string RegistryPath;
};

std::mutex DriverLock;                 // guards every driver's device list and the lists below
std::vector<PDRIVER_OBJECT> Loaded;    // in load order
std::vector<PDRIVER_OBJECT> Orphaned;  // unloaded with devices left behind

void DestroyDevice(void *Body)
{
    static_cast<DeviceBody *>(Body)->Host.~DeviceHost();
}
void DestroyDriver(void *Body)
{
    static_cast<DriverBody *>(Body)->~DriverBody();
}

NTSTATUS DefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

std::string DeviceNameOf(PDEVICE_OBJECT Device)
{
    const std::u16string &Name = HostOf(Device)->Name;
    return Name.empty() ? std::string("(unnamed)") : ToUtf8(Name);
}

// Deletes whatever devices the driver left and frees its object.
void DiscardDriver(PDRIVER_OBJECT Driver)
{
    while (Driver->DeviceObject)
        IoDeleteDevice(Driver->DeviceObject);
    ObjectDereference(Driver);
}

}  // namespace

DeviceHost *HostOf(PDEVICE_OBJECT Device)
{
    return static_cast<DeviceHost *>(Device->HostObject);
}

void ResetDrivers()
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    Loaded.clear();
    Orphaned.clear();
}

bool UnloadAllDrivers()
{
    bool Clean = true;
    for (;;) {
        PDRIVER_OBJECT Driver;
        {
            std::lock_guard<std::mutex> Guard(DriverLock);
            if (Loaded.empty())
                break;
            Driver = Loaded.back();
        }
        Clean &= host::UnloadDriver(Driver);
    }
    std::vector<PDRIVER_OBJECT> Left;
    {
        std::lock_guard<std::mutex> Guard(DriverLock);
        Left.swap(Orphaned);
    }
    for (PDRIVER_OBJECT Driver : Left)
        DiscardDriver(Driver);
    return Clean;
}

}  // namespace host::detail

using namespace host::detail;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("IoCreateDevice at IRQL %u", KeGetCurrentIrql());
    *DeviceObject = nullptr;
    auto *Body = static_cast<DeviceBody *>(
        ObjectCreate(ObjectKind::Device, ExtensionOffset + DeviceExtensionSize, DestroyDevice));
    if (!Body)
        return STATUS_INSUFFICIENT_RESOURCES;
    new (&Body->Host) DeviceHost();
    PDEVICE_OBJECT Device = &Body->Object;
    Device->Type = IoTypeDevice;
    Device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    Device->DriverObject = DriverObject;
    Device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    Device->Characteristics = DeviceCharacteristics;
    Device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char *>(Body) + ExtensionOffset : nullptr;
    Device->DeviceType = DeviceType;
    Device->StackSize = 1;
    Device->SectorSize = DeviceType == FILE_DEVICE_DISK ? 512 : 0;
    Device->HostObject = &Body->Host;
    if (DeviceName && DeviceName->Length) {
        Body->Host.Name = NormalizeName(FromUnicode(DeviceName));
        NTSTATUS Status = RegisterDeviceName(Body->Host.Name, Device);
        if (!NT_SUCCESS(Status)) {
            ObjectDereference(Device);
            return Status;
        }
    }
    {
        std::lock_guard<std::mutex> Guard(DriverLock);
        Device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = Device;
    }
    *DeviceObject = Device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    DeviceHost *Host = HostOf(DeviceObject);
    if (Host->Deleted)
        BugCheck("IoDeleteDevice of a device already deleted");
    Host->Deleted = true;
    if (!Host->Name.empty())
        UnregisterName(Host->Name);
    {
        std::lock_guard<std::mutex> Guard(DriverLock);
        for (PDEVICE_OBJECT *Link = &DeviceObject->DriverObject->DeviceObject; *Link;
             Link = &(*Link)->NextDevice) {
            if (*Link == DeviceObject) {
                *Link = DeviceObject->NextDevice;
                break;
            }
        }
    }
    // Open file objects keep the device's memory alive until they close.
    ObjectDereference(DeviceObject);
}

namespace host {

PDRIVER_OBJECT LoadDriver(const wchar_t *Name, PDRIVER_INITIALIZE Entry, NTSTATUS *Status)
{
    auto *Body =
        static_cast<DriverBody *>(ObjectCreate(ObjectKind::Driver, sizeof(DriverBody), DestroyDriver));
    new (Body) DriverBody();
    Body->Name = u"\\Driver\\" + FromWide(Name);
    Body->RegistryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + FromWide(Name);
    PDRIVER_OBJECT Driver = &Body->Object;
    Driver->Type = IoTypeDriver;
    Driver->Size = sizeof(DRIVER_OBJECT);
    Driver->DriverName.Buffer = reinterpret_cast<PWSTR>(&Body->Name[0]);
    Driver->DriverName.Length = USHORT(Body->Name.size() * 2);
    Driver->DriverName.MaximumLength = Driver->DriverName.Length;
    Driver->DriverInit = Entry;
    for (auto &Routine : Driver->MajorFunction)
        Routine = DefaultDispatch;
    RegisterDriverName(Body->Name, Driver);

    UNICODE_STRING RegistryPath;
    RegistryPath.Buffer = reinterpret_cast<PWSTR>(&Body->RegistryPath[0]);
    RegistryPath.Length = USHORT(Body->RegistryPath.size() * 2);
    RegistryPath.MaximumLength = RegistryPath.Length;
    KIRQL Irql = KeGetCurrentIrql();
    NTSTATUS Result = Entry(Driver, &RegistryPath);
    if (KeGetCurrentIrql() != Irql)
        BugCheck("DriverEntry returned at IRQL %u", KeGetCurrentIrql());
    if (Status)
        *Status = Result;
    if (!NT_SUCCESS(Result)) {
        if (Driver->DeviceObject)
            fprintf(stderr, "host kernel: failed DriverEntry of %s left device %s behind\n",
                    ToUtf8(Body->Name).c_str(), DeviceNameOf(Driver->DeviceObject).c_str());
        UnregisterName(Body->Name);
        DiscardDriver(Driver);
        return nullptr;
    }
    // The I/O manager lets the devices created in DriverEntry be opened.
    for (PDEVICE_OBJECT Device = Driver->DeviceObject; Device; Device = Device->NextDevice)
        Device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    std::lock_guard<std::mutex> Guard(DriverLock);
    Loaded.push_back(Driver);
    return Driver;
}

bool UnloadDriver(PDRIVER_OBJECT Driver, std::vector<ULONG> PoolTags)
{
    {
        std::lock_guard<std::mutex> Guard(DriverLock);
        auto It = std::find(Loaded.begin(), Loaded.end(), Driver);
        if (It == Loaded.end()) {
            fprintf(stderr, "host kernel: UnloadDriver of a driver that is not loaded\n");
            return false;
        }
        Loaded.erase(It);
    }
    std::string Name = ToUtf8(FromUnicode(&Driver->DriverName));
    if (!Driver->DriverUnload) {
        fprintf(stderr, "host kernel: %s has no unload routine\n", Name.c_str());
        UnregisterName(FromUnicode(&Driver->DriverName));
        std::lock_guard<std::mutex> Guard(DriverLock);
        Orphaned.push_back(Driver);
        return false;
    }
    Driver->DriverUnload(Driver);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck("DriverUnload of %s returned at IRQL %u", Name.c_str(), KeGetCurrentIrql());
    bool Clean = true;
    for (PDEVICE_OBJECT Device = Driver->DeviceObject; Device; Device = Device->NextDevice) {
        fprintf(stderr, "host kernel: %s unloaded with device %s still present\n", Name.c_str(),
                DeviceNameOf(Device).c_str());
        Clean = false;
    }
    for (ULONG Tag : PoolTags) {
        size_t Live = PoolLiveAllocations(Tag);
        if (Live) {
            fprintf(stderr,
                    "host kernel: %s unloaded with %zu pool allocations (%zu bytes) of tag 0x%08x "
                    "still live\n",
                    Name.c_str(), Live, PoolLiveBytes(Tag), Tag);
            Clean = false;
        }
    }
    UnregisterName(FromUnicode(&Driver->DriverName));
    if (Driver->DeviceObject) {
        std::lock_guard<std::mutex> Guard(DriverLock);
        Orphaned.push_back(Driver);
    } else {
        ObjectDereference(Driver);
    }
    return Clean;
}

}  // namespace host
