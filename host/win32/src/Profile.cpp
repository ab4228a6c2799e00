// The private-profile (INI) calls. A file that starts with the UTF-16LE
// byte-order mark is read and written as UTF-16LE; any other file as UTF-8
// (the host's stand-in for the system code page). A missing file is created
// by the first write, without a byte-order mark, as the platform does.
// Lines end in CR LF; section and key names match without regard to case;
// blanks around names and values are ignored.
#include "Win32Internal.h"

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>
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

std::u16string Trim(const std::u16string &text)
{
    size_t begin = text.find_first_not_of(u" \t");
    if (begin == std::u16string::npos) {
        return std::u16string();
    }
    size_t end = text.find_last_not_of(u" \t");
    return text.substr(begin, end - begin + 1);
}

// The lines of a file's text.
std::vector<std::u16string> LinesOf(const std::string &bytes, bool unicode)
{
    std::u16string text;
    if (unicode) {
        text.reserve(bytes.size() / 2);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back((char16_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
        }
    } else {
        text = detail::Utf16OfUtf8(bytes);
    }
    std::vector<std::u16string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\n', start);
        size_t stop = end == std::u16string::npos ? text.size() : end;
        size_t length = stop - start;
        if (length > 0 && text[stop - 1] == u'\r') {
            --length;
        }
        lines.emplace_back(text, start, length);
        if (end == std::u16string::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

bool StartsWithMark(const std::string &bytes)
{
    return bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE;
}

// The whole file from its start (as much of it as reads); Expected is the
// size its stamps gave, so that one read usually takes it all.
void ReadBytes(int fd, size_t Expected, std::string *bytes)
{
    bytes->resize(Expected + 1);
    size_t have = 0;
    for (;;) {
        if (have == bytes->size()) {
            bytes->resize(have * 2);
        }
        ssize_t got = pread(fd, &(*bytes)[have], bytes->size() - have, (off_t)have);
        if (got <= 0) {
            break;
        }
        have += (size_t)got;
    }
    bytes->resize(have);
}

// The most recently used file, kept parsed as the platform keeps it: the
// parse serves every call until the file changes. A change shows in the
// file's identity, size or times; a change within the same tick of the file
// system's clock as the read does not, so until the file's last change is
// older than the tick in which its bytes were read, every call compares the
// bytes again before it trusts the parse.
struct CachedFile {
    bool Valid = false;
    std::string Path;
    int Fd = -1;  // open on the file as read, while it is at Path
    struct stat Info = {};
    bool Settled = false;  // the last change came before the read's tick
    std::string Bytes;
    IniFile Parsed;
    std::string Scratch;  // the bytes of the latest read
    // The host path of the latest Win32 name, and the sandbox it was made in.
    std::u16string Name;
    std::string Sandbox;
    std::string NamePath;
};

std::mutex cacheLock;
CachedFile &Cache()
{
    static CachedFile cache;
    return cache;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool Before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The coarse clock is the one the file system stamps changes with; a
// change stamped before the tick of this reading is already in the bytes.
struct timespec FileClock()
{
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

void Drop(CachedFile &cache)
{
    if (cache.Fd >= 0) {
        close(cache.Fd);
        cache.Fd = -1;
    }
    cache.Valid = false;
}

// The parse of the file, from the cache when the file is as it was read;
// null when the file cannot be read. Called with the cache's lock held.
const IniFile *Parse(const std::string &path)
{
    CachedFile &cache = Cache();
    // The clock is read before the file's stamps: a change after them is
    // stamped with this tick or a later one.
    struct timespec readAt = FileClock();
    struct stat info;
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        Drop(cache);
        return nullptr;
    }
    if (cache.Valid && cache.Settled && cache.Path == path && SameFile(cache.Info, info)) {
        return &cache.Parsed;
    }
    bool sameFile = cache.Fd >= 0 && cache.Path == path && cache.Info.st_dev == info.st_dev &&
                    cache.Info.st_ino == info.st_ino;
    if (!sameFile) {
        Drop(cache);
        cache.Fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (cache.Fd < 0) {
            return nullptr;
        }
        cache.Path = path;
    }
    // A change between the stamps and the read is in the bytes but not in
    // the stamps, and so shows at the next call.
    ReadBytes(cache.Fd, (size_t)info.st_size, &cache.Scratch);
    if (!(cache.Valid && cache.Bytes == cache.Scratch)) {
        cache.Parsed.Exists = true;
        cache.Parsed.Unicode = StartsWithMark(cache.Scratch);
        cache.Parsed.Lines = LinesOf(cache.Scratch, cache.Parsed.Unicode);
        cache.Bytes.swap(cache.Scratch);
        cache.Valid = true;
    }
    cache.Info = info;
    cache.Settled = Before(info.st_ctim, readAt) && Before(info.st_mtim, readAt);
    return &cache.Parsed;
}

bool SameWide(const std::u16string &a, const WCHAR *b)
{
    size_t i = 0;
    for (; b != nullptr && b[i] != 0; ++i) {
        if (i == a.size() || a[i] != (char16_t)b[i]) {
            return false;
        }
    }
    return i == a.size();
}

// HostPath of the name, kept for the next call with the same name in the
// same sandbox. Called with the cache's lock held.
const std::string &PathOf(const WCHAR *fileName)
{
    CachedFile &cache = Cache();
    const std::string &sandbox = CurrentMachine().SandboxDir;
    if (!SameWide(cache.Name, fileName) || cache.Sandbox != sandbox || cache.NamePath.empty()) {
        cache.Name = detail::FromWide(fileName);
        cache.Sandbox = sandbox;
        cache.NamePath = HostPath(cache.Name);
    }
    return cache.NamePath;
}

IniFile Load(const WCHAR *fileName)
{
    std::lock_guard<std::mutex> guard(cacheLock);
    const std::string path = PathOf(fileName);
    const IniFile *ini = Parse(path);
    return ini != nullptr ? *ini : IniFile();
}

// A write through these calls: the cache holds what was written, to be
// compared with the file before it is trusted.
void Remember(const std::string &path, std::string &&bytes, IniFile &&ini)
{
    std::lock_guard<std::mutex> guard(cacheLock);
    CachedFile &cache = Cache();
    if (cache.Path != path) {
        Drop(cache);
        cache.Path = path;
    }
    cache.Valid = true;
    cache.Settled = false;
    cache.Bytes = std::move(bytes);
    cache.Parsed = std::move(ini);
    cache.Parsed.Exists = true;
}

void Forget()
{
    std::lock_guard<std::mutex> guard(cacheLock);
    Drop(Cache());
}

// Writes the lines; the cache takes them.
bool Save(const WCHAR *fileName, IniFile &&ini)
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
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    bool ok = write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size();
    ok = close(fd) == 0 && ok;
    if (ok) {
        Remember(path, std::move(bytes), std::move(ini));
    } else {
        Forget();
    }
    return ok;
}

// The part of line[begin, end) without the blanks at either end.
void TrimRange(const std::u16string &line, size_t *begin, size_t *end)
{
    while (*begin < *end && (line[*begin] == u' ' || line[*begin] == u'\t')) {
        ++*begin;
    }
    while (*end > *begin && (line[*end - 1] == u' ' || line[*end - 1] == u'\t')) {
        --*end;
    }
}

// A caller's NUL-terminated name, matched in place.
struct WideName {
    const WCHAR *Text;
    size_t Length;
    explicit WideName(const WCHAR *text) : Text(text), Length(0)
    {
        while (text != nullptr && text[Length] != 0) {
            ++Length;
        }
    }
    size_t size() const { return Length; }
    char16_t operator[](size_t i) const { return (char16_t)Text[i]; }
};

template <typename Name>
bool SameName(const std::u16string &line, size_t begin, size_t end, const Name &name)
{
    if (end - begin != name.size()) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (Fold(line[begin + i]) != Fold(name[i])) {
            return false;
        }
    }
    return true;
}

// Whether the line is a section header; its name is line[*nameBegin, *nameEnd).
bool SectionOf(const std::u16string &line, size_t *nameBegin, size_t *nameEnd)
{
    size_t begin = 0;
    size_t end = line.size();
    TrimRange(line, &begin, &end);
    if (begin == end || line[begin] != u'[') {
        return false;
    }
    size_t close = begin + 1;
    while (close < end && line[close] != u']') {
        ++close;
    }
    *nameBegin = begin + 1;
    *nameEnd = close;
    TrimRange(line, nameBegin, nameEnd);
    return true;
}

bool IsSection(const std::u16string &line)
{
    size_t begin = 0;
    size_t end = 0;
    return SectionOf(line, &begin, &end);
}

// Whether the line is a key line; the key is line[*keyBegin, *keyEnd) and
// its value starts after *equals.
bool KeyOf(const std::u16string &line, size_t *keyBegin, size_t *keyEnd, size_t *equals)
{
    size_t begin = 0;
    size_t end = line.size();
    TrimRange(line, &begin, &end);
    *equals = line.find(u'=');
    if (*equals == std::u16string::npos || begin == end || line[begin] == u';') {
        return false;
    }
    *keyBegin = 0;
    *keyEnd = *equals;
    TrimRange(line, keyBegin, keyEnd);
    return true;
}

// Lines [begin, end) of the first section with this name; false when none.
template <typename Name>
bool FindSection(const IniFile &ini, const Name &section, size_t *begin, size_t *end)
{
    for (size_t i = 0; i < ini.Lines.size(); ++i) {
        size_t nameBegin = 0;
        size_t nameEnd = 0;
        if (SectionOf(ini.Lines[i], &nameBegin, &nameEnd) &&
            SameName(ini.Lines[i], nameBegin, nameEnd, section)) {
            size_t j = i + 1;
            while (j < ini.Lines.size() && !IsSection(ini.Lines[j])) {
                ++j;
            }
            *begin = i;
            *end = j;
            return true;
        }
    }
    return false;
}

template <typename Name>
bool FindKey(const IniFile &ini, size_t begin, size_t end, const Name &key, size_t *line,
             std::u16string *value)
{
    for (size_t i = begin + 1; i < end; ++i) {
        const std::u16string &text = ini.Lines[i];
        size_t keyBegin = 0;
        size_t keyEnd = 0;
        size_t equals = 0;
        if (KeyOf(text, &keyBegin, &keyEnd, &equals) && SameName(text, keyBegin, keyEnd, key)) {
            size_t valueBegin = equals + 1;
            size_t valueEnd = text.size();
            TrimRange(text, &valueBegin, &valueEnd);
            *line = i;
            value->assign(text, valueBegin, valueEnd - valueBegin);
            return true;
        }
    }
    return false;
}

bool LookUp(const WCHAR *section, const WCHAR *key, const WCHAR *fileName, std::u16string *value)
{
    std::lock_guard<std::mutex> guard(cacheLock);
    const IniFile *ini = Parse(PathOf(fileName));
    size_t begin = 0;
    size_t end = 0;
    size_t line = 0;
    return ini != nullptr && FindSection(*ini, WideName(section), &begin, &end) &&
           FindKey(*ini, begin, end, WideName(key), &line, value);
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
    if (appName == nullptr || keyName == nullptr || !LookUp(appName, keyName, fileName, &value)) {
        value = Trim(detail::FromWide(defaultValue != nullptr ? defaultValue : L""));
    }
    DWORD count = value.size() < size - 1 ? (DWORD)value.size() : size - 1;
    for (DWORD i = 0; i < count; ++i) {
        returnedString[i] = (WCHAR)value[i];
    }
    returnedString[count] = 0;
    return count;
}

UINT WINAPI GetPrivateProfileIntW(LPCWSTR appName, LPCWSTR keyName, INT defaultValue, LPCWSTR fileName)
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

BOOL WINAPI WritePrivateProfileStringW(LPCWSTR appName, LPCWSTR keyName, LPCWSTR string, LPCWSTR fileName)
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
        return Save(fileName, std::move(ini));
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
        return Save(fileName, std::move(ini));
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
    return Save(fileName, std::move(ini));
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
    for (const WCHAR *p = string; *p != 0;
         p += std::char_traits<char16_t>::length(reinterpret_cast<const char16_t *>(p)) + 1) {
        lines.push_back(detail::FromWide(p));
    }
    if (FindSection(ini, section, &begin, &end)) {
        ini.Lines.erase(ini.Lines.begin() + begin + 1, ini.Lines.begin() + end);
        ini.Lines.insert(ini.Lines.begin() + begin + 1, lines.begin(), lines.end());
    } else {
        ini.Lines.push_back(u"[" + section + u"]");
        ini.Lines.insert(ini.Lines.end(), lines.begin(), lines.end());
    }
    return Save(fileName, std::move(ini));
}

}  // extern "C"
