#include "settings/framework/enum_info.h"

#include "settings/framework/expression.h"

void EnumInfo::AddValue(const std::wstring& name, std::uint32_t value)
{
    InsertName(name, value);
    InsertValue(value, name);
}

void EnumInfo::AddAlternateName(const std::wstring& name, std::uint32_t value)
{
    InsertName(name, value);
}

bool EnumInfo::NameToValue(const std::wstring& name, std::uint32_t& value) const
{
    std::map<std::wstring, std::uint32_t>::const_iterator it = names_.find(name);
    if (it == names_.end())
        return false;
    value = it->second;
    return true;
}

bool EnumInfo::ValueToName(std::uint32_t value, std::wstring& name) const
{
    std::map<std::uint32_t, std::wstring>::const_iterator it = values_.find(value);
    if (it == values_.end())
        return false;
    name = it->second;
    return true;
}

std::wstring EnumInfo::DescribeValues(const std::vector<std::wstring>& names) const
{
    std::wstring out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::uint32_t value = 0;
        if (!NameToValue(names[i], value))
            throw EvaluationErr(L"EnumInfo::DescribeValues() - unrecognized value name");
        if (i != 0)
            out += L", ";
        out += names[i] + L" (" + UIntToWString(value, 10, 0) + L")";
    }
    return out;
}

std::wstring EnumInfo::Describe() const
{
    std::vector<std::wstring> primary;
    for (const auto& entry : values_)
        primary.push_back(entry.second);
    std::vector<std::wstring> alternate;
    for (const auto& entry : names_) {
        bool isPrimary = false;
        for (const std::wstring& name : primary)
            isPrimary = isPrimary || name == entry.first;
        if (!isPrimary)
            alternate.push_back(entry.first);
    }

    std::wstring out = typeName_ + L" enumeration type:\r\n";
    if (!primary.empty())
        out += L"  " + DescribeValues(primary) + L"\r\n";
    else if (!alternate.empty())
        out += L" (no primary names)\r\n";
    else
        out += L" (no primary names or alternate names)\r\n";
    if (!alternate.empty())
        out += L" Alternate names: " + DescribeValues(alternate) + L"\r\n";
    return out;
}

bool ExpressionResult::ToEnumValue(const ExpressionResult& result, unsigned char& out, const EnumInfo& enumeration)
{
    std::uint32_t value = 0;
    std::wstring name;
    if (result.type == kNumber) {
        if (!enumeration.ValueToName(result.number, name))
            return false;
        value = result.number;
    } else if (result.type == kLiteral) {
        if (!enumeration.NameToValue(result.text, value))
            return false;
    } else {
        return false;
    }
    out = static_cast<unsigned char>(value & 0xFF);
    return true;
}

BooleanEnumInfo::BooleanEnumInfo() : EnumInfo(L"Boolean")
{
    AddValue(L"false", 0);
    AddValue(L"true", 1);
}

AuthTypeEnumInfo::AuthTypeEnumInfo() : EnumInfo(L"AuthType")
{
    AddValue(L"pwdOrKey", 0);
    AddValue(L"pwdAndKey", 1);
}

DefaultYesNoEnumInfo::DefaultYesNoEnumInfo() : EnumInfo(L"DefaultYesNo")
{
    AddValue(L"default", 0);
    AddValue(L"yes", 1);
    AddValue(L"no", 2);
    AddAlternateName(L"true", 1);
    AddAlternateName(L"false", 2);
}

// The process-wide objects, built during start-up before the entry function runs.
namespace {
BooleanEnumInfo booleanEnumInfo;
AuthTypeEnumInfo authTypeEnumInfo;
DefaultYesNoEnumInfo defaultYesNoEnumInfo;
} // namespace

const BooleanEnumInfo& BooleanEnumInfo::Instance() { return booleanEnumInfo; }
const AuthTypeEnumInfo& AuthTypeEnumInfo::Instance() { return authTypeEnumInfo; }
const DefaultYesNoEnumInfo& DefaultYesNoEnumInfo::Instance() { return defaultYesNoEnumInfo; }
