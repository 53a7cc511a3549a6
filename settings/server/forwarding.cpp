#include "settings/server/forwarding.h"

#include "settings/framework/expression.h"
#include "settings/server/proxy_profile.h"
#include "settings/server/record_members.h"
#include "settings/server/settings_message.h"

namespace {

bool ListenOrder(std::uint32_t intfA, std::uint32_t portA, std::uint32_t intfB, std::uint32_t portB)
{
    if (intfA != intfB)
        return intfA < intfB;
    return portA < portB;
}

bool IsPort(std::uint32_t port) { return port >= 1 && port <= 65535; }

} // namespace

std::wstring Utf8TextToWide(const char* text)
{
    return text ? CodePageToWString(text, -1, 65001) : std::wstring();
}

// The members' defaults, set without the member map: a rule decoded from a long list then
// never builds one.
SrvSideC2SRule::SrvSideC2SRule() : m_nListenIntf(0), m_nListenPort(999), m_nTargetPort(999) {}

SrvSideC2SRule& SrvSideC2SRule::operator=(const SrvSideC2SRule& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    m_nListenIntf = src.m_nListenIntf;
    m_nListenPort = src.m_nListenPort;
    m_nTargetPort = src.m_nTargetPort;
    CopyField(*this, m_sTargetHost, src.m_sTargetHost) && CopyField(*this, m_sProxyProfile, src.m_sProxyProfile);
    return *this;
}

void SrvSideC2SRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"listenIntf", &m_nListenIntf, 0u));
    map.Add(MemberInfo(L"listenPort", &m_nListenPort, 999u, 1u, 65535u));
    map.Add(MemberInfo(L"targetHost", &m_sTargetHost, NoCrtString(""), 65000));
    map.Add(MemberInfo(L"targetPort", &m_nTargetPort, 999u, 1u, 65535u));
    map.Add(MemberInfo(L"proxyProfile", &m_sProxyProfile, NoCrtString(""), 65001)
                .SetValuesQuery(L"$proxyProfiles.All.profileName"));
}

int SrvSideC2SRule::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeWord32(out, m_nListenIntf)))
        return CalledFrom(out, "SrvSideC2SRule::Encode() at m_nListenIntf");
    total += n;
    if (!(n = EncodeWord32(out, m_nListenPort)))
        return CalledFrom(out, "SrvSideC2SRule::Encode() at m_nListenPort");
    total += n;
    if (!(n = EncodeString(out, m_sTargetHost)))
        return CalledFrom(out, "SrvSideC2SRule::Encode() at m_sTargetHost");
    total += n;
    if (!(n = EncodeWord32(out, m_nTargetPort)))
        return CalledFrom(out, "SrvSideC2SRule::Encode() at m_nTargetPort");
    total += n;
    if (!(n = EncodeString(out, m_sProxyProfile)))
        return CalledFrom(out, "SrvSideC2SRule::Encode() at m_sProxyProfile");
    return total + n;
}

int SrvSideC2SRule::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeWord32(in, m_nListenIntf)))
        return CalledFrom(in, "SrvSideC2SRule::Decode() at m_nListenIntf");
    total += n;
    if (!(n = DecodeWord32(in, m_nListenPort)))
        return CalledFrom(in, "SrvSideC2SRule::Decode() at m_nListenPort");
    total += n;
    if (!(n = DecodeString(in, m_sTargetHost)))
        return CalledFrom(in, "SrvSideC2SRule::Decode() at m_sTargetHost");
    total += n;
    if (!(n = DecodeWord32(in, m_nTargetPort)))
        return CalledFrom(in, "SrvSideC2SRule::Decode() at m_nTargetPort");
    total += n;
    if (!(n = DecodeString(in, m_sProxyProfile)))
        return CalledFrom(in, "SrvSideC2SRule::Decode() at m_sProxyProfile");
    return total + n;
}

bool SrvSideC2SRule::IsValid(ErrorInfo& info)
{
    if (!IsPort(m_nListenPort)) {
        info.AddError("SrvSideC2SRule::IsValid(): invalid listen port value");
        return false;
    }
    if (m_sTargetHost.empty()) {
        info.AddError("SrvSideC2SRule::IsValid(): empty target host value");
        return false;
    }
    if (!IsPort(m_nTargetPort)) {
        info.AddError("SrvSideC2SRule::IsValid(): invalid target port value");
        return false;
    }
    return true;
}

bool SrvSideC2SRule::operator<(const SrvSideC2SRule& other) const
{
    return ListenOrder(m_nListenIntf, m_nListenPort, other.m_nListenIntf, other.m_nListenPort);
}

// The members' defaults, as for the C2S rule.
SrvSideS2CRule::SrvSideS2CRule() : m_nListenIntf(0), m_nListenPort(0), m_nTargetPort(999) {}

SrvSideS2CRule& SrvSideS2CRule::operator=(const SrvSideS2CRule& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    m_nListenIntf = src.m_nListenIntf;
    m_nListenPort = src.m_nListenPort;
    m_nTargetPort = src.m_nTargetPort;
    CopyField(*this, m_sTargetHost, src.m_sTargetHost) && CopyField(*this, m_acceptRules, src.m_acceptRules);
    return *this;
}

void SrvSideS2CRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"listenIntf", &m_nListenIntf, 0u));
    map.Add(MemberInfo(L"listenPort", &m_nListenPort, 0u, 1u, 65535u));
    map.Add(MemberInfo(L"targetHost", &m_sTargetHost, NoCrtString(""), 65000));
    map.Add(MemberInfo(L"targetPort", &m_nTargetPort, 999u, 1u, 65535u));
    map.Add(MemberInfo(L"acceptRules", &m_acceptRules));
}

int SrvSideS2CRule::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeWord32(out, m_nListenIntf)))
        return CalledFrom(out, "SrvSideS2CRule::Encode() at m_nListenIntf");
    total += n;
    if (!(n = EncodeWord32(out, m_nListenPort)))
        return CalledFrom(out, "SrvSideS2CRule::Encode() at m_nListenPort");
    total += n;
    if (!(n = EncodeString(out, m_sTargetHost)))
        return CalledFrom(out, "SrvSideS2CRule::Encode() at m_sTargetHost");
    total += n;
    if (!(n = EncodeWord32(out, m_nTargetPort)))
        return CalledFrom(out, "SrvSideS2CRule::Encode() at m_nTargetPort");
    total += n;
    if (!(n = m_acceptRules.Encode(out)))
        return CalledFrom(out, "SrvSideS2CRule::Encode() at m_acceptRules");
    return total + n;
}

int SrvSideS2CRule::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeWord32(in, m_nListenIntf)))
        return CalledFrom(in, "SrvSideS2CRule::Decode() at m_nListenIntf");
    total += n;
    if (!(n = DecodeWord32(in, m_nListenPort)))
        return CalledFrom(in, "SrvSideS2CRule::Decode() at m_nListenPort");
    total += n;
    if (!(n = DecodeString(in, m_sTargetHost)))
        return CalledFrom(in, "SrvSideS2CRule::Decode() at m_sTargetHost");
    total += n;
    if (!(n = DecodeWord32(in, m_nTargetPort)))
        return CalledFrom(in, "SrvSideS2CRule::Decode() at m_nTargetPort");
    total += n;
    if (!(n = m_acceptRules.Decode(in)))
        return CalledFrom(in, "SrvSideS2CRule::Decode() at m_acceptRules");
    return total + n;
}

bool SrvSideS2CRule::IsValid(ErrorInfo& info)
{
    if (!IsPort(m_nListenPort)) {
        info.AddError("SrvSideS2CRule::IsValid(): invalid listen port value");
        return false;
    }
    if (!IsPort(m_nTargetPort)) {
        info.AddError("SrvSideS2CRule::IsValid(): invalid target port value");
        return false;
    }
    if (!m_acceptRules.IsValid(info)) {
        CalledFrom(info, "SrvSideS2CRule::IsValid() at m_acceptRules");
        return false;
    }
    return true;
}

bool SrvSideS2CRule::operator<(const SrvSideS2CRule& other) const
{
    return ListenOrder(m_nListenIntf, m_nListenPort, other.m_nListenIntf, other.m_nListenPort);
}

SrvSideFwding& SrvSideFwding::operator=(const SrvSideFwding& src)
{
    if (&src != this && BeginCopy(*this, src))
        CopyField(*this, c2s, src.c2s) && CopyField(*this, s2c, src.s2c);
    return *this;
}

void SrvSideFwding::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"c2s", &c2s));
    map.Add(MemberInfo(L"s2c", &s2c));
}

void SrvSideFwding::Encode(CryptoPP::BufferedTransformation& out)
{
    WriteRecordBlob(out, c2s, "Error encoding server-side forwarding C2S rules: ", "\n");
    WriteRecordBlob(out, s2c, "Error encoding server-side forwarding S2C rules: ", "\n");
}

void SrvSideFwding::Decode(CryptoPP::BufferedTransformation& in)
{
    // The stored form allows bytes after the rules.
    ReadRecordBlob(in, c2s, "Error decoding server-side forwarding C2S rules: ", "\n", BlobRest::kIgnored);
    ReadRecordBlob(in, s2c, "Error decoding server-side forwarding S2C rules: ", "\n", BlobRest::kIgnored);
}

bool ProxyProfileList::HasUndefinedReference(const RuleList<SrvSideC2SRule>& rules) const
{
    return NamesUndefinedProfile(rules, [](const SrvSideC2SRule& rule) -> const NoCrtString& {
        return rule.m_sProxyProfile;
    });
}
