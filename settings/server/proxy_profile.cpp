#include "settings/server/proxy_profile.h"

#include "foundation/random_source.h"
#include "settings/framework/encrypted_member.h"
#include "settings/server/record_members.h"

namespace {

const unsigned char kPasswordCipherKey[16] = {0x5E, 0x1A, 0x93, 0xC0, 0x7D, 0x24, 0xB8, 0xF6,
                                              0xE0, 0x13, 0x7A, 0x9C, 0x4D, 0x62, 0xB1, 0x85};
const unsigned char kPasswordMacKey[16] = {0xA7, 0xC4, 0x19, 0x0E, 0x3B, 0x5D, 0x82, 0xF6,
                                           0x6C, 0x0E, 0x49, 0xD1, 0x7B, 0x3A, 0x25, 0xE8};

// Built during start-up, before the entry function runs.
ProxyTypeEnumInfo proxyTypeEnumInfo;

int FindIndexByName(const ProxyProfileList& list, const NoCrtString& name)
{
    for (std::uint32_t i = 0; i < list.size(); ++i) {
        if (SameBytes(list.at(i)->m_profileName, name))
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace

ProxyTypeEnumInfo::ProxyTypeEnumInfo() : EnumInfo(L"ProxyType")
{
    AddValue(L"None", ProxyTypeNone);
    AddValue(L"SOCKS4", ProxyTypeSocks4);
    AddValue(L"SOCKS5", ProxyTypeSocks5);
    AddValue(L"HTTP", ProxyTypeHttp);
}

const ProxyTypeEnumInfo& ProxyTypeEnumInfo::Instance() { return proxyTypeEnumInfo; }

const unsigned char* ProxyPasswordCryptBlock::GetCipherKey() const { return kPasswordCipherKey; }
const unsigned char* ProxyPasswordCryptBlock::GetMacKey() const { return kPasswordMacKey; }

ProxyProfile::ProxyProfile() : m_proxyType(ProxyTypeNone), m_proxyPort(1080), m_resolveLocally(false) {}

ProxyProfile::ProxyProfile(const ProxyProfile& src) : ProxyProfile()
{
    *this = src;
}

ProxyProfile& ProxyProfile::operator=(const ProxyProfile& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    if (!CopyField(*this, m_profileName, src.m_profileName))
        return *this;
    m_proxyType = src.m_proxyType;
    if (!CopyField(*this, m_proxyHost, src.m_proxyHost))
        return *this;
    m_proxyPort = src.m_proxyPort;
    m_resolveLocally = src.m_resolveLocally;
    if (!CopyField(*this, m_proxyUsername, src.m_proxyUsername))
        return *this;
    CopyField(*this, m_proxyPassword, src.m_proxyPassword);
    return *this;
}

void ProxyProfile::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"profileName", &m_profileName, NoCrtString(""), 65001)
                .SetDescription(L"Specifies the name of this proxy profile, to be referred to by other "
                                L"configuration settings."));
    map.Add(MemberInfo(L"proxyType", &m_proxyType, ProxyTypeNone, &ProxyTypeEnumInfo::Instance())
                .SetDescription(L"Specifies the type of proxy to connect through (if any)."));
    map.Add(MemberInfo(L"proxyHost", &m_proxyHost, NoCrtString(""), 65001)
                .SetDescription(L"If a proxy type other than None is specified, the name of the proxy server to "
                                L"connect through."));
    map.Add(MemberInfo(L"proxyPort", &m_proxyPort, 1080u, 1u, 65535u)
                .SetDescription(L"If a proxy type other than None is specified, the port number of the proxy "
                                L"server to connect through (usual ports are 1080 for SOCKS proxies, 80 for HTTP "
                                L"proxies)."));
    map.Add(MemberInfo(L"resolveLocally", &m_resolveLocally, false)
                .SetDescription(L"If enabled, all DNS names will be attempted to be resolved locally, passing an "
                                L"IP address to the proxy. If disabled, any DNS names specified as the target "
                                L"address will be passed to the proxy untouched."));
    map.Add(MemberInfo(L"proxyUsername", &m_proxyUsername, NoCrtString(""), 65001)
                .SetDescription(L"If the proxy server requires authentication, the username to log into the "
                                L"SOCKS proxy (SOCKS5 only)."));
    map.Add(EncryptedMember(L"proxyPassword", &m_proxyPassword, 65001)
                .SetDescription(L"If the proxy server requires authentication, the password to log into the "
                                L"SOCKS proxy (SOCKS5 only)."));
}

void ProxyProfile::OnMembersChanged()
{
    if (m_proxyPassword.ciphertext.size() != 0)
        return;
    ErrorInfo ignored;
    RandomWipe(m_proxyPassword.plaintext, ignored);
    m_proxyPassword.SetCryptFromPlain(ignored);
}

int ProxyProfile::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeString(out, m_profileName)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_profileName");
    total += n;
    if (!(n = EncodeByte(out, m_proxyType)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_proxyType");
    total += n;
    if (!(n = EncodeString(out, m_proxyHost)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_proxyHost");
    total += n;
    if (!(n = EncodeWord32(out, m_proxyPort)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_proxyPort");
    total += n;
    if (!(n = EncodeBoolean(out, m_resolveLocally)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_resolveLocally");
    total += n;
    if (!(n = EncodeString(out, m_proxyUsername)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_proxyUsername");
    total += n;
    if (!(n = EncodeString(out, m_proxyPassword.ciphertext)))
        return CalledFrom(out, "ProxyProfile::Encode() at m_proxyPassword");
    return total + n;
}

int ProxyProfile::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeString(in, m_profileName)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_profileName");
    total += n;
    if (!(n = DecodeByte(in, m_proxyType)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_proxyType");
    total += n;
    if (!(n = DecodeString(in, m_proxyHost)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_proxyHost");
    total += n;
    if (!(n = DecodeWord32(in, m_proxyPort)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_proxyPort");
    total += n;
    if (!(n = DecodeBoolean(in, m_resolveLocally)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_resolveLocally");
    total += n;
    if (!(n = DecodeString(in, m_proxyUsername)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_proxyUsername");
    total += n;
    if (!(n = DecodeString(in, m_proxyPassword.ciphertext)))
        return CalledFrom(in, "ProxyProfile::Decode() at m_proxyPassword");
    total += n;
    if (m_proxyPassword.ciphertext.size() == 0 && !EncryptEmptyText(m_proxyPassword, in))
        return 0;
    return total;
}

bool ProxyProfile::IsValid(ErrorInfo& info)
{
    if (m_proxyType > ProxyTypeHttp) {
        info.AddError("ProxyProfile::IsValid(): invalid proxy type value");
        return false;
    }
    if (m_proxyType != ProxyTypeNone && m_proxyHost.empty()) {
        info.AddError("ProxyProfile::IsValid(): empty proxy host value");
        return false;
    }
    if (m_proxyPort == 0 || m_proxyPort > 65535) {
        info.AddError("ProxyProfile::IsValid(): invalid proxy port value");
        return false;
    }
    return true;
}

bool ProxyProfile::operator<(const ProxyProfile& other) const
{
    return m_profileName.compare(other.m_profileName) < 0;
}

const char* DefaultProxyProfileName() { return "Default"; }

DefaultProxyProfile::DefaultProxyProfile() { ApplyDefaults(); }

DefaultProxyProfile::DefaultProxyProfile(const ProxyProfile& src)
{
    ApplyDefaults();
    ProxyProfile::operator=(src);
}

namespace {

void NameDefaultProfile(MemberMap& map) { map.At(L"profileName").SetDefault(NoCrtString(DefaultProxyProfileName())); }

} // namespace

// The values that the members' defaults give, set without building the member map: a
// decoded profile builds none.
void DefaultProxyProfile::ApplyDefaults()
{
    SetMemberMapEdit(&NameDefaultProfile);
    m_profileName.assign(DefaultProxyProfileName());
    SetEncryptedDefault(m_proxyPassword);
}

ProxyProfile* DefaultProxyProfile::Create(const ProxyProfile* source)
{
    if (source)
        return nocrt::NewObject<DefaultProxyProfile>(*source);
    return nocrt::NewObject<DefaultProxyProfile>();
}

DefaultProxyProfileList::DefaultProxyProfileList() { ApplyDefaults(); }

void DefaultProxyProfileList::ApplyDefaults()
{
    SetFactory(&DefaultProxyProfile::Create);
    SetKeepDefaultEntry(true);
    SetDefaults(1);
}

const ProxyProfile* FindProxyProfileByName(const ProxyProfileList& list, const NoCrtString& name)
{
    const int index = FindIndexByName(list, name);
    return index < 0 ? nullptr : list.at(static_cast<std::uint32_t>(index));
}

ProxyProfile* FindProxyProfileByName(ProxyProfileList& list, const NoCrtString& name)
{
    const int index = FindIndexByName(list, name);
    return index < 0 ? nullptr : list.at(static_cast<std::uint32_t>(index));
}

void EraseProxyProfileByName(ProxyProfileList& list, const NoCrtString& name)
{
    const int index = FindIndexByName(list, name);
    if (index >= 0)
        list.EraseAt(static_cast<std::uint32_t>(index));
}
