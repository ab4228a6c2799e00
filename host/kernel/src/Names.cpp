// The object namespace: devices, drivers and symbolic links by name, and the
// UTF-16 helpers. Names are compared without regard to ASCII case, and
// \DosDevices\X is the same name as \??\X.
#include "KernelInternal.h"

#include <map>
#include <mutex>

namespace host::detail {
namespace {

struct NameEntry {
    enum Kind { Device, Driver, Link } Type;
    void *Object = nullptr;
    std::u16string Target;  // links: the name they point to
};

std::mutex NameLock;
std::map<std::u16string, NameEntry> Names;

bool StartsWith(const std::u16string &Text, const std::u16string &Prefix)
{
    return Text.size() >= Prefix.size() && Text.compare(0, Prefix.size(), Prefix) == 0;
}

}  // namespace

std::u16string FromUnicode(PCUNICODE_STRING Name)
{
    if (!Name || !Name->Buffer)
        return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t *>(Name->Buffer), Name->Length / 2);
}

std::u16string FromWide(const wchar_t *Name)
{
    std::u16string Text;
    if (Name)
        for (; *Name; ++Name)
            Text.push_back(char16_t(*Name));
    return Text;
}

std::u16string NormalizeName(const std::u16string &Name)
{
    std::u16string Upper = Name;
    for (auto &c : Upper)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - 0x20);
    static const std::u16string Dos = u"\\DOSDEVICES\\", Global = u"\\GLOBAL??\\";
    if (StartsWith(Upper, Dos))
        return u"\\??\\" + Upper.substr(Dos.size());
    if (StartsWith(Upper, Global))
        return u"\\??\\" + Upper.substr(Global.size());
    return Upper;
}

std::string ToUtf8(const std::u16string &Text)
{
    std::string Out;
    for (size_t i = 0; i < Text.size(); ++i) {
        uint32_t c = Text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
            Text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            Out += char(c);
        } else if (c < 0x800) {
            Out += char(0xC0 | (c >> 6));
            Out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            Out += char(0xE0 | (c >> 12));
            Out += char(0x80 | ((c >> 6) & 0x3F));
            Out += char(0x80 | (c & 0x3F));
        } else {
            Out += char(0xF0 | (c >> 18));
            Out += char(0x80 | ((c >> 12) & 0x3F));
            Out += char(0x80 | ((c >> 6) & 0x3F));
            Out += char(0x80 | (c & 0x3F));
        }
    }
    return Out;
}

PDEVICE_OBJECT ResolveDevice(const std::u16string &Name, std::u16string *Remainder)
{
    std::u16string Path = NormalizeName(Name);
    std::lock_guard<std::mutex> Guard(NameLock);
    for (int Depth = 0; Depth < 32; ++Depth) {
        // The longest registered prefix that ends at a component boundary.
        const NameEntry *Found = nullptr;
        size_t Length = 0;
        size_t End = Path.size();
        while (End > 0) {
            auto It = Names.find(Path.substr(0, End));
            if (It != Names.end()) {
                Found = &It->second;
                Length = End;
                break;
            }
            size_t Slash = Path.rfind(u'\\', End - 1);
            if (Slash == std::u16string::npos || Slash == 0)
                break;
            End = Slash;
        }
        if (!Found || Found->Type == NameEntry::Driver)
            return nullptr;
        std::u16string Rest = Path.substr(Length);
        if (Found->Type == NameEntry::Link) {
            Path = NormalizeName(Found->Target) + Rest;
            continue;
        }
        auto Device = static_cast<PDEVICE_OBJECT>(Found->Object);
        ObjectReference(Device);
        if (Remainder)
            *Remainder = Rest;
        return Device;
    }
    return nullptr;
}

NTSTATUS RegisterDeviceName(const std::u16string &Name, PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> Guard(NameLock);
    auto Result = Names.emplace(NormalizeName(Name), NameEntry{NameEntry::Device, Device, {}});
    return Result.second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void RegisterDriverName(const std::u16string &Name, PDRIVER_OBJECT Driver)
{
    std::lock_guard<std::mutex> Guard(NameLock);
    Names[NormalizeName(Name)] = NameEntry{NameEntry::Driver, Driver, {}};
}

void UnregisterName(const std::u16string &Name)
{
    std::lock_guard<std::mutex> Guard(NameLock);
    Names.erase(NormalizeName(Name));
}

NTSTATUS CreateLink(const std::u16string &Link, const std::u16string &Target)
{
    std::lock_guard<std::mutex> Guard(NameLock);
    auto Result = Names.emplace(NormalizeName(Link), NameEntry{NameEntry::Link, nullptr, Target});
    return Result.second ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS DeleteLink(const std::u16string &Link)
{
    std::lock_guard<std::mutex> Guard(NameLock);
    auto It = Names.find(NormalizeName(Link));
    if (It == Names.end() || It->second.Type != NameEntry::Link)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    Names.erase(It);
    return STATUS_SUCCESS;
}

void ResetNamespace()
{
    std::lock_guard<std::mutex> Guard(NameLock);
    Names.clear();
}

size_t NamespaceDeviceCount()
{
    std::lock_guard<std::mutex> Guard(NameLock);
    size_t Count = 0;
    for (auto &Entry : Names)
        Count += Entry.second.Type == NameEntry::Device;
    return Count;
}

}  // namespace host::detail

using namespace host::detail;

void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t Count = 0;
    while (SourceString[Count])
        ++Count;
    if (Count * 2 > 0xFFFC)
        Count = 0xFFFC / 2;
    DestinationString->Length = USHORT(Count * 2);
    DestinationString->MaximumLength = USHORT(Count * 2 + 2);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    return CreateLink(FromUnicode(SymbolicLinkName), FromUnicode(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    return DeleteLink(FromUnicode(SymbolicLinkName));
}

namespace host {

PDEVICE_OBJECT FindDevice(const wchar_t *NtName)
{
    std::u16string Rest;
    PDEVICE_OBJECT Device = ResolveDevice(FromWide(NtName), &Rest);
    if (!Device)
        return nullptr;
    // The namespace keeps the device alive while it is named; the caller gets
    // a plain pointer, as a lookup in a debugger would.
    ObjectDereference(Device);
    return Rest.empty() ? Device : nullptr;
}

std::u16string U16(const char *Utf8Text)
{
    std::u16string Out;
    const auto *p = reinterpret_cast<const unsigned char *>(Utf8Text);
    while (p && *p) {
        uint32_t c = *p++;
        int More = 0;
        if (c >= 0xF0) {
            c &= 0x07;
            More = 3;
        } else if (c >= 0xE0) {
            c &= 0x0F;
            More = 2;
        } else if (c >= 0xC0) {
            c &= 0x1F;
            More = 1;
        }
        for (; More > 0 && (*p & 0xC0) == 0x80; --More)
            c = (c << 6) | (*p++ & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            Out.push_back(char16_t(0xD800 + (c >> 10)));
            Out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            Out.push_back(char16_t(c));
        }
    }
    return Out;
}

std::string Utf8(const wchar_t *Utf16)
{
    return ToUtf8(FromWide(Utf16));
}

}  // namespace host
