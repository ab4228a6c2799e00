// qemu-io's pattern checks through the cache at offsets and lengths that
// match no sector or cache block: the bytes written are read back through the
// cache and from the upstream, and their neighbours keep their old bytes.
#include "NbdHarness.h"

namespace nbdtest {
namespace {

class QemuIo : public NbdTest {
protected:
    // Runs qemu-io commands against Uri; fails on any reported error.
    void Expect(const std::string &Uri, const std::vector<std::string> &Commands, const char *What)
    {
        std::string line = "qemu-io -f raw '" + Uri + "'";
        for (auto &c : Commands)
            line += " -c '" + c + "'";
        CommandResult r = RunCommand(line, 60);
        EXPECT_EQ(r.ExitCode, 0) << What << "\n" << r.Output << "server log:\n" << Cache.Log();
        EXPECT_EQ(r.Output.find("failed"), std::string::npos) << What << "\n" << r.Output;
        EXPECT_EQ(r.Output.find("Pattern verification"), std::string::npos) << What << "\n" << r.Output;
    }
};

TEST_F(QemuIo, UnalignedPatternsReadBackThroughCacheAndUpstream)
{
    if (!Prerequisites({"qemu-io"})) {
        GTEST_SKIP() << "nbdkit, qemu-io or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("8M")) << Upstream.Log();
    ASSERT_TRUE(StartCache({"memory=4M", "allocate-block=1M", "cache-block=4"})) << Cache.Log();

    // Fill the cache with the zeros first, so that the writes must refresh
    // cached copies rather than land in an empty cache.
    Expect(Cache.Uri(), {"read -P 0 0 1M", "read -P 0 0 1M"}, "zeros through the cache");
    Expect(Cache.Uri(), {"write -P 0xa5 4097 70000", "write -P 0x3c 1048575 2", "write -P 0x7e 2000000 513"},
           "unaligned writes");
    std::vector<std::string> checks = {
        "read -P 0 0 4097",    "read -P 0xa5 4097 70000",  "read -P 0 74097 1000",
        "read -P 0 1048574 1", "read -P 0x3c 1048575 2",   "read -P 0 1048577 3",
        "read -P 0 1999999 1", "read -P 0x7e 2000000 513", "read -P 0 2000513 7",
    };
    Expect(Cache.Uri(), checks, "read back through the cache");
    Expect(Upstream.Uri(), checks, "read back from the upstream");
}

}  // namespace
}  // namespace nbdtest
