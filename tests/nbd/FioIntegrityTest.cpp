// Data integrity through the cache with fio's own verification: reads of a
// prefilled export through tiny tiers that evict all the time, then random
// writes of mixed sizes and alignments verified through the cache, then the
// same verification straight against the upstream, which proves that every
// write went through.
#include "NbdHarness.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace nbdtest {
namespace {

struct TierCase {
    const char *Name;
    bool Ssd;
};

void PrintTo(const TierCase &c, std::ostream *os)
{
    *os << c.Name;
}

class FioIntegrity : public NbdTest, public ::testing::WithParamInterface<TierCase> {};

std::string WriteJob(const std::string &Path)
{
    std::ofstream job(Path);
    job << "[global]\n"
           "ioengine=nbd\n"
           "uri=${URI}\n"
           "size=16M\n"
           "iodepth=8\n"
           "rw=randwrite\n"
           "bsrange=512-128k\n"
           "blockalign=512\n"
           "verify=crc32c\n"
           "do_verify=1\n"
           "randseed=20110325\n"
           "[writes]\n";
    return Path;
}

// Counters of the final statistics sample: column name -> value.
std::map<std::string, uint64_t> LastCounters(const std::string &CsvPath)
{
    std::ifstream in(CsvPath);
    std::string header, line, last;
    std::getline(in, header);
    while (std::getline(in, line))
        if (!line.empty())
            last = line;
    std::map<std::string, uint64_t> values;
    std::stringstream names(header), fields(last);
    std::string name, field;
    while (std::getline(names, name, ',') && std::getline(fields, field, ','))
        values[name] = std::strtoull(field.c_str(), nullptr, 10);
    return values;
}

TEST_P(FioIntegrity, RandomWritesVerifyThroughCacheAndUpstream)
{
    if (!Prerequisites({"fio", "nbdcopy"})) {
        GTEST_SKIP() << "nbdkit, fio, nbdcopy or the plugin missing";
    }
    ASSERT_TRUE(StartUpstream("32M", true)) << Upstream.Log();
    // 1 MiB of memory is 16 blocks of 64 KiB for a 16 MiB working set.
    std::vector<std::string> params = {"memory=1M", "allocate-block=1M", "cache-block=64",
                                       "stats-csv=" + Path("stats.csv")};
    std::string cacheFile = Path("ssd.cache");
    if (GetParam().Ssd) {
        params.push_back("ssd=on");
        params.push_back("ssd-size=512");
        params.push_back("cache-file=" + cacheFile);
    }
    ASSERT_TRUE(StartCache(params)) << Cache.Log();

    // Reads through the evicting tiers return the upstream's bytes; the second
    // copy is served from the tiers that the first one filled (with the SSD
    // tier: blocks promoted from memory on their second read).
    for (int pass = 0; pass < 2; pass++) {
        std::string copy = Path("copy.img");
        CommandResult r = RunCommand("nbdcopy --request-size=4096 " + Cache.Uri() + " " + copy + " && cmp " +
                                     copy + " " + Path("upstream.img"));
        ASSERT_EQ(r.ExitCode, 0) << "pass " << pass << ": " << r.Output;
    }

    std::string job = WriteJob(Path("writes.fio"));
    CommandResult r = RunCommand("URI='" + Cache.Uri() + "' fio --minimal " + job, 120);
    ASSERT_EQ(r.ExitCode, 0) << "write and verify through the cache:\n" << r.Output;
    r = RunCommand("URI='" + Cache.Uri() + "' fio --minimal --verify_only " + job, 120);
    ASSERT_EQ(r.ExitCode, 0) << "second verification through the cache:\n" << r.Output;
    r = RunCommand("URI='" + Upstream.Uri() + "' fio --minimal --verify_only " + job, 120);
    ASSERT_EQ(r.ExitCode, 0) << "verification against the upstream:\n" << r.Output;

    if (GetParam().Ssd) {
        struct stat st;
        EXPECT_EQ(stat(cacheFile.c_str(), &st), 0) << "cache file missing while caching";
    }
    EXPECT_EQ(Cache.Stop(), 0) << Cache.Log();
    if (GetParam().Ssd) {
        struct stat st;
        EXPECT_NE(stat(cacheFile.c_str(), &st), 0) << "the stop must delete the cache file";
    }

    // The run went through the tiers it meant to exercise.
    auto counters = LastCounters(Path("stats.csv"));
    EXPECT_GT(counters["memory_hits"], 0u);
    EXPECT_GT(counters["volume_reads"], 256u) << "the memory tier was expected to evict";
    if (GetParam().Ssd) {
        EXPECT_GT(counters["ssd_hits"], 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Tiers, FioIntegrity,
                         ::testing::Values(TierCase{"MemoryOnly", false}, TierCase{"WithSsd", true}),
                         [](const ::testing::TestParamInfo<TierCase> &info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
}  // namespace nbdtest
