// Shared set-up of the panel tests.
#include "PanelFixture.h"

#include "driver/Tessiro8.h"

namespace paneltest {
namespace {

// The panel's Tessiro8 service runs the cache driver, in every test's machine.
class CacheDriverService : public testing::Environment {
public:
    void SetUp() override { hostwin32::SetServiceDriver(u"Tessiro8", &DriverEntry); }
};

testing::Environment *const CacheDriverServiceEnvironment =
    testing::AddGlobalTestEnvironment(new CacheDriverService);

}  // namespace

hostwin32::Machine StandardMachine()
{
    hostwin32::Machine machine;
    auto drive = [](WCHAR letter, const char16_t *label, std::u16string device, bool fails) {
        hostwin32::Drive d;
        d.Letter = letter;
        d.Label = label;
        d.Device = device;
        d.InfoFails = fails;
        return d;
    };
    machine.Drives = {
        drive(L'C', u"", hostwin32::HardDiskDevice(1), false),
        drive(L'D', u"data", hostwin32::HardDiskDevice(2), false),
        drive(L'E', u"CDROM", hostwin32::CdRomDevice, false),
        drive(L'F', u"share", hostwin32::NetworkDevice, false),
        drive(L'G', u"gvol", u"", false),
        drive(L'H', u"", hostwin32::HardDiskDevice(4), true),
    };
    return machine;
}

void PanelTest::SetUp()
{
    testbed::BedOptions options;
    options.LoadCacheDriver = false;  // the panel's start-up installs it
    TestBed = std::make_unique<testbed::CacheTestBed>(options);
    Bed().AddVolume(L'C');
    Bed().AddVolume(L'D');
    hl::TheUser().Reset();
    hostwin32::SetMachine(StandardMachine());
}

void PanelTest::TearDown()
{
    ClosePanel();
    EXPECT_EQ(hostwin32::OpenDeviceHandles(), 0);
    EXPECT_TRUE(hostwin32::StopAllServices());
    EXPECT_TRUE(Bed().Shutdown());
    hl::TheUser().Reset();
}

std::u16string ConfigPath()
{
    std::u16string module = hostwin32::CurrentMachine().ModulePath;
    return module.substr(0, module.rfind(u'\\')) + u"\\cache.ini";
}

std::vector<std::string> ConfigLines()
{
    std::string bytes = hostwin32::ReadHostFile(ConfigPath());
    std::u16string text;
    size_t start = 0;
    if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
        start = 2;
    }
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        text.push_back((char16_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
    }
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(u"\r\n", begin);
        if (end == std::u16string::npos) {
            end = text.size();
        }
        lines.push_back(host::Utf8(W(text.substr(begin, end - begin))));
        begin = end + 2;
    }
    return lines;
}

void WriteConfig(const std::vector<std::string> &lines)
{
    std::string joined;
    for (const std::string &line : lines) {
        joined += line + "\r\n";
    }
    std::u16string text = host::U16(joined.c_str());
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back((char)(c & 0xFF));
        bytes.push_back((char)(c >> 8));
    }
    FILE *file = fopen(hostwin32::HostPath(ConfigPath()).c_str(), "wb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot write cache.ini";
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

void PanelTest::WriteSection(WCHAR letter, const char *label, bool started, bool ssd)
{
    std::vector<std::string> lines = ConfigLines();
    std::string section(1, (char)letter);
    lines.push_back("[" + section + "]");
    lines.push_back(std::string("VolumeName=") + section + ":  [" + label + "]");
    if (ssd) {
        lines.push_back("CacheFile=S:\\cache-" + section + ".dat");
    }
    lines.push_back("MemSize=16");
    lines.push_back(ssd ? "SsdSize=512" : "SsdSize=10240");
    lines.push_back("AllocateBlockSize=16");
    lines.push_back("CacheBlockSize=64");
    lines.push_back(ssd ? "SsdUsed=1" : "SsdUsed=0");
    lines.push_back(started ? "Started=1" : "Started=0");
    WriteConfig(lines);
}

CCacheDlg &PanelTest::OpenPanel()
{
    Panel = std::make_unique<CCacheDlg>();
    hl::Open(*Panel);
    return *Panel;
}

void PanelTest::ClosePanel()
{
    if (Panel) {
        hl::Close(*Panel);
        Panel.reset();
    }
}

int PanelTest::RowOf(WCHAR letter)
{
    hl::ControlState *list = hl::Find(*Panel, IDC_VOLUME_LIST);
    for (size_t row = 0; row < list->Rows.size(); ++row) {
        if (list->Cell((int)row, 0)[0] == letter) {
            return (int)row;
        }
    }
    return -1;
}

std::string PanelTest::Cell(int row, int column)
{
    return Utf8(hl::Find(*Panel, IDC_VOLUME_LIST)->Cell(row, column));
}

std::string PanelTest::DetailCell(int row, int column)
{
    return Utf8(hl::Find(*Panel, IDC_DETAIL_LIST)->Cell(row, column));
}

std::vector<std::string> PanelTest::Messages() const
{
    std::vector<std::string> texts;
    for (const Text &text : hl::TheUser().MessageTexts()) {
        texts.push_back(Utf8(text));
    }
    return texts;
}

void PanelTest::ScriptSettings(const SettingsInput &input)
{
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG, [input](ui::Dialog &dialog) {
        if (input.DiskIndex >= 0) {
            hl::SelectCombo(dialog, IDC_DISK_COMBO, input.DiskIndex);
        }
        if (input.MemSize != nullptr) {
            hl::SetText(dialog, IDC_MEM_SIZE, W(host::U16(input.MemSize)));
        }
        if (input.ToggleSsd) {
            hl::ClickButton(dialog, IDC_SSD_ENABLE);
        }
        if (input.SsdSize != nullptr) {
            hl::SetText(dialog, IDC_SSD_SIZE, W(host::U16(input.SsdSize)));
        }
        if (input.CacheFile != nullptr) {
            hl::SetText(dialog, IDC_CACHE_FILE, W(host::U16(input.CacheFile)));
        }
        if (input.AllocateIndex >= 0) {
            hl::SelectCombo(dialog, IDC_ALLOCATE_BLOCK, input.AllocateIndex);
        }
        if (input.CacheIndex >= 0) {
            hl::SelectCombo(dialog, IDC_CACHE_BLOCK, input.CacheIndex);
        }
        hl::ClickButton(dialog, input.Cancel ? IDCANCEL : IDOK);
    });
}

}  // namespace paneltest
