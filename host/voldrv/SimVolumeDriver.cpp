// The simulated volume drivers \Driver\SimVolume and \Driver\SimVolume2:
// volume devices with direct I/O over a backing store, optionally on a disk
// device below them, immediate or pending completion, injected faults and
// latency, whole-sector transfers, and the raw-write protection of a mounted
// file system.
#include "SimVolume.h"

#include <HostKernel.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned CompletionThreads = 4;

class Volume;

struct VolumeExtension {
    Volume *Owner;
    bool Disk;  // the disk device below the volume, not the volume itself
};

constexpr ULONG SectorSize = 512;

std::mutex DriverLock;  // guards the globals below
PDRIVER_OBJECT Drivers[SimVolumeDrivers] = {};
std::vector<Volume *> Volumes;
unsigned NextVolumeNumber = 1;
const wchar_t *const DriverNames[SimVolumeDrivers] = {L"SimVolume", L"SimVolume2"};

WCHAR Upper(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? WCHAR(c - 0x20) : c;
}

void InitName(UNICODE_STRING *Name, std::u16string &Text)
{
    Name->Buffer = reinterpret_cast<PWSTR>(&Text[0]);
    Name->Length = USHORT(Text.size() * 2);
    Name->MaximumLength = Name->Length;
}

class Volume : public SimVolume {
public:
    Volume(const VolumeConfig &Config, std::u16string Name, std::u16string Link)
        : Config_(Config), Name_(std::move(Name)), Link_(std::move(Link))
    {
        Backing_ =
            Config.Backing ? Config.Backing : std::shared_ptr<SimBacking>(MemoryBacking(Config.Length));
        Mode_.store(Config.Mode);
        Latency_.store(Config.LatencyMicros);
        Mounted_.store(Config.FileSystemMounted);
        if (Config.Mode == Completion::Pending)
            StartCompletionThreads();
    }
    ~Volume() override { StopCompletionThreads(); }

    PDEVICE_OBJECT Device() const override { return Device_; }
    PDEVICE_OBJECT DiskDevice() const override { return Disk_; }
    unsigned DriverIndex() const { return Config_.Driver; }
    WCHAR Letter() const override { return Config_.Letter; }
    uint64_t Length() const override { return Config_.Length; }
    SimBacking &Backing() override { return *Backing_; }
    void SetFaults(const VolumeFaults &Faults) override
    {
        std::lock_guard<std::mutex> Guard(FaultLock_);
        Faults_ = Faults;
        ReadsSinceFaults_ = WritesSinceFaults_ = 0;
    }
    void SetLatency(uint32_t Micros) override { Latency_.store(Micros); }
    void SetCompletion(Completion Mode) override
    {
        if (Mode == Completion::Pending)
            StartCompletionThreads();
        Mode_.store(Mode);
    }
    VolumeCounters &Counters() override { return Counters_; }
    std::u16string DeviceName() const override { return Name_; }
    void SetFileSystemMounted(bool Mounted) override { Mounted_.store(Mounted); }

    PDEVICE_OBJECT Device_ = nullptr;
    PDEVICE_OBJECT Disk_ = nullptr;
    const std::u16string &LinkName() { return Link_; }

    NTSTATUS Dispatch(PDEVICE_OBJECT Device, PIRP Irp)
    {
        // A volume on a disk hands the request on unchanged; the disk serves it.
        if (Disk_ && Device == Device_) {
            IoCopyCurrentIrpStackLocationToNext(Irp);
            return IoCallDriver(Disk_, Irp);
        }
        uint32_t Latency = Latency_.load();
        if (Mode_.load() == Completion::Pending) {
            IoMarkIrpPending(Irp);
            Enqueue(Irp, Clock::now() + std::chrono::microseconds(Latency));
            return STATUS_PENDING;
        }
        if (Latency)
            std::this_thread::sleep_for(std::chrono::microseconds(Latency));
        NTSTATUS Status = Serve(Irp);
        IoCompleteRequest(Irp, NT_SUCCESS(Status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
        return Status;
    }

private:
    // Carries out the request and fills its status block.
    NTSTATUS Serve(PIRP Irp)
    {
        PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
        bool Write = Stack->MajorFunction == IRP_MJ_WRITE;
        uint64_t Offset = uint64_t(Stack->Parameters.Read.ByteOffset.QuadPart);
        ULONG Length = Stack->Parameters.Read.Length;
        (Write ? Counters_.Writes : Counters_.Reads)++;
        ULONG Done = Length;
        NTSTATUS Status = Transfer(Irp, Stack, Write, Offset, Length, &Done);
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = NT_SUCCESS(Status) ? Done : 0;
        if (NT_SUCCESS(Status))
            (Write ? Counters_.WriteBytes : Counters_.ReadBytes) += Done;
        return Status;
    }

    // Done receives the bytes transferred: Length, or fewer for a short read.
    NTSTATUS Transfer(PIRP Irp, PIO_STACK_LOCATION Stack, bool Write, uint64_t Offset, ULONG Length,
                      ULONG *Done)
    {
        if (Write && (Stack->Flags & SL_FORCE_DIRECT_WRITE))
            Counters_.ForcedWrites++;
        if (Write && (Stack->Flags & SL_WRITE_THROUGH))
            Counters_.WriteThroughWrites++;
        if (Stack->Flags & SL_OVERRIDE_VERIFY_VOLUME)
            Counters_.VerifyOverrides++;
        if (Write && Mounted_.load() && !(Stack->Flags & SL_FORCE_DIRECT_WRITE)) {
            Counters_.RejectedWrites++;
            return STATUS_ACCESS_DENIED;
        }
        if (Stack->Parameters.Read.ByteOffset.QuadPart < 0 || Offset > Config_.Length ||
            Length > Config_.Length - Offset || Offset % SectorSize != 0 || Length % SectorSize != 0)
            return STATUS_INVALID_PARAMETER;
        if (Length == 0)
            return STATUS_SUCCESS;
        if (!Irp->MdlAddress || MmGetMdlByteCount(Irp->MdlAddress) < Length)
            return STATUS_INVALID_PARAMETER;
        if (NTSTATUS Fault = TakeFault(Write, Offset, Length, Done))
            return Fault;
        void *Buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
        if (!Buffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (*Done == 0)
            return STATUS_SUCCESS;
        return Write ? Backing_->Write(Offset, Buffer, *Done) : Backing_->Read(Offset, Buffer, *Done);
    }

    NTSTATUS TakeFault(bool Write, uint64_t Offset, ULONG Length, ULONG *Done)
    {
        std::lock_guard<std::mutex> Guard(FaultLock_);
        long Nth = Write ? ++WritesSinceFaults_ : ++ReadsSinceFaults_;
        long Fail = Write ? Faults_.FailNthWrite : Faults_.FailNthRead;
        if (Fail > 0 && Nth == Fail)
            return Faults_.FailStatus;
        if (!Write && Faults_.ShortNthRead > 0 && Nth == Faults_.ShortNthRead &&
            Faults_.ShortReadBytes < Length)
            *Done = Faults_.ShortReadBytes;
        if (Faults_.RangeLength && (Write ? Faults_.RangeWrites : Faults_.RangeReads) &&
            Offset < Faults_.RangeOffset + Faults_.RangeLength && Faults_.RangeOffset < Offset + Length)
            return Faults_.FailStatus;
        return STATUS_SUCCESS;
    }

    struct Due {
        Clock::time_point When;
        uint64_t Sequence;
        PIRP Irp;
        bool operator>(const Due &Other) const
        {
            return When != Other.When ? When > Other.When : Sequence > Other.Sequence;
        }
    };

    void Enqueue(PIRP Irp, Clock::time_point When)
    {
        {
            std::lock_guard<std::mutex> Guard(QueueLock_);
            Queue_.push(Due{When, Sequence_++, Irp});
        }
        QueueReady_.notify_one();
    }

    void StartCompletionThreads()
    {
        std::lock_guard<std::mutex> Guard(QueueLock_);
        if (!Threads_.empty())
            return;
        Stop_ = false;
        for (unsigned i = 0; i < CompletionThreads; ++i)
            Threads_.emplace_back([this] { CompletionLoop(); });
    }

    void StopCompletionThreads()
    {
        std::vector<std::thread> Threads;
        {
            std::lock_guard<std::mutex> Guard(QueueLock_);
            Stop_ = true;
            Threads.swap(Threads_);
        }
        QueueReady_.notify_all();
        for (auto &Thread : Threads)
            Thread.join();
    }

    // Completes queued requests when they fall due; requests queued at stop
    // are still completed.
    void CompletionLoop()
    {
        std::unique_lock<std::mutex> Lock(QueueLock_);
        for (;;) {
            if (Queue_.empty()) {
                if (Stop_)
                    return;
                QueueReady_.wait(Lock);
                continue;
            }
            Clock::time_point When = Queue_.top().When;
            if (!Stop_ && Clock::now() < When) {
                QueueReady_.wait_until(Lock, When);
                continue;
            }
            PIRP Irp = Queue_.top().Irp;
            Queue_.pop();
            // Another thread may take the next due request meanwhile.
            if (!Queue_.empty())
                QueueReady_.notify_one();
            Lock.unlock();
            NTSTATUS Status = Serve(Irp);
            KIRQL Irql = KeRaiseIrqlToDpcLevel();
            IoCompleteRequest(Irp, NT_SUCCESS(Status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
            KeLowerIrql(Irql);
            Lock.lock();
        }
    }

    VolumeConfig Config_;
    std::u16string Name_, Link_;
    std::shared_ptr<SimBacking> Backing_;
    std::atomic<Completion> Mode_;
    std::atomic<uint32_t> Latency_;
    std::atomic<bool> Mounted_;
    VolumeCounters Counters_;

    std::mutex FaultLock_;
    VolumeFaults Faults_;
    long ReadsSinceFaults_ = 0, WritesSinceFaults_ = 0;

    std::mutex QueueLock_;
    std::condition_variable QueueReady_;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> Queue_;
    uint64_t Sequence_ = 0;
    bool Stop_ = false;
    std::vector<std::thread> Threads_;
};

Volume *VolumeOf(PDEVICE_OBJECT Device)
{
    return static_cast<VolumeExtension *>(Device->DeviceExtension)->Owner;
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS SimCreateClose(PDEVICE_OBJECT Device, PIRP Irp)
{
    (void)Device;
    return CompleteWith(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS SimReadWrite(PDEVICE_OBJECT Device, PIRP Irp)
{
    return VolumeOf(Device)->Dispatch(Device, Irp);
}

NTSTATUS SimDeviceControl(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_DISK_GET_PARTITION_INFO: {
        if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(PARTITION_INFORMATION))
            return CompleteWith(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        auto *Info = static_cast<PPARTITION_INFORMATION>(Irp->AssociatedIrp.SystemBuffer);
        memset(Info, 0, sizeof(*Info));
        Info->StartingOffset.QuadPart = 0x100000;
        Info->PartitionLength.QuadPart = LONGLONG(VolumeOf(Device)->Length());
        Info->HiddenSectors = 2048;
        Info->PartitionNumber = 1;
        Info->PartitionType = 0x07;
        Info->RecognizedPartition = TRUE;
        return CompleteWith(Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION));
    }
    default:
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void RemoveLocked(Volume *Target);

void SimUnload(PDRIVER_OBJECT DriverObject)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    for (size_t i = Volumes.size(); i-- > 0;)
        if (Volumes[i]->Device()->DriverObject == DriverObject)
            RemoveLocked(Volumes[i]);
    for (PDRIVER_OBJECT &Driver : Drivers)
        if (Driver == DriverObject)
            Driver = nullptr;
}

NTSTATUS SimDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)RegistryPath;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SimCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SimCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SimCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = SimReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SimReadWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SimDeviceControl;
    DriverObject->DriverUnload = SimUnload;
    return STATUS_SUCCESS;
}

void RemoveLocked(Volume *Target)
{
    for (size_t i = 0; i < Volumes.size(); ++i)
        if (Volumes[i] == Target) {
            Volumes.erase(Volumes.begin() + long(i));
            break;
        }
    UNICODE_STRING Link;
    std::u16string LinkText = Target->LinkName();
    InitName(&Link, LinkText);
    IoDeleteSymbolicLink(&Link);
    PDEVICE_OBJECT Device = Target->Device_;
    PDEVICE_OBJECT Disk = Target->Disk_;
    delete Target;  // completes what is still queued
    IoDeleteDevice(Device);
    if (Disk)
        IoDeleteDevice(Disk);
}

PDRIVER_OBJECT LoadLocked(unsigned Index)
{
    if (Index >= SimVolumeDrivers)
        return nullptr;
    if (!Drivers[Index]) {
        bool Any = false;
        for (PDRIVER_OBJECT Driver : Drivers)
            Any |= Driver != nullptr;
        if (!Any)
            NextVolumeNumber = 1;
        Drivers[Index] = host::LoadDriver(DriverNames[Index], SimDriverEntry);
    }
    return Drivers[Index];
}

// The disk device below a volume: unnamed, direct I/O, owned by the volume's
// driver.
PDEVICE_OBJECT CreateDisk(PDRIVER_OBJECT Driver, Volume *Target)
{
    PDEVICE_OBJECT Disk;
    if (!NT_SUCCESS(
            IoCreateDevice(Driver, sizeof(VolumeExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &Disk)))
        return nullptr;
    auto *Extension = static_cast<VolumeExtension *>(Disk->DeviceExtension);
    Extension->Owner = Target;
    Extension->Disk = true;
    Disk->Flags |= DO_DIRECT_IO;
    Disk->SectorSize = SectorSize;
    Disk->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return Disk;
}

}  // namespace

PDRIVER_OBJECT LoadSimVolumeDriver(unsigned Index)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    return LoadLocked(Index);
}

void UnloadSimVolumeDriver()
{
    for (unsigned Index = SimVolumeDrivers; Index-- > 0;) {
        PDRIVER_OBJECT Loaded;
        {
            std::lock_guard<std::mutex> Guard(DriverLock);
            Loaded = Drivers[Index];
        }
        if (Loaded)
            host::UnloadDriver(Loaded);
    }
}

PDRIVER_OBJECT SimVolumeDriver(unsigned Index)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    return Index < SimVolumeDrivers ? Drivers[Index] : nullptr;
}

SimVolume *CreateVolume(const VolumeConfig &Config)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    PDRIVER_OBJECT Driver = LoadLocked(Config.Driver);
    if (!Driver)
        return nullptr;
    std::u16string LinkText = u"\\DosDevices\\";
    LinkText += char16_t(Upper(Config.Letter));
    LinkText += u':';
    for (Volume *Existing : Volumes)
        if (Upper(Existing->Letter()) == Upper(Config.Letter))
            return nullptr;
    std::u16string NameText = u"\\Device\\HarddiskVolume";
    for (char c : std::to_string(NextVolumeNumber))
        NameText += char16_t(c);
    auto *Target = new Volume(Config, NameText, LinkText);
    UNICODE_STRING Name, Link;
    InitName(&Name, NameText);
    InitName(&Link, LinkText);
    PDEVICE_OBJECT Device;
    if (!NT_SUCCESS(
            IoCreateDevice(Driver, sizeof(VolumeExtension), &Name, FILE_DEVICE_DISK, 0, FALSE, &Device))) {
        delete Target;
        return nullptr;
    }
    auto *Extension = static_cast<VolumeExtension *>(Device->DeviceExtension);
    Extension->Owner = Target;
    Extension->Disk = false;
    Device->Flags |= DO_DIRECT_IO;
    Device->SectorSize = SectorSize;
    Target->Device_ = Device;
    if (Config.DiskBelow) {
        Target->Disk_ = CreateDisk(Driver, Target);
        if (Target->Disk_)
            Device->StackSize = CCHAR(Target->Disk_->StackSize + 1);
    }
    Device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    if ((Config.DiskBelow && !Target->Disk_) || !NT_SUCCESS(IoCreateSymbolicLink(&Link, &Name))) {
        IoDeleteDevice(Device);
        if (Target->Disk_)
            IoDeleteDevice(Target->Disk_);
        delete Target;
        return nullptr;
    }
    NextVolumeNumber++;
    Volumes.push_back(Target);
    return Target;
}

void RemoveVolume(SimVolume *Target)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    RemoveLocked(static_cast<Volume *>(Target));
}

SimVolume *FindVolume(WCHAR Letter)
{
    std::lock_guard<std::mutex> Guard(DriverLock);
    for (Volume *Existing : Volumes)
        if (Upper(Existing->Letter()) == Upper(Letter))
            return Existing;
    return nullptr;
}

}  // namespace sim
