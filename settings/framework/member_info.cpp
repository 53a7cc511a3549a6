#include "settings/framework/member_info.h"

#include <cstring>

#include "settings/framework/encrypted_member.h"
#include "settings/framework/evaluator.h"

MemberInfo::MemberInfo(const std::wstring& memberName)
    : name(memberName), boolDefault(0), word32Default(0), byteDefault(0)
{
    Reset();
}

MemberInfo::MemberInfo(const std::wstring& memberName, bool* value, bool defaultValue) : MemberInfo(memberName)
{
    kind = kBoolean;
    boolValue = value;
    boolDefault = defaultValue ? 1 : 0;
}

MemberInfo::MemberInfo(const std::wstring& memberName, std::uint32_t* value, std::uint32_t defaultValue,
                       std::uint32_t minimumValue, std::uint32_t maximumValue)
    : MemberInfo(memberName)
{
    kind = kWord32;
    word32Value = value;
    word32Default = defaultValue;
    minimum = minimumValue;
    maximum = maximumValue;
}

MemberInfo::MemberInfo(const std::wstring& memberName, std::uint32_t* value, std::uint32_t defaultValue)
    : MemberInfo(memberName)
{
    kind = kIp4Address;
    word32Value = value;
    word32Default = defaultValue;
}

MemberInfo::MemberInfo(const std::wstring& memberName, unsigned char* value, unsigned char defaultValue,
                       const EnumInfo* valueNames)
    : MemberInfo(memberName)
{
    kind = kByteEnum;
    byteValue = value;
    byteDefault = defaultValue;
    enumeration = valueNames;
}

MemberInfo::MemberInfo(const std::wstring& memberName, std::wstring* value, const std::wstring& defaultValue)
    : MemberInfo(memberName)
{
    kind = kWString;
    wstringValue = value;
    wstringDefault = defaultValue;
}

MemberInfo::MemberInfo(const std::wstring& memberName, NoCrtString* value, const NoCrtString& defaultValue,
                       std::uint32_t valueCodePage)
    : MemberInfo(memberName)
{
    kind = kNoCrtString;
    ncStringValue = value;
    ncStringDefault = defaultValue;
    codePage = valueCodePage;
}

MemberInfo::MemberInfo(const std::wstring& memberName, std::string* value, const char* defaultValue)
    : MemberInfo(memberName)
{
    kind = kBinary;
    stringValue = value;
    stringDefault = defaultValue ? defaultValue : "";
}

MemberInfo::MemberInfo(const std::wstring& memberName, Evaluator* value) : MemberInfo(memberName)
{
    kind = kNested;
    nestedValue = value;
}

MemberInfo& MemberInfo::Reset()
{
    kind = kNone;
    boolValue = nullptr;
    word32Value = nullptr;
    byteValue = nullptr;
    wstringValue = nullptr;
    stringValue = nullptr;
    ncStringValue = nullptr;
    cryptValue = nullptr;
    nestedValue = nullptr;
    minimum = 0;
    maximum = 0xFFFFFFFFu;
    enumeration = nullptr;
    codePage = 0;
    checkDnsName = 0;
    dnsNameFlags = 0;
    return *this;
}

MemberInfo& MemberInfo::SetValuesQuery(const std::wstring& query)
{
    valuesQuery = query;
    return *this;
}

MemberInfo& MemberInfo::SetDescription(const std::wstring& text)
{
    description = text;
    return *this;
}

MemberInfo& MemberInfo::SetDefault(bool value)
{
    boolDefault = value ? 1 : 0;
    return *this;
}

MemberInfo& MemberInfo::SetDefault(std::uint32_t value)
{
    word32Default = value;
    return *this;
}

MemberInfo& MemberInfo::SetDefault(unsigned char value)
{
    byteDefault = value;
    return *this;
}

MemberInfo& MemberInfo::SetDefault(const NoCrtString& value)
{
    ncStringDefault = value;
    return *this;
}

bool MemberInfo::IsDefault() const
{
    if (nestedValue)
        return nestedValue->IsDefault();
    if (cryptValue)
        return DecryptsToEmptyText(*cryptValue);
    if (boolValue)
        return (*boolValue ? 1 : 0) == boolDefault;
    if (word32Value)
        return *word32Value == word32Default;
    if (byteValue)
        return *byteValue == byteDefault;
    if (wstringValue)
        return *wstringValue == wstringDefault;
    if (stringValue)
        return *stringValue == stringDefault;
    if (ncStringValue) {
        // A string in the failed state holds no value that could be compared.
        const NoCrtString& value = *ncStringValue;
        if (value.af_ || ncStringDefault.af_ || value.size() != ncStringDefault.size())
            return false;
        return std::memcmp(value.c_str(), ncStringDefault.c_str(), value.size()) == 0;
    }
    return false;
}
