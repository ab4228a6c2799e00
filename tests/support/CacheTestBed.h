// The test bed that every driver-level test shares: a booted host kernel with
// the simulated volume driver and the cache driver loaded, volumes with drive
// letters, a drive letter for cache files, and the control calls exactly as
// the control panel's client makes them (open \??\Tessiro8, one device control
// request, close).
//
// CacheTestBed is a plain class (benchmarks and tools may use it); the gtest
// fixture CacheDriverTest wraps it and checks at teardown that the driver
// unloads cleanly and leaves no pool allocation with the driver's tag.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "host/kernel/include/HostKernel.h"
#include "host/voldrv/SimVolume.h"

namespace testbed {

constexpr ULONG KiB = 1024;
constexpr ULONG MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024ull * 1024 * 1024;

// The drive letter whose files live in the test bed's temporary directory;
// cache files go there unless a test maps another letter.
constexpr WCHAR kCacheLetter = L'S';

// One start request's settings, as the control panel would send them. With
// SsdEnabled and an empty CacheFilePath, the file S:\cache-<letter>.dat is used.
struct StartSettings {
    uint64_t MemorySize = 16 * MiB;
    ULONG AllocateBlockSize = 4 * MiB;
    ULONG CacheBlockSize = 64 * KiB;
    bool SsdEnabled = false;
    uint64_t SsdSize = 0;
    bool SsdAutoGrow = false;
    uint64_t SsdMaxSize = 0;
    std::u16string CacheFilePath;  // Win32 form, e.g. u"S:\\c.dat"

    static StartSettings WithSsd(uint64_t SsdSize = 512 * MiB)
    {
        StartSettings s;
        s.SsdEnabled = true;
        s.SsdSize = SsdSize;
        return s;
    }
};

struct BedOptions {
    double DelayScale = 0.001;  // a volume stop's one-second drain takes 1 ms
    bool LoadCacheDriver = true;
};

// Deterministic content for volume bytes: byte at Offset of a volume filled
// with Seed.
uint8_t PatternByte(uint64_t Offset, uint32_t Seed = 0);
std::vector<uint8_t> Pattern(uint64_t Offset, size_t Length, uint32_t Seed = 0);

class CacheTestBed {
public:
    explicit CacheTestBed(const BedOptions &Options = BedOptions());
    ~CacheTestBed();  // shuts down whatever is still up, without checks
    CacheTestBed(const CacheTestBed &) = delete;
    CacheTestBed &operator=(const CacheTestBed &) = delete;

    // --- volumes ---------------------------------------------------------
    // Creates a volume of Length bytes with the letter, filled with
    // Pattern(offset, ..., Seed) so that reads can be checked.
    sim::SimVolume *AddVolume(WCHAR Letter, uint64_t Length = 64 * MiB,
                              sim::Completion Mode = sim::Completion::Immediate, uint32_t Seed = 0);
    sim::SimVolume *AddVolume(const sim::VolumeConfig &Config);  // backing as given
    // Fills a volume's backing with Pattern(offset, ..., Seed).
    void FillPattern(WCHAR Letter, uint32_t Seed = 0);
    sim::SimVolume *Volume(WCHAR Letter) const;  // null when absent

    // --- cache files -----------------------------------------------------
    const std::string &CacheDirectory() const { return CacheDir; }
    // Host path of a file named Name under kCacheLetter's directory.
    std::string HostCachePath(const std::string &Name) const;
    // Re-maps kCacheLetter (e.g. to give it a device or limit free space).
    void MapCacheDrive(PDEVICE_OBJECT Device, uint64_t FreeBytes = 0);
    static bool FileExists(const std::string &HostPath);

    // --- control device, as the control panel's client uses it ------------
    // Builds the 560-byte request as SendControlRequest does.
    static CacheControlRequest BuildRequest(WCHAR Letter, bool Start,
                                            const StartSettings &Settings = StartSettings());
    // Sends IOCTL_CACHE_CONTROL_VOLUME with Length input bytes (at least the
    // 560 of the request; extra bytes are zero).
    NTSTATUS Control(const CacheControlRequest &Request, ULONG Length = sizeof(CacheControlRequest));
    NTSTATUS StartCache(WCHAR Letter, const StartSettings &Settings = StartSettings());
    NTSTATUS StopCache(WCHAR Letter);
    NTSTATUS QueryStats(WCHAR Letter, CacheStatistics *Statistics);
    std::optional<CacheStatistics> Stats(WCHAR Letter);  // empty when not cached
    NTSTATUS QueryVersion(ULONG *Version);
    // Any device control on the control device: input and output as given.
    NTSTATUS RawControl(ULONG Code, const void *Input, ULONG InputLength, void *Output, ULONG OutputLength,
                        ULONG_PTR *Information = nullptr);

    // --- I/O through the volume's device (and thus the interception) -------
    NTSTATUS Read(WCHAR Letter, uint64_t Offset, void *Buffer, ULONG Length, ULONG_PTR *Information = nullptr,
                  bool MapBuffer = true);
    NTSTATUS Write(WCHAR Letter, uint64_t Offset, const void *Buffer, ULONG Length,
                   ULONG_PTR *Information = nullptr, bool MapBuffer = true);
    std::vector<uint8_t> ReadBytes(WCHAR Letter, uint64_t Offset, ULONG Length);
    // Direct access to a volume's backing, below every driver.
    std::vector<uint8_t> BackingBytes(WCHAR Letter, uint64_t Offset, ULONG Length);
    void WriteBacking(WCHAR Letter, uint64_t Offset, const std::vector<uint8_t> &Bytes);

    // --- driver state ------------------------------------------------------
    PDRIVER_OBJECT CacheDriver() const { return Driver; }
    PDRIVER_OBJECT VolumeDriver() const;
    // Stops nothing itself: CacheUnload stops the remaining volumes. Returns
    // host::UnloadDriver's verdict (no live 'LTAH' allocation, no device left).
    bool UnloadCacheDriver();
    // Unloads the cache driver (if loaded), removes the volumes and shuts the
    // kernel down. Returns false when anything leaked.
    bool Shutdown();

private:
    std::string CacheDir;
    PDRIVER_OBJECT Driver = nullptr;
    std::map<WCHAR, sim::SimVolume *> Volumes;
    bool Up = false;
};

// gtest fixture: one test bed per test; teardown checks a clean unload.
class CacheDriverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual BedOptions Options() const { return BedOptions(); }

    CacheTestBed &Bed() { return *TestBed; }

    std::unique_ptr<CacheTestBed> TestBed;
};

}  // namespace testbed
