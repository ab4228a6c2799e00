// The settings dialog on its own: defaults, edit mode, enabling rules, the
// checks of OK, Browse and Cancel.
#include "PanelFixture.h"

#include <sys/stat.h>

namespace paneltest {
namespace {

class ConfigDlgTest : public PanelTest {
protected:
    CConfigDlg &OpenNew()
    {
        Dialog = std::make_unique<CConfigDlg>();
        hl::Open(*Dialog);
        return *Dialog;
    }
    CConfigDlg &OpenEdit(WCHAR letter)
    {
        Dialog = std::make_unique<CConfigDlg>();
        WCHAR path[CONFIG_PATH_CHARS];
        BuildConfigPath(path);
        EXPECT_TRUE(ReadVolumeSettings(letter, &Dialog->m_settings, path));
        Dialog->m_editMode = true;
        Dialog->m_editLetter = letter;
        hl::Open(*Dialog);
        return *Dialog;
    }
    std::string Field(int id) { return Utf8(hl::Find(*Dialog, id)->WindowText); }
    bool Enabled(int id) { return hl::Find(*Dialog, id)->Enabled; }
    std::string Selected(int id)
    {
        hl::ControlState *combo = hl::Find(*Dialog, id);
        return combo->CurSel < 0 ? "" : Utf8(combo->Items[combo->CurSel]);
    }
    void TearDown() override
    {
        if (Dialog) {
            hl::Close(*Dialog);
        }
        PanelTest::TearDown();
    }
    std::unique_ptr<CConfigDlg> Dialog;
};

TEST_F(ConfigDlgTest, NewDialogOffersUnconfiguredDisksWithDefaults)
{
    WriteSection(L'C', "SYS", false);
    OpenNew();
    std::vector<std::string> disks;
    for (const Text &item : hl::Find(*Dialog, IDC_DISK_COMBO)->Items) {
        disks.push_back(Utf8(item));
    }
    EXPECT_EQ(disks, std::vector<std::string>({"D:  [DATA]", "G:  [GVOL]"}));
    EXPECT_EQ(Selected(IDC_DISK_COMBO), "D:  [DATA]");
    EXPECT_TRUE(Enabled(IDC_DISK_COMBO));
    EXPECT_EQ(Field(IDC_MEM_SIZE), "1024");
    EXPECT_EQ(Field(IDC_SSD_SIZE), "10240");
    EXPECT_EQ(Field(IDC_SSD_MAX_SIZE), "20480");
    EXPECT_EQ(Field(IDC_CACHE_FILE), "");
    EXPECT_EQ(Selected(IDC_ALLOCATE_BLOCK), "32M");
    EXPECT_EQ(Selected(IDC_CACHE_BLOCK), "64K");
    EXPECT_EQ(hl::Find(*Dialog, IDC_ALLOCATE_BLOCK)->Items.size(), 4u);
    EXPECT_EQ(hl::Find(*Dialog, IDC_CACHE_BLOCK)->Items.size(), 6u);
    for (int id : {IDC_SSD_SIZE, IDC_CACHE_FILE, IDC_BROWSE, IDC_SSD_MAX_SIZE, IDC_SSD_GROW}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    EXPECT_EQ(hl::Find(*Dialog, IDC_SSD_ENABLE)->Check, BST_UNCHECKED);
}

TEST_F(ConfigDlgTest, EditModeShowsTheStoredSettings)
{
    struct Case {
        const char *allocate;
        const char *cache;
        bool ssd;
        const char *allocateShown;
        const char *cacheShown;
    } cases[] = {
        {"64", "1024", true, "64M", "1M"},
        {"128", "8", false, "128M", "64K"},  // no entry for 8 KB: default kept
        {"48", "4", false, "32M", "4K"},
    };
    for (const Case &c : cases) {
        WriteConfig({"[D]", "VolumeName=D:  [DATA]", "CacheFile=S:\\d.dat", "MemSize=300", "SsdSize=2048",
                     std::string("AllocateBlockSize=") + c.allocate, std::string("CacheBlockSize=") + c.cache,
                     c.ssd ? "SsdUsed=1" : "SsdUsed=0"});
        OpenEdit(L'D');
        EXPECT_EQ(Selected(IDC_DISK_COMBO), "D:  [DATA]");
        EXPECT_EQ(hl::Find(*Dialog, IDC_DISK_COMBO)->Items.size(), 3u);  // C, D, G
        EXPECT_FALSE(Enabled(IDC_DISK_COMBO));
        EXPECT_EQ(Field(IDC_MEM_SIZE), "300");
        EXPECT_EQ(Selected(IDC_ALLOCATE_BLOCK), c.allocateShown);
        EXPECT_EQ(Selected(IDC_CACHE_BLOCK), c.cacheShown);
        EXPECT_EQ(Field(IDC_SSD_SIZE), c.ssd ? "2048" : "10240");
        EXPECT_EQ(Field(IDC_CACHE_FILE), c.ssd ? "S:\\d.dat" : "");
        EXPECT_EQ(Enabled(IDC_SSD_SIZE), c.ssd);
        EXPECT_FALSE(Enabled(IDC_CACHE_FILE));
        EXPECT_FALSE(Enabled(IDC_BROWSE));
        EXPECT_EQ(hl::Find(*Dialog, IDC_SSD_ENABLE)->Check, c.ssd ? BST_CHECKED : BST_UNCHECKED);
        hl::Close(*Dialog);
        Dialog.reset();
    }
}

TEST_F(ConfigDlgTest, SsdCheckBoxDrivesTheSsdControls)
{
    OpenNew();
    hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
    EXPECT_TRUE(Enabled(IDC_SSD_SIZE));
    EXPECT_TRUE(Enabled(IDC_CACHE_FILE));
    EXPECT_TRUE(Enabled(IDC_BROWSE));
    EXPECT_FALSE(Enabled(IDC_SSD_GROW));
    EXPECT_FALSE(Enabled(IDC_SSD_MAX_SIZE));
    hl::ClickButton(*Dialog, IDC_SSD_GROW);  // disabled: no effect
    EXPECT_FALSE(Dialog->m_ssdGrow);
    hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
    EXPECT_FALSE(Enabled(IDC_SSD_SIZE));
    EXPECT_FALSE(Enabled(IDC_CACHE_FILE));
    EXPECT_FALSE(Enabled(IDC_BROWSE));
}

TEST_F(ConfigDlgTest, OkChecksItsFields)
{
    std::string longPath = "S:\\" + std::string(254, 'p');  // 257 units
    std::string fitting = "S:\\" + std::string(253, 'p');   // 256 units
    struct Case {
        const char *what;
        const char *mem;
        const char *ssd;
        bool ssdOn;
        std::string path;
        const char *message;  // nullptr: accepted
    } cases[] = {
        {"memory 0", "0", "10240", false, "", "参数错误"},
        {"SSD size 0 with the tier off", "16", "0", false, "", "参数错误"},
        {"tier on, empty path", "16", "512", true, "", "参数错误"},
        {"tier on, blank path passes", "16", "512", true, " ", nullptr},
        {"path too long for the request", "16", "512", true, longPath, "参数错误"},
        {"longest path that fits", "16", "512", true, fitting, nullptr},
        {"memory not a number", "12a", "512", false, "", "请输入一个正整数。"},
        {"memory with blanks", " 64 ", "512", false, "", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearMessages();
        OpenNew();
        if (c.ssdOn) {
            hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
        }
        hl::SetText(*Dialog, IDC_MEM_SIZE, W(host::U16(c.mem)));
        hl::SetText(*Dialog, IDC_SSD_SIZE, W(host::U16(c.ssd)));
        hl::SetText(*Dialog, IDC_CACHE_FILE, W(host::U16(c.path.c_str())));
        hl::ClickButton(*Dialog, IDOK);
        if (c.message == nullptr) {
            EXPECT_EQ(Messages(), std::vector<std::string>());
            EXPECT_TRUE(hl::HasEnded(*Dialog));
            EXPECT_EQ(hl::Result(*Dialog), IDOK);
        } else {
            EXPECT_EQ(Messages(), std::vector<std::string>({c.message}));
            EXPECT_EQ(hl::TheUser().Messages[0].TemplateId, IDD_CONFIG_DIALOG);
            EXPECT_FALSE(hl::HasEnded(*Dialog));
        }
        hl::Close(*Dialog);
        Dialog.reset();
    }
}

TEST_F(ConfigDlgTest, RefusedNumberStopsTheExchangeAtThatField)
{
    OpenNew();
    hl::SetText(*Dialog, IDC_MEM_SIZE, L"64");
    hl::SetText(*Dialog, IDC_SSD_SIZE, L"x");
    hl::SetText(*Dialog, IDC_SSD_MAX_SIZE, L"999");
    hl::SelectCombo(*Dialog, IDC_CACHE_BLOCK, 0);
    EXPECT_FALSE(Dialog->UpdateData(true));
    EXPECT_EQ(Dialog->m_memSize, 64u);        // before the refused field
    EXPECT_EQ(Dialog->m_ssdMaxSize, 20480u);  // after it: untouched
    EXPECT_EQ(Dialog->m_cacheBlockIndex, 2);
    EXPECT_EQ(hl::State(*Dialog)->Focus, IDC_SSD_SIZE);
    EXPECT_EQ(Messages(), std::vector<std::string>({"请输入一个正整数。"}));
}

TEST_F(ConfigDlgTest, BrowseFillsThePathOnlyWhenConfirmed)
{
    OpenNew();
    hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
    hl::SetText(*Dialog, IDC_MEM_SIZE, L"77");
    hl::TheUser().ChooseSaveFile(L"S:\\cache\\c.dat");
    hl::ClickButton(*Dialog, IDC_BROWSE);
    EXPECT_EQ(Field(IDC_CACHE_FILE), "S:\\cache\\c.dat");
    EXPECT_EQ(Field(IDC_MEM_SIZE), "77");
    hl::TheUser().ChooseSaveFile(nullptr);
    hl::ClickButton(*Dialog, IDC_BROWSE);
    EXPECT_EQ(Field(IDC_CACHE_FILE), "S:\\cache\\c.dat");
    EXPECT_EQ(hl::TheUser().SaveDialogs, 2);
}

TEST_F(ConfigDlgTest, CancelHandsNothingBack)
{
    CConfigDlg dialog;
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG, [](ui::Dialog &d) {
        hl::SetText(d, IDC_MEM_SIZE, L"5");
        hl::ClickButton(d, IDCANCEL);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.m_memSize, 1024u);  // set by the dialog's start, not taken back
}

}  // namespace
}  // namespace paneltest

namespace paneltest {
namespace {

// The driver opens the cache file whether it exists or not, overwrites it
// and deletes it at the stop: OK refuses a path that names anything that
// exists, except the edited volume's own stored cache file, which a crash
// may have left behind.
TEST_F(ConfigDlgTest, OkRefusesAnExistingFileAsCacheFile)
{
    const std::u16string document = u"S:\\report.doc";
    const std::u16string stale = u"S:\\stale.dat";
    mkdir(hostwin32::HostPath(u"S:").c_str(), 0755);
    ASSERT_EQ(mkdir(hostwin32::HostPath(u"S:\\folder").c_str(), 0755), 0);
    for (const std::u16string &file : {document, stale}) {
        FILE *out = fopen(hostwin32::HostPath(file).c_str(), "wb");
        ASSERT_NE(out, nullptr);
        fputs("precious", out);
        fclose(out);
    }
    struct Case {
        const char *what;
        const char *stored;  // edit mode with this stored cache file; nullptr: New
        const char *typed;   // nullptr: the stored path, untouched
        bool accepted;
    } cases[] = {
        {"new: an existing document", nullptr, "S:\\report.doc", false},
        {"new: an existing folder", nullptr, "S:\\folder", false},
        {"new: a file that does not exist", nullptr, "S:\\new.dat", true},
        {"new: a folder that does not exist (the driver refuses it)", nullptr, "S:\\none\\c.dat", true},
        {"edit: the volume's own stale cache file", "S:\\stale.dat", nullptr, true},
        {"edit: the own file typed in another case", "S:\\stale.dat", "s:\\STALE.DAT", true},
        {"edit: another existing file typed", "S:\\stale.dat", "S:\\report.doc", false},
        {"edit: the own file of a volume without the SSD tier", "", "S:\\stale.dat", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ClearMessages();
        if (c.stored == nullptr) {
            OpenNew();
            hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
        } else {
            bool ssd = c.stored[0] != 0;
            WriteConfig({"[D]", "VolumeName=D:  [DATA]",
                         std::string("CacheFile=") + (ssd ? c.stored : "S:\\stale.dat"), "MemSize=16",
                         "SsdSize=512", "AllocateBlockSize=16", "CacheBlockSize=64",
                         ssd ? "SsdUsed=1" : "SsdUsed=0"});
            OpenEdit(L'D');
            if (ssd && c.typed != nullptr) {
                hl::ClickButton(*Dialog, IDC_SSD_ENABLE);  // off and on: the path edit opens
            }
            if (c.typed != nullptr) {
                hl::ClickButton(*Dialog, IDC_SSD_ENABLE);
            }
        }
        if (c.typed != nullptr) {
            hl::SetText(*Dialog, IDC_SSD_SIZE, L"512");
            hl::SetText(*Dialog, IDC_CACHE_FILE, W(host::U16(c.typed)));
        }
        hl::ClickButton(*Dialog, IDOK);
        if (c.accepted) {
            EXPECT_EQ(Messages(), std::vector<std::string>());
            EXPECT_TRUE(hl::HasEnded(*Dialog));
        } else {
            EXPECT_EQ(Messages(), std::vector<std::string>({"参数错误"}));
            EXPECT_FALSE(hl::HasEnded(*Dialog));
        }
        EXPECT_EQ(hostwin32::ReadHostFile(document), "precious");
        hl::Close(*Dialog);
        Dialog.reset();
    }
}

// The disabled disk list shows the volume being edited even when it is not
// eligible now, under its stored label.
TEST_F(ConfigDlgTest, EditModeShowsTheEditedVolumeOutsideTheDiskList)
{
    WriteSection(L'G', "GVOL", false);
    std::vector<hostwin32::Drive> drives = hostwin32::CurrentMachine().Drives;
    for (hostwin32::Drive &drive : drives) {
        drive.InfoFails = drive.InfoFails || drive.Letter == L'G';
    }
    hostwin32::SetDrives(drives);
    OpenEdit(L'G');
    EXPECT_EQ(Selected(IDC_DISK_COMBO), "G:  [GVOL]");
    EXPECT_FALSE(Enabled(IDC_DISK_COMBO));
    hl::ClickButton(*Dialog, IDOK);
    EXPECT_EQ(Utf8(Dialog->m_volumeLabel), "G:  [GVOL]");
}

}  // namespace
}  // namespace paneltest
