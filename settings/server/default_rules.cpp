#include "settings/server/default_rules.h"

#include "settings/server/proxy_profile.h"

namespace {

// The variants' changes to their parts' members. A variant makes each part's values its
// new defaults in its constructor and leaves the member maps to be built, with these
// changes, when the language first reaches them: a rule decoded from a long list never
// builds one.

// The allow-everything address 0.0.0.0/0.
void DefaultToAnyAddress(MemberMap& map)
{
    map.At(L"ip").SetDefault(0u);
    map.At(L"sigBits").SetDefault(static_cast<unsigned char>(0));
}

template <std::uint32_t From>
void DefaultToPorts(MemberMap& map)
{
    map.At(L"portFrom").SetDefault(From);
    map.At(L"portTo").SetDefault(65535u);
}

void AllowConnect(MemberMap& map) { map.At(L"allowConnect").SetDefault(true); }

// The "Default" proxy profile, and only the names of defined profiles.
void BindProxyProfile(MemberMap& map)
{
    map.At(L"proxyProfile")
        .SetDefault(NoCrtString(DefaultProxyProfileName()))
        .SetValuesQuery(L"$proxyProfiles.All.profileName")
        .SetDescription(L"The name of the proxy profile to use; must match the name of one of the profiles "
                        L"enumerated in the proxyProfiles portion of the setup.");
}

void AllowConnectThroughProxyProfile(MemberMap& map)
{
    AllowConnect(map);
    BindProxyProfile(map);
}

void AllowListen(MemberMap& map) { map.At(L"allowListen").SetDefault(true); }

// Each gives a part its edit and the values that the edit makes its defaults.
void UseAnyAddress(IpRule& rule)
{
    rule.SetMemberMapEdit(&DefaultToAnyAddress);
    rule.m_ip = 0;
    rule.m_sigBits = 0;
}

template <std::uint32_t From>
void UseWholePortRange(PortRangeRule& rule)
{
    rule.SetMemberMapEdit(&DefaultToPorts<From>);
    rule.m_portFrom = From;
    rule.m_portTo = 65535;
}

void UseDefaultProxyProfile(ConnectInstructions& instr, bool allowConnect)
{
    instr.SetMemberMapEdit(allowConnect ? &AllowConnectThroughProxyProfile : &BindProxyProfile);
    instr.m_allowConnect = allowConnect;
    instr.m_proxyProfile.assign(DefaultProxyProfileName());
}

// Makes a record of the variant class: a copy of source or a fresh one; null without memory.
template <class Variant, class Plain>
Plain* MakeVariant(const Plain* source)
{
    if (source)
        return nocrt::NewObject<Variant>(*source);
    return nocrt::NewObject<Variant>();
}

} // namespace

void DefaultIpAcceptRule::ApplyDefaults()
{
    ipRule.m_ip = 0;
    ipRule.m_sigBits = 0;
    instr.m_allowConnect = true;
}

void DefaultIpAcceptRule::BuildMemberMap(MemberMap& map)
{
    IpAcceptRule::BuildMemberMap(map);
    NestedRecord(map, L"ipRule").SetMemberMapEdit(&DefaultToAnyAddress);
    NestedRecord(map, L"instr").SetMemberMapEdit(&AllowConnect);
}

IpAcceptRule* DefaultIpAcceptRule::Create(const IpAcceptRule* source)
{
    return MakeVariant<DefaultIpAcceptRule>(source);
}

void DefaultIpConnectRule::ApplyDefaults()
{
    UseAnyAddress(ipRule);
    UseWholePortRange<1>(portRangeRule);
    UseDefaultProxyProfile(instr, true);
}

IpConnectRule* DefaultIpConnectRule::Create(const IpConnectRule* source)
{
    return MakeVariant<DefaultIpConnectRule>(source);
}

void AccountIpConnectRule::ApplyDefaults()
{
    UseDefaultProxyProfile(instr, false);
}

IpConnectRule* AccountIpConnectRule::Create(const IpConnectRule* source)
{
    return MakeVariant<AccountIpConnectRule>(source);
}

void DefaultDnsNameConnectRule::ApplyDefaults()
{
    UseDefaultProxyProfile(instr, false);
}

DnsNameConnectRule* DefaultDnsNameConnectRule::Create(const DnsNameConnectRule* source)
{
    return MakeVariant<DefaultDnsNameConnectRule>(source);
}

void DefaultListenRule::ApplyDefaults()
{
    UseAnyAddress(ipRule);
    UseWholePortRange<0>(portRangeRule);
    instr.SetMemberMapEdit(&AllowListen);
    instr.m_allowListen = true;
    RuleList<IpAcceptRule>& acceptIpRules = instr.m_acceptRules.ipRules;
    acceptIpRules.SetFactory(&DefaultIpAcceptRule::Create);
    acceptIpRules.SetKeepDefaultEntry(true);
    acceptIpRules.SetDefaults(1);
}

ListenRule* DefaultListenRule::Create(const ListenRule* source)
{
    return MakeVariant<DefaultListenRule>(source);
}

// The rule-list records take their defaults list by list, without their member maps: the
// DNS-name lists and the accounts' IP list start empty as they are.
void DefaultAcceptRules::ApplyDefaults()
{
    ipRules.SetFactory(&DefaultIpAcceptRule::Create);
    ipRules.SetKeepDefaultEntry(true);
    ipRules.SetDefaults(1);
}

void DefaultConnectRules::ApplyDefaults()
{
    ipRules.SetFactory(&DefaultIpConnectRule::Create);
    ipRules.SetKeepDefaultEntry(true);
    ipRules.SetDefaults(1);
    dnsNameRules.SetFactory(&DefaultDnsNameConnectRule::Create);
}

void AccountConnectRules::ApplyDefaults()
{
    ipRules.SetFactory(&AccountIpConnectRule::Create);
    dnsNameRules.SetFactory(&DefaultDnsNameConnectRule::Create);
}

void DefaultListenRuleList::ApplyDefaults()
{
    SetFactory(&DefaultListenRule::Create);
    SetKeepDefaultEntry(true);
    SetDefaults(1);
}
