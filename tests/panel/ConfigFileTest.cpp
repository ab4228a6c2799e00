// cache.ini: path, read rules, write format, deletion and encoding.
#include "PanelFixture.h"

#include "panel/ControlRequest.h"
#include "panel/Text.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <thread>

namespace paneltest {
namespace {

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostwin32::SetMachine(StandardMachine());
        ASSERT_TRUE(BuildConfigPath(Path));
    }

    std::vector<std::string> Lines() const { return ConfigLines(); }
    void Write(const std::vector<std::string> &lines) const { WriteConfig(lines); }

    static VolumeSettings Fresh()
    {
        VolumeSettings s;
        memset(&s, 0, sizeof(s));
        return s;
    }

    WCHAR Path[CONFIG_PATH_CHARS];
};

TEST_F(ConfigFileTest, PathIsBesideTheExecutable)
{
    EXPECT_EQ(host::Utf8(Path), "C:\\Program Files\\Tessiro8\\cache.ini");
}

TEST_F(ConfigFileTest, DirectoryWithoutRoomForTheNameGivesNoPathAndNoWrite)
{
    hostwin32::Machine machine = StandardMachine();
    // 250 units of directory: with "\cache.ini" 260 units, no room for the NUL.
    machine.ModulePath = u"C:\\" + std::u16string(247, u'x') + u"\\a.exe";
    hostwin32::SetMachine(machine);
    WCHAR path[CONFIG_PATH_CHARS];
    EXPECT_FALSE(BuildConfigPath(path));
    EXPECT_EQ(path[0], 0);
    VolumeSettings s = Fresh();
    FormatText(s.VolumeName, VOLUME_NAME_CHARS, L"C:  [X]");
    s.MemSize = 1;
    EXPECT_FALSE(WriteVolumeSettings(&s, path));
    EXPECT_FALSE(ReadVolumeSettings(L'C', &s, path));

    // One unit shorter fits exactly (259 units and the NUL).
    machine.ModulePath = u"C:\\" + std::u16string(246, u'x') + u"\\a.exe";
    hostwin32::SetMachine(machine);
    EXPECT_TRUE(BuildConfigPath(path));
    EXPECT_EQ(TextLength(path), 259u);
}

TEST_F(ConfigFileTest, NewSectionIsWrittenInTheDocumentedOrder)
{
    VolumeSettings s = Fresh();
    FormatText(s.VolumeName, VOLUME_NAME_CHARS, L"D:  [DATA]");
    FormatText(s.CacheFile, CACHE_FILE_CHARS, L"E:\\cache\\d.dat");
    s.MemSize = 1024;
    s.SsdSize = 10240;
    s.AllocateBlockSize = 32;
    s.CacheBlockSize = 64;
    s.SsdUsed = 1;
    s.Started = 1;
    EXPECT_TRUE(WriteVolumeSettings(&s, Path));
    std::vector<std::string> expected = {
        "[D]",           "VolumeName=D:  [DATA]", "CacheFile=E:\\cache\\d.dat", "MemSize=1024",
        "SsdSize=10240", "AllocateBlockSize=32",  "CacheBlockSize=64",          "SsdUsed=1",
        "Started=1"};
    EXPECT_EQ(Lines(), expected);
    // UTF-16LE with a byte-order mark.
    std::string bytes = hostwin32::ReadHostFile(ConfigPath());
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE[\0", 4));

    VolumeSettings back = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'd', &back, Path));
    EXPECT_EQ(memcmp(&back, &s, sizeof(s)), 0);
}

TEST_F(ConfigFileTest, ReadRulesOfOneSection)
{
    const std::string name = "VolumeName=C:  [SYS]";
    struct Case {
        const char *what;
        std::vector<std::string> keys;  // after the [C] line
        bool valid;
        UCHAR ssdUsed;
        UCHAR started;
    } cases[] = {
        {"plain",
         {name, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64", "SsdUsed=0", "Started=0"},
         true,
         0,
         0},
        {"missing Started counts as started",
         {name, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64"},
         true,
         0,
         1},
        {"Started not a number reads 0",
         {name, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64", "Started=yes"},
         true,
         0,
         0},
        {"SsdUsed=256 keeps the low byte",
         {name, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64", "SsdUsed=256"},
         true,
         0,
         1},
        {"SSD without CacheFile",
         {name, "MemSize=16", "SsdSize=512", "AllocateBlockSize=16", "CacheBlockSize=64", "SsdUsed=1"},
         false,
         1,
         1},
        {"SSD with empty CacheFile",
         {name, "CacheFile=", "MemSize=16", "SsdSize=512", "AllocateBlockSize=16", "CacheBlockSize=64",
          "SsdUsed=1"},
         false,
         1,
         1},
        {"SSD without SsdSize",
         {name, "CacheFile=S:\\c.dat", "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64",
          "SsdUsed=1"},
         false,
         1,
         1},
        {"SSD complete",
         {name, "CacheFile=S:\\c.dat", "MemSize=16", "SsdSize=512", "AllocateBlockSize=16",
          "CacheBlockSize=64", "SsdUsed=1"},
         true,
         1,
         1},
        {"no VolumeName", {"MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64"}, false, 0, 0},
        {"MemSize 0", {name, "MemSize=0", "AllocateBlockSize=16", "CacheBlockSize=64"}, false, 0, 0},
        {"no AllocateBlockSize", {name, "MemSize=16", "CacheBlockSize=64"}, false, 0, 0},
        {"CacheBlockSize not a number",
         {name, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=big"},
         false,
         0,
         0},
        {"keys in another case and blanks around values",
         {"volumename = C:  [SYS]", "MEMSIZE= 16", "allocateblocksize =16", "CacheBlockSize=64"},
         true,
         0,
         1},
    };
    for (const Case &c : cases) {
        std::vector<std::string> lines = {"[C]"};
        lines.insert(lines.end(), c.keys.begin(), c.keys.end());
        Write(lines);
        VolumeSettings s = Fresh();
        EXPECT_EQ(ReadVolumeSettings(L'C', &s, Path), c.valid) << c.what;
        if (c.valid) {
            EXPECT_EQ(s.SsdUsed, c.ssdUsed) << c.what;
            EXPECT_EQ(s.Started, c.started) << c.what;
            EXPECT_EQ(s.MemSize, 16u) << c.what;
        }
    }
}

// A hand-edited file may hold a NUL. A text value that begins with one reads
// as a count of characters but holds no text: the section is invalid, as with
// an empty value.
TEST_F(ConfigFileTest, TextThatBeginsWithANulIsEmpty)
{
    struct Case {
        const char *what;
        std::u16string section;
    } cases[] = {
        {"VolumeName", std::u16string(u"[C]\r\nVolumeName=") + u'\0' +
                           u"C:  [SYS]\r\nMemSize=16\r\nAllocateBlockSize=16\r\nCacheBlockSize=64\r\n"},
        {"CacheFile", std::u16string(u"[C]\r\nVolumeName=C:  [SYS]\r\nCacheFile=") + u'\0' +
                          u"S:\\c.dat\r\nMemSize=16\r\nSsdSize=512\r\nAllocateBlockSize=16\r\n"
                          u"CacheBlockSize=64\r\nSsdUsed=1\r\n"},
    };
    for (const Case &c : cases) {
        std::string bytes = "\xFF\xFE";
        for (char16_t unit : c.section) {
            bytes.push_back((char)(unit & 0xFF));
            bytes.push_back((char)(unit >> 8));
        }
        FILE *file = fopen(hostwin32::HostPath(Path).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fwrite(bytes.data(), 1, bytes.size(), file);
        fclose(file);
        VolumeSettings s = Fresh();
        EXPECT_FALSE(ReadVolumeSettings(L'C', &s, Path)) << c.what;
    }
}

TEST_F(ConfigFileTest, LongVolumeNamesAreCutToTheField)
{
    // Reading: the 45-character value comes back as its first 39.
    std::string label = "C:  [" + std::string(39, 'L') + "]";
    Write({"[C]", "VolumeName=" + label, "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64"});
    VolumeSettings s = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'C', &s, Path));
    EXPECT_EQ(host::Utf8(s.VolumeName), label.substr(0, 39));

    // A dialog label longer than the field is cut at a character boundary:
    // a surrogate pair that would straddle the end is left out whole.
    CConfigDlg dialog;
    std::u16string longLabel = u"D:" + std::u16string(36, u'A') + u"\xD83D\xDE00" + u"]";
    dialog.m_volumeLabel = W(longLabel);
    dialog.m_memSize = 1;
    VolumeSettings w = dialog.ResultSettings(1);
    EXPECT_EQ(TextLength(w.VolumeName), 38u);
    WriteVolumeSettings(&w, Path);
    VolumeSettings back = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'D', &back, Path));
    EXPECT_EQ(host::Utf8(back.VolumeName), "D:" + std::string(36, 'A'));
}

TEST_F(ConfigFileTest, RecordGoesToTheSectionOfItsVolumeName)
{
    Write({"[C]", "VolumeName=D:  [OTHER]", "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64",
           "SsdUsed=0", "Started=1"});
    VolumeSettings s = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'C', &s, Path));
    s.Started = 0;
    WriteVolumeSettings(&s, Path);
    std::vector<std::string> expected = {"[C]",
                                         "VolumeName=D:  [OTHER]",
                                         "MemSize=16",
                                         "AllocateBlockSize=16",
                                         "CacheBlockSize=64",
                                         "SsdUsed=0",
                                         "Started=1",
                                         "[D]",
                                         "VolumeName=D:  [OTHER]",
                                         "MemSize=16",
                                         "SsdSize=0",
                                         "AllocateBlockSize=16",
                                         "CacheBlockSize=64",
                                         "SsdUsed=0",
                                         "Started=0"};
    EXPECT_EQ(Lines(), expected);
}

TEST_F(ConfigFileTest, RewriteWithoutSsdKeepsAnOldCacheFileKey)
{
    Write({"[C]", "VolumeName=C:  [SYS]", "CacheFile=S:\\old.dat", "MemSize=16", "SsdSize=512",
           "AllocateBlockSize=16", "CacheBlockSize=64", "SsdUsed=0", "Started=1"});
    VolumeSettings s = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'C', &s, Path));
    WriteVolumeSettings(&s, Path);
    std::vector<std::string> expected = {
        "[C]",       "VolumeName=C:  [SYS]", "CacheFile=S:\\old.dat", "MemSize=16",
        "SsdSize=0", "AllocateBlockSize=16", "CacheBlockSize=64",     "SsdUsed=0",
        "Started=1"};
    EXPECT_EQ(Lines(), expected);
}

TEST_F(ConfigFileTest, DeletingRemovesOneSectionAndAMissingOneChangesNothing)
{
    Write({"[C]", "VolumeName=C:  [A]", "MemSize=16", "[D]", "VolumeName=D:  [B]", "MemSize=8"});
    std::string before = hostwin32::ReadHostFile(ConfigPath());
    DeleteVolumeSettings(L'E', Path);
    EXPECT_EQ(hostwin32::ReadHostFile(ConfigPath()), before);
    DeleteVolumeSettings(L'c', Path);
    std::vector<std::string> expected = {"[D]", "VolumeName=D:  [B]", "MemSize=8"};
    EXPECT_EQ(Lines(), expected);

    // Deleting from a file that does not exist does not create it.
    hostwin32::RemoveFile(ConfigPath());
    DeleteVolumeSettings(L'D', Path);
    EXPECT_FALSE(hostwin32::FileExists(ConfigPath()));
}

TEST_F(ConfigFileTest, NonAsciiLabelsSurvive)
{
    VolumeSettings s = Fresh();
    FormatText(s.VolumeName, VOLUME_NAME_CHARS, L"C:  [本地磁盘]");
    FormatText(s.CacheFile, CACHE_FILE_CHARS, L"S:\\缓存\\c.dat");
    s.MemSize = 64;
    s.SsdSize = 512;
    s.AllocateBlockSize = 16;
    s.CacheBlockSize = 4;
    s.SsdUsed = 1;
    s.Started = 1;
    WriteVolumeSettings(&s, Path);
    VolumeSettings back = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'C', &back, Path));
    EXPECT_EQ(host::Utf8(back.VolumeName), "C:  [本地磁盘]");
    EXPECT_EQ(host::Utf8(back.CacheFile), "S:\\缓存\\c.dat");
}

TEST_F(ConfigFileTest, RequestRuleConvertsUnitsAndDropsAutoGrow)
{
    VolumeSettings s = Fresh();
    FormatText(s.VolumeName, VOLUME_NAME_CHARS, L"d:  [X]");
    FormatText(s.CacheFile, CACHE_FILE_CHARS, L"S:\\d.dat");
    s.MemSize = 8192;  // 8 GiB: needs 64 bits
    s.SsdSize = 10240;
    s.AllocateBlockSize = 128;
    s.CacheBlockSize = 1024;
    s.SsdUsed = 1;
    CacheControlRequest r;
    ASSERT_TRUE(BuildStartRequest(s, L'd', &r));
    EXPECT_EQ(r.DriveLetter, L'D');
    EXPECT_TRUE(r.SsdEnabled);
    EXPECT_EQ(r.MemorySize, 8192ull << 20);
    EXPECT_EQ(r.SsdSize, 10240ull << 20);
    EXPECT_EQ(r.AllocateBlockSize, 0x8000000u);
    EXPECT_EQ(r.CacheBlockSize, 0x100000u);
    EXPECT_FALSE(r.SsdAutoGrow);
    EXPECT_EQ(r.SsdMaxSize, 0u);
    EXPECT_EQ(host::Utf8(r.CacheFilePath), "\\??\\S:\\d.dat");
    EXPECT_EQ(r.Start, 1);
}

}  // namespace
}  // namespace paneltest

namespace paneltest {
namespace {

// The file stays UTF-16LE, so that "本地磁盘" survives whatever the
// system's code page: whether it is missing, empty (0 bytes, which the
// profile calls would write in the code page), or emptied by a delete.
TEST_F(ConfigFileTest, EveryWriteKeepsTheFileUtf16)
{
    enum class Before { Missing, Empty, DeletedSection };
    for (Before before : {Before::Missing, Before::Empty, Before::DeletedSection}) {
        SCOPED_TRACE(before == Before::Missing ? "missing" : before == Before::Empty ? "0 bytes" : "delete");
        hostwin32::RemoveFile(ConfigPath());
        VolumeSettings s = Fresh();
        FormatText(s.VolumeName, VOLUME_NAME_CHARS, L"C:  [本地磁盘]");
        s.MemSize = 16;
        s.AllocateBlockSize = 16;
        s.CacheBlockSize = 64;
        s.Started = 1;
        if (before == Before::Empty) {
            FILE *file = fopen(hostwin32::HostPath(ConfigPath()).c_str(), "wb");
            ASSERT_NE(file, nullptr);
            fclose(file);
        } else if (before == Before::DeletedSection) {
            ASSERT_TRUE(WriteVolumeSettings(&s, Path));
            ASSERT_TRUE(DeleteVolumeSettings(L'C', Path));
            EXPECT_TRUE(Lines().empty());
        }
        ASSERT_TRUE(WriteVolumeSettings(&s, Path));
        std::string bytes = hostwin32::ReadHostFile(ConfigPath());
        ASSERT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
        VolumeSettings back = Fresh();
        ASSERT_TRUE(ReadVolumeSettings(L'C', &back, Path));
        EXPECT_EQ(host::Utf8(back.VolumeName), "C:  [本地磁盘]");
    }
}

TEST_F(ConfigFileTest, WritesAndDeletesReportAFileThatCannotBeWritten)
{
    Write({"[C]", "VolumeName=C:  [A]", "MemSize=16", "AllocateBlockSize=16", "CacheBlockSize=64"});
    std::string before = hostwin32::ReadHostFile(ConfigPath());
    hostwin32::SetFileReadOnly(ConfigPath(), true);
    VolumeSettings s = Fresh();
    ASSERT_TRUE(ReadVolumeSettings(L'C', &s, Path));
    EXPECT_FALSE(WriteVolumeSettings(&s, Path));
    EXPECT_FALSE(DeleteVolumeSettings(L'C', Path));
    EXPECT_TRUE(DeleteVolumeSettings(L'D', Path));  // nothing to remove
    EXPECT_EQ(hostwin32::ReadHostFile(ConfigPath()), before);
    hostwin32::SetFileReadOnly(ConfigPath(), false);
    EXPECT_TRUE(WriteVolumeSettings(&s, Path));
    EXPECT_TRUE(DeleteVolumeSettings(L'C', Path));
}

// The profile calls keep the file they last read parsed; every way the file
// can change behind them shows in the next read, however soon it comes and
// whatever the file's size, including a change of the same size in the same
// tick of the file system's clock as the read before it.
TEST_F(ConfigFileTest, ReadsSeeEveryChangeBehindTheProfileCalls)
{
    enum class Change { Rewrite, RenameOver, Remove, ProfileWriteThenRewrite };
    struct Case {
        const char *Name;
        Change How;
        bool Settle;  // the file system's clock has passed the file's stamps
        const char *Then;
        UINT Expected;
    };
    // clang-format off
    const Case cases[] = {
        {"same size at once", Change::Rewrite, false, "MemSize=2", 2},
        {"same size once settled", Change::Rewrite, true, "MemSize=2", 2},
        {"longer", Change::Rewrite, false, "MemSize=300", 300},
        {"another file renamed over it", Change::RenameOver, false, "MemSize=3", 3},
        {"another file renamed over it once settled", Change::RenameOver, true, "MemSize=3", 3},
        {"removed", Change::Remove, false, nullptr, 7},
        {"removed once settled", Change::Remove, true, nullptr, 7},
        {"written through the calls, then the same size behind them", Change::ProfileWriteThenRewrite,
         false, "MemSize=4", 4},
    };
    // clang-format on
    const std::string host = hostwin32::HostPath(ConfigPath());
    auto settle = [&host] {
        struct stat info;
        ASSERT_EQ(stat(host.c_str(), &info), 0);
        struct timespec now;
        do {
            std::this_thread::yield();
            clock_gettime(CLOCK_REALTIME_COARSE, &now);
        } while (now.tv_sec < info.st_ctim.tv_sec ||
                 (now.tv_sec == info.st_ctim.tv_sec && now.tv_nsec <= info.st_ctim.tv_nsec));
    };
    auto memSize = [this] { return GetPrivateProfileIntW(L"C", L"MemSize", 7, Path); };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Name);
        Write({"[C]", "MemSize=1"});
        ASSERT_EQ(memSize(), 1u);
        if (c.Settle) {
            settle();
            ASSERT_EQ(memSize(), 1u);  // read once more, now as a settled file
        }
        switch (c.How) {
        case Change::Rewrite:
            Write({"[C]", c.Then});
            break;
        case Change::RenameOver: {
            std::string other = host + ".new";
            FILE *file = fopen(other.c_str(), "wb");
            ASSERT_NE(file, nullptr);
            std::string text = std::string("[C]\r\n") + c.Then + "\r\n";
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
            ASSERT_EQ(rename(other.c_str(), host.c_str()), 0);
            break;
        }
        case Change::Remove:
            ASSERT_EQ(remove(host.c_str()), 0);
            break;
        case Change::ProfileWriteThenRewrite:
            ASSERT_TRUE(WritePrivateProfileStringW(L"C", L"MemSize", L"5", Path));
            ASSERT_EQ(memSize(), 5u);
            Write({"[C]", c.Then});
            break;
        }
        EXPECT_EQ(memSize(), c.Expected);
    }
}

}  // namespace
}  // namespace paneltest
