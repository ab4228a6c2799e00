// Start-up of the panel: driver file, service, version check and prompt.
#include "PanelFixture.h"

#include "panel/CacheApp.h"
#include "panel/DriverImage.h"

namespace paneltest {
namespace {

// An older driver stand-in: owns \Device\Tessiro8 and answers the version
// query with OldVersion, or fails it when OldVersionFails.
ULONG OldVersion = 0x20100101;
bool OldVersionFails = false;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS OldCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS OldControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (OldVersionFails || stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_CACHE_QUERY_VERSION) {
        return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    }
    *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer) = OldVersion;
    return Complete(irp, STATUS_SUCCESS, 4);
}

void OldUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, CACHE_DOS_DEVICE_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS OldEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, CACHE_DEVICE_NAME);
    RtlInitUnicodeString(&link, CACHE_DOS_DEVICE_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IoCreateSymbolicLink(&link, &name);
    driver->MajorFunction[IRP_MJ_CREATE] = OldCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = OldCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = OldControl;
    driver->DriverUnload = OldUnload;
    return STATUS_SUCCESS;
}

enum class Running { No, Current, Old, OldFailing };

struct StartupCase {
    const char *name;
    bool serviceExists;
    Running running;
    int answer;  // to the version prompt (0: none expected)
    int failStarts;
    bool lockDriverFile;
    bool succeeds;
    std::vector<std::string> calls;
    const char *label;  // version label after start-up
};

class StartupTest : public PanelTest {};

TEST_F(StartupTest, EachSituationInstallsOrKeepsTheRightDriver)
{
    const std::string open = "OpenSCManager";
    const std::string svc = "OpenService Tessiro8";
    const std::string create = "CreateService Tessiro8";
    const std::string start = "StartService Tessiro8";
    const std::string stop = "StopService Tessiro8";
    const std::string del = "DeleteService Tessiro8";
    // clang-format off
    const StartupCase cases[] = {
        {"no service", false, Running::No, 0, 0, false, true,
         {open, svc, open, create, start}, "驱动版本:20110325"},
        {"service, driver not running", true, Running::No, 0, 0, false, true,
         {open, svc, start}, "驱动版本:20110325"},
        {"service, this version running", true, Running::Current, 0, 0, false, true,
         {open, svc}, "驱动版本:20110325"},
        {"old version, keep it", true, Running::Old, IDYES, 0, false, true,
         {open, svc}, "驱动版本:20100101"},
        {"old version, replace it", true, Running::Old, IDNO, 0, false, true,
         {open, svc, stop, del, open, create, start}, "驱动版本:20110325"},
        {"version query fails, keep it", true, Running::OldFailing, IDYES, 0, false, true,
         {open, svc}, "驱动版本:0"},
        {"start fails once: recreated", true, Running::No, 0, 1, false, true,
         {open, svc, start, del, open, create, start}, "驱动版本:20110325"},
        {"start fails twice", true, Running::No, 0, 2, false, false,
         {open, svc, start, del, open, create, start}, nullptr},
        {"no service, start fails", false, Running::No, 0, 1, false, false,
         {open, svc, open, create, start}, nullptr},
        {"driver file locked", true, Running::No, 0, 0, true, false, {}, nullptr},
    };
    // clang-format on
    for (const StartupCase &c : cases) {
        SCOPED_TRACE(c.name);
        hostwin32::SetMachine(StandardMachine());
        hl::TheUser().Reset();
        OldVersionFails = c.running == Running::OldFailing;
        if (c.serviceExists) {
            bool old = c.running == Running::Old || c.running == Running::OldFailing;
            hostwin32::InstallService(u"Tessiro8", c.running != Running::No,
                                      old ? reinterpret_cast<hostwin32::DriverEntryRoutine>(&OldEntry)
                                          : nullptr);
        }
        hostwin32::ClearServiceCalls();
        hostwin32::FailServiceStarts(c.failStarts);
        std::u16string driverFile = hostwin32::CurrentMachine().SystemDirectory + u"\\Drivers\\Tessiro8.sys";
        hostwin32::LockFile(driverFile, c.lockDriverFile);
        if (c.answer != 0) {
            hl::TheUser().AnswerQuestion(c.answer);
        }

        CCacheDlg &panel = OpenPanel();
        EXPECT_EQ(hostwin32::ServiceCalls(), c.calls);
        std::vector<std::string> expectedMessages;
        if (c.answer != 0) {
            expectedMessages.push_back(
                "检测到老版本的驱动在运行!!!\r\n\r\n继续使用老版驱动点[是]\r\n启用新版驱动点[否]");
        }
        if (!c.succeeds) {
            expectedMessages.push_back("启动服务失败\r\n");
        }
        EXPECT_EQ(Messages(), expectedMessages);
        if (c.answer != 0) {
            EXPECT_EQ(hl::TheUser().Messages[0].Type, (UINT)MB_YESNO);
        }
        if (c.succeeds) {
            EXPECT_FALSE(hl::HasEnded(panel));
            EXPECT_EQ(Utf8(hl::Find(panel, IDC_DRIVER_VERSION)->WindowText), c.label);
            hostwin32::ServiceState service = hostwin32::QueryService(u"Tessiro8");
            EXPECT_TRUE(service.Exists);
            EXPECT_TRUE(service.Running);
            EXPECT_EQ(service.ServiceType, (DWORD)SERVICE_KERNEL_DRIVER);
            EXPECT_EQ(service.StartType, (DWORD)SERVICE_AUTO_START);
            EXPECT_EQ(service.ErrorControl, (DWORD)SERVICE_ERROR_NORMAL);
            EXPECT_EQ(host::Utf8(W(service.BinaryPath)), "C:\\WINDOWS\\system32\\Drivers\\Tessiro8.sys");
            std::string image = hostwin32::ReadHostFile(driverFile);
            EXPECT_EQ(image, std::string(reinterpret_cast<const char *>(DriverImage), DRIVER_IMAGE_SIZE));
            EXPECT_NE(hl::Find(panel, IDC_TOOLBAR), nullptr);
        } else {
            EXPECT_TRUE(hl::HasEnded(panel));
            EXPECT_EQ(hl::Result(panel), 0);
            EXPECT_EQ(hl::Find(panel, IDC_TOOLBAR), nullptr);
            EXPECT_EQ(hl::TheUser().Messages.back().Type, (UINT)(MB_OK | MB_ICONEXCLAMATION));
        }
        ClosePanel();
        hostwin32::LockFile(driverFile, false);
    }
}

// A 32-bit panel on 64-bit Windows would write its driver into the
// redirected SysWOW64 folder and register a service for a file that is not
// there. It says once to use the 64-bit version, and leaves the driver file,
// the service manager and any existing service alone.
TEST_F(StartupTest, UnderWow64ItRefusesToInstallAndSaysWhy)
{
    struct Wow64Case {
        const char *name;
        bool wow64;
        bool hasIsWow64Process;
        bool serviceExists;
        bool refused;
    };
    // clang-format off
    const Wow64Case cases[] = {
        {"32-bit panel on 64-bit Windows", true, true, false, true},
        {"... with a service left by an earlier install", true, true, true, true},
        {"32-bit Windows", false, true, false, false},
        {"Windows without IsWow64Process", false, false, false, false},
    };
    // clang-format on
    for (const Wow64Case &c : cases) {
        SCOPED_TRACE(c.name);
        hostwin32::Machine machine = StandardMachine();
        machine.Wow64 = c.wow64;
        machine.HasIsWow64Process = c.hasIsWow64Process;
        hostwin32::SetMachine(machine);
        hl::TheUser().Reset();
        if (c.serviceExists) {
            hostwin32::InstallService(u"Tessiro8", false);
        }
        hostwin32::ClearServiceCalls();
        std::u16string driverFile = machine.SystemDirectory + u"\\Drivers\\Tessiro8.sys";

        CCacheDlg &panel = OpenPanel();
        if (c.refused) {
            EXPECT_TRUE(hl::HasEnded(panel));
            EXPECT_EQ(hl::Result(panel), 0);
            EXPECT_EQ(Messages(),
                      std::vector<std::string>({"本程序是32位版本,不能在64位Windows上安装驱动。\r\n"
                                                "请使用64位版本的Tessiro8.exe。"}));
            EXPECT_EQ(hl::TheUser().Messages.back().Type, (UINT)(MB_OK | MB_ICONEXCLAMATION));
            EXPECT_TRUE(hostwin32::ServiceCalls().empty());
            EXPECT_FALSE(hostwin32::FileExists(driverFile));
            EXPECT_EQ(hostwin32::QueryService(u"Tessiro8").Exists, c.serviceExists);
            EXPECT_EQ(hl::Find(panel, IDC_TOOLBAR), nullptr);
        } else {
            EXPECT_FALSE(hl::HasEnded(panel));
            EXPECT_TRUE(Messages().empty());
            EXPECT_TRUE(hostwin32::QueryService(u"Tessiro8").Running);
        }
        ClosePanel();
    }
}

TEST_F(StartupTest, WindowIsSetUpAsDescribed)
{
    CCacheDlg &panel = OpenPanel();
    hl::DialogState *state = hl::State(panel);
    // System menu, icon, timer.
    ASSERT_EQ(state->SystemMenu.size(), 1u);
    EXPECT_EQ(state->SystemMenu[0].Command, (UINT)IDM_ABOUTBOX);
    EXPECT_EQ(Utf8(state->SystemMenu[0].Caption), "关于 Cache(&A)...");
    EXPECT_EQ(state->Icon, panel.m_hIcon);
    EXPECT_EQ(state->Timers.count(REFRESH_TIMER_ID), 1u);
    EXPECT_EQ(state->Timers[REFRESH_TIMER_ID], 1000u);
    // Toolbar: six buttons, only New and About enabled.
    hl::ControlState *bar = hl::Find(panel, IDC_TOOLBAR);
    ASSERT_EQ(bar->Buttons.size(), 6u);
    const char *captions[] = {"添加", "启动", "停止", "删除", "修改", "关于"};
    const UINT commands[] = {ID_VOLUME_NEW,    ID_VOLUME_START,    ID_VOLUME_STOP,
                             ID_VOLUME_DELETE, ID_VOLUME_SETTINGS, ID_ABOUT};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(bar->Buttons[i].Command, commands[i]);
        EXPECT_EQ(Utf8(bar->Buttons[i].Caption), captions[i]);
        EXPECT_EQ(bar->Buttons[i].Enabled, i == 0 || i == 5) << i;
        EXPECT_EQ(bar->Buttons[i].Style, (UINT)BTNS_BUTTON) << i;
        EXPECT_EQ(bar->Buttons[i].Image, i);
    }
    EXPECT_TRUE(bar->Visible);
    EXPECT_EQ(bar->Placement.right, 1000);
    EXPECT_EQ(bar->Placement.bottom, 100);
    EXPECT_EQ(bar->Padding.cx, 15);
    EXPECT_EQ(bar->Padding.cy, 5);
    // Buttons sized as button 0 was laid out; images 16 x 15.
    RECT first;
    ASSERT_TRUE(panel.m_toolBar.m_bar.GetItemRect(0, &first));
    EXPECT_EQ(bar->ButtonSize.cx, first.right - first.left);
    EXPECT_EQ(bar->ButtonSize.cy, first.bottom - first.top);
    EXPECT_EQ(bar->ImageSize.cx, 16);
    EXPECT_EQ(bar->ImageSize.cy, 15);
    // The window owns both image lists and hands them to the toolbar; image i
    // of each is button i's icon.
    const hl::ImageListState *normal = hl::StateOf(panel.m_toolBar.m_images);
    const hl::ImageListState *disabled = hl::StateOf(panel.m_toolBar.m_disabledImages);
    ASSERT_NE(normal, nullptr);
    ASSERT_NE(disabled, nullptr);
    EXPECT_EQ(bar->Images, normal);
    EXPECT_EQ(bar->DisabledImages, disabled);
    const int normalIcons[] = {156, 162, 164, 158, 160, 154};
    for (const hl::ImageListState *list : {normal, disabled}) {
        EXPECT_EQ(list->Width, 16);
        EXPECT_EQ(list->Height, 16);
        EXPECT_EQ(list->Flags, (UINT)(ILC_COLOR32 | ILC_MASK));
        EXPECT_EQ(list->Initial, 0);
        EXPECT_EQ(list->Grow, 10);
        ASSERT_EQ(list->Images.size(), 6u);
        for (int i = 0; i < 6; ++i) {
            int icon = normalIcons[i] + (list == disabled ? 1 : 0);
            EXPECT_EQ(list->Images[i], ui::LoadIconResource(icon)) << i;
        }
    }
    // Columns and fixed detail rows.
    hl::ControlState *volumes = hl::Find(panel, IDC_VOLUME_LIST);
    ASSERT_EQ(volumes->Columns.size(), 5u);
    EXPECT_EQ(Utf8(volumes->Columns[3].Heading), "内存(已用/总共) MB");
    EXPECT_EQ(volumes->Columns[3].Width, 140);
    EXPECT_EQ(volumes->Columns[1].Format, LVCFMT_CENTER);
    EXPECT_EQ(volumes->ExtendedStyle, (DWORD)(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
    hl::ControlState *detail = hl::Find(panel, IDC_DETAIL_LIST);
    ASSERT_EQ(detail->Columns.size(), 4u);
    EXPECT_EQ(Utf8(detail->Columns[3].Heading), "读速度");
    ASSERT_EQ(detail->Rows.size(), 4u);
    EXPECT_EQ(DetailCell(1, 0), "卷");
    EXPECT_EQ(DetailCell(1, 1), "");
    // Tooltips, the Settings button's reading "设置".
    const hl::ToolTipState &tips = state->ToolTip;
    EXPECT_TRUE(tips.Active);
    EXPECT_EQ(tips.Delay, 1000u);
    EXPECT_EQ(tips.Background, (COLORREF)0xFFFFFF);
    ASSERT_EQ(tips.Tools.size(), 9u);
    EXPECT_EQ(Utf8(tips.Tools[0].Tip), "已缓存卷信息");
    EXPECT_EQ(tips.Tools[6].ToolId, (UINT)ID_VOLUME_SETTINGS);
    EXPECT_EQ(Utf8(tips.Tools[6].Tip), "设置");
    EXPECT_EQ(Utf8(tips.Tools[8].Tip), "当前驱动版本:驱动版本:20110325");
    EXPECT_TRUE(panel.m_toolTipReady);
}

TEST_F(StartupTest, AboutComesFromTheSystemMenuAndTheToolbar)
{
    CCacheDlg &panel = OpenPanel();
    EXPECT_TRUE(panel.OnSysCommand(0x0013));  // low four bits ignored
    EXPECT_FALSE(panel.OnSysCommand(0xF060));
    hl::ClickToolButton(panel, ID_ABOUT);
    EXPECT_EQ(hl::TheUser().ModalRuns, std::vector<int>({IDD_ABOUTBOX, IDD_ABOUTBOX}));
    ClosePanel();

    // No About item when the string is empty.
    hl::TheUser().SetStringResource(IDS_ABOUTBOX, L"");
    CCacheDlg &again = OpenPanel();
    EXPECT_TRUE(hl::State(again)->SystemMenu.empty());
}

// A running driver whose control device cannot be opened at this moment, held
// by another program (the device admits one handle) or denying access, is
// kept: only a device that is not there at all means "not running".
TEST_F(StartupTest, DeviceThatCannotBeOpenedNowKeepsTheRunningDriver)
{
    enum class Why { Held, Denied };
    for (Why why : {Why::Held, Why::Denied}) {
        SCOPED_TRACE(why == Why::Held ? "held by another program" : "access denied");
        hostwin32::SetMachine(StandardMachine());
        hl::TheUser().Reset();
        ASSERT_TRUE(hostwin32::InstallService(u"Tessiro8", true));
        HANDLE held = INVALID_HANDLE_VALUE;
        if (why == Why::Held) {
            held = CreateFileW(L"\\\\.\\Tessiro8", GENERIC_ALL, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        } else {
            hostwin32::SetActAsAdmin(false);
        }
        hostwin32::ClearServiceCalls();

        CCacheDlg &panel = OpenPanel();
        EXPECT_EQ(hostwin32::ServiceCalls(),
                  std::vector<std::string>({"OpenSCManager", "OpenService Tessiro8"}));
        EXPECT_EQ(Messages(), std::vector<std::string>());
        EXPECT_FALSE(hl::HasEnded(panel));
        EXPECT_EQ(Utf8(hl::Find(panel, IDC_DRIVER_VERSION)->WindowText), "驱动版本:ffffffff");
        hostwin32::ServiceState service = hostwin32::QueryService(u"Tessiro8");
        EXPECT_TRUE(service.Exists);
        EXPECT_TRUE(service.Running);
        EXPECT_FALSE(service.MarkedForDelete);
        ClosePanel();
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
        }
        hostwin32::SetActAsAdmin(true);
    }
}

// Every drive letter is looked at during start-up and in the settings
// dialog; an empty card reader must not raise the system's "No Disk" box.
TEST_F(StartupTest, EmptyRemovableDriveRaisesNoSystemErrorBox)
{
    hostwin32::Machine machine = StandardMachine();
    hostwin32::Drive reader;
    reader.Letter = L'I';
    reader.Label = u"CARD";
    reader.Device = hostwin32::HardDiskDevice(5);
    reader.EmptyRemovable = true;
    machine.Drives.push_back(reader);
    hostwin32::SetMachine(machine);
    WriteSection(L'I', "CARD", true);
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG,
                               [](ui::Dialog &dialog) { hl::ClickButton(dialog, IDCANCEL); });
    hl::TheUser().ScriptDialog(IDD_CACHE_DIALOG, [](ui::Dialog &main) {
        EXPECT_EQ(hl::Find(main, IDC_VOLUME_LIST)->Rows.size(), 0u);  // I: left out
        hl::Command(main, ID_VOLUME_NEW);
    });
    theApp.InitInstance();
    EXPECT_EQ(hl::TheUser().ModalRuns, std::vector<int>({IDD_CACHE_DIALOG, IDD_CONFIG_DIALOG}));
    EXPECT_EQ(Messages(), std::vector<std::string>());
    EXPECT_EQ(hostwin32::CriticalErrorBoxes(), 0);

    // The drive was looked at: without the error mode the box comes up.
    SetErrorMode(0);
    WCHAR label[100];
    EXPECT_FALSE(GetVolumeInformationW(L"I:\\", label, 100, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    EXPECT_EQ(hostwin32::CriticalErrorBoxes(), 1);
}

}  // namespace
}  // namespace paneltest
