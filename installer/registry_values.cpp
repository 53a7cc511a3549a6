#include "installer/registry_values.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/ziror_registry.h"
#include "installer/installer_state.h"

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

bool ReadStoredValues(HKEY root, const std::string& subkey, std::vector<StoredRegistryValue>& values)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    const auto closeKey = MakeGuard(RegCloseKey, key);
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

LONG WriteStoredValue(HKEY key, const StoredRegistryValue& value)
{
    return RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                          static_cast<DWORD>(value.data.size()));
}
