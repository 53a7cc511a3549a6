#include "installer/reboot_delete.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/ziror_registry.h"
#include "installer/prerequisites.h"

#include <mbstring.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

const std::string SessionManagerKeyPath = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const std::string WininitIniName = "WININIT.INI";

namespace {

const char RenameSection[] = "Rename";
const wchar_t PendingValueName[] = L"PendingFileRenameOperations";
const DWORD SectionBufferSize = 32767;
const DWORD ShortPathBufferSize = 261;

bool IsNtFamily()
{
    return GlobalOsVersion.Get().first == VER_PLATFORM_WIN32_NT;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a.c_str()),
                    reinterpret_cast<const unsigned char*>(b.c_str())) == 0;
}

// The short form of an existing path, narrow or wide; false when it has none that fits.
template <class Char, class GetShortPathName>
bool ShortPathOf(const std::basic_string<Char>& path, std::basic_string<Char>& shortPath,
                 GetShortPathName getShortPathName)
{
    Char buffer[ShortPathBufferSize];
    const DWORD length = getShortPathName(path.c_str(), buffer, ShortPathBufferSize);
    if (length == 0 || length >= ShortPathBufferSize)
        return false;
    shortPath.assign(buffer, length);
    return true;
}

bool ShortPathOf(const std::string& path, std::string& shortPath)
{
    return ShortPathOf(path, shortPath, GetShortPathNameA);
}

bool ShortPathOf(const std::wstring& path, std::wstring& shortPath)
{
    return ShortPathOf(path, shortPath, GetShortPathNameW);
}

bool WidenAnsi(const std::string& text, std::wstring& wide)
{
    if (text.empty()) {
        wide.clear();
        return true;
    }
    const int count = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (count <= 0)
        return false;
    wide.assign(static_cast<size_t>(count), L'\0');
    return MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], count) == count;
}

// "\??\C:\x" (the kernel's form) is looked up as "\\?\C:\x"; the prefix is not compared.
bool IsPendingSourceOf(const std::wstring& source, const std::wstring& shortPath)
{
    static const wchar_t LongPrefix[] = L"\\\\?\\";
    std::wstring copy = source;
    if (copy.compare(0, 4, L"\\??\\") == 0)
        copy[1] = L'\\';
    std::wstring shortSource;
    if (!ShortPathOf(copy, shortSource)) {
        // Not every system resolves the long-path prefix itself.
        if (copy.compare(0, 4, LongPrefix) != 0 || !ShortPathOf(copy.substr(4), shortSource))
            return false;
    }
    if (shortSource.compare(0, 4, LongPrefix) == 0)
        shortSource.erase(0, 4);
    return lstrcmpiW(shortSource.c_str(), shortPath.c_str()) == 0;
}

class SessionManagerKey {
public:
    SessionManagerKey()
    {
        std::wstring path;
        if (!WidenAnsi(SessionManagerKeyPath, path) ||
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            key = nullptr;
    }
    ~SessionManagerKey()
    {
        if (key)
            RegCloseKey(key);
    }
    SessionManagerKey(const SessionManagerKey&) = delete;
    SessionManagerKey& operator=(const SessionManagerKey&) = delete;

    // The raw bytes of the pending list; false when it is missing or not a multi-string.
    bool ReadPendingList(std::vector<BYTE>& data) const
    {
        DWORD type = 0, size = 0;
        if (!key || RegQueryValueExW(key, PendingValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != REG_MULTI_SZ)
            return false;
        data.assign(size, 0);
        if (RegQueryValueExW(key, PendingValueName, nullptr, &type, data.empty() ? nullptr : data.data(), &size) !=
                ERROR_SUCCESS ||
            type != REG_MULTI_SZ)
            return false;
        data.resize(size);
        return true;
    }

    bool WritePendingList(const std::vector<BYTE>& data) const
    {
        return RegSetValueExW(key, PendingValueName, 0, REG_MULTI_SZ, data.empty() ? nullptr : data.data(),
                              static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    }

private:
    HKEY key = nullptr;
};

std::vector<std::string> ReadRenameSection()
{
    std::vector<char> buffer(SectionBufferSize, 0);
    const DWORD size = GetPrivateProfileSectionA(RenameSection, buffer.data(), SectionBufferSize,
                                                 WininitIniName.c_str());
    return SplitSectionLines(buffer.data(), size);
}

bool WriteRenameSection(const std::vector<std::string>& lines)
{
    if (!WritePrivateProfileStringA(RenameSection, nullptr, nullptr, WininitIniName.c_str()))
        return false;
    // A section is written in the layout of a multi-string.
    const std::vector<BYTE> section = ZIRor::JoinMultiString(lines);
    return WritePrivateProfileSectionA(RenameSection, reinterpret_cast<const char*>(section.data()),
                                       WininitIniName.c_str()) != 0;
}

// The offset of the zero that ends the list: the lines with their zeros.
size_t SectionBytes(const std::vector<std::string>& lines)
{
    size_t used = 0;
    for (const std::string& line : lines)
        used += line.size() + 1;
    return used;
}

} // namespace

std::vector<std::string> SplitSectionLines(const char* buffer, size_t size)
{
    std::vector<std::string> lines;
    for (size_t position = 0; position < size && buffer[position] != '\0';) {
        const char* line = buffer + position;
        const size_t length = strnlen(line, size - position);
        lines.emplace_back(line, length);
        position += length + 1;
    }
    return lines;
}

bool RemoveSectionLine(std::vector<std::string>& lines, const std::string& entry)
{
    const size_t before = lines.size();
    std::vector<std::string> kept;
    for (const std::string& line : lines)
        if (!EqualIgnoringCase(line, entry))
            kept.push_back(line);
    lines.swap(kept);
    return lines.size() != before;
}

bool RemovePendingDeletions(std::vector<BYTE>& data, const std::function<bool(const std::wstring&)>& isOurPath)
{
    const size_t units = data.size() / 2;  // an odd last byte is left where it is
    auto unitAt = [&data](size_t index) {
        return static_cast<wchar_t>(data[2 * index] | (data[2 * index + 1] << 8));
    };
    // The texts of the list: [start, zero) in units; the zero that ends the list is none.
    size_t end = units;
    if (units >= 2 && unitAt(units - 1) == 0 && unitAt(units - 2) == 0)
        --end;
    struct Text {
        size_t start, stop;  // stop: the index of its zero, or units when it has none
    };
    std::vector<Text> texts;
    for (size_t position = 0; position < end;) {
        size_t zero = position;
        while (zero < units && unitAt(zero) != 0)
            ++zero;
        texts.push_back({position, zero});
        position = zero + 1;
    }
    // Pairs of (source, target); an empty target is a deletion. Byte ranges to cut, in order.
    std::vector<std::pair<size_t, size_t>> cuts;
    for (size_t i = 0; i + 1 < texts.size(); i += 2) {
        const Text& source = texts[i];
        const Text& target = texts[i + 1];
        if (target.stop != target.start)
            continue;
        std::wstring sourceText;
        for (size_t u = source.start; u < source.stop; ++u)
            sourceText.push_back(unitAt(u));
        if (isOurPath(sourceText))
            cuts.emplace_back(2 * source.start, 2 * std::min(target.stop + 1, units));
    }
    for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut)
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(cut->first),
                   data.begin() + static_cast<std::ptrdiff_t>(cut->second));
    return !cuts.empty();
}

bool ScheduleDeleteOnReboot(const std::string& path)
{
    if (IsNtFamily()) {
        // Looked up at run time: the other platforms' kernel32 lacks it.
        const HMODULE kernel = LoadLibraryA("kernel32.dll");
        if (!kernel)
            return false;
        const auto release = MakeGuard(FreeLibrary, kernel);
        using MoveFileExFunction = BOOL(WINAPI*)(const char*, const char*, DWORD);
        const auto moveFileEx =
            reinterpret_cast<MoveFileExFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "MoveFileExA")));
        if (!moveFileEx)
            return false;
        return moveFileEx(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
    }
    std::string shortPath;
    if (!ShortPathOf(path, shortPath))
        return false;
    const std::string entry = "NUL=" + shortPath;
    std::vector<std::string> lines = ReadRenameSection();
    for (const std::string& line : lines)
        if (EqualIgnoringCase(line, entry))
            return true;
    if (SectionBytes(lines) + entry.size() + 1 >= SectionBufferSize) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return false;
    }
    lines.push_back(entry);
    return WriteRenameSection(lines);
}

bool CancelPendingDelete(const std::string& path)
{
    if (IsNtFamily()) {
        try {
            // Wide throughout: other programs' entries may hold characters the ANSI code
            // page cannot, and they must come back byte for byte.
            SessionManagerKey key;
            std::vector<BYTE> list;
            if (!key.ReadPendingList(list))
                return false;
            std::wstring widePath, shortPath;
            if (!WidenAnsi(path, widePath) || !ShortPathOf(widePath, shortPath))
                return false;
            auto isOurPath = [&shortPath](const std::wstring& source) { return IsPendingSourceOf(source, shortPath); };
            if (!RemovePendingDeletions(list, isOurPath))
                return false;
            return key.WritePendingList(list);
        } catch (const std::exception&) {
            return false;
        }
    }
    std::vector<std::string> lines = ReadRenameSection();
    std::string shortPath;
    if (!ShortPathOf(path, shortPath))
        return false;
    if (!RemoveSectionLine(lines, "NUL=" + shortPath))
        return false;
    return WriteRenameSection(lines);
}
