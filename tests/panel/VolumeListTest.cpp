// The volume list over the simulated machine: eligibility, auto-start, row
// texts, refresh, selection, toolbar states and the context menu.
#include "PanelFixture.h"

#include <algorithm>

namespace paneltest {
namespace {

class VolumeListTest : public PanelTest {
protected:
    size_t ControlRequests() const
    {
        const std::vector<DWORD> &calls = hostwin32::DeviceControlCalls();
        return (size_t)std::count(calls.begin(), calls.end(), (DWORD)IOCTL_CACHE_CONTROL_VOLUME);
    }
    void ReadVolume(WCHAR letter, uint64_t offset, ULONG length)
    {
        std::vector<uint8_t> buffer(length);
        ASSERT_EQ(Bed().Read(letter, offset, buffer.data(), length), STATUS_SUCCESS);
    }
};

TEST_F(VolumeListTest, OnlyConfiguredOrCachedHardDisksGetRows)
{
    WriteSection(L'C', "SYS", true);    // started at launch
    WriteSection(L'E', "CDROM", true);  // CD-ROM: no row, no start
    WriteSection(L'F', "SHARE", true);  // network drive: no row, no start
    WriteSection(L'G', "GVOL", false);  // device query fails: accepted, not started
    WriteSection(L'Z', "GONE", true);   // drive missing: no row, no start
    OpenPanel();
    EXPECT_EQ(Messages(), std::vector<std::string>());
    ASSERT_EQ(hl::Find(*Panel, IDC_VOLUME_LIST)->Rows.size(), 2u);
    EXPECT_EQ(Cell(0, 0), "C:  [SYS]");
    EXPECT_EQ(Cell(1, 0), "G:  [GVOL]");
    EXPECT_EQ(ControlRequests(), 1u);
    EXPECT_TRUE(Bed().Stats(L'C').has_value());
    // Rows keep the configured texts until the next refresh.
    std::vector<std::string> g = {Cell(1, 1), Cell(1, 2), Cell(1, 3), Cell(1, 4)};
    EXPECT_EQ(g, std::vector<std::string>({"-----", "0.00%", "0/16", "-----"}));
    EXPECT_EQ(Cell(0, 1), "-----");
    hl::FireTimer(*Panel, REFRESH_TIMER_ID);
    EXPECT_EQ(Cell(0, 1), "0");  // 64 MiB volume
    EXPECT_EQ(Cell(0, 2), "0%");
    EXPECT_EQ(Cell(0, 3), "0/16");
    EXPECT_EQ(Cell(0, 4), "-----");
    EXPECT_EQ(Cell(1, 3), "0/16");  // not cached: untouched
}

TEST_F(VolumeListTest, FailedAutoStartIsReportedOncePerVolume)
{
    WriteSection(L'C', "SYS", true);
    // 8 MB of memory in 16 MB allocation blocks rounds to nothing: refused.
    WriteConfig({"[C]", "VolumeName=C:  [SYS]", "MemSize=8", "AllocateBlockSize=16", "CacheBlockSize=64",
                 "Started=1", "[D]", "VolumeName=D:  [DATA]", "MemSize=16", "AllocateBlockSize=16",
                 "CacheBlockSize=64", "Started=1"});
    OpenPanel();
    EXPECT_EQ(Messages(), std::vector<std::string>({"启动失败"}));
    EXPECT_FALSE(Bed().Stats(L'C').has_value());
    EXPECT_TRUE(Bed().Stats(L'D').has_value());
    EXPECT_EQ(ConfigLines()[5], "Started=1");  // settings unchanged
}

TEST_F(VolumeListTest, CachedVolumesAreListedWithoutSettingsAndNeverStartedTwice)
{
    WriteSection(L'C', "SYS", true);
    OpenPanel();
    ASSERT_EQ(Bed().StartCache(L'D'), STATUS_SUCCESS);  // cached, no section
    size_t before = ControlRequests();
    Panel->FillVolumeList();
    EXPECT_EQ(ControlRequests(), before);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    ASSERT_EQ(hl::Find(*Panel, IDC_VOLUME_LIST)->Rows.size(), 2u);
    EXPECT_EQ(Cell(0, 0), "C:  [本地磁盘]");  // live label, empty label of C:
    EXPECT_EQ(Cell(1, 0), "D:  [DATA]");      // upper-cased
    EXPECT_EQ(Cell(1, 3), "0/16");
}

TEST_F(VolumeListTest, RefreshAndDetailListFollowTheClickedVolume)
{
    WriteSection(L'C', "SYS", true);
    WriteSection(L'D', "DATA", true);
    OpenPanel();
    // No click yet: the detail list stays empty.
    ReadVolume(L'C', 0, 1 << 20);
    hl::FireTimer(*Panel, REFRESH_TIMER_ID);
    EXPECT_EQ(DetailCell(0, 1), "");
    EXPECT_EQ(Cell(0, 2), "0.00%");  // 1 MiB read, all from the volume

    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 0);
    EXPECT_EQ(Panel->m_selectedLetter, L'C');
    EXPECT_EQ(DetailCell(0, 2), "1.00 MB");
    EXPECT_EQ(DetailCell(0, 3), "0.00 MB/S");  // first sample: no speed
    ReadVolume(L'C', 0, 1 << 20);              // now from memory
    hl::FireTimer(*Panel, REFRESH_TIMER_ID);
    EXPECT_EQ(DetailCell(0, 3), "1.00 MB/S");
    EXPECT_EQ(DetailCell(2, 2), "1.00 MB");
    EXPECT_EQ(Cell(0, 2), "50.00%");

    // Another volume: its first sample shows no speed either.
    ReadVolume(L'D', 0, 2 << 20);
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 1);
    EXPECT_EQ(DetailCell(0, 2), "2.00 MB");
    EXPECT_EQ(DetailCell(0, 3), "0.00 MB/S");

    // A row with an empty first column is skipped by the refresh.
    hl::Find(*Panel, IDC_VOLUME_LIST)->Rows.push_back({Text(L""), Text(L"x")});
    hl::FireTimer(*Panel, REFRESH_TIMER_ID);
    EXPECT_EQ(Cell(2, 1), "x");
}

TEST_F(VolumeListTest, SelectionSetsTheToolbarAndTheContextMenu)
{
    WriteSection(L'C', "SYS", true);
    WriteSection(L'D', "DATA", false);
    OpenPanel();
    auto states = [&]() {
        std::vector<bool> on;
        for (UINT command : {ID_VOLUME_NEW, ID_VOLUME_START, ID_VOLUME_STOP, ID_VOLUME_DELETE,
                             ID_VOLUME_SETTINGS, ID_ABOUT}) {
            on.push_back(hl::ToolButtonEnabled(*Panel, command));
        }
        return on;
    };
    using V = std::vector<bool>;
    EXPECT_EQ(states(), V({true, false, false, false, false, true}));
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 0);  // cached
    EXPECT_EQ(states(), V({true, false, true, true, false, true}));
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 1);  // not cached
    EXPECT_EQ(states(), V({true, true, false, true, true, true}));
    std::string shown = DetailCell(0, 2);
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, -1);  // empty area
    EXPECT_EQ(states(), V({true, false, false, false, false, true}));
    EXPECT_EQ(Panel->m_selectedLetter, L'D');
    EXPECT_EQ(DetailCell(0, 2), shown);

    struct MenuCase {
        int row;
        int popup;
        std::vector<UINT> items;
    } menus[] = {
        {-1, VOLUME_MENU_NO_ROW, {ID_VOLUME_NEW}},
        {0, VOLUME_MENU_CACHED, {ID_VOLUME_NEW, ID_VOLUME_STOP, ID_VOLUME_DELETE}},
        {1, VOLUME_MENU_NOT_CACHED, {ID_VOLUME_NEW, ID_VOLUME_START, ID_VOLUME_SETTINGS, ID_VOLUME_DELETE}},
    };
    for (const MenuCase &m : menus) {
        hl::RightClickRow(*Panel, IDC_VOLUME_LIST, m.row);
        ASSERT_FALSE(hl::TheUser().Menus.empty());
        EXPECT_EQ(hl::TheUser().Menus.back().MenuId, IDR_VOLUME_MENU);
        EXPECT_EQ(hl::TheUser().Menus.back().Popup, m.popup) << m.row;
        EXPECT_EQ(hl::TheUser().Menus.back().Commands, m.items) << m.row;
    }
    // A chosen item arrives as the command.
    hl::TheUser().ChooseMenuItem(ID_VOLUME_STOP);
    hl::RightClickRow(*Panel, IDC_VOLUME_LIST, 0);
    EXPECT_EQ(Messages(), std::vector<std::string>({"停止成功"}));
    EXPECT_FALSE(Bed().Stats(L'C').has_value());
}

}  // namespace
}  // namespace paneltest

namespace paneltest {
namespace {

// The speed is the difference to the previous sample of the same volume
// only while the samples follow one another: a click on a volume that is
// not cached breaks the run, so C's next sample shows no speed.
TEST_F(VolumeListTest, SpeedStartsAgainAfterAClickOnAVolumeThatIsNotCached)
{
    WriteSection(L'C', "SYS", true);
    WriteSection(L'D', "DATA", false);
    OpenPanel();
    ReadVolume(L'C', 0, 1 << 20);
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 0);
    EXPECT_EQ(DetailCell(0, 3), "0.00 MB/S");
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 1);  // D: not cached, detail list kept
    EXPECT_EQ(DetailCell(0, 2), "1.00 MB");
    ReadVolume(L'C', 0, 1 << 20);
    hl::ClickRow(*Panel, IDC_VOLUME_LIST, 0);
    EXPECT_EQ(DetailCell(0, 2), "2.00 MB");
    EXPECT_EQ(DetailCell(0, 3), "0.00 MB/S");
    // From here on the samples are C's own again.
    ReadVolume(L'C', 0, 1 << 20);
    hl::FireTimer(*Panel, REFRESH_TIMER_ID);
    EXPECT_EQ(DetailCell(0, 3), "1.00 MB/S");
}

}  // namespace
}  // namespace paneltest
