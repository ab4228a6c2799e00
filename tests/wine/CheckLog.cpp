// Pass/fail log of the checks that run under Wine.
#include "CheckLog.h"

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace {

int g_passed = 0;
int g_failed = 0;

}  // namespace

bool Check(bool passed, const char *what, const char *detail)
{
    if (passed) {
        ++g_passed;
        printf("PASS %s\n", what);
    } else {
        ++g_failed;
        printf("FAIL %s%s%s%s\n", what, detail ? " (" : "", detail ? detail : "", detail ? ")" : "");
    }
    fflush(stdout);
    return passed;
}

bool CheckF(bool passed, const char *what, const char *detailFormat, ...)
{
    char detail[512];
    va_list args;
    va_start(args, detailFormat);
    vsnprintf(detail, sizeof(detail), detailFormat, args);
    va_end(args);
    return Check(passed, what, detail);
}

void Note(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    printf("NOTE %s\n", text);
    fflush(stdout);
}

int Summary()
{
    printf("%d passed, %d failed\n", g_passed, g_failed);
    fflush(stdout);
    return g_failed == 0 ? 0 : 1;
}

const char *Utf8(const WCHAR *text)
{
    // A small ring of buffers, so that a few texts can go into one printf.
    static std::string ring[8];
    static int next = 0;
    std::string &out = ring[next++ % 8];
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::vector<char> buffer((size_t)(size > 0 ? size : 1), 0);
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer.data(), size, nullptr, nullptr);
    }
    out = buffer.data();
    return out.c_str();
}
