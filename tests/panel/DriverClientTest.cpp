// The three client calls against the host driver.
#include "PanelFixture.h"

#include "panel/DriverClient.h"
#include "panel/DriverInstall.h"

#include <string.h>

namespace paneltest {
namespace {

class DriverClientTest : public PanelTest {};

TEST_F(DriverClientTest, CallsOpenAndCloseTheDeviceEachTime)
{
    EXPECT_EQ(QueryDriverVersion(), DRIVER_NOT_RUNNING);
    CacheStatistics s;
    EXPECT_FALSE(QueryVolumeStatistics(L'C', &s));
    EXPECT_FALSE(SendControlRequest(nullptr, FALSE, L'C', TRUE, 16 << 20, 0, 16 << 20, 65536,
                                    FALSE, 0));
    EXPECT_TRUE(hostwin32::DeviceControlCalls().empty());

    ASSERT_TRUE(CreateAndStartService());
    EXPECT_EQ(QueryDriverVersion(), CACHE_DRIVER_VERSION);
    EXPECT_TRUE(SendControlRequest(nullptr, FALSE, L'c', TRUE, 16 << 20, 0, 16 << 20, 65536,
                                   FALSE, 0));
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

    EXPECT_TRUE(SendControlRequest(nullptr, FALSE, L'C', FALSE, 0, 0, 0, 0, FALSE, 0));
    EXPECT_FALSE(SendControlRequest(nullptr, FALSE, L'C', FALSE, 0, 0, 0, 0, FALSE, 0));
}

TEST_F(DriverClientTest, CacheFilePathMustFitTheRequest)
{
    ASSERT_TRUE(CreateAndStartService());
    hostwin32::ClearDeviceControlCalls();
    std::u16string tooLong = u"S:\\" + std::u16string(254, u'p');  // 257 units
    EXPECT_FALSE(SendControlRequest(W(tooLong), TRUE, L'C', TRUE, 16 << 20, 512ull << 20,
                                    16 << 20, 65536, FALSE, 0));
    EXPECT_TRUE(hostwin32::DeviceControlCalls().empty());
    EXPECT_FALSE(Bed().Stats(L'C').has_value());

    std::u16string fits = u"S:\\" + std::u16string(253, u'p');  // 256 units
    EXPECT_TRUE(SendControlRequest(W(fits), TRUE, L'C', TRUE, 16 << 20, 512ull << 20, 16 << 20,
                                   65536, FALSE, 0));
    EXPECT_EQ(hostwin32::DeviceControlCalls().size(), 1u);
    ASSERT_TRUE(Bed().Stats(L'C').has_value());
    EXPECT_EQ(Bed().Stats(L'C')->SsdSize, 512ull << 20);
}

}  // namespace
}  // namespace paneltest
