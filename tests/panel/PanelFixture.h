// Shared set-up of the panel tests: a simulated machine (drive letters with
// labels and device names), the host kernel with simulated volumes for the
// hard disks, the headless dialog layer with a scripted user, and helpers to
// read and write cache.ini.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CacheTestBed.h"
#include "HostWin32.h"
#include "panel/CacheDlg.h"
#include "panel/ConfigDlg.h"
#include "panel/ConfigFile.h"
#include "panel/ui/headless/Headless.h"

namespace paneltest {

namespace hl = ui::headless;

inline std::u16string U(const WCHAR *text)
{
    std::u16string result;
    for (; *text != 0; ++text) {
        result.push_back((char16_t)*text);
    }
    return result;
}

inline const WCHAR *W(const std::u16string &text)
{
    return reinterpret_cast<const WCHAR *>(text.c_str());
}

inline std::string Utf8(const Text &text)
{
    return host::Utf8(text.c_str());
}

// Machine used by most tests:
//   C: hard disk, empty label       (simulated volume, 64 MiB)
//   D: hard disk, label "data"      (simulated volume, 64 MiB)
//   E: CD-ROM, label "CDROM"
//   F: network drive, label "share"
//   G: hard disk whose device query fails, label "gvol" (no simulated volume)
//   H: present, volume information fails (no medium)
hostwin32::Machine StandardMachine();

// Path of cache.ini (Win32 form) and its contents as UTF-8 lines.
std::u16string ConfigPath();
std::vector<std::string> ConfigLines();
// Writes cache.ini as UTF-16LE with a byte-order mark (lines joined by CR LF).
void WriteConfig(const std::vector<std::string> &lines);

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    testbed::CacheTestBed &Bed() { return *TestBed; }

    // A valid section for a letter, without SSD.
    void WriteSection(WCHAR letter, const char *label, bool started, bool ssd = false);

    // The main window, opened headless (driver installed by its start-up).
    CCacheDlg &OpenPanel();
    void ClosePanel();
    int RowOf(WCHAR letter);  // row of the volume list, -1 when absent
    std::string Cell(int row, int column);
    std::string DetailCell(int row, int column);
    std::vector<std::string> Messages() const;  // message texts shown, UTF-8
    void ClearMessages() { hl::TheUser().Messages.clear(); }

    // Script of the settings dialog: optional field changes, then OK.
    struct SettingsInput {
        int DiskIndex = -1;  // -1: keep
        const char *MemSize = nullptr;
        bool ToggleSsd = false;
        const char *SsdSize = nullptr;
        const char *CacheFile = nullptr;
        int AllocateIndex = -1;
        int CacheIndex = -1;
        bool Cancel = false;
    };
    void ScriptSettings(const SettingsInput &input);

    std::unique_ptr<testbed::CacheTestBed> TestBed;
    std::unique_ptr<CCacheDlg> Panel;
};

}  // namespace paneltest
