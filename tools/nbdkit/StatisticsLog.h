// Prints the cached volume's statistics while the plugin runs: the control
// panel's volume row and its four detail rows, formatted by the panel's own
// code, at a fixed interval and whenever SIGUSR1 asks for it. Optionally also
// a CSV line of the raw counters per interval, for plots.
#pragma once

#include "CacheHost.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace nbdcache {

struct LogOptions {
    std::string TextPath;           // panel rows; empty: none
    std::string CsvPath;            // raw counters; empty: none
    unsigned IntervalMs = 1000;     // panel rows, as the panel's refresh timer
    unsigned CsvIntervalMs = 1000;  // raw counters
};

class StatisticsLog {
public:
    explicit StatisticsLog(CacheHost &Host) : Host(Host) {}
    ~StatisticsLog() { Stop(); }

    bool Start(const LogOptions &Options, std::string *Error);
    // Writes one last sample and closes the files.
    void Stop();
    // Asks for a sample now (safe from a signal handler).
    static void RequestSample();

private:
    void Run();
    void Sample(bool Rows, bool Counters);

    CacheHost &Host;
    LogOptions Options;
    FILE *Text = nullptr;
    FILE *Csv = nullptr;
    std::thread Thread;
    std::mutex Lock;
    std::condition_variable Wake;
    bool Quit = false;
    bool HaveLast = false;
    CacheStatistics Last{};
    uint64_t StartNs = 0;
};

// The panel's texts for one sample: the volume row's five columns and the
// detail list's four rows of four columns, in UTF-8. Last is the previous
// sample the speed column is taken against; null for none.
struct PanelRows {
    std::string Volume[5];
    std::string Detail[4][4];
};
PanelRows FormatPanelRows(const std::u16string &RowText, const CacheStatistics &Now,
                          const CacheStatistics *Last);

}  // namespace nbdcache
