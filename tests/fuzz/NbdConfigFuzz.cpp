// The NBD front end's settings as anyone may give them: parameter keys and
// values, and the cache.ini that config= names. They go to the plugin's own
// config and config_complete callbacks, unchanged, as nbdkit calls them.
//
// The input is text: parameter lines "key=value" up to the first NUL, and
// after it the bytes of the config= file. A config= value "@" names that
// file; any other value names a path that does not exist, so that no file of
// the machine is read.
//
// Checked: no crash; every parameter and the completion is either accepted or
// refused with an error message, and nothing is accepted silently that the
// front end's own checks would refuse.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

// The plugin's callbacks and its state have internal linkage: the harness is
// compiled with them, so that it can call them and reset the state between
// inputs as a fresh nbdkit process would have it.
#include "tools/nbdkit/TessiroPlugin.cpp"

#include "FuzzInput.h"

namespace {

std::string Messages;  // nbdkit_error texts of the current callback
std::string Directory;
std::string IniPath;

}  // namespace

// nbdkit's side of the plugin interface, as far as configuration uses it.
extern "C" {
void nbdkit_verror(const char *Format, va_list Args)
{
    char text[4096];
    vsnprintf(text, sizeof text, Format, Args);
    Messages += text;
    Messages += '\n';
}
void nbdkit_error(const char *Format, ...)
{
    va_list args;
    va_start(args, Format);
    nbdkit_verror(Format, args);
    va_end(args);
}
void nbdkit_vdebug(const char *, va_list) {}
void nbdkit_debug(const char *, ...) {}
void nbdkit_set_error(int) {}
}

namespace {

// What a parameter that was accepted may leave in the configuration.
void CheckAccepted(const std::string &Key, const std::string &Value)
{
    const PluginConfig &c = Config;
    const std::string what = "accepted " + Key + "=" + Value;
    FUZZ_CHECK(c.Upstream.Connections >= 1 && c.Upstream.Connections <= 64, what);
    FUZZ_CHECK(c.Host.Letter >= L'C' && c.Host.Letter <= L'Z', what);
    FUZZ_CHECK(std::isfinite(c.Host.DelayScale) && c.Host.DelayScale >= 0 && c.Host.DelayScale <= 10,
               what + ": delay-scale outside 0 to 10");
    FUZZ_CHECK(c.Log.IntervalMs >= 10 && c.Log.IntervalMs <= 3600000, what);
    FUZZ_CHECK(c.Log.CsvIntervalMs >= 10 && c.Log.CsvIntervalMs <= 3600000, what);
}

// Calls one callback and checks that a refusal comes with a message.
template <typename Call>
int Callback(const std::string &What, Call &&Run)
{
    Messages.clear();
    int result = Run();
    FUZZ_CHECK(result == 0 || result == -1, What + " returned " + std::to_string(result));
    if (result == -1)
        FUZZ_CHECK(!Messages.empty(), What + " was refused without a message");
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Directory = fuzz::MakeScratchDirectory("tessiro8-nbdcfg");
    IniPath = Directory + "/cache.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    std::string input(reinterpret_cast<const char *>(Data), Size);
    size_t nul = input.find('\0');
    std::string parameters = input.substr(0, nul);

    std::error_code ec;
    std::filesystem::remove(IniPath, ec);
    if (nul != std::string::npos) {
        FILE *file = fopen(IniPath.c_str(), "wb");
        if (!file)
            fuzz::Fail("cannot write " + IniPath);
        fwrite(input.data() + nul + 1, 1, input.size() - nul - 1, file);
        fclose(file);
    }

    // A fresh process's state.
    Config = PluginConfig();
    struct nbdkit_plugin *plugin = plugin_init();

    size_t start = 0;
    while (start <= parameters.size()) {
        size_t end = parameters.find('\n', start);
        std::string line =
            parameters.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? parameters.size() + 1 : end + 1;
        // nbdkit refuses a parameter without '=' itself: the plugin has no
        // magic key.
        size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "config")
            value = value == "@" ? IniPath : Directory + "/absent/" + value;
        // nbdkit stops at the first refused parameter.
        if (Callback("config " + key, [&] { return plugin->config(key.c_str(), value.c_str()); }) != 0)
            return 0;
        CheckAccepted(key, value);
    }
    Callback("config_complete", [&] { return plugin->config_complete(); });
    return 0;
}
