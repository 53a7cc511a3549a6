#include "settings/server/rule_lists.h"

#include "settings/server/proxy_profile.h"
#include "settings/server/record_members.h"

namespace {

const wchar_t kConnectPortRangeHelp[] =
    L"Port range rule portion: defines what target port a connection attempt must have in order for it to "
    L"match this rule.";
const wchar_t kConnectInstrHelp[] =
    L"Instructions: specifies what is to be done when a connection attempt is received whose target address "
    L"and port match this rule.";
const wchar_t kAcceptInstrHelp[] =
    L"Instructions: specifies what is to be done when a connection attempt is received whose origin address "
    L"matches this rule.";

// Adds a part's byte count to total; false when the part failed.
inline bool Counted(int& total, int n)
{
    total += n;
    return n != 0;
}

// A rule record's codec: its parts one after the other, stopping at the first that fails,
// which then gets the record's own "called from" text.
template <class... Parts>
int EncodeParts(EncodeOutput& out, const char* where, Parts&... parts)
{
    int total = 0;
    return (Counted(total, parts.Encode(out)) && ...) ? total : CalledFrom(out, where);
}

template <class... Parts>
int DecodeParts(DecodeContext& in, const char* where, Parts&... parts)
{
    int total = 0;
    return (Counted(total, parts.Decode(in)) && ...) ? total : CalledFrom(in, where);
}

// The two lists of a ConnectRules or AcceptRules record, one after the other.
template <class Record>
int EncodeListPair(Record& record, EncodeOutput& out, const char* ipWhere, const char* dnsWhere)
{
    int ip = record.ipRules.Encode(out);
    if (!ip)
        return CalledFrom(out, ipWhere);
    int dns = record.dnsNameRules.Encode(out);
    if (!dns)
        return CalledFrom(out, dnsWhere);
    return ip + dns;
}

template <class Record>
int DecodeListPair(Record& record, DecodeContext& in, const char* ipWhere, const char* dnsWhere)
{
    int ip = record.ipRules.Decode(in);
    if (!ip)
        return CalledFrom(in, ipWhere);
    int dns = record.dnsNameRules.Decode(in);
    if (!dns)
        return CalledFrom(in, dnsWhere);
    return ip + dns;
}

template <class Record>
void CopyListPair(Record& to, const Record& from)
{
    if (&from == &to || !BeginCopy(to, from))
        return;
    CopyField(to, to.ipRules, from.ipRules) && CopyField(to, to.dnsNameRules, from.dnsNameRules) &&
        CopyField(to, to.m_ipRuleLists, from.m_ipRuleLists) &&
        CopyField(to, to.m_dnsNameRuleLists, from.m_dnsNameRuleLists);
}

// The profile name of a connect rule.
template <class Rule>
const NoCrtString& ConnectProfileName(const Rule& rule)
{
    return rule.instr.m_proxyProfile;
}

} // namespace

IpConnectRule& IpConnectRule::operator=(const IpConnectRule& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        CopyField(*this, ipRule, src.ipRule) && CopyField(*this, portRangeRule, src.portRangeRule) &&
            CopyField(*this, instr, src.instr);
    }
    return *this;
}

void IpConnectRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"ipRule", &ipRule)
                .SetDescription(L"IP rule portion: defines what target IP address a connection attempt must have, "
                                L"or what IP address the target DNS name must resolve to, in order for the "
                                L"connection attempt to match this rule."));
    map.Add(MemberInfo(L"portRangeRule", &portRangeRule).SetDescription(kConnectPortRangeHelp));
    map.Add(MemberInfo(L"instr", &instr).SetDescription(kConnectInstrHelp));
}

int IpConnectRule::Encode(EncodeOutput& out)
{
    return EncodeParts(out, "IpConnectRule::Encode()", ipRule, portRangeRule, instr);
}

int IpConnectRule::Decode(DecodeContext& in)
{
    return DecodeParts(in, "IpConnectRule::Decode()", ipRule, portRangeRule, instr);
}

bool IpConnectRule::IsValid(ErrorInfo& info)
{
    return instr.IsValid(info) && ipRule.IsValid(info) && portRangeRule.IsValid(info);
}

bool IpConnectRule::operator<(const IpConnectRule& other) const
{
    if (ipRule.MaskedAddress() != other.ipRule.MaskedAddress())
        return ipRule < other.ipRule;
    return portRangeRule < other.portRangeRule;
}

DnsNameConnectRule& DnsNameConnectRule::operator=(const DnsNameConnectRule& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        CopyField(*this, dnsNameRule, src.dnsNameRule) && CopyField(*this, portRangeRule, src.portRangeRule) &&
            CopyField(*this, instr, src.instr);
    }
    return *this;
}

void DnsNameConnectRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"dnsNameRule", &dnsNameRule)
                .SetDescription(L"DNS name rule portion: defines what target DNS name a connection attempt must "
                                L"have, or what DNS name the target IP address must resolve to, in order for the "
                                L"connection attempt to match this rule."));
    map.Add(MemberInfo(L"portRangeRule", &portRangeRule).SetDescription(kConnectPortRangeHelp));
    map.Add(MemberInfo(L"instr", &instr).SetDescription(kConnectInstrHelp));
}

int DnsNameConnectRule::Encode(EncodeOutput& out)
{
    return EncodeParts(out, "DnsNameConnectRule::Encode()", dnsNameRule, portRangeRule, instr);
}

int DnsNameConnectRule::Decode(DecodeContext& in)
{
    return DecodeParts(in, "DnsNameConnectRule::Decode()", dnsNameRule, portRangeRule, instr);
}

bool DnsNameConnectRule::IsValid(ErrorInfo& info)
{
    return instr.IsValid(info) && dnsNameRule.IsValid(info) && portRangeRule.IsValid(info);
}

bool DnsNameConnectRule::operator<(const DnsNameConnectRule& other) const
{
    if (!SameBytes(dnsNameRule.m_dnsName, other.dnsNameRule.m_dnsName))
        return dnsNameRule < other.dnsNameRule;
    return portRangeRule < other.portRangeRule;
}

IpAcceptRule& IpAcceptRule::operator=(const IpAcceptRule& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        ipRule = src.ipRule;
        instr = src.instr;
    }
    return *this;
}

void IpAcceptRule::BuildMemberMap(MemberMap& map)
{
    map.Add(NestedFields(map, L"ipRule", ipRule)
                .SetDescription(L"IP rule portion: defines what origin IP address a connection attempt must have in "
                                L"order for the connection attempt to match this rule."));
    map.Add(NestedFields(map, L"instr", instr).SetDescription(kAcceptInstrHelp));
}

int IpAcceptRule::Encode(EncodeOutput& out)
{
    return EncodeParts(out, "IpAcceptRule::Encode()", ipRule, instr);
}

int IpAcceptRule::Decode(DecodeContext& in)
{
    return DecodeParts(in, "IpAcceptRule::Decode()", ipRule, instr);
}

bool IpAcceptRule::IsValid(ErrorInfo& info) { return instr.IsValid(info) && ipRule.IsValid(info); }

DnsNameAcceptRule& DnsNameAcceptRule::operator=(const DnsNameAcceptRule& src)
{
    if (&src != this && BeginCopy(*this, src))
        CopyField(*this, dnsNameRule, src.dnsNameRule) && CopyField(*this, instr, src.instr);
    return *this;
}

void DnsNameAcceptRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"dnsNameRule", &dnsNameRule)
                .SetDescription(L"DNS name rule portion: defines what DNS name the origin IP address of a connection "
                                L"attempt must resolve to in order for the connection attempt to match this rule."));
    map.Add(MemberInfo(L"instr", &instr).SetDescription(kAcceptInstrHelp));
}

int DnsNameAcceptRule::Encode(EncodeOutput& out)
{
    return EncodeParts(out, "DnsNameAcceptRule::Encode()", dnsNameRule, instr);
}

int DnsNameAcceptRule::Decode(DecodeContext& in)
{
    return DecodeParts(in, "DnsNameAcceptRule::Decode()", dnsNameRule, instr);
}

bool DnsNameAcceptRule::IsValid(ErrorInfo& info) { return instr.IsValid(info) && dnsNameRule.IsValid(info); }

ConnectRules& ConnectRules::operator=(const ConnectRules& src)
{
    CopyListPair(*this, src);
    return *this;
}

void ConnectRules::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"ipRules", &ipRules)
                .SetDescription(L"Enumerates IP address-based rules for forwarded connections. These are processed "
                                L"first if an incoming connection is received that specifies its target as an IP "
                                L"address. If no match is found according to the IP address, the IP address is "
                                L"resolved into one or more DNS names and these are tested according to the list of "
                                L"DNS name-based rules."));
    map.Add(MemberInfo(L"dnsNameRules", &dnsNameRules)
                .SetDescription(L"Enumerates DNS name-based rules for forwarded connections. These are processed "
                                L"first if an incoming connection is received that specifies its target as a DNS "
                                L"name. If no match is found according to the DNS name, the DNS name is resolved "
                                L"into one or more IP addresses and these are tested according to the list of IP "
                                L"address-based rules."));
}

int ConnectRules::Encode(EncodeOutput& out)
{
    return EncodeListPair(*this, out, "ConnectRules::Encode() for IP connect rules",
                          "ConnectRules::Encode() for DNS name connect rules");
}

int ConnectRules::Decode(DecodeContext& in)
{
    return DecodeListPair(*this, in, "ConnectRules::Decode() for IP connect rules",
                          "ConnectRules::Decode() for DNS name connect rules");
}

bool ConnectRules::IsValid(ErrorInfo& info) { return ipRules.IsValid(info) && dnsNameRules.IsValid(info); }

AcceptRules& AcceptRules::operator=(const AcceptRules& src)
{
    CopyListPair(*this, src);
    return *this;
}

void AcceptRules::TakeFrom(AcceptRules& src)
{
    if (&src == this || !BeginCopy(*this, src))
        return;
    TakeField(*this, ipRules, src.ipRules) && TakeField(*this, dnsNameRules, src.dnsNameRules) &&
        CopyField(*this, m_ipRuleLists, src.m_ipRuleLists) &&
        CopyField(*this, m_dnsNameRuleLists, src.m_dnsNameRuleLists);
}

void AcceptRules::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"ipRules", &ipRules)
                .SetDescription(L"Enumerates IP address-based rules for accepted connections. These are processed "
                                L"first, and if no match is found according to the IP address, the IP address is "
                                L"resolved into one or more DNS names and these are tested according to the list of "
                                L"DNS name-based rules."));
    map.Add(MemberInfo(L"dnsNameRules", &dnsNameRules)
                .SetDescription(L"Enumerates DNS name-based rules for accepted connections. These are processed if "
                                L"no match is found according to the list of IP address-based rules."));
}

int AcceptRules::Encode(EncodeOutput& out)
{
    return EncodeListPair(*this, out, "AcceptRules::Encode() for IP accept rules",
                          "AcceptRules::Encode() for DNS name accept rules");
}

int AcceptRules::Decode(DecodeContext& in)
{
    return DecodeListPair(*this, in, "AcceptRules::Decode() for IP accept rules",
                          "AcceptRules::Decode() for DNS name accept rules");
}

bool AcceptRules::IsValid(ErrorInfo& info) { return ipRules.IsValid(info) && dnsNameRules.IsValid(info); }

ListenInstructions& ListenInstructions::operator=(const ListenInstructions& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        m_allowListen = src.m_allowListen;
        CopyField(*this, m_acceptRules, src.m_acceptRules);
    }
    return *this;
}

void ListenInstructions::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"allowListen", &m_allowListen, false)
                .SetDescription(L"Whether to accept a request for listening which matches this rule."));
    map.Add(MemberInfo(L"acceptRules", &m_acceptRules)
                .SetDescription(L"Additional accept rules which apply to incoming connections to a listening socket "
                                L"which matches this rule."));
}

int ListenInstructions::Encode(EncodeOutput& out)
{
    const char* where = "ListenInstructions::Encode()";
    int total = EncodeBoolean(out, m_allowListen);
    if (!total)
        return CalledFrom(out, where);
    return Counted(total, m_acceptRules.Encode(out)) ? total : CalledFrom(out, where);
}

int ListenInstructions::Decode(DecodeContext& in)
{
    const char* where = "ListenInstructions::Decode()";
    int total = DecodeBoolean(in, m_allowListen);
    if (!total)
        return CalledFrom(in, where);
    return Counted(total, m_acceptRules.Decode(in)) ? total : CalledFrom(in, where);
}

ListenRule& ListenRule::operator=(const ListenRule& src)
{
    if (&src != this && BeginCopy(*this, src)) {
        CopyField(*this, ipRule, src.ipRule) && CopyField(*this, portRangeRule, src.portRangeRule) &&
            CopyField(*this, instr, src.instr);
    }
    return *this;
}

void ListenRule::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"ipRule", &ipRule)
                .SetDescription(L"DNS name rule portion: defines what interface a listening request must specify in "
                                L"order for the connection attempt to match this rule."));
    map.Add(MemberInfo(L"portRangeRule", &portRangeRule)
                .SetDescription(L"Port range rule portion: defines what port a listening request must specify in "
                                L"order for it to match this rule."));
    map.Add(MemberInfo(L"instr", &instr)
                .SetDescription(L"Instructions: specifies what is to be done with a listening request which matches "
                                L"this rule."));
}

int ListenRule::Encode(EncodeOutput& out)
{
    return EncodeParts(out, "ListenRule::Encode()", ipRule, portRangeRule, instr);
}

int ListenRule::Decode(DecodeContext& in)
{
    return DecodeParts(in, "ListenRule::Decode()", ipRule, portRangeRule, instr);
}

bool ListenRule::IsValid(ErrorInfo& info)
{
    return instr.IsValid(info) && ipRule.IsValid(info) && portRangeRule.IsValid(info);
}

bool ListenRule::operator<(const ListenRule& other) const
{
    if (ipRule.MaskedAddress() != other.ipRule.MaskedAddress())
        return ipRule < other.ipRule;
    return portRangeRule < other.portRangeRule;
}

ListenRuleList& ListenRuleList::CopyFrom(const ListenRuleList& src)
{
    if (&src == this)
        return *this;
    if (!af_)
        af_ = src.af_;
    if (af_)
        return *this;
    RuleList<ListenRule>::operator=(src);
    if (!af_)
        CopyField(*this, m_ruleLists, src.m_ruleLists);
    return *this;
}

bool ProxyProfileList::HasUndefinedReference(const RuleList<IpConnectRule>& rules) const
{
    return NamesUndefinedProfile(rules, &ConnectProfileName<IpConnectRule>);
}

bool ProxyProfileList::HasUndefinedReference(const RuleList<DnsNameConnectRule>& rules) const
{
    return NamesUndefinedProfile(rules, &ConnectProfileName<DnsNameConnectRule>);
}
