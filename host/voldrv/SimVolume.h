// The simulated volume driver: the owning driver of every cached volume in the
// host build, and the "network disk" of the demo.
//
// It is an ordinary host driver (\Driver\SimVolume) written against the host
// kernel's NT API. Each volume is a device \Device\HarddiskVolumeN with the
// DOS link \??\X:, direct I/O, PARTITION_INFORMATION of a given length, and a
// backing store in memory, in a host file, or behind any SimBacking.
//
// Requests that reach past PartitionLength, or whose offset or length is not a
// whole number of 512-byte sectors, fail whole with STATUS_INVALID_PARAMETER
// and transfer nothing, as the platform's disk class driver does. A request
// without an MDL, or whose MDL describes fewer bytes than its length, fails
// with STATUS_INVALID_PARAMETER, an MDL that cannot be mapped with
// STATUS_INSUFFICIENT_RESOURCES.
//
// Two driver objects can own volumes: \Driver\SimVolume (index 0) and
// \Driver\SimVolume2 (index 1), the same code under a second driver, for a
// machine whose volumes belong to more than one volume driver. A volume may
// have a disk device below it (DiskBelow): the volume device then passes each
// read and write down to that device, which serves it, and its stack size is
// one more than the disk's, as for a volume on a partition of a disk. In Pending mode the volume's completion
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
    uint64_t Length = 64ull << 20;        // PartitionLength; need not be a block multiple
    std::shared_ptr<SimBacking> Backing;  // null: memory backing of Length bytes
    Completion Mode = Completion::Immediate;
    // Reject writes that lack SL_FORCE_DIRECT_WRITE with STATUS_ACCESS_DENIED,
    // as a volume with a mounted file system does for raw writes.
    bool FileSystemMounted = true;
    uint32_t LatencyMicros = 0;  // added to every read and write
    unsigned Driver = 0;         // 0: \Driver\SimVolume, 1: \Driver\SimVolume2
    bool DiskBelow = false;      // a disk device below the volume serves its requests
};

struct VolumeFaults {
    long FailNthRead = 0;  // 1-based count of reads from now; 0: none
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
    std::atomic<uint64_t> ForcedWrites{0};        // writes that carried SL_FORCE_DIRECT_WRITE
    std::atomic<uint64_t> RejectedWrites{0};      // refused for lack of the flag
    std::atomic<uint64_t> WriteThroughWrites{0};  // writes that carried SL_WRITE_THROUGH
    std::atomic<uint64_t> VerifyOverrides{0};     // requests that carried SL_OVERRIDE_VERIFY_VOLUME
};

class SimVolume;

constexpr unsigned SimVolumeDrivers = 2;
// Loads the volume driver of the index into the host kernel (once per boot).
PDRIVER_OBJECT LoadSimVolumeDriver(unsigned Index = 0);
// Unloads every loaded volume driver.
void UnloadSimVolumeDriver();
PDRIVER_OBJECT SimVolumeDriver(unsigned Index = 0);

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
    // The disk device below the volume (DiskBelow), or null.
    virtual PDEVICE_OBJECT DiskDevice() const = 0;
};

}  // namespace sim
