#include "settings/server/record_members.h"

#include <cstring>

MemberInfo ByteMember(const std::wstring& name, unsigned char* value, unsigned char defaultValue,
                      unsigned char minimum, unsigned char maximum)
{
    MemberInfo info(name);
    info.kind = MemberInfo::kByte;
    info.byteValue = value;
    info.byteDefault = defaultValue;
    info.minimum = minimum;
    info.maximum = maximum;
    return info;
}

MemberInfo EncryptedMember(const std::wstring& name, CryptBlock* value, std::uint32_t plainCodePage)
{
    MemberInfo info(name);
    info.kind = MemberInfo::kEncrypted;
    info.cryptValue = value;
    info.codePage = plainCodePage;
    return info;
}

bool SameBytes(const NoCrtString& a, const NoCrtString& b)
{
    if (a.af_ || b.af_ || a.size() != b.size())
        return false;
    return std::memcmp(a.c_str(), b.c_str(), a.size()) == 0;
}
