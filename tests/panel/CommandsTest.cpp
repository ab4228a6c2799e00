// The five volume commands end to end: driver, cache.ini, list, toolbar and
// every message.
#include "PanelFixture.h"

#include <algorithm>

namespace paneltest {
namespace {

class CommandsTest : public PanelTest {
protected:
    size_t ControlRequests() const
    {
        const std::vector<DWORD> &calls = hostwin32::DeviceControlCalls();
        return (size_t)std::count(calls.begin(), calls.end(), (DWORD)IOCTL_CACHE_CONTROL_VOLUME);
    }
    void Select(WCHAR letter)
    {
        int row = RowOf(letter);
        ASSERT_GE(row, 0);
        hl::ClickRow(*Panel, IDC_VOLUME_LIST, row);
        ClearMessages();
    }
    std::vector<std::string> Section(char letter)
    {
        std::vector<std::string> lines = ConfigLines();
        std::vector<std::string> section;
        bool in = false;
        for (const std::string &line : lines) {
            if (!line.empty() && line[0] == '[') {
                in = line == std::string("[") + letter + "]";
            }
            if (in) {
                section.push_back(line);
            }
        }
        return section;
    }
};

TEST_F(CommandsTest, NewStartsTheVolumeAndThenWritesItsSection)
{
    OpenPanel();
    SettingsInput input;
    input.DiskIndex = 1;  // C:, D:, G: are offered; D:
    input.MemSize = "16";
    input.AllocateIndex = 0;
    ScriptSettings(input);
    hl::ClickToolButton(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_TRUE(Bed().Stats(L'D').has_value());
    ASSERT_EQ(RowOf(L'D'), 0);
    EXPECT_EQ(Cell(0, 0), "D:  [DATA]");
    EXPECT_EQ(Cell(0, 3), "0/16");
    EXPECT_EQ(Section('D'), std::vector<std::string>({"[D]", "VolumeName=D:  [DATA]", "MemSize=16",
                                                      "SsdSize=10240", "AllocateBlockSize=16",
                                                      "CacheBlockSize=64", "SsdUsed=0", "Started=1"}));
    // The new dialog no longer offers D:.
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG, [](ui::Dialog &dialog) {
        std::vector<std::string> offered;
        for (const Text &item : hl::Find(dialog, IDC_DISK_COMBO)->Items) {
            offered.push_back(Utf8(item));
        }
        EXPECT_EQ(offered, std::vector<std::string>({"C:  [本地磁盘]", "G:  [GVOL]"}));
    });
    hl::ClickToolButton(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(Messages(), std::vector<std::string>());
}

TEST_F(CommandsTest, NewWithTheSsdTier)
{
    OpenPanel();
    SettingsInput input;
    input.MemSize = "16";
    input.AllocateIndex = 0;
    input.ToggleSsd = true;
    input.SsdSize = "512";
    input.CacheFile = "S:\\c.dat";
    ScriptSettings(input);
    hl::Command(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    ASSERT_TRUE(Bed().Stats(L'C').has_value());
    EXPECT_EQ(Bed().Stats(L'C')->SsdEnabled, 1);
    EXPECT_EQ(Bed().Stats(L'C')->SsdMaxSize, 20480ull << 20);  // the dialog's upper limit
    EXPECT_EQ(Section('C'),
              std::vector<std::string>({"[C]", "VolumeName=C:  [本地磁盘]", "CacheFile=S:\\c.dat",
                                        "MemSize=16", "SsdSize=512", "AllocateBlockSize=16",
                                        "CacheBlockSize=64", "SsdUsed=1", "Started=1"}));
}

TEST_F(CommandsTest, RefusedNewShowsAddFailedAndWritesNothing)
{
    OpenPanel();
    struct Case {
        const char *what;
        SettingsInput input;
    } cases[3];
    cases[0].what = "SSD below 512 MB";
    cases[0].input.MemSize = "16";
    cases[0].input.AllocateIndex = 0;
    cases[0].input.ToggleSsd = true;
    cases[0].input.SsdSize = "256";
    cases[0].input.CacheFile = "S:\\c.dat";
    cases[1].what = "memory below one allocation block";
    cases[1].input.MemSize = "8";
    cases[1].input.AllocateIndex = 0;
    cases[2].what = "cache file that cannot be created";
    cases[2].input.MemSize = "16";
    cases[2].input.AllocateIndex = 0;
    cases[2].input.ToggleSsd = true;
    cases[2].input.SsdSize = "512";
    cases[2].input.CacheFile = "Q:\\nowhere\\c.dat";
    for (const Case &c : cases) {
        ClearMessages();
        ScriptSettings(c.input);
        hl::Command(*Panel, ID_VOLUME_NEW);
        EXPECT_EQ(Messages(), std::vector<std::string>({"添加失败"})) << c.what;
        EXPECT_FALSE(hostwin32::FileExists(ConfigPath())) << c.what;
        EXPECT_EQ(hl::Find(*Panel, IDC_VOLUME_LIST)->Rows.size(), 0u) << c.what;
        EXPECT_FALSE(Bed().Stats(L'C').has_value()) << c.what;
    }
    // Cancel: nothing at all.
    SettingsInput cancel;
    cancel.Cancel = true;
    ScriptSettings(cancel);
    size_t before = ControlRequests();
    hl::Command(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(ControlRequests(), before);
}

TEST_F(CommandsTest, StartAndStopKeepDriverAndFileInStep)
{
    WriteSection(L'D', "DATA", false);
    OpenPanel();
    Select(L'D');
    hl::ClickToolButton(*Panel, ID_VOLUME_START);
    EXPECT_EQ(Messages(), std::vector<std::string>({"启动成功"}));
    EXPECT_EQ(hl::TheUser().Messages[0].Type, (UINT)(MB_OK | MB_ICONINFORMATION));
    EXPECT_TRUE(Bed().Stats(L'D').has_value());
    EXPECT_EQ(Section('D').back(), "Started=1");
    EXPECT_FALSE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_START));
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_STOP));
    EXPECT_FALSE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_SETTINGS));

    // Start again while cached: refused, nothing changes.
    ClearMessages();
    std::string file = hostwin32::ReadHostFile(ConfigPath());
    hl::Command(*Panel, ID_VOLUME_START);
    EXPECT_EQ(Messages(), std::vector<std::string>({"启动失败"}));
    EXPECT_EQ(hl::TheUser().Messages[0].Type, (UINT)(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(hostwin32::ReadHostFile(ConfigPath()), file);

    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_STOP);
    EXPECT_EQ(Messages(), std::vector<std::string>({"停止成功"}));
    EXPECT_FALSE(Bed().Stats(L'D').has_value());
    EXPECT_EQ(Section('D').back(), "Started=0");
    EXPECT_EQ(Section('D')[3], "SsdSize=0");  // read without SSD, written back
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_START));
    EXPECT_FALSE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_STOP));
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_SETTINGS));

    // Stop while not cached: refused.
    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_STOP);
    EXPECT_EQ(Messages(), std::vector<std::string>({"停止失败"}));
    EXPECT_EQ(Section('D').back(), "Started=0");
}

TEST_F(CommandsTest, MissingSettingsAreReported)
{
    OpenPanel();
    ASSERT_EQ(Bed().StartCache(L'D'), STATUS_SUCCESS);
    WriteSection(L'C', "SYS", false);
    Panel->FillVolumeList();
    // Stop of a cached volume without a section: stopped, then the notice.
    Select(L'D');
    hl::Command(*Panel, ID_VOLUME_STOP);
    EXPECT_EQ(Messages(), std::vector<std::string>({"停止成功", "配置文件损坏:不存在此磁盘信息"}));
    EXPECT_FALSE(Bed().Stats(L'D').has_value());
    // Start of a volume without a section: nothing is sent.
    ClearMessages();
    size_t before = ControlRequests();
    hl::Command(*Panel, ID_VOLUME_START);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件损坏:不存在此磁盘信息"}));
    EXPECT_EQ(ControlRequests(), before);
    // Settings of a volume without a section: the dialog does not open.
    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_SETTINGS);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    EXPECT_TRUE(hl::TheUser().ModalRuns.empty());
}

TEST_F(CommandsTest, NothingSelectedMeansNothingHappens)
{
    WriteSection(L'C', "SYS", true);
    OpenPanel();
    size_t before = ControlRequests();
    for (UINT command : {ID_VOLUME_START, ID_VOLUME_STOP, ID_VOLUME_DELETE, ID_VOLUME_SETTINGS}) {
        hl::Command(*Panel, command);
    }
    EXPECT_EQ(ControlRequests(), before);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_TRUE(hl::TheUser().ModalRuns.empty());
    EXPECT_TRUE(Bed().Stats(L'C').has_value());
}

TEST_F(CommandsTest, DeleteRemovesRowAndSectionWithoutAWord)
{
    WriteSection(L'C', "SYS", true);    // cached
    WriteSection(L'D', "DATA", false);  // not cached
    OpenPanel();
    Select(L'D');
    hl::Command(*Panel, ID_VOLUME_DELETE);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_EQ(RowOf(L'D'), -1);
    EXPECT_TRUE(Section('D').empty());
    EXPECT_EQ(Panel->m_selectedLetter, L'C');  // top row's letter

    Select(L'C');
    Panel->m_selectedLetter = L'X';
    hl::Command(*Panel, ID_VOLUME_DELETE);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_FALSE(Bed().Stats(L'C').has_value());
    EXPECT_TRUE(ConfigLines().empty());
    EXPECT_EQ(Panel->m_selectedLetter, L'X');  // no rows left: unchanged
}

TEST_F(CommandsTest, SettingsRewritesTheSectionAndRetriesAStartedVolume)
{
    // D: is marked started but its start failed at launch (too little memory).
    WriteConfig({"[D]", "VolumeName=D:  [DATA]", "MemSize=8", "SsdSize=10240", "AllocateBlockSize=16",
                 "CacheBlockSize=1024", "SsdUsed=0", "Started=1"});
    OpenPanel();
    EXPECT_EQ(Messages(), std::vector<std::string>({"启动失败"}));
    Select(L'D');
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG, [](ui::Dialog &dialog) {
        auto &config = static_cast<CConfigDlg &>(dialog);
        EXPECT_TRUE(config.m_editMode);
        EXPECT_EQ(Utf8(hl::Find(dialog, IDC_MEM_SIZE)->WindowText), "8");
        EXPECT_EQ(hl::Find(dialog, IDC_CACHE_BLOCK)->CurSel, 5);  // "1M"
        hl::SetText(dialog, IDC_MEM_SIZE, L"32");
        hl::ClickButton(dialog, IDOK);
    });
    hl::Command(*Panel, ID_VOLUME_SETTINGS);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_EQ(Section('D'), std::vector<std::string>({"[D]", "VolumeName=D:  [DATA]", "MemSize=32",
                                                      "SsdSize=10240", "AllocateBlockSize=16",
                                                      "CacheBlockSize=1024", "SsdUsed=0", "Started=1"}));
    EXPECT_TRUE(Bed().Stats(L'D').has_value());  // started by the rebuild
    EXPECT_EQ(RowOf(L'D'), 0);
}

TEST_F(CommandsTest, SettingsOfAVolumeThatLeftTheDiskListKeepsItsOwnSection)
{
    WriteSection(L'G', "GVOL", false);
    OpenPanel();
    Select(L'G');
    // G:'s medium goes away: the dialog cannot offer it any more.
    std::vector<hostwin32::Drive> drives = hostwin32::CurrentMachine().Drives;
    for (hostwin32::Drive &drive : drives) {
        drive.InfoFails = drive.InfoFails || drive.Letter == L'G';
    }
    hostwin32::SetDrives(drives);
    SettingsInput input;
    input.MemSize = "64";
    ScriptSettings(input);
    hl::Command(*Panel, ID_VOLUME_SETTINGS);
    EXPECT_TRUE(Section('C').empty());
    EXPECT_EQ(Section('G')[1], "VolumeName=G:  [GVOL]");
    EXPECT_EQ(Section('G')[2], "MemSize=64");
}

// A cache.ini that cannot be written (read-only here) is reported with the
// settings file's message by every command that writes it. New and Start
// take their start back, so that the driver and the file stay in step; Stop
// leaves the volume stopped as asked; Settings starts nothing from a file it
// could not write; Delete keeps the row of the section that stays.
TEST_F(CommandsTest, FailedSettingsWritesAreReported)
{
    WriteSection(L'D', "DATA", true);
    OpenPanel();
    ASSERT_TRUE(Bed().Stats(L'D').has_value());
    hostwin32::SetFileReadOnly(ConfigPath(), true);
    const std::string file = hostwin32::ReadHostFile(ConfigPath());

    SettingsInput input;
    input.MemSize = "16";
    input.AllocateIndex = 0;
    ScriptSettings(input);  // C:, the one volume not configured
    hl::Command(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    EXPECT_FALSE(Bed().Stats(L'C').has_value()) << "New must take its start back";
    EXPECT_EQ(RowOf(L'C'), -1);

    Select(L'D');
    hl::Command(*Panel, ID_VOLUME_STOP);
    EXPECT_EQ(Messages(), std::vector<std::string>({"停止成功", "配置文件错误"}));
    EXPECT_FALSE(Bed().Stats(L'D').has_value());

    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_START);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    EXPECT_FALSE(Bed().Stats(L'D').has_value()) << "Start must take its start back";
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_START));
    EXPECT_FALSE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_STOP));

    ClearMessages();
    input.MemSize = "64";
    ScriptSettings(input);
    hl::Command(*Panel, ID_VOLUME_SETTINGS);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    EXPECT_FALSE(Bed().Stats(L'D').has_value()) << "no start from an unwritten file";

    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_DELETE);
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    EXPECT_EQ(RowOf(L'D'), 0);
    EXPECT_EQ(hostwin32::ReadHostFile(ConfigPath()), file);

    // Writable again: the same Start goes through.
    hostwin32::SetFileReadOnly(ConfigPath(), false);
    ClearMessages();
    hl::Command(*Panel, ID_VOLUME_START);
    EXPECT_EQ(Messages(), std::vector<std::string>({"启动成功"}));
    EXPECT_TRUE(Bed().Stats(L'D').has_value());
}

// Deleting the selected row clears the selection, and the list control
// tells the window so: the buttons for a selected volume go off, as on
// Windows.
TEST_F(CommandsTest, DeleteOfTheSelectedRowTurnsItsButtonsOff)
{
    WriteSection(L'C', "SYS", true);
    WriteSection(L'D', "DATA", false);
    OpenPanel();
    Select(L'D');
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_START));
    hl::ClickToolButton(*Panel, ID_VOLUME_DELETE);
    EXPECT_EQ(RowOf(L'D'), -1);
    EXPECT_EQ(hl::Find(*Panel, IDC_VOLUME_LIST)->SelectedRow, -1);
    for (UINT command : {ID_VOLUME_START, ID_VOLUME_STOP, ID_VOLUME_DELETE, ID_VOLUME_SETTINGS}) {
        EXPECT_FALSE(hl::ToolButtonEnabled(*Panel, command)) << command;
    }
    EXPECT_TRUE(hl::ToolButtonEnabled(*Panel, ID_VOLUME_NEW));
}

}  // namespace
}  // namespace paneltest

namespace paneltest {
namespace {

TEST_F(CommandsTest, NoRoomForTheSettingsFileIsShownAndNothingIsWritten)
{
    hostwin32::Machine machine = StandardMachine();
    machine.ModulePath = u"C:\\" + std::u16string(247, u'x') + u"\\Tessiro8.exe";
    hostwin32::SetMachine(machine);
    OpenPanel();
    EXPECT_EQ(Messages(), std::vector<std::string>({"配置文件错误"}));
    ClearMessages();
    SettingsInput input;
    input.MemSize = "16";
    input.AllocateIndex = 0;
    ScriptSettings(input);
    hl::Command(*Panel, ID_VOLUME_NEW);
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_TRUE(Bed().Stats(L'C').has_value());
    EXPECT_FALSE(hostwin32::FileExists(machine.ModulePath.substr(0, 250) + u"\\cache.ini"));
    EXPECT_FALSE(hostwin32::FileExists(u"C:\\cache.ini"));
}

}  // namespace
}  // namespace paneltest
