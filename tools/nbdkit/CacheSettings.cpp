#include "CacheSettings.h"

#include <cctype>
#include <cstdlib>
#include <limits>

namespace nbdcache {

bool ParseSize(const std::string &Text, uint64_t Unit, uint64_t *Bytes) {
    size_t i = 0;
    uint64_t value = 0;
    while (i < Text.size() && std::isdigit(static_cast<unsigned char>(Text[i]))) {
        uint64_t digit = uint64_t(Text[i] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
        i++;
    }
    if (i == 0) return false;
    std::string suffix = Text.substr(i);
    for (auto &ch : suffix) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    uint64_t unit = Unit;
    if (!suffix.empty()) {
        if (suffix == "B") unit = 1;
        else if (suffix == "K" || suffix == "KB" || suffix == "KIB") unit = 1ull << 10;
        else if (suffix == "M" || suffix == "MB" || suffix == "MIB") unit = 1ull << 20;
        else if (suffix == "G" || suffix == "GB" || suffix == "GIB") unit = 1ull << 30;
        else return false;
    }
    if (value == 0 || value > std::numeric_limits<uint64_t>::max() / unit) return false;
    *Bytes = value * unit;
    return true;
}

bool ParseFlag(const std::string &Text, bool *Value) {
    std::string t;
    for (char ch : Text) t += char(std::tolower(static_cast<unsigned char>(ch)));
    if (t == "1" || t == "on" || t == "yes" || t == "true") *Value = true;
    else if (t == "0" || t == "off" || t == "no" || t == "false") *Value = false;
    else return false;
    return true;
}

int ApplySettingParameter(CacheSettings &Settings, const std::string &Key,
                          const std::string &Value, std::string *Error) {
    auto bad = [&](const char *what) {
        if (Error) *Error = "invalid " + Key + "=" + Value + ": " + what;
        return -1;
    };
    uint64_t bytes = 0;
    if (Key == "memory") {
        if (!ParseSize(Value, 1ull << 20, &bytes)) return bad("expected a size in MB");
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
        if (!ParseFlag(Value, &Settings.SsdEnabled)) return bad("expected on or off");
    } else if (Key == "ssd-size") {
        if (!ParseSize(Value, 1ull << 20, &bytes)) return bad("expected a size in MB");
        Settings.SsdSize = bytes;
    } else if (Key == "cache-file") {
        if (Value.empty()) return bad("expected a path");
        Settings.CacheFile = Value;
    } else {
        return 0;
    }
    return 1;
}

}  // namespace nbdcache
