// The three client calls against the host driver.
#include "PanelFixture.h"

#include "panel/ControlRequest.h"
#include "panel/DriverClient.h"
#include "panel/DriverInstall.h"

#include <string.h>

namespace paneltest {
namespace {

class DriverClientTest : public PanelTest {};

// A start request of 16 MB in 16 MB allocation blocks and 64 KB cache blocks.
CacheControlRequest MemoryOnlyStart(WCHAR letter)
{
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    settings.MemSize = 16;
    settings.AllocateBlockSize = 16;
    settings.CacheBlockSize = 64;
    CacheControlRequest request;
    EXPECT_TRUE(BuildStartRequest(settings, letter, &request));
    request.DriveLetter = letter;  // the driver takes either case
    return request;
}

VolumeSettings SsdSettings(const std::u16string &cacheFile)
{
    VolumeSettings settings;
    memset(&settings, 0, sizeof(settings));
    settings.MemSize = 16;
    settings.SsdSize = 512;
    settings.AllocateBlockSize = 16;
    settings.CacheBlockSize = 64;
    settings.SsdUsed = 1;
    memcpy(settings.CacheFile, cacheFile.c_str(), (cacheFile.size() + 1) * sizeof(WCHAR));
    return settings;
}

TEST_F(DriverClientTest, CallsOpenAndCloseTheDeviceEachTime)
{
    EXPECT_EQ(QueryDriverVersion(), DRIVER_NOT_RUNNING);
    CacheStatistics s;
    EXPECT_FALSE(QueryVolumeStatistics(L'C', &s));
    EXPECT_FALSE(SendControlRequest(MemoryOnlyStart(L'C')));
    EXPECT_TRUE(hostwin32::DeviceControlCalls().empty());

    ASSERT_TRUE(CreateAndStartService());
    EXPECT_EQ(QueryDriverVersion(), CACHE_DRIVER_VERSION);
    EXPECT_TRUE(SendControlRequest(MemoryOnlyStart(L'c')));
    memset(&s, 0xAB, sizeof(s));
    ASSERT_TRUE(QueryVolumeStatistics(L'C', &s));
    EXPECT_EQ(s.MemorySize, 16u << 20);
    EXPECT_EQ(s.SsdEnabled, 0);
    EXPECT_EQ(s.SsdSize, 0u);

    CacheStatistics untouched;
    memset(&untouched, 0x5A, sizeof(untouched));
    CacheStatistics copy = untouched;
    EXPECT_FALSE(QueryVolumeStatistics(L'D', &copy));
    EXPECT_EQ(memcmp(&copy, &untouched, sizeof(copy)), 0);
    EXPECT_EQ(hostwin32::OpenDeviceHandles(), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_GEN_FAILURE);  // STATUS_UNSUCCESSFUL

    EXPECT_TRUE(SendControlRequest(BuildStopRequest(L'C')));
    EXPECT_FALSE(SendControlRequest(BuildStopRequest(L'C')));
}

TEST_F(DriverClientTest, CacheFilePathMustFitTheRequest)
{
    ASSERT_TRUE(CreateAndStartService());
    hostwin32::ClearDeviceControlCalls();
    std::u16string tooLong = u"S:\\" + std::u16string(254, u'p');  // 257 units
    EXPECT_FALSE(SendStartRequest(SsdSettings(tooLong), L'C'));
    EXPECT_TRUE(hostwin32::DeviceControlCalls().empty());
    EXPECT_FALSE(Bed().Stats(L'C').has_value());

    std::u16string fits = u"S:\\" + std::u16string(253, u'p');  // 256 units
    EXPECT_TRUE(SendStartRequest(SsdSettings(fits), L'C'));
    EXPECT_EQ(hostwin32::DeviceControlCalls().size(), 1u);
    ASSERT_TRUE(Bed().Stats(L'C').has_value());
    EXPECT_EQ(Bed().Stats(L'C')->SsdSize, 512ull << 20);
}

}  // namespace
}  // namespace paneltest
