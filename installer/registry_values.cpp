#include "installer/registry_values.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/ziror_registry.h"
#include "installer/installer_state.h"

#include <algorithm>
#include <utility>

std::string ReadRegString(HKEY root, const std::string& subkey, const std::string& valueName)
{
    try {
        std::string value;
        ZIRor::RegReadString(root, subkey, valueName, value, true);
        return value;
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

bool WriteRegString(HKEY root, const std::string& subkey, const std::string& valueName, const std::string& value,
                    bool expand)
{
    try {
        return ZIRor::RegWriteString(root, subkey, valueName, value, expand, nullptr).CreatedKey();
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

std::vector<std::string> ReadRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName)
{
    try {
        std::vector<std::string> values;
        ZIRor::RegReadMultiString(root, subkey, valueName, values);
        return values;
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

bool WriteRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName,
                         const std::vector<std::string>& values)
{
    try {
        return ZIRor::RegWriteMultiString(root, subkey, valueName, values, nullptr).CreatedKey();
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

bool ReadStoredValue(HKEY key, const std::wstring& name, StoredRegistryValue& value)
{
    DWORD type = REG_NONE, size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::vector<BYTE> data(size + 1);
    size = static_cast<DWORD>(data.size());
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    data.resize(size);
    value.name = name;
    value.type = type;
    value.data = std::move(data);
    return true;
}

namespace {

// Every value of an open key.
bool ReadValuesOf(HKEY key, std::vector<StoredRegistryValue>& values)
{
    DWORD count = 0, maxNameLength = 0, maxDataLength = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &maxNameLength,
                         &maxDataLength, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> name(maxNameLength + 1);
    std::vector<BYTE> data(maxDataLength + 1);
    values.clear();
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        StoredRegistryValue value;
        if (RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &value.type, data.data(), &dataLength) !=
            ERROR_SUCCESS)
            return false;
        value.name.assign(name.data(), nameLength);
        value.data.assign(data.begin(), data.begin() + dataLength);
        values.push_back(std::move(value));
    }
    return true;
}

} // namespace

bool ReadStoredValues(HKEY root, const std::string& subkey, std::vector<StoredRegistryValue>& values)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const auto closeKey = MakeGuard(RegCloseKey, key);
    return ReadValuesOf(key, values);
}

LONG WriteStoredValue(HKEY key, const StoredRegistryValue& value)
{
    return RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                          static_cast<DWORD>(value.data.size()));
}

LONG DeleteValuesOtherThan(HKEY key, const std::vector<std::wstring>& keep)
{
    std::vector<StoredRegistryValue> values;
    if (!ReadValuesOf(key, values))
        return ERROR_CANTREAD;
    for (const StoredRegistryValue& value : values) {
        const bool kept = std::any_of(keep.begin(), keep.end(), [&value](const std::wstring& name) {
            return lstrcmpiW(name.c_str(), value.name.c_str()) == 0;
        });
        if (kept)
            continue;
        const LONG rc = RegDeleteValueW(key, value.name.c_str());
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return rc;
    }
    return ERROR_SUCCESS;
}

namespace {

// Longer than any key name the registry allows (255).
const DWORD KeyNameBufferLength = 256;

bool ReadKeyTree(HKEY key, StoredRegistryKey& tree)
{
    if (!ReadValuesOf(key, tree.values))
        return false;
    wchar_t name[KeyNameBufferLength];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = KeyNameBufferLength;
        const LONG rc = RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return true;
        if (rc != ERROR_SUCCESS)
            return false;
        StoredRegistryKey subkey;
        subkey.name.assign(name, nameLength);
        HKEY opened = nullptr;
        if (RegOpenKeyExW(key, subkey.name.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        const auto closeKey = MakeGuard(RegCloseKey, opened);
        if (!ReadKeyTree(opened, subkey))
            return false;
        tree.subkeys.push_back(std::move(subkey));
    }
}

// Writes the tree's values and subkeys into the created key.
LONG WriteKeyContents(HKEY created, const StoredRegistryKey& tree);

LONG WriteKeyTree(HKEY parent, const StoredRegistryKey& tree)
{
    HKEY created = nullptr;
    const LONG rc = RegCreateKeyExW(parent, tree.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                    nullptr, &created, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    const auto closeKey = MakeGuard(RegCloseKey, created);
    return WriteKeyContents(created, tree);
}

LONG WriteKeyContents(HKEY created, const StoredRegistryKey& tree)
{
    LONG rc = ERROR_SUCCESS;
    for (size_t i = 0; rc == ERROR_SUCCESS && i < tree.values.size(); ++i)
        rc = WriteStoredValue(created, tree.values[i]);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < tree.subkeys.size(); ++i)
        rc = WriteKeyTree(created, tree.subkeys[i]);
    return rc;
}

// Deletes every subkey of the open key, depth first.
LONG DeleteSubkeys(HKEY key)
{
    wchar_t name[KeyNameBufferLength];
    for (;;) {
        // Always the first: each deletion moves the next one up.
        DWORD nameLength = KeyNameBufferLength;
        LONG rc = RegEnumKeyExW(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        HKEY subkey = nullptr;
        if (rc == ERROR_SUCCESS)
            rc = RegOpenKeyExW(key, name, 0, KEY_READ, &subkey);
        if (rc != ERROR_SUCCESS)
            return rc;
        {
            const auto closeKey = MakeGuard(RegCloseKey, subkey);
            rc = DeleteSubkeys(subkey);
        }
        if (rc == ERROR_SUCCESS)
            rc = RegDeleteKeyW(key, name);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
}

} // namespace

bool ReadStoredKey(HKEY root, const std::string& subkey, StoredRegistryKey& tree)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    const auto closeKey = MakeGuard(RegCloseKey, opened);
    tree = StoredRegistryKey();
    return ReadKeyTree(opened, tree);
}

LONG ReplaceStoredKey(HKEY root, const std::string& subkey, const StoredRegistryKey& tree)
{
    LONG rc = DeleteKeyTree(root, subkey);
    if (rc != ERROR_SUCCESS)
        return rc;
    HKEY created = nullptr;
    rc = RegCreateKeyExA(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &created,
                         nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    const auto closeKey = MakeGuard(RegCloseKey, created);
    return WriteKeyContents(created, tree);
}

LONG DeleteKeyTree(HKEY root, const std::string& subkey)
{
    HKEY opened = nullptr;
    LONG rc = RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &opened);
    if (rc == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS)
        return rc;
    {
        const auto closeKey = MakeGuard(RegCloseKey, opened);
        rc = DeleteSubkeys(opened);
    }
    return rc == ERROR_SUCCESS ? RegDeleteKeyA(root, subkey.c_str()) : rc;
}
