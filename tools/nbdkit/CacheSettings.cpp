#include "CacheSettings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <cctype>
#include <cstdlib>
#include <limits>

namespace nbdcache {

bool ParseSize(const std::string &Text, uint64_t Unit, uint64_t *Bytes)
{
    size_t i = 0;
    uint64_t value = 0;
    while (i < Text.size() && std::isdigit(static_cast<unsigned char>(Text[i]))) {
        uint64_t digit = uint64_t(Text[i] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return false;
        value = value * 10 + digit;
        i++;
    }
    if (i == 0)
        return false;
    std::string suffix = Text.substr(i);
    for (auto &ch : suffix)
        ch = char(std::toupper(static_cast<unsigned char>(ch)));
    uint64_t unit = Unit;
    if (!suffix.empty()) {
        if (suffix == "B")
            unit = 1;
        else if (suffix == "K" || suffix == "KB" || suffix == "KIB")
            unit = 1ull << 10;
        else if (suffix == "M" || suffix == "MB" || suffix == "MIB")
            unit = 1ull << 20;
        else if (suffix == "G" || suffix == "GB" || suffix == "GIB")
            unit = 1ull << 30;
        else
            return false;
    }
    if (value == 0 || value > std::numeric_limits<uint64_t>::max() / unit)
        return false;
    *Bytes = value * unit;
    return true;
}

bool ParseFlag(const std::string &Text, bool *Value)
{
    std::string t;
    for (char ch : Text)
        t += char(std::tolower(static_cast<unsigned char>(ch)));
    if (t == "1" || t == "on" || t == "yes" || t == "true")
        *Value = true;
    else if (t == "0" || t == "off" || t == "no" || t == "false")
        *Value = false;
    else
        return false;
    return true;
}

int ApplySettingParameter(CacheSettings &Settings, const std::string &Key, const std::string &Value,
                          std::string *Error)
{
    auto bad = [&](const char *what) {
        if (Error)
            *Error = "invalid " + Key + "=" + Value + ": " + what;
        return -1;
    };
    uint64_t bytes = 0;
    if (Key == "memory") {
        if (!ParseSize(Value, 1ull << 20, &bytes))
            return bad("expected a size in MB");
        Settings.MemorySize = bytes;
    } else if (Key == "allocate-block") {
        if (!ParseSize(Value, 1ull << 20, &bytes) || bytes > 0xFFFFFFFFull)
            return bad("expected a size in MB below 4 GiB");
        Settings.AllocateBlockSize = uint32_t(bytes);
    } else if (Key == "cache-block") {
        if (!ParseSize(Value, 1ull << 10, &bytes) || bytes > 0xFFFFFFFFull)
            return bad("expected a size in KB below 4 GiB");
        Settings.CacheBlockSize = uint32_t(bytes);
    } else if (Key == "ssd") {
        if (!ParseFlag(Value, &Settings.SsdEnabled))
            return bad("expected on or off");
    } else if (Key == "ssd-size") {
        if (!ParseSize(Value, 1ull << 20, &bytes))
            return bad("expected a size in MB");
        Settings.SsdSize = bytes;
    } else if (Key == "cache-file") {
        if (Value.empty())
            return bad("expected a path");
        Settings.CacheFile = Value;
    } else {
        return 0;
    }
    return 1;
}

namespace {

const uint64_t SsdUnit = 512ull << 20;  // the driver sizes the cache file in these

bool PowerOfTwo(uint64_t Value)
{
    return Value != 0 && (Value & (Value - 1)) == 0;
}

// "allocate-block=3M is not a power of two; the nearest accepted values are
// allocate-block=2M and allocate-block=4M".
std::string PowerOfTwoRule(const char *Key, uint64_t Value)
{
    uint64_t lower = 1;
    while (lower <= Value / 2)
        lower <<= 1;
    std::string text =
        std::string(Key) + "=" + SizeText(Value) + " is not a power of two, which the driver requires; ";
    uint64_t upper = lower << 1;
    if (upper > 0xFFFFFFFFull)
        return text + "the nearest accepted value is " + Key + "=" + SizeText(lower);
    return text + "the nearest accepted values are " + Key + "=" + SizeText(lower) + " and " + Key + "=" +
           SizeText(upper);
}

}  // namespace

std::string SizeText(uint64_t Bytes)
{
    struct Unit {
        uint64_t Size;
        const char *Suffix;
    } units[] = {{1ull << 30, "G"}, {1ull << 20, "M"}, {1ull << 10, "K"}};
    for (const Unit &unit : units)
        if (Bytes != 0 && Bytes % unit.Size == 0)
            return std::to_string(Bytes / unit.Size) + unit.Suffix;
    return std::to_string(Bytes) + "B";
}

bool CheckStartSettings(const CacheSettings &Settings, std::string *Error)
{
    std::string error;
    if (!PowerOfTwo(Settings.AllocateBlockSize)) {
        error = PowerOfTwoRule("allocate-block", Settings.AllocateBlockSize);
    } else if (!PowerOfTwo(Settings.CacheBlockSize)) {
        error = PowerOfTwoRule("cache-block", Settings.CacheBlockSize);
    } else if (Settings.MemorySize < Settings.AllocateBlockSize) {
        error =
            "memory=" + SizeText(Settings.MemorySize) +
            " is smaller than one allocation block (allocate-block=" + SizeText(Settings.AllocateBlockSize) +
            "): the driver uses the memory tier in whole allocation blocks, so it would "
            "have none; the nearest accepted value is memory=" +
            SizeText(Settings.AllocateBlockSize);
    } else if (Settings.SsdEnabled && Settings.SsdSize < SsdUnit) {
        error = "ssd-size=" + SizeText(Settings.SsdSize) +
                " is below the SSD tier's unit of 512M: the driver sizes the cache file in "
                "whole 512M units, so it would have none; the nearest accepted value is "
                "ssd-size=512";
    } else {
        return true;
    }
    if (Error)
        *Error = error;
    return false;
}

bool CheckCacheFile(const std::string &Path, bool MayOverwrite, std::string *Error)
{
    if (MayOverwrite)
        return true;
    struct stat st;
    // lstat: a link, even one that points nowhere, names something too.
    if (lstat(Path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        if (Error)
            *Error = "cannot check cache-file=" + Path + ": " + strerror(errno);
        return false;
    }
    if (Error)
        *Error = "cache-file=" + Path +
                 " exists: the driver would give it the SSD tier's size, "
                 "overwrite it and delete it when the cache stops. Name a file that does not "
                 "exist, or add cache-file-overwrite=on to give this file up to the cache";
    return false;
}

}  // namespace nbdcache
