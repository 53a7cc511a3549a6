#include "settings/server/address_rules.h"

#include "settings/framework/dns_name.h"
#include "settings/server/record_members.h"

IpRule& IpRule::operator=(const IpRule& src)
{
    if (&src != this && BeginCopy(*this, src))
        IpRuleFields::operator=(src);
    return *this;
}

void IpRuleFields::AddMembers(MemberMap& map)
{
    map.Add(MemberInfo(L"ip", &m_ip, 0u).SetDescription(L"The IP address or interface to match."));
    map.Add(ByteMember(L"sigBits", &m_sigBits, 0, 0, 32)
                .SetDescription(L"How many bits of the 'ip' field to use in matching. Specifying 0 means that this "
                                L"rule will match everything, 32 means that it will match only a single, specific "
                                L"address. Specifying 8, 16, or 24 means that matching is done only on the first "
                                L"one, two, or three bytes of the IP, respectively."));
}

std::uint32_t IpRuleFields::Mask() const
{
    if (m_sigBits == 0)
        return 0;
    return 0xFFFFFFFFu << ((32u - m_sigBits) % 32u);
}

int IpRuleFields::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeWord32(out, m_ip)))
        return CalledFrom(out, "IpRule::Encode() at m_ip");
    total += n;
    if (!(n = EncodeByte(out, m_sigBits)))
        return CalledFrom(out, "IpRule::Encode() at m_sigBits");
    return total + n;
}

int IpRuleFields::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeWord32(in, m_ip)))
        return CalledFrom(in, "IpRule::Decode() at m_ip");
    total += n;
    if (!(n = DecodeByte(in, m_sigBits)))
        return CalledFrom(in, "IpRule::Decode() at m_sigBits");
    m_ip = MaskedAddress();
    return total + n;
}

bool IpRuleFields::IsValid(ErrorInfo& info)
{
    if (m_sigBits > 32) {
        info.AddError("IpRule::IsValid(): invalid significant bits value");
        return false;
    }
    return true;
}

bool IpRuleFields::operator<(const IpRuleFields& other) const { return MaskedAddress() > other.MaskedAddress(); }

DnsNameRule& DnsNameRule::operator=(const DnsNameRule& src)
{
    if (&src != this && BeginCopy(*this, src))
        CopyField(*this, m_dnsName, src.m_dnsName);
    return *this;
}

void DnsNameRule::BuildMemberMap(MemberMap& map)
{
    MemberInfo name(L"dnsName", &m_dnsName, NoCrtString(""), 65001);
    name.checkDnsName = 1;
    name.dnsNameFlags = kDnsAllowWildcard;
    map.Add(name.SetDescription(L"The DNS name to match; '*.xxx' matches an entire domain, '*' matches all names."));
}

int DnsNameRule::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeString(out, m_dnsName)))
        return CalledFrom(out, "DnsNameRule::Encode() at m_dnsName");
    total += n;
    // The domain form is kept in the name itself ("*." and the domain).
    if (!(n = EncodeBoolean(out, false)))
        return CalledFrom(out, "DnsNameRule::Encode() at matchDomain");
    return total + n;
}

int DnsNameRule::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeString(in, m_dnsName)))
        return CalledFrom(in, "DnsNameRule::Decode() at m_dnsName");
    total += n;
    bool matchDomain = false;
    if (!(n = DecodeBoolean(in, matchDomain)))
        return CalledFrom(in, "DnsNameRule::Decode() at matchDomain");
    total += n;

    NoCrtString rewritten;
    if (m_dnsName.empty())
        rewritten.assign("*");
    else if (matchDomain && m_dnsName[0] != '*')
        rewritten.assign("*.").append(m_dnsName);
    else
        return total;
    if (!rewritten.af_)
        m_dnsName = rewritten;
    if (rewritten.af_ || m_dnsName.af_) {
        in.AddError("Allocation failure in DnsNameRule::Decode()");
        return 0;
    }
    return total;
}

bool DnsNameRule::IsValid(ErrorInfo&)
{
    if (m_dnsName.af_)
        return false;
    return IsValidDnsName(kDnsAllowWildcard, m_dnsName.c_str(), static_cast<int>(m_dnsName.size()));
}

bool DnsNameRule::operator<(const DnsNameRule& other) const
{
    std::uint32_t a = m_dnsName.size();
    std::uint32_t b = other.m_dnsName.size();
    const char* x = m_dnsName.c_str();
    const char* y = other.m_dnsName.c_str();
    while (a > 0 && b > 0) {
        const signed char cx = static_cast<signed char>(x[--a]);
        const signed char cy = static_cast<signed char>(y[--b]);
        if (cx != cy)
            return cx > cy;
    }
    // One name ends the other: the longer comes first.
    return a > b;
}

PortRangeRule& PortRangeRule::operator=(const PortRangeRule& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        m_minPort = src.m_minPort;
        m_portFrom = src.m_portFrom;
        m_portTo = src.m_portTo;
    }
    return *this;
}

void PortRangeRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"portFrom", &m_portFrom, m_minPort, m_minPort, 65535u)
                .SetDescription(L"The beginning of the port range (inclusive) to match."));
    map.Add(MemberInfo(L"portTo", &m_portTo, 65535u, m_minPort, 65535u)
                .SetDescription(L"The end of the port range (inclusive) to match. Must be greater than or equal to "
                                L"portFrom."));
}

int PortRangeRule::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeWord32(out, m_portFrom)))
        return CalledFrom(out, "PortRangeRule::Encode() at m_portFrom");
    total += n;
    if (!(n = EncodeWord32(out, m_portTo)))
        return CalledFrom(out, "PortRangeRule::Encode() at m_portTo");
    return total + n;
}

int PortRangeRule::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeWord32(in, m_portFrom)))
        return CalledFrom(in, "PortRangeRule::Decode() at m_portFrom");
    total += n;
    if (!(n = DecodeWord32(in, m_portTo)))
        return CalledFrom(in, "PortRangeRule::Decode() at m_portTo");
    return total + n;
}

bool PortRangeRule::IsValid(ErrorInfo& info)
{
    if (m_portFrom < m_minPort || m_portFrom > 65535) {
        info.AddError("PortRangeRule::IsValid(): invalid low limit value");
        return false;
    }
    if (m_portTo < m_minPort || m_portTo > 65535) {
        info.AddError("PortRangeRule::IsValid(): invalid high limit value");
        return false;
    }
    if (m_portTo < m_portFrom) {
        info.AddError("PortRangeRule::IsValid(): high limit is less than low limit");
        return false;
    }
    return true;
}

bool PortRangeRule::operator<(const PortRangeRule& other) const
{
    if (m_portFrom != other.m_portFrom)
        return m_portFrom < other.m_portFrom;
    return m_portTo < other.m_portTo;
}

ConnectInstructions& ConnectInstructions::operator=(const ConnectInstructions& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return *this;
    m_allowConnect = src.m_allowConnect;
    if (!CopyField(*this, m_targetHost, src.m_targetHost))
        return *this;
    m_targetPort = src.m_targetPort;
    CopyField(*this, m_proxyProfile, src.m_proxyProfile);
    return *this;
}

void ConnectInstructions::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"allowConnect", &m_allowConnect, false)
                .SetDescription(L"Whether or not to allow connection attempts matching this rule. If disabled, a "
                                L"connection attempt matching this rule will be rejected, otherwise it will be "
                                L"interpreted according to settings in this section."));
    map.Add(MemberInfo(L"targetHost", &m_targetHost, NoCrtString(""), 65001)
                .SetDescription(L"If this field is specified (is non-empty), it will override the target host of "
                                L"the connection that is specified by the user. In contrast, leaving this field "
                                L"empty means that the user-supplied target host will be connected to."));
    map.Add(MemberInfo(L"targetPort", &m_targetPort, 0u, 0u, 65535u)
                .SetDescription(L"If this field is specified (is not 0), it will override the target port of the "
                                L"connection that is specified by the user. In contrast, leaving this field empty "
                                L"means that the user-supplied target port will be connected to."));
    map.Add(MemberInfo(L"proxyProfile", &m_proxyProfile, NoCrtString(""), 65001)
                .SetDescription(L"The name of the proxy profile to use."));
}

int ConnectInstructions::Encode(EncodeOutput& out)
{
    int total = 0, n;
    if (!(n = EncodeBoolean(out, m_allowConnect)))
        return CalledFrom(out, "ConnectInstructions::Encode() at m_allowConnect");
    total += n;
    if (!(n = EncodeString(out, m_targetHost)))
        return CalledFrom(out, "ConnectInstructions::Encode() at m_targetHost");
    total += n;
    if (!(n = EncodeWord32(out, m_targetPort)))
        return CalledFrom(out, "ConnectInstructions::Encode() at m_targetPort");
    total += n;
    if (!(n = EncodeString(out, m_proxyProfile)))
        return CalledFrom(out, "ConnectInstructions::Encode() at m_proxyProfile");
    return total + n;
}

int ConnectInstructions::Decode(DecodeContext& in)
{
    int total = 0, n;
    if (!(n = DecodeBoolean(in, m_allowConnect)))
        return CalledFrom(in, "ConnectInstructions::Decode() at m_allowConnect");
    total += n;
    if (!(n = DecodeString(in, m_targetHost)))
        return CalledFrom(in, "ConnectInstructions::Decode() at m_targetHost");
    total += n;
    if (!(n = DecodeWord32(in, m_targetPort)))
        return CalledFrom(in, "ConnectInstructions::Decode() at m_targetPort");
    total += n;
    if (!(n = DecodeString(in, m_proxyProfile)))
        return CalledFrom(in, "ConnectInstructions::Decode() at m_proxyProfile");
    return total + n;
}

bool ConnectInstructions::IsValid(ErrorInfo& info)
{
    if (m_targetPort > 65535) {
        info.AddError("ConnectInstructions::IsValid(): invalid target port value");
        return false;
    }
    return true;
}

AcceptInstructions& AcceptInstructions::operator=(const AcceptInstructions& src)
{
    if (&src != this && BeginCopy(*this, src))
        AcceptInstructionsFields::operator=(src);
    return *this;
}

void AcceptInstructionsFields::AddMembers(MemberMap& map)
{
    map.Add(MemberInfo(L"allowConnect", &m_allowConnect, false)
                .SetDescription(L"Whether or not to allow connection attempts matching this rule. If disabled, a "
                                L"connection attempt matching this rule will be rejected, otherwise it will be "
                                L"accepted."));
}

int AcceptInstructionsFields::Encode(EncodeOutput& out)
{
    int n = EncodeBoolean(out, m_allowConnect);
    return n ? n : CalledFrom(out, "AcceptInstructions::Encode()");
}

int AcceptInstructionsFields::Decode(DecodeContext& in)
{
    int n = DecodeBoolean(in, m_allowConnect);
    return n ? n : CalledFrom(in, "AcceptInstructions::Decode()");
}
