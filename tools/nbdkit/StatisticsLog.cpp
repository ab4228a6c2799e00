#include "StatisticsLog.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace nbdcache {
namespace {

std::atomic<int> SampleRequests{0};

uint64_t NowNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

// Pads Text to Width display columns; CJK characters take two.
std::string Pad(const std::string &Text, int Width)
{
    int columns = 0;
    for (size_t i = 0; i < Text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(Text[i]);
        if (c < 0x80)
            columns++;
        else if (c >= 0xE0)
            columns += 2;  // three-byte sequences here are CJK
        else if (c >= 0xC0)
            columns++;
    }
    std::string out = Text;
    while (columns++ < Width)
        out += ' ';
    return out;
}

}  // namespace

void StatisticsLog::RequestSample()
{
    SampleRequests.fetch_add(1, std::memory_order_relaxed);
}

bool StatisticsLog::Start(const LogOptions &NewOptions, std::string *Error)
{
    Options = NewOptions;
    if (Options.TextPath.empty() && Options.CsvPath.empty())
        return true;
    if (!Options.TextPath.empty() && !(Text = fopen(Options.TextPath.c_str(), "a"))) {
        if (Error)
            *Error = "cannot open " + Options.TextPath;
        return false;
    }
    if (!Options.CsvPath.empty()) {
        if (!(Csv = fopen(Options.CsvPath.c_str(), "w"))) {
            if (Error)
                *Error = "cannot open " + Options.CsvPath;
            Stop();
            return false;
        }
        fprintf(Csv, "epoch,seconds,read_requests,read_bytes,volume_reads,volume_read_bytes,"
                     "memory_hits,memory_hit_bytes,ssd_hits,ssd_hit_bytes,"
                     "memory_blocks_used,ssd_blocks_used\n");
        fflush(Csv);
    }
    StartNs = NowNs();
    Quit = false;
    Thread = std::thread([this] { Run(); });
    return true;
}

void StatisticsLog::Stop()
{
    if (Thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Quit = true;
        }
        Wake.notify_all();
        Thread.join();
        Sample(true, true);
    }
    if (Text)
        fclose(Text);
    if (Csv)
        fclose(Csv);
    Text = Csv = nullptr;
}

// Samples each log at its interval, and both within 50 ms of a request.
void StatisticsLog::Run()
{
    using namespace std::chrono;
    auto nextRows = steady_clock::now() + milliseconds(Options.IntervalMs);
    auto nextCounters = steady_clock::now() + milliseconds(Options.CsvIntervalMs);
    std::unique_lock<std::mutex> lock(Lock);
    while (!Quit) {
        Wake.wait_for(lock, milliseconds(std::min(50u, Options.CsvIntervalMs)));
        if (Quit)
            break;
        bool asked = SampleRequests.exchange(0, std::memory_order_relaxed) != 0;
        auto now = steady_clock::now();
        bool rows = asked || now >= nextRows;
        bool counters = asked || now >= nextCounters;
        if (now >= nextRows)
            nextRows += milliseconds(Options.IntervalMs);
        if (now >= nextCounters)
            nextCounters += milliseconds(Options.CsvIntervalMs);
        if (!rows && !counters)
            continue;
        lock.unlock();
        Sample(rows, counters);
        lock.lock();
    }
}

void StatisticsLog::Sample(bool Rows, bool Counters)
{
    CacheStatistics now;
    if (!Host.QueryStatistics(&now))
        return;
    double seconds = double(NowNs() - StartNs) / 1e9;
    if (Text && Rows) {
        PanelRows rows = FormatPanelRows(Host.VolumeLabel(), now, HaveLast ? &Last : nullptr);
        time_t t = time(nullptr);
        struct tm tm;
        localtime_r(&t, &tm);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
        static const char *volumeHeads[5] = {"卷", "卷大小 GB", "命中率", "内存(已用/总共) MB",
                                             "SSD(已用/总共) MB"};
        static const int volumeWidths[5] = {14, 10, 10, 20, 20};
        static const char *detailHeads[4] = {"类型", "读次数", "读大小", "读速度"};
        static const int detailWidths[4] = {8, 16, 14, 14};
        fprintf(Text, "--- %s (%.1f s)\n", stamp, seconds);
        std::string line;
        for (int c = 0; c < 5; c++)
            line += Pad(volumeHeads[c], volumeWidths[c]) + " ";
        fprintf(Text, "%s\n", line.c_str());
        line.clear();
        for (int c = 0; c < 5; c++)
            line += Pad(rows.Volume[c], volumeWidths[c]) + " ";
        fprintf(Text, "%s\n", line.c_str());
        line.clear();
        for (int c = 0; c < 4; c++)
            line += Pad(detailHeads[c], detailWidths[c]) + " ";
        fprintf(Text, "  %s\n", line.c_str());
        for (int r = 0; r < 4; r++) {
            line.clear();
            for (int c = 0; c < 4; c++)
                line += Pad(rows.Detail[r][c], detailWidths[c]) + " ";
            fprintf(Text, "  %s\n", line.c_str());
        }
        fflush(Text);
    }
    if (Csv && Counters) {
        struct timespec wall;
        clock_gettime(CLOCK_REALTIME, &wall);
        fprintf(Csv, "%.3f,%.3f,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,%u,%u\n",
                double(wall.tv_sec) + double(wall.tv_nsec) / 1e9, seconds,
                (unsigned long long)now.ReadRequests, (unsigned long long)now.ReadBytes,
                (unsigned long long)now.VolumeReads, (unsigned long long)now.VolumeReadBytes,
                (unsigned long long)now.MemoryHits, (unsigned long long)now.MemoryHitBytes,
                (unsigned long long)now.SsdHits, (unsigned long long)now.SsdHitBytes,
                unsigned(now.MemoryBlocksUsed), unsigned(now.SsdBlocksUsed));
        fflush(Csv);
    }
    if (Rows) {
        Last = now;
        HaveLast = true;
    }
}

}  // namespace nbdcache
