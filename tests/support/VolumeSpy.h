// A recorder placed in the simulated volume driver's read and write entries
// before the cache driver takes them over, so that it becomes the "saved
// routine" that the cache driver hands requests to. It records every request
// that reaches it, can hold requests at a gate, and forwards them to the
// volume driver's own routines. Requests without an MDL are completed by the
// spy itself with kNoMdlStatus (the volume driver relies on direct I/O).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "host/kernel/include/HostKernel.h"

namespace testbed {

struct SpyRecord {
    PDEVICE_OBJECT Device;
    PIRP Irp;
    UCHAR Major;
    UCHAR Flags;  // the current stack location's flags
    uint64_t Offset;
    ULONG Length;
    bool HasMdl;
    std::thread::id Thread;
};

class VolumeSpy {
public:
    static constexpr NTSTATUS kNoMdlStatus = STATUS_INVALID_DEVICE_REQUEST;

    // Replaces Driver's read and write entries; Remove puts the originals back.
    void Install(PDRIVER_OBJECT Driver);
    void Remove();
    ~VolumeSpy() { Remove(); }

    std::vector<SpyRecord> Records();
    size_t Count();
    void Clear();
    // Waits (real time, up to TimeoutMs) until at least N records exist.
    bool WaitForCount(size_t N, int TimeoutMs = 5000);

    // While closed, every request that Holds selects (all when null) blocks in
    // the spy before it is forwarded.
    void CloseGate(std::function<bool(const SpyRecord &)> Holds = nullptr);
    void OpenGate();
    size_t WaitingAtGate();

    PDRIVER_DISPATCH OriginalRead() const { return Read; }
    PDRIVER_DISPATCH OriginalWrite() const { return Write; }

    static NTSTATUS Dispatch(PDEVICE_OBJECT Device, PIRP Irp);

private:
    NTSTATUS Handle(PDEVICE_OBJECT Device, PIRP Irp);

    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_DISPATCH Read = nullptr;
    PDRIVER_DISPATCH Write = nullptr;
    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<SpyRecord> Log;
    bool GateClosed = false;
    std::function<bool(const SpyRecord &)> GateHolds;
    size_t Waiting = 0;
};

}  // namespace testbed
