// UTF-16 text helpers; see Text.h.
#include "panel/Text.h"

#include <stdio.h>

size_t TextLength(const WCHAR *text)
{
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

bool TextCopy(WCHAR *dest, size_t capacity, const WCHAR *source)
{
    size_t i = 0;
    for (; source[i] != 0 && i + 1 < capacity; ++i) {
        dest[i] = source[i];
    }
    dest[i] = 0;
    return source[i] == 0;
}

static bool IsHighSurrogate(WCHAR c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool TextCopyWhole(WCHAR *dest, size_t capacity, const WCHAR *source)
{
    bool complete = TextCopy(dest, capacity, source);
    size_t length = TextLength(dest);
    // A high surrogate as the last unit kept means its partner was cut off.
    if (!complete && length > 0 && IsHighSurrogate(dest[length - 1])) {
        dest[length - 1] = 0;
    }
    return complete;
}

bool TextAppend(WCHAR *dest, size_t capacity, const WCHAR *source)
{
    size_t have = TextLength(dest);
    size_t add = TextLength(source);
    if (have + add + 1 > capacity) {
        return false;
    }
    for (size_t i = 0; i <= add; ++i) {
        dest[have + i] = source[i];
    }
    return true;
}

int TextCompare(const WCHAR *a, const WCHAR *b)
{
    for (;; ++a, ++b) {
        if (*a != *b) {
            return *a < *b ? -1 : 1;
        }
        if (*a == 0) {
            return 0;
        }
    }
}

WCHAR UpperAscii(WCHAR c)
{
    return (c >= L'a' && c <= L'z') ? (WCHAR)(c - L'a' + L'A') : c;
}

bool TextEqualNoCase(const WCHAR *a, const WCHAR *b, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
    return true;
}

void TextUpperAscii(WCHAR *text)
{
    for (; *text != 0; ++text) {
        *text = UpperAscii(*text);
    }
}

static bool IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

bool ParseUnsigned(const WCHAR *text, uint32_t *value)
{
    while (IsBlank(*text)) {
        ++text;
    }
    uint64_t result = 0;
    size_t digits = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text, ++digits) {
        result = result * 10 + (uint64_t)(*text - L'0');
        if (result > 0xFFFFFFFFull) {
            return false;
        }
    }
    while (IsBlank(*text)) {
        ++text;
    }
    if (digits == 0 || *text != 0) {
        return false;
    }
    *value = (uint32_t)result;
    return true;
}

namespace {

// Output cursor that cuts at the capacity and keeps the terminator.
struct Sink {
    WCHAR *dest;
    size_t capacity;
    size_t length;
    void Put(WCHAR c)
    {
        if (length + 1 < capacity) {
            dest[length++] = c;
        }
    }
    void PutAscii(const char *text)
    {
        for (; *text != 0; ++text) {
            Put((WCHAR)(unsigned char)*text);
        }
    }
    void PutText(const WCHAR *text)
    {
        for (; text != nullptr && *text != 0; ++text) {
            Put(*text);
        }
    }
};

}  // namespace

size_t FormatTextV(WCHAR *dest, size_t capacity, const WCHAR *format, va_list args)
{
    if (capacity == 0) {
        return 0;
    }
    Sink out{dest, capacity, 0};
    char number[64];
    for (const WCHAR *p = format; *p != 0; ++p) {
        if (*p != L'%') {
            out.Put(*p);
            continue;
        }
        ++p;
        if (*p == L'%') {
            out.Put(L'%');
        } else if (*p == L'd') {
            snprintf(number, sizeof(number), "%d", va_arg(args, int));
            out.PutAscii(number);
        } else if (*p == L'u') {
            snprintf(number, sizeof(number), "%u", va_arg(args, unsigned));
            out.PutAscii(number);
        } else if (*p == L'x') {
            snprintf(number, sizeof(number), "%x", va_arg(args, unsigned));
            out.PutAscii(number);
        } else if (*p == L'c') {
            out.Put((WCHAR)va_arg(args, int));
        } else if (p[0] == L'l' && p[1] == L'l' && p[2] == L'd') {
            p += 2;
            snprintf(number, sizeof(number), "%lld", va_arg(args, long long));
            out.PutAscii(number);
        } else if (p[0] == L'w' && p[1] == L's') {
            ++p;
            out.PutText(va_arg(args, const WCHAR *));
        } else if (p[0] == L's') {
            out.PutText(va_arg(args, const WCHAR *));
        } else if ((p[0] == L'0' && p[1] == L'.' && p[2] == L'2' && p[3] == L'f') ||
                   (p[0] == L'.' && p[1] == L'2' && p[2] == L'f')) {
            p += (p[0] == L'0') ? 3 : 2;
            snprintf(number, sizeof(number), "%.2f", va_arg(args, double));
            out.PutAscii(number);
        } else {
            // Unknown conversion: shown as written, nothing consumed.
            out.Put(L'%');
            if (*p == 0) {
                break;
            }
            out.Put(*p);
        }
    }
    dest[out.length] = 0;
    return out.length;
}

size_t FormatText(WCHAR *dest, size_t capacity, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = FormatTextV(dest, capacity, format, args);
    va_end(args);
    return length;
}

void Text::Assign(const WCHAR *text)
{
    m_units.clear();
    if (text != nullptr) {
        m_units.assign(text, text + TextLength(text));
    }
    m_units.push_back(0);
}

void Text::Append(const WCHAR *text)
{
    m_units.pop_back();
    if (text != nullptr) {
        m_units.insert(m_units.end(), text, text + TextLength(text));
    }
    m_units.push_back(0);
}

Text Text::Format(const WCHAR *format, ...)
{
    WCHAR buffer[1024];
    va_list args;
    va_start(args, format);
    FormatTextV(buffer, 1024, format, args);
    va_end(args);
    return Text(buffer);
}
