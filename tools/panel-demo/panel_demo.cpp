// panel-demo: runs the control panel headless on the host. The panel starts
// (installing the driver through the simulated service manager), a volume is
// added with the New command and the settings dialog's defaults, and the
// window's two lists are printed each second while a read workload runs.
//
//   panel-demo [--seconds N]
#include <HostKernel.h>
#include <SimVolume.h>

#include "HostWin32.h"
#include "driver/Tessiro8.h"
#include "panel/CacheApp.h"
#include "panel/CacheDlg.h"
#include "panel/ui/headless/Headless.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace hl = ui::headless;

namespace {

std::string U8(const Text &text)
{
    return host::Utf8(text.c_str());
}

// Display width of a UTF-8 string: CJK characters take two columns.
size_t Width(const std::string &text)
{
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char b = (unsigned char)text[i];
        size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        i += length;
    }
    return width;
}

std::string Pad(const std::string &text, size_t width)
{
    size_t have = Width(text);
    return text + std::string(have < width ? width - have : 0, ' ');
}

void PrintList(ui::Dialog &window, int id)
{
    hl::ControlState *list = hl::Find(window, id);
    std::vector<size_t> widths;
    for (const hl::Column &column : list->Columns) {
        widths.push_back((size_t)column.Width / 7);  // pixels to character cells
    }
    std::string line;
    for (size_t c = 0; c < list->Columns.size(); ++c) {
        line += Pad(U8(list->Columns[c].Heading), widths[c]) + " ";
    }
    std::printf("%s\n", line.c_str());
    for (size_t r = 0; r < list->Rows.size(); ++r) {
        line.clear();
        for (size_t c = 0; c < list->Columns.size(); ++c) {
            line += Pad(U8(list->Cell((int)r, (int)c)), widths[c]) + " ";
        }
        std::printf("%s\n", line.c_str());
    }
}

// Reads a stretch of the volume through its device (and so through the
// cache): the first pass comes from the volume, later passes from memory.
void ReadSome(PFILE_OBJECT volume, uint64_t volumeBytes, int second)
{
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t span = volumeBytes / 8;  // 64 MiB: re-read from the third second on
    for (int i = 0; i < 32; ++i) {
        uint64_t offset = ((uint64_t)(second * 32 + i) << 20) % span;
        ULONG_PTR done = 0;
        host::UserReadWrite(volume, IRP_MJ_READ, buffer.data(), (ULONG)buffer.size(), offset, &done);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    int seconds = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atoi(argv[i + 1]);
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    host::KernelConfig config;
    config.ManualTick = false;
    config.DelayScale = 0.01;
    config.StrictMappings = false;  // chunk switches without host remapping
    host::KernelBoot(config);
    sim::LoadSimVolumeDriver();
    const uint64_t volumeBytes = 512ull << 20;
    sim::VolumeConfig volumeConfig;
    volumeConfig.Letter = L'C';
    volumeConfig.Length = volumeBytes;
    sim::CreateVolume(volumeConfig);

    hostwin32::Machine machine;
    hostwin32::Drive drive;
    drive.Letter = L'C';
    drive.Label = u"system";
    drive.Device = hostwin32::HardDiskDevice(1);
    machine.Drives.push_back(drive);
    hostwin32::SetMachine(machine);
    hostwin32::SetServiceDriver(u"Tessiro8", &DriverEntry);
    std::printf("machine sandbox: %s\n", machine.SandboxDir.empty()
                                             ? hostwin32::CurrentMachine().SandboxDir.c_str()
                                             : machine.SandboxDir.c_str());

    // The user: accepts the settings dialog's defaults, then watches.
    hl::TheUser().ScriptDialog(IDD_CONFIG_DIALOG, [](ui::Dialog &dialog) { hl::ClickButton(dialog, IDOK); });
    hl::TheUser().ScriptDialog(IDD_CACHE_DIALOG, [&](ui::Dialog &window) {
        auto &panel = static_cast<CCacheDlg &>(window);
        std::printf("%s\n", U8(hl::Find(panel, IDC_DRIVER_VERSION)->WindowText).c_str());
        hl::ClickToolButton(panel, ID_VOLUME_NEW);
        hl::ClickRow(panel, IDC_VOLUME_LIST, 0);

        PFILE_OBJECT volume = nullptr;
        if (host::UserOpenDevice(L"\\??\\C:", true, &volume) < 0) {
            std::printf("cannot open C:\n");
            return;
        }
        for (int second = 1; second <= seconds; ++second) {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            ReadSome(volume, volumeBytes, second);
            std::this_thread::sleep_until(until);
            hl::FireTimer(panel, REFRESH_TIMER_ID);
            std::printf("\n--- %d s ---\n", second);
            PrintList(panel, IDC_VOLUME_LIST);
            std::printf("\n");
            PrintList(panel, IDC_DETAIL_LIST);
        }
        host::UserCloseDevice(volume);
    });
    theApp.InitInstance();
    for (const hl::MessageRecord &message : hl::TheUser().Messages) {
        std::printf("message: %s\n", U8(message.Message).c_str());
    }

    bool clean = hostwin32::StopAllServices();
    sim::UnloadSimVolumeDriver();
    clean = host::KernelShutdown() && clean;
    return clean ? 0 : 1;
}
