#include "settings/server/default_rules.h"

#include "settings/server/proxy_profile.h"

namespace {

// The allow-everything address 0.0.0.0/0.
void DefaultToAnyAddress(IpRule& rule)
{
    rule.AccessMemberInfo(L"ip").SetDefault(0u);
    rule.AccessMemberInfo(L"sigBits").SetDefault(static_cast<unsigned char>(0));
}

void DefaultToPorts(PortRangeRule& rule, std::uint32_t from)
{
    rule.AccessMemberInfo(L"portFrom").SetDefault(from);
    rule.AccessMemberInfo(L"portTo").SetDefault(65535u);
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

void BindProxyProfile(ConnectInstructions& instr)
{
    instr.AccessMemberInfo(L"proxyProfile")
        .SetDefault(NoCrtString(DefaultProxyProfileName()))
        .SetValuesQuery(L"$proxyProfiles.All.profileName")
        .SetDescription(L"The name of the proxy profile to use; must match the name of one of the profiles "
                        L"enumerated in the proxyProfiles portion of the setup.");
}

void DefaultIpAcceptRule::ApplyDefaults()
{
    DefaultToAnyAddress(ipRule);
    instr.AccessMemberInfo(L"allowConnect").SetDefault(true);
    SetDefaults(1);
}

IpAcceptRule* DefaultIpAcceptRule::Create(const IpAcceptRule* source)
{
    return MakeVariant<DefaultIpAcceptRule>(source);
}

void DefaultIpConnectRule::ApplyDefaults()
{
    DefaultToAnyAddress(ipRule);
    DefaultToPorts(portRangeRule, 1);
    instr.AccessMemberInfo(L"allowConnect").SetDefault(true);
    BindProxyProfile(instr);
    SetDefaults(1);
}

IpConnectRule* DefaultIpConnectRule::Create(const IpConnectRule* source)
{
    return MakeVariant<DefaultIpConnectRule>(source);
}

void AccountIpConnectRule::ApplyDefaults()
{
    BindProxyProfile(instr);
    SetDefaults(1);
}

IpConnectRule* AccountIpConnectRule::Create(const IpConnectRule* source)
{
    return MakeVariant<AccountIpConnectRule>(source);
}

void DefaultDnsNameConnectRule::ApplyDefaults()
{
    BindProxyProfile(instr);
    SetDefaults(1);
}

DnsNameConnectRule* DefaultDnsNameConnectRule::Create(const DnsNameConnectRule* source)
{
    return MakeVariant<DefaultDnsNameConnectRule>(source);
}

void DefaultListenRule::ApplyDefaults()
{
    DefaultToAnyAddress(ipRule);
    DefaultToPorts(portRangeRule, 0);
    instr.AccessMemberInfo(L"allowListen").SetDefault(true);
    RuleList<IpAcceptRule>& acceptIpRules = instr.m_acceptRules.ipRules;
    acceptIpRules.SetFactory(&DefaultIpAcceptRule::Create);
    acceptIpRules.SetKeepDefaultEntry(true);
    SetDefaults(1);
}

ListenRule* DefaultListenRule::Create(const ListenRule* source)
{
    return MakeVariant<DefaultListenRule>(source);
}

void DefaultAcceptRules::ApplyDefaults()
{
    ipRules.SetFactory(&DefaultIpAcceptRule::Create);
    ipRules.SetKeepDefaultEntry(true);
    SetDefaults(1);
}

void DefaultConnectRules::ApplyDefaults()
{
    ipRules.SetFactory(&DefaultIpConnectRule::Create);
    ipRules.SetKeepDefaultEntry(true);
    dnsNameRules.SetFactory(&DefaultDnsNameConnectRule::Create);
    SetDefaults(1);
}

void AccountConnectRules::ApplyDefaults()
{
    ipRules.SetFactory(&AccountIpConnectRule::Create);
    dnsNameRules.SetFactory(&DefaultDnsNameConnectRule::Create);
    SetDefaults(1);
}

void DefaultListenRuleList::ApplyDefaults()
{
    SetFactory(&DefaultListenRule::Create);
    SetKeepDefaultEntry(true);
    SetDefaults(1);
}
