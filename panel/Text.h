// UTF-16 text helpers of the control panel.
//
// WCHAR is a UTF-16 code unit in both builds (the host compiles with
// -fshort-wchar), so the C library's wide-character functions cannot be used
// on the host: they assume a 4-byte wchar_t. Everything the panel needs is
// here instead, and behaves the same in both builds.
#pragma once

#include <windows.h>

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <vector>

// Number of code units before the terminator.
size_t TextLength(const WCHAR *text);

// Copies at most capacity - 1 code units and always terminates (capacity > 0).
// Returns false when the source had to be cut.
bool TextCopy(WCHAR *dest, size_t capacity, const WCHAR *source);

// Like TextCopy, but never ends the copy between the two halves of a
// surrogate pair: a pair that does not fit is left out whole.
bool TextCopyWhole(WCHAR *dest, size_t capacity, const WCHAR *source);

// Appends source; false (and dest unchanged) when the result would not fit.
bool TextAppend(WCHAR *dest, size_t capacity, const WCHAR *source);

int TextCompare(const WCHAR *a, const WCHAR *b);
// Compares at most count code units, folding a-z/A-Z only.
bool TextEqualNoCase(const WCHAR *a, const WCHAR *b, size_t count);

// Folds the Latin letters a-z to upper case; every other code unit stays.
void TextUpperAscii(WCHAR *text);
WCHAR UpperAscii(WCHAR c);

// Parses an unsigned decimal number with optional blanks (space, tab) before
// and after it. False when there are no digits, other characters, or the value
// does not fit in 32 bits.
bool ParseUnsigned(const WCHAR *text, uint32_t *value);

// printf-style formatting into UTF-16. Supported conversions:
//   %d (int), %u (unsigned), %lld (long long), %x (unsigned, lower-case hex),
//   %0.2f / %.2f (double, two decimals, rounded), %ws and %s (const WCHAR *),
//   %c (WCHAR passed as int), %%.
// The result is always terminated and cut to capacity - 1 code units.
// Returns the number of code units stored.
size_t FormatText(WCHAR *dest, size_t capacity, const WCHAR *format, ...);
size_t FormatTextV(WCHAR *dest, size_t capacity, const WCHAR *format, va_list args);

// A growable, always terminated UTF-16 string (the panel's string members).
class Text {
public:
    Text() : m_units(1, 0) {}
    Text(const WCHAR *text) { Assign(text); }  // NOLINT: implicit on purpose
    Text &operator=(const WCHAR *text)
    {
        Assign(text);
        return *this;
    }
    void Assign(const WCHAR *text);
    void Append(const WCHAR *text);
    const WCHAR *c_str() const { return m_units.data(); }
    operator const WCHAR *() const { return m_units.data(); }  // NOLINT
    size_t Length() const { return m_units.size() - 1; }
    bool IsEmpty() const { return m_units.size() == 1; }
    // Indexing goes through the conversion to const WCHAR *: a member
    // operator[] would be ambiguous with it for int indexes on 32-bit targets.
    bool operator==(const WCHAR *other) const { return TextCompare(c_str(), other) == 0; }
    bool operator!=(const WCHAR *other) const { return !(*this == other); }
    static Text Format(const WCHAR *format, ...);

private:
    std::vector<WCHAR> m_units;
};
