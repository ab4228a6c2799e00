// Pass/fail log of the checks that run under Wine: one line per check, a
// summary "N passed, N failed" at the end, and the exit code of the program.
#pragma once

#include <windows.h>

// Records one check; prints "PASS what" or "FAIL what (detail)".
bool Check(bool passed, const char *what, const char *detail = nullptr);
// Same, with a formatted detail (printf style) shown on failure only.
bool CheckF(bool passed, const char *what, const char *detailFormat, ...);

// Prints a line that is not a check ("NOTE ...").
void Note(const char *format, ...);

// Prints the summary and returns the process exit code: 0 when nothing failed.
int Summary();

// UTF-8 copy of a UTF-16 text, for printing.
const char *Utf8(const WCHAR *text);
