// The plugin as an NBD server: requests beyond the export's end, an upstream
// that goes away, the statistics log, settings from cache.ini, and a clean
// stop that deletes the cache file.
#include "NbdClient.h"
#include "NbdHarness.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

namespace nbdtest {
namespace {

class PluginBehaviour : public NbdTest {
protected:
    bool Ready() { return Prerequisites({"nbdcopy"}) && NbdClient::Available(); }

    std::vector<uint8_t> Image(uint64_t Offset, size_t Length)
    {
        std::ifstream in(Path("upstream.img"), std::ios::binary);
        std::vector<uint8_t> bytes(Length);
        in.seekg(std::streamoff(Offset));
        in.read(reinterpret_cast<char *>(bytes.data()), std::streamsize(Length));
        return bytes;
    }

    std::string ReadText(const std::string &File)
    {
        std::ifstream in(File);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(PluginBehaviour, RequestsBeyondTheEndFailAndChangeNothing)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("4M", true)) << Upstream.Log();
    ASSERT_TRUE(StartCache({"memory=16M", "allocate-block=16M", "cache-block=64"})) << Cache.Log();
    NbdClient client;
    ASSERT_TRUE(client.Connect(Cache.Uri())) << client.LastError();
    const uint64_t size = 4u << 20;
    ASSERT_EQ(client.Size(), int64_t(size));

    // The last block is cached first, so that a stray write would show.
    int error = 0;
    EXPECT_EQ(client.ReadBytes(size - 65536, 65536, &error), Image(size - 65536, 65536));
    std::vector<uint8_t> junk(8192, 0xEE);
    struct Case {
        uint64_t Offset;
        size_t Length;
    } cases[] = {{size - 4096, 8192}, {size, 512}, {size + (1u << 20), 4096}};
    for (auto &c : cases) {
        std::vector<uint8_t> buffer(c.Length);
        EXPECT_NE(client.Read(c.Offset, buffer.data(), c.Length), 0) << "read at " << c.Offset;
        EXPECT_NE(client.Write(c.Offset, junk.data(), c.Length), 0) << "write at " << c.Offset;
    }
    EXPECT_EQ(client.ReadBytes(size - 65536, 65536, &error), Image(size - 65536, 65536));
    EXPECT_EQ(error, 0);
    CommandResult copy = RunCommand("nbdcopy " + Upstream.Uri() + " " + Path("after.img") + " && cmp " +
                                    Path("after.img") + " " + Path("upstream.img"));
    EXPECT_EQ(copy.ExitCode, 0) << "the upstream changed: " << copy.Output;
}

// When the upstream goes away, reads of blocks the cache holds still return
// the bytes read earlier; everything else fails with an I/O error, and a
// failed write leaves no cached copy of its blocks behind, since nobody knows
// what the upstream holds there now.
TEST_F(PluginBehaviour, UpstreamLossServesOnlyWhatTheCacheIsSureOf)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("8M", true)) << Upstream.Log();
    ASSERT_TRUE(StartCache({"memory=16M", "allocate-block=16M", "cache-block=64"})) << Cache.Log();
    NbdClient client;
    ASSERT_TRUE(client.Connect(Cache.Uri())) << client.LastError();
    int error = 0;
    ASSERT_EQ(client.ReadBytes(0, 1 << 20, &error), Image(0, 1 << 20));

    Upstream.Kill();
    EXPECT_EQ(client.ReadBytes(0, 1 << 20, &error), Image(0, 1 << 20));
    EXPECT_EQ(client.ReadBytes(4 << 20, 65536, &error).size(), 0u);
    EXPECT_EQ(error, EIO);
    std::vector<uint8_t> data(4096, 0x5A);
    EXPECT_EQ(client.Write(65536 + 100, data.data(), data.size()), EIO);
    EXPECT_EQ(client.ReadBytes(65536, 65536, &error).size(), 0u) << "stale block served";
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(client.ReadBytes(131072, 65536, &error), Image(131072, 65536));
    // Reads that only partly hit the cache need the upstream too.
    EXPECT_EQ(client.ReadBytes((1 << 20) - 4096, 8192, &error).size(), 0u);
    EXPECT_EQ(error, EIO);

    client.Disconnect();
    EXPECT_EQ(Cache.Stop(), 0) << "the plugin must unload cleanly without its upstream\n" << Cache.Log();
}

TEST_F(PluginBehaviour, StatisticsLogShowsThePanelRowsAndStopDeletesCacheFile)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("8M", true)) << Upstream.Log();
    std::string log = Path("stats.txt"), cacheFile = Path("c.dat");
    ASSERT_TRUE(StartCache({"memory=16M", "allocate-block=16M", "cache-block=64", "ssd=on", "ssd-size=512",
                            "cache-file=" + cacheFile, "stats-log=" + log, "stats-interval=3600000"}))
        << Cache.Log();
    NbdClient client;
    ASSERT_TRUE(client.Connect(Cache.Uri()));
    struct stat st;
    ASSERT_EQ(stat(cacheFile.c_str(), &st), 0) << "no cache file while caching";
    EXPECT_EQ(uint64_t(st.st_size), 512ull << 20);
    int error = 0;
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(client.ReadBytes(0, 2 << 20, &error).size(), 2u << 20);

    // Asked for by SIGUSR1: two reads of 2 MiB, the second from memory
    // (50.00%), which also copied its 32 blocks into the cache file.
    kill(Cache.ProcessId(), SIGUSR1);
    std::string text;
    for (int i = 0; i < 100 && text.find("系统") == std::string::npos; i++) {
        usleep(20000);
        text = ReadText(log);
    }
    EXPECT_NE(text.find("C:  [NBD]"), std::string::npos) << text;
    EXPECT_NE(text.find("50.00%"), std::string::npos) << text;
    EXPECT_NE(text.find("2/16"), std::string::npos) << "memory used/total MB\n" << text;
    EXPECT_NE(text.find("2/512"), std::string::npos) << "SSD used/total MB\n" << text;
    EXPECT_NE(text.find("系统"), std::string::npos) << text;
    EXPECT_NE(text.find("2次"), std::string::npos) << "read requests\n" << text;
    EXPECT_NE(text.find("4.00 MB"), std::string::npos) << text;

    client.Disconnect();
    EXPECT_EQ(Cache.Stop(), 0) << Cache.Log();
    EXPECT_NE(stat(cacheFile.c_str(), &st), 0) << "the stop must delete the cache file";
}

// Settings from a cache.ini section as the control panel writes it (UTF-16LE).
TEST_F(PluginBehaviour, SettingsComeFromCacheIni)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("8M", true)) << Upstream.Log();
    const char16_t text[] = u"\xFEFF[D]\r\nVolumeName=D:  [NBD]\r\nMemSize=48\r\nSsdSize=0\r\n"
                            u"AllocateBlockSize=16\r\nCacheBlockSize=4\r\nSsdUsed=0\r\nStarted=1\r\n";
    {
        std::ofstream ini(Path("cache.ini"), std::ios::binary);
        ini.write(reinterpret_cast<const char *>(text), sizeof text - sizeof(char16_t));
    }
    std::string log = Path("stats.txt");
    ASSERT_TRUE(
        StartCache({"config=" + Path("cache.ini"), "letter=D", "stats-log=" + log, "stats-interval=3600000"}))
        << Cache.Log();
    NbdClient client;
    ASSERT_TRUE(client.Connect(Cache.Uri()));
    int error = 0;
    EXPECT_EQ(client.ReadBytes(0, 1 << 20, &error), Image(0, 1 << 20));
    client.Disconnect();
    EXPECT_EQ(Cache.Stop(), 0) << Cache.Log();
    // 1 MiB in 4 KiB blocks of a 48 MiB memory tier.
    std::string out = ReadText(log);
    EXPECT_NE(out.find("D:  [NBD]"), std::string::npos) << out;
    EXPECT_NE(out.find("1/48"), std::string::npos) << out;

    // A section that the panel would not accept is refused at start-up.
    EXPECT_FALSE(StartCache({"config=" + Path("cache.ini"), "letter=E"}));
}

// Settings the driver would refuse with a bare status are refused before the
// start, naming the rule, the values and the nearest accepted value.
TEST_F(PluginBehaviour, RefusedSettingsAreExplained)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("4M")) << Upstream.Log();
    struct Case {
        std::vector<std::string> Parameters;
        std::vector<std::string> Said;  // parts of the message
    } cases[] = {
        {{"memory=256K", "allocate-block=1M"},
         {"memory=256K", "allocate-block=1M", "whole allocation blocks", "memory=1M"}},
        {{"memory=64M", "allocate-block=3M"},
         {"allocate-block=3M", "power of two", "allocate-block=2M", "allocate-block=4M"}},
        {{"memory=16M", "allocate-block=16M", "cache-block=48"},
         {"cache-block=48K", "power of two", "cache-block=32K", "cache-block=64K"}},
        {{"memory=16M", "allocate-block=16M", "ssd=on", "ssd-size=256", "cache-file=" + Path("c.dat")},
         {"ssd-size=256M", "512M", "ssd-size=512"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Parameters[0] + " " + c.Parameters[1]);
        EXPECT_FALSE(StartCache(c.Parameters));
        std::string log = Cache.Log();
        for (const std::string &part : c.Said)
            EXPECT_NE(log.find(part), std::string::npos) << log;
        EXPECT_EQ(log.find("0xC0000001"), std::string::npos) << log;
    }
}

// The driver overwrites the cache file and deletes it at the stop: an
// existing cache-file= is refused, unless the user gives it up explicitly.
TEST_F(PluginBehaviour, ExistingCacheFileIsRefusedUnlessGivenUp)
{
    if (!Ready()) {
        GTEST_SKIP() << "nbdkit, libnbd or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("4M")) << Upstream.Log();
    std::string document = Path("report.doc");
    {
        std::ofstream out(document);
        out << "precious";
    }
    std::vector<std::string> parameters = {"memory=16M", "allocate-block=16M", "ssd=on", "ssd-size=512",
                                           "cache-file=" + document};
    EXPECT_FALSE(StartCache(parameters));
    EXPECT_NE(Cache.Log().find("exists"), std::string::npos) << Cache.Log();
    EXPECT_NE(Cache.Log().find("cache-file-overwrite=on"), std::string::npos) << Cache.Log();
    struct stat st;
    ASSERT_EQ(stat(document.c_str(), &st), 0);
    ASSERT_EQ(st.st_size, 8) << "the document was given the SSD tier's size";
    EXPECT_EQ(ReadText(document), "precious");
    Cache.Stop();

    parameters.push_back("cache-file-overwrite=on");
    ASSERT_TRUE(StartCache(parameters)) << Cache.Log();
    NbdClient client;
    ASSERT_TRUE(client.Connect(Cache.Uri())) << client.LastError();  // the cache runs
    ASSERT_EQ(stat(document.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), 512ull << 20);
    client.Disconnect();
    EXPECT_EQ(Cache.Stop(), 0) << Cache.Log();
    EXPECT_NE(stat(document.c_str(), &st), 0) << "given up: deleted at the stop";
}

}  // namespace
}  // namespace nbdtest
