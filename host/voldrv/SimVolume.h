// The simulated volume driver: the owning driver of every cached volume in the
// host build, and the "network disk" of the demo.
//
// It is an ordinary host driver (\Driver\SimVolume) written against the host
// kernel's NT API. Each volume is a device \Device\HarddiskVolumeN with the
// DOS link \??\X:, direct I/O, PARTITION_INFORMATION of a given length, and a
// backing store in memory, in a host file, or behind any SimBacking.
//
// Requests that reach past PartitionLength fail whole with
// STATUS_INVALID_PARAMETER and transfer nothing, as the platform's disk class
// driver does; offsets and lengths need no sector alignment. A request without
// an MDL fails with STATUS_INVALID_PARAMETER, an MDL that cannot be mapped with
// STATUS_INSUFFICIENT_RESOURCES. In Pending mode the volume's completion
// threads complete requests at DISPATCH_LEVEL in the order of their due times
// (arrival + latency), several at a time, so latencies overlap.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace sim {

// Where a volume's bytes live. Implementations must be safe for concurrent
// calls on distinct ranges.
class SimBacking {
public:
    virtual ~SimBacking() = default;
    virtual uint64_t Size() const = 0;
    virtual NTSTATUS Read(uint64_t Offset, void *Buffer, uint32_t Length) = 0;
    virtual NTSTATUS Write(uint64_t Offset, const void *Buffer, uint32_t Length) = 0;
    virtual NTSTATUS Flush() { return STATUS_SUCCESS; }
};
std::unique_ptr<SimBacking> MemoryBacking(uint64_t Size);
std::unique_ptr<SimBacking> FileBacking(const std::string &HostPath, uint64_t Size);

enum class Completion {
    Immediate,  // complete inside the dispatch routine
    Pending,    // return STATUS_PENDING and complete from the volume's own thread
};

struct VolumeConfig {
    WCHAR Letter = L'C';
    uint64_t Length = 64ull << 20;  // PartitionLength; need not be a block multiple
    std::shared_ptr<SimBacking> Backing;  // null: memory backing of Length bytes
    Completion Mode = Completion::Immediate;
    // Reject writes that lack SL_FORCE_DIRECT_WRITE with STATUS_ACCESS_DENIED,
    // as a volume with a mounted file system does for raw writes.
    bool FileSystemMounted = true;
    uint32_t LatencyMicros = 0;  // added to every read and write
};

struct VolumeFaults {
    long FailNthRead = 0;   // 1-based count of reads from now; 0: none
    long FailNthWrite = 0;
    NTSTATUS FailStatus = STATUS_IO_DEVICE_ERROR;
    // Every read or write that touches [RangeOffset, RangeOffset + RangeLength) fails.
    uint64_t RangeOffset = 0;
    uint64_t RangeLength = 0;
    bool RangeReads = true;
    bool RangeWrites = true;
    // The Nth read from now (1-based, counted with FailNthRead; 0: none)
    // succeeds short: only its first ShortReadBytes bytes (fewer than asked)
    // are transferred and reported, as a volume may end a transfer early.
    long ShortNthRead = 0;
    uint32_t ShortReadBytes = 0;
};

// Reads and Writes count every request received, failed ones included;
// ReadBytes and WriteBytes count the bytes of successful requests.
struct VolumeCounters {
    std::atomic<uint64_t> Reads{0}, Writes{0}, ReadBytes{0}, WriteBytes{0};
    std::atomic<uint64_t> ForcedWrites{0};   // writes that carried SL_FORCE_DIRECT_WRITE
    std::atomic<uint64_t> RejectedWrites{0}; // refused for lack of the flag
};

class SimVolume;

// Loads \Driver\SimVolume into the host kernel (once per boot).
PDRIVER_OBJECT LoadSimVolumeDriver();
void UnloadSimVolumeDriver();
PDRIVER_OBJECT SimVolumeDriver();

// Creates a volume device with its drive letter. Returns null when the letter
// is taken.
SimVolume *CreateVolume(const VolumeConfig &Config);
void RemoveVolume(SimVolume *Volume);
// The volume with the drive letter (either case), or null.
SimVolume *FindVolume(WCHAR Letter);

class SimVolume {
public:
    virtual ~SimVolume() = default;
    virtual PDEVICE_OBJECT Device() const = 0;
    virtual WCHAR Letter() const = 0;
    virtual uint64_t Length() const = 0;
    virtual SimBacking &Backing() = 0;
    virtual void SetFaults(const VolumeFaults &Faults) = 0;
    virtual void SetLatency(uint32_t Micros) = 0;
    virtual void SetCompletion(Completion Mode) = 0;
    virtual VolumeCounters &Counters() = 0;
    // \Device\HarddiskVolumeN
    virtual std::u16string DeviceName() const = 0;
    virtual void SetFileSystemMounted(bool Mounted) = 0;
};

}  // namespace sim
