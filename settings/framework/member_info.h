// The descriptor of one member of a settings record: its kind, where its value lives in
// the record, its default and what the language needs to check and show it. It points at
// the value and never owns it.
#pragma once

#include <cstdint>
#include <string>

#include "RoVodEre/NoCrtString.h"

class CryptBlock;
class EnumInfo;
class Evaluator;

class MemberInfo {
public:
    // The numbers are fixed: the language switches on them.
    enum Kind {
        kNone = 0,
        kBoolean = 1,
        kWord32 = 2,       // with inclusive bounds
        kWord32Enum = 3,
        kIp4Address = 4,   // first octet in the most significant byte
        kByte = 5,         // with inclusive bounds
        kByteEnum = 6,
        kWString = 7,
        kString = 8,       // bytes held in a code page
        kNoCrtString = 9,  // bytes held in a code page
        kEncrypted = 10,
        kBinary = 11,
        kNested = 12,
    };

    std::wstring name;
    std::int32_t kind;
    bool* boolValue;
    unsigned char boolDefault;
    std::uint32_t* word32Value;
    std::uint32_t word32Default;
    unsigned char* byteValue;
    unsigned char byteDefault;
    std::wstring* wstringValue;
    std::wstring wstringDefault;
    std::string* stringValue;  // kinds 8 and 11
    std::string stringDefault;
    NoCrtString* ncStringValue;
    NoCrtString ncStringDefault;
    CryptBlock* cryptValue;  // its default is the encryption of the empty text
    Evaluator* nestedValue;
    std::uint32_t minimum;  // kinds 2 and 5, inclusive
    std::uint32_t maximum;
    const EnumInfo* enumeration;  // kinds 3 and 6, not owned
    std::uint32_t codePage;       // kinds 8, 9 and 10; 65000 is 7-bit text, 65001 UTF-8
    unsigned char checkDnsName;   // kinds 7 to 10
    unsigned char dnsNameFlags;   // 1: a leading '*' is allowed; 2: characters above 127
    // An expression whose result lines are the only values an instruction may assign;
    // empty means unrestricted.
    std::wstring valuesQuery;
    std::wstring description;

    // One constructor per kind that has one; kinds 3, 5, 8 and 10 are filled by their
    // builders after Reset().
    MemberInfo(const std::wstring& memberName, bool* value, bool defaultValue);
    MemberInfo(const std::wstring& memberName, std::uint32_t* value, std::uint32_t defaultValue,
               std::uint32_t minimumValue, std::uint32_t maximumValue);
    // An IPv4 address.
    MemberInfo(const std::wstring& memberName, std::uint32_t* value, std::uint32_t defaultValue);
    MemberInfo(const std::wstring& memberName, unsigned char* value, unsigned char defaultValue,
               const EnumInfo* valueNames);
    MemberInfo(const std::wstring& memberName, std::wstring* value, const std::wstring& defaultValue);
    MemberInfo(const std::wstring& memberName, NoCrtString* value, const NoCrtString& defaultValue,
               std::uint32_t valueCodePage);
    // A binary byte string.
    MemberInfo(const std::wstring& memberName, std::string* value, const char* defaultValue);
    MemberInfo(const std::wstring& memberName, Evaluator* value);
    // A descriptor for a builder to fill: no kind, no value.
    explicit MemberInfo(const std::wstring& memberName);

    // Kind 0, every value pointer null, bounds 0..0xFFFFFFFF, no enumeration, code page 0,
    // no DNS-name check; name, defaults, values query and description stay.
    MemberInfo& Reset();

    MemberInfo& SetValuesQuery(const std::wstring& query);
    MemberInfo& SetDescription(const std::wstring& text);
    MemberInfo& SetDefault(bool value);
    MemberInfo& SetDefault(std::uint32_t value);
    MemberInfo& SetDefault(unsigned char value);
    MemberInfo& SetDefault(const NoCrtString& value);

    bool IsPrimitive() const { return kind >= kBoolean && kind <= kBinary; }
    // Whether the value equals its default; never for a descriptor without a value.
    bool IsDefault() const;
};
