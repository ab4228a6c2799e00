#include "VolumeSpy.h"

#include <chrono>

namespace testbed {

namespace {
VolumeSpy *Active = nullptr;
}

void VolumeSpy::Install(PDRIVER_OBJECT Target)
{
    Driver = Target;
    Read = Target->MajorFunction[IRP_MJ_READ];
    Write = Target->MajorFunction[IRP_MJ_WRITE];
    Active = this;
    Target->MajorFunction[IRP_MJ_READ] = &VolumeSpy::Dispatch;
    Target->MajorFunction[IRP_MJ_WRITE] = &VolumeSpy::Dispatch;
}

void VolumeSpy::Remove()
{
    if (!Driver)
        return;
    OpenGate();
    Driver->MajorFunction[IRP_MJ_READ] = Read;
    Driver->MajorFunction[IRP_MJ_WRITE] = Write;
    Driver = nullptr;
    Active = nullptr;
}

NTSTATUS VolumeSpy::Dispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    return Active->Handle(Device, Irp);
}

NTSTATUS VolumeSpy::Handle(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SpyRecord record{Device,
                     Irp,
                     stack->MajorFunction,
                     stack->Flags,
                     (uint64_t)stack->Parameters.Read.ByteOffset.QuadPart,
                     stack->Parameters.Read.Length,
                     Irp->MdlAddress != nullptr,
                     std::this_thread::get_id()};
    {
        std::unique_lock<std::mutex> guard(Lock);
        Log.push_back(record);
        Changed.notify_all();
        if (GateClosed && (!GateHolds || GateHolds(record))) {
            ++Waiting;
            Changed.notify_all();
            Changed.wait(guard, [this] { return !GateClosed; });
            --Waiting;
        }
    }
    if (!record.HasMdl) {
        Irp->IoStatus.Status = kNoMdlStatus;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return kNoMdlStatus;
    }
    return (record.Major == IRP_MJ_READ ? Read : Write)(Device, Irp);
}

std::vector<SpyRecord> VolumeSpy::Records()
{
    std::lock_guard<std::mutex> guard(Lock);
    return Log;
}

size_t VolumeSpy::Count()
{
    std::lock_guard<std::mutex> guard(Lock);
    return Log.size();
}

void VolumeSpy::Clear()
{
    std::lock_guard<std::mutex> guard(Lock);
    Log.clear();
}

bool VolumeSpy::WaitForCount(size_t N, int TimeoutMs)
{
    std::unique_lock<std::mutex> guard(Lock);
    return Changed.wait_for(guard, std::chrono::milliseconds(TimeoutMs), [&] { return Log.size() >= N; });
}

void VolumeSpy::CloseGate(std::function<bool(const SpyRecord &)> Holds)
{
    std::lock_guard<std::mutex> guard(Lock);
    GateClosed = true;
    GateHolds = std::move(Holds);
}

void VolumeSpy::OpenGate()
{
    std::lock_guard<std::mutex> guard(Lock);
    GateClosed = false;
    Changed.notify_all();
}

size_t VolumeSpy::WaitingAtGate()
{
    std::lock_guard<std::mutex> guard(Lock);
    return Waiting;
}

}  // namespace testbed
