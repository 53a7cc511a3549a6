#include "foundation/ziror_registry.h"

#include <cstring>

namespace ZIRor {

namespace {

const char* ValueNameOrNull(const std::string& valueName)
{
    return valueName.empty() ? nullptr : valueName.c_str();
}

} // namespace

RegKey::~RegKey()
{
    if (opened) {
        RegCloseKey(key);
        opened = false;
    }
}

void RegKey::ThrowIfFailed() const
{
    if (Failed())
        throw RegException(*this);
}

void RegKey::Fail(const char* name, long code)
{
    Record(name, code);
    throw RegException(*this);
}

void RegKey::Open(REGSAM access)
{
    if (Failed())
        return;
    Record("RegOpenKeyExA()",
           RegOpenKeyExA(rootKey, subKey.empty() ? nullptr : subKey.c_str(), 0, access, &key));
    ThrowIfFailed();
    opened = true;
}

void RegKey::Create(REGSAM access, SECURITY_ATTRIBUTES* attributes)
{
    if (Failed())
        return;
    Record("RegCreateKeyExA()", RegCreateKeyExA(rootKey, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                access, attributes, &key, &disposition));
    ThrowIfFailed();
    opened = true;
}

void RegKey::SetValue(const std::string& valueName, DWORD type, const BYTE* data, DWORD size)
{
    if (Failed())
        return;
    Record("RegSetValueExA()", RegSetValueExA(key, ValueNameOrNull(valueName), 0, type, data, size));
    ThrowIfFailed();
}

void RegKey::QueryValue(const std::string& valueName, DWORD expectedType1, DWORD expectedType2,
                        const char* readCallName, std::vector<BYTE>& valueData, DWORD& valueType)
{
    DWORD size = 0;
    Record("RegQueryValueExA()", RegQueryValueExA(key, ValueNameOrNull(valueName), nullptr, &valueType, nullptr, &size));
    ThrowIfFailed();
    if (valueType != expectedType1 && valueType != expectedType2)
        Fail("RegQueryValueExA()", ERROR_INVALID_DATATYPE);
    valueData.assign(size, 0);
    Record(readCallName, RegQueryValueExA(key, ValueNameOrNull(valueName), nullptr, &valueType,
                                          valueData.empty() ? nullptr : valueData.data(), &size));
    ThrowIfFailed();
    valueData.resize(size);
}

RegReadString::RegReadString(HKEY root, const std::string& path, const std::string& valueName, std::string& output,
                             bool expand)
    : OpenedRegKey(root, path)
{
    Open(KEY_QUERY_VALUE);
    // The second query's name is the historical one of this reader.
    QueryValue(valueName, REG_SZ, REG_EXPAND_SZ, "RegQueryKeyEx()", valueData, valueType);
    if (valueData.empty()) {
        output.clear();
        return;
    }
    if (valueData.back() != 0)
        Fail("RegQueryValueExA()", ERROR_INVALID_DATA);
    const char* text = reinterpret_cast<const char*>(valueData.data());
    if (valueType == REG_EXPAND_SZ && expand) {
        const DWORD needed = ExpandEnvironmentStringsA(text, nullptr, 0);
        if (needed == 0) {
            Record("ExpandEnvironmentStringsA()", static_cast<long>(GetLastError()));
            ThrowIfFailed();
        }
        std::vector<char> expanded(needed + 2, 0);
        if (ExpandEnvironmentStringsA(text, expanded.data(), needed + 1) == 0) {
            Record("ExpandEnvironmentStringsA()", static_cast<long>(GetLastError()));
            ThrowIfFailed();
        }
        expanded.back() = 0;
        output.assign(expanded.data());
        return;
    }
    output.assign(text);
}

bool SplitMultiString(const std::vector<BYTE>& data, std::vector<std::string>& output)
{
    output.clear();
    size_t length = data.size();
    if (length == 0)
        return true;
    if (data[length - 1] != 0)
        return false;
    if (length == 1)
        return true;
    if (data[length - 2] == 0)
        --length;  // the list terminator
    const char* text = reinterpret_cast<const char*>(data.data());
    for (size_t position = 0; position < length;) {
        const size_t textLength = std::strlen(text + position);
        output.emplace_back(text + position, textLength);
        position += textLength + 1;
    }
    return true;
}

std::vector<BYTE> JoinMultiString(const std::vector<std::string>& texts)
{
    std::vector<BYTE> data;
    for (const std::string& text : texts) {
        data.insert(data.end(), text.begin(), text.end());
        data.push_back(0);
    }
    data.push_back(0);
    if (texts.empty())
        data.push_back(0);
    return data;
}

RegReadMultiString::RegReadMultiString(HKEY root, const std::string& path, const std::string& valueName,
                                       std::vector<std::string>& output)
    : OpenedRegKey(root, path)
{
    Open(KEY_QUERY_VALUE);
    QueryValue(valueName, REG_MULTI_SZ, REG_MULTI_SZ, "RegQueryValueExA()", valueData, valueType);
    if (!SplitMultiString(valueData, output))
        Fail("RegQueryValueExA()", ERROR_INVALID_DATA);
}

RegWriteString::RegWriteString(HKEY root, const std::string& path, const std::string& valueName,
                               const std::string& text, bool expand, SECURITY_ATTRIBUTES* attributes)
    : RegKey(root, path)
{
    Create(KEY_SET_VALUE, attributes);
    SetValue(valueName, expand ? REG_EXPAND_SZ : REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
             static_cast<DWORD>(text.size() + 1));
}

RegWriteMultiString::RegWriteMultiString(HKEY root, const std::string& path, const std::string& valueName,
                                         const std::vector<std::string>& texts, SECURITY_ATTRIBUTES* attributes)
    : RegKey(root, path)
{
    Create(KEY_SET_VALUE, attributes);
    const std::vector<BYTE> data = JoinMultiString(texts);
    SetValue(valueName, REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size()));
}

} // namespace ZIRor
