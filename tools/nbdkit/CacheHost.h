// One cached volume in a booted host kernel: the simulated volume driver owns
// a volume whose bytes live in a given backing store, the cache driver is
// loaded and caches that volume, and reads and writes are sent to the volume's
// device as the system would send them, so they pass the interception, the
// queue and the worker.
#pragma once

#include "CacheSettings.h"

#include <SimVolume.h>
#include <shared/CacheProtocol.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace nbdcache {

struct HostOptions {
    WCHAR Letter = L'C';
    // Factor on the kernel's delays; a volume stop drains for one second
    // times this.
    double DelayScale = 0.01;
    CacheSettings Settings;
};

class CacheHost {
public:
    CacheHost() = default;
    ~CacheHost();
    CacheHost(const CacheHost &) = delete;
    CacheHost &operator=(const CacheHost &) = delete;

    // Boots the kernel (real-time tick), loads both drivers, creates the
    // volume over Backing and starts caching it with Options.Settings.
    // On failure everything is torn down again and Error says why.
    bool Start(const HostOptions &Options, std::shared_ptr<sim::SimBacking> Backing, std::string *Error);
    // Stops the volume's cache as the control panel's Stop does (which
    // deletes the cache file), unloads the cache driver, removes the volume
    // and shuts the kernel down. Returns false when anything leaked.
    bool Stop();
    bool Running() const { return Up; }

    // The volume transfers whole sectors of this size, as a disk does.
    static constexpr uint32_t SectorSize = 512;
    // The volume's length: the backing store's whole sectors.
    uint64_t Size() const { return Length; }
    // Reads and writes through the volume's device. Information is the byte
    // count the request completed with.
    NTSTATUS Read(uint64_t Offset, void *Buffer, uint32_t Count, ULONG_PTR *Information);
    NTSTATUS Write(uint64_t Offset, const void *Buffer, uint32_t Count, ULONG_PTR *Information);
    NTSTATUS Flush();

    // The volume's statistics as the control panel's query returns them;
    // false when the volume is not cached.
    bool QueryStatistics(CacheStatistics *Statistics);
    // The volume's row text as the control panel builds it ("C:  [LABEL]").
    const std::u16string &VolumeLabel() const { return Label; }
    WCHAR Letter() const { return DriveLetter; }
    // Host path of the SSD tier's cache file; empty without the SSD tier.
    const std::string &CacheFilePath() const { return CacheFileHost; }

    // One device control request on the control device, opened and closed
    // around it as the control panel's client does.
    NTSTATUS Control(ULONG Code, const void *Input, ULONG InputLength, void *Output, ULONG OutputLength,
                     ULONG_PTR *Information);

private:
    bool Fail(const std::string &What, std::string *Error);
    NTSTATUS SendStart(const CacheSettings &Settings);
    NTSTATUS SendStop();

    bool Up = false;
    bool Booted = false;
    bool CacheStarted = false;
    PDRIVER_OBJECT Driver = nullptr;
    sim::SimVolume *Volume = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    std::shared_ptr<sim::SimBacking> Backing;
    uint64_t Length = 0;
    WCHAR DriveLetter = L'C';
    WCHAR CacheDriveLetter = 0;
    std::string CacheFileHost;
    std::u16string CacheFileWin32;
    std::u16string Label;
    std::mutex ControlLock;  // the control device admits one open handle
};

}  // namespace nbdcache
