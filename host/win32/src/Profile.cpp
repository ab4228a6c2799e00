// The private-profile (INI) calls. A file that starts with the UTF-16LE
// byte-order mark is read and written as UTF-16LE; any other file as UTF-8
// (the host's stand-in for the system code page). A missing file is created
// by the first write, without a byte-order mark, as the platform does.
// Lines end in CR LF; section and key names match without regard to case;
// blanks around names and values are ignored.
#include "Win32Internal.h"

#include <stdio.h>
#include <vector>

namespace hostwin32 {
namespace {

struct IniFile {
    bool Exists = false;
    bool Unicode = false;
    std::vector<std::u16string> Lines;
};

char16_t Fold(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? (char16_t)(c - u'a' + u'A') : c;
}

bool SameName(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string Trim(const std::u16string &text)
{
    size_t begin = text.find_first_not_of(u" \t");
    if (begin == std::u16string::npos) {
        return std::u16string();
    }
    size_t end = text.find_last_not_of(u" \t");
    return text.substr(begin, end - begin + 1);
}

IniFile Load(const WCHAR *fileName)
{
    IniFile ini;
    FILE *file = fopen(HostPath(fileName).c_str(), "rb");
    if (file == nullptr) {
        return ini;
    }
    ini.Exists = true;
    std::string bytes;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        bytes.append(buffer, got);
    }
    fclose(file);
    std::u16string text;
    if (bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE) {
        ini.Unicode = true;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back((char16_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
        }
    } else {
        text = detail::Utf16OfUtf8(bytes);
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\n', start);
        std::u16string line = text.substr(start, end == std::u16string::npos ? std::u16string::npos
                                                                             : end - start);
        if (!line.empty() && line.back() == u'\r') {
            line.pop_back();
        }
        ini.Lines.push_back(line);
        if (end == std::u16string::npos) {
            break;
        }
        start = end + 1;
    }
    return ini;
}

bool Save(const WCHAR *fileName, const IniFile &ini)
{
    std::u16string text;
    for (const std::u16string &line : ini.Lines) {
        text += line;
        text += u"\r\n";
    }
    std::string bytes;
    if (ini.Unicode) {
        bytes.push_back((char)0xFF);
        bytes.push_back((char)0xFE);
        for (char16_t c : text) {
            bytes.push_back((char)(c & 0xFF));
            bytes.push_back((char)(c >> 8));
        }
    } else {
        bytes = detail::Utf8Of(text);
    }
    std::string path = HostPath(fileName);
    if (path.empty() || detail::IsLocked(path)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    if (detail::IsReadOnly(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = fclose(file) == 0 && ok;
    return ok;
}

// Section header name of a line, if it is one.
bool SectionOf(const std::u16string &line, std::u16string *name)
{
    std::u16string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] != u'[') {
        return false;
    }
    size_t close = trimmed.find(u']');
    *name = Trim(trimmed.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
    return true;
}

bool KeyOf(const std::u16string &line, std::u16string *key, std::u16string *value)
{
    size_t equals = line.find(u'=');
    std::u16string trimmed = Trim(line);
    if (equals == std::u16string::npos || trimmed.empty() || trimmed[0] == u';') {
        return false;
    }
    *key = Trim(line.substr(0, equals));
    *value = Trim(line.substr(equals + 1));
    return true;
}

// Lines [begin, end) of the first section with this name; false when none.
bool FindSection(const IniFile &ini, const std::u16string &section, size_t *begin, size_t *end)
{
    for (size_t i = 0; i < ini.Lines.size(); ++i) {
        std::u16string name;
        if (SectionOf(ini.Lines[i], &name) && SameName(name, section)) {
            size_t j = i + 1;
            while (j < ini.Lines.size() && !SectionOf(ini.Lines[j], &name)) {
                ++j;
            }
            *begin = i;
            *end = j;
            return true;
        }
    }
    return false;
}

bool FindKey(const IniFile &ini, size_t begin, size_t end, const std::u16string &key,
             size_t *line, std::u16string *value)
{
    for (size_t i = begin + 1; i < end; ++i) {
        std::u16string name;
        std::u16string text;
        if (KeyOf(ini.Lines[i], &name, &text) && SameName(name, key)) {
            *line = i;
            *value = text;
            return true;
        }
    }
    return false;
}

bool LookUp(const WCHAR *section, const WCHAR *key, const WCHAR *fileName, std::u16string *value)
{
    IniFile ini = Load(fileName);
    size_t begin = 0;
    size_t end = 0;
    size_t line = 0;
    return FindSection(ini, detail::FromWide(section), &begin, &end) &&
           FindKey(ini, begin, end, detail::FromWide(key), &line, value);
}

void DeleteSection(IniFile *ini, const std::u16string &section)
{
    size_t begin = 0;
    size_t end = 0;
    if (FindSection(*ini, section, &begin, &end)) {
        ini->Lines.erase(ini->Lines.begin() + begin, ini->Lines.begin() + end);
    }
}

}  // namespace
}  // namespace hostwin32

using namespace hostwin32;

extern "C" {

DWORD WINAPI GetPrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR defaultValue,
                                      LPWSTR returnedString, DWORD size, LPCWSTR fileName)
{
    if (returnedString == nullptr || size == 0) {
        return 0;
    }
    std::u16string value;
    if (appName == nullptr || keyName == nullptr ||
        !LookUp(appName, keyName, fileName, &value)) {
        value = Trim(detail::FromWide(defaultValue != nullptr ? defaultValue : L""));
    }
    DWORD count = value.size() < size - 1 ? (DWORD)value.size() : size - 1;
    for (DWORD i = 0; i < count; ++i) {
        returnedString[i] = (WCHAR)value[i];
    }
    returnedString[count] = 0;
    return count;
}

UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue,
                                  LPCWSTR fileName)
{
    std::u16string value;
    if (!LookUp(appName, keyName, fileName, &value) || value.empty()) {
        return (UINT)defaultValue;
    }
    size_t i = 0;
    bool negative = false;
    if (value[i] == u'-' || value[i] == u'+') {
        negative = value[i] == u'-';
        ++i;
    }
    int64_t number = 0;
    for (; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i) {
        number = number * 10 + (value[i] - u'0');
        if (number > 0xFFFFFFFFll) {
            number = 0xFFFFFFFFll;
        }
    }
    return (UINT)(negative ? -number : number);
}

BOOL WINAPI WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR string,
                                       LPCWSTR fileName)
{
    if (appName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    IniFile ini = Load(fileName);
    std::u16string section = detail::FromWide(appName);
    if (keyName == nullptr) {
        // Deleting a section that is not there changes nothing.
        size_t first = 0;
        size_t last = 0;
        if (!ini.Exists || !FindSection(ini, section, &first, &last)) {
            return TRUE;
        }
        DeleteSection(&ini, section);
        return Save(fileName, ini);
    }
    std::u16string key = detail::FromWide(keyName);
    size_t begin = 0;
    size_t end = 0;
    size_t line = 0;
    std::u16string old;
    bool haveSection = FindSection(ini, section, &begin, &end);
    bool haveKey = haveSection && FindKey(ini, begin, end, key, &line, &old);
    if (string == nullptr) {
        if (!haveKey) {
            return TRUE;
        }
        ini.Lines.erase(ini.Lines.begin() + line);
        return Save(fileName, ini);
    }
    std::u16string entry = key + u"=" + detail::FromWide(string);
    if (haveKey) {
        ini.Lines[line] = entry;
    } else if (haveSection) {
        size_t last = end;
        while (last > begin + 1 && Trim(ini.Lines[last - 1]).empty()) {
            --last;
        }
        ini.Lines.insert(ini.Lines.begin() + last, entry);
    } else {
        ini.Lines.push_back(u"[" + section + u"]");
        ini.Lines.push_back(entry);
    }
    return Save(fileName, ini);
}

BOOL WINAPI WritePrivateProfileSectionW(LPCWSTR appName, LPCWSTR string, LPCWSTR fileName)
{
    // Windows documents no NULL contents here (deleting a section is
    // WritePrivateProfileStringW with a NULL key), so the stand-in refuses it.
    if (appName == nullptr || string == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    IniFile ini = Load(fileName);
    std::u16string section = detail::FromWide(appName);
    // Replace the section's contents with the NUL-separated list of lines.
    size_t begin = 0;
    size_t end = 0;
    std::vector<std::u16string> lines;
    for (const WCHAR *p = string; *p != 0; p += std::char_traits<char16_t>::length(
                                               reinterpret_cast<const char16_t *>(p)) + 1) {
        lines.push_back(detail::FromWide(p));
    }
    if (FindSection(ini, section, &begin, &end)) {
        ini.Lines.erase(ini.Lines.begin() + begin + 1, ini.Lines.begin() + end);
        ini.Lines.insert(ini.Lines.begin() + begin + 1, lines.begin(), lines.end());
    } else {
        ini.Lines.push_back(u"[" + section + u"]");
        ini.Lines.insert(ini.Lines.end(), lines.begin(), lines.end());
    }
    return Save(fileName, ini);
}

}  // extern "C"
