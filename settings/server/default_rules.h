// The rule records and lists that the settings tree holds: the plain rules and lists with
// the product's defaults. Out of the box a template allows every forwarded connection and
// every listening request, the server accepts connections from every host, and connect
// rules go through the "Default" proxy profile. Each variant's constructors run its
// ApplyDefaults after building the plain part; a copy then takes the source's values, so
// it keeps the variant's member defaults, factories and kept entries.
#pragma once

#include "RoVodEre/NoCrtCore.h"
#include "settings/server/rule_lists.h"

class DefaultIpAcceptRule : public IpAcceptRule, public virtual ObjectBase {
public:
    DefaultIpAcceptRule() { ApplyDefaults(); }
    DefaultIpAcceptRule(const IpAcceptRule& src) : DefaultIpAcceptRule() { IpAcceptRule::operator=(src); }
    DefaultIpAcceptRule(const DefaultIpAcceptRule& src) : DefaultIpAcceptRule(static_cast<const IpAcceptRule&>(src)) {}
    // The element factory: a copy of source, or a fresh default rule; null without memory.
    static IpAcceptRule* Create(const IpAcceptRule* source);

    void BuildMemberMap(MemberMap& map) override;

private:
    void ApplyDefaults();
};

class DefaultIpConnectRule : public IpConnectRule, public virtual ObjectBase {
public:
    DefaultIpConnectRule() { ApplyDefaults(); }
    DefaultIpConnectRule(const IpConnectRule& src) : DefaultIpConnectRule() { IpConnectRule::operator=(src); }
    DefaultIpConnectRule(const DefaultIpConnectRule& src)
        : DefaultIpConnectRule(static_cast<const IpConnectRule&>(src)) {}
    static IpConnectRule* Create(const IpConnectRule* source);

private:
    void ApplyDefaults();
};

class AccountIpConnectRule : public IpConnectRule, public virtual ObjectBase {
public:
    AccountIpConnectRule() { ApplyDefaults(); }
    AccountIpConnectRule(const IpConnectRule& src) : AccountIpConnectRule() { IpConnectRule::operator=(src); }
    AccountIpConnectRule(const AccountIpConnectRule& src)
        : AccountIpConnectRule(static_cast<const IpConnectRule&>(src)) {}
    static IpConnectRule* Create(const IpConnectRule* source);

private:
    void ApplyDefaults();
};

class DefaultDnsNameConnectRule : public DnsNameConnectRule, public virtual ObjectBase {
public:
    DefaultDnsNameConnectRule() { ApplyDefaults(); }
    DefaultDnsNameConnectRule(const DnsNameConnectRule& src) : DefaultDnsNameConnectRule()
    {
        DnsNameConnectRule::operator=(src);
    }
    DefaultDnsNameConnectRule(const DefaultDnsNameConnectRule& src)
        : DefaultDnsNameConnectRule(static_cast<const DnsNameConnectRule&>(src)) {}
    static DnsNameConnectRule* Create(const DnsNameConnectRule* source);

private:
    void ApplyDefaults();
};

class DefaultListenRule : public ListenRule, public virtual ObjectBase {
public:
    DefaultListenRule() { ApplyDefaults(); }
    DefaultListenRule(const ListenRule& src) : DefaultListenRule() { ListenRule::operator=(src); }
    DefaultListenRule(const DefaultListenRule& src) : DefaultListenRule(static_cast<const ListenRule&>(src)) {}
    static ListenRule* Create(const ListenRule* source);

private:
    void ApplyDefaults();
};

// The access settings' hosts and a server-side S2C rule's accept rules: one allow-all IP
// rule by default.
class DefaultAcceptRules : public AcceptRules {
public:
    DefaultAcceptRules() { ApplyDefaults(); }
    DefaultAcceptRules(const AcceptRules& src) : DefaultAcceptRules() { AcceptRules::operator=(src); }
    DefaultAcceptRules(const DefaultAcceptRules& src) : DefaultAcceptRules(static_cast<const AcceptRules&>(src)) {}
    DefaultAcceptRules& operator=(const AcceptRules& src)
    {
        AcceptRules::operator=(src);
        return *this;
    }
    DefaultAcceptRules& operator=(const DefaultAcceptRules& src)
    {
        AcceptRules::operator=(src);
        return *this;
    }

private:
    void ApplyDefaults();
};

// A template's connect rules: one allow-all IP rule by default.
class DefaultConnectRules : public ConnectRules {
public:
    DefaultConnectRules() { ApplyDefaults(); }
    DefaultConnectRules(const ConnectRules& src) : DefaultConnectRules() { ConnectRules::operator=(src); }
    DefaultConnectRules(const DefaultConnectRules& src) : DefaultConnectRules(static_cast<const ConnectRules&>(src)) {}
    DefaultConnectRules& operator=(const ConnectRules& src)
    {
        ConnectRules::operator=(src);
        return *this;
    }
    DefaultConnectRules& operator=(const DefaultConnectRules& src)
    {
        ConnectRules::operator=(src);
        return *this;
    }

private:
    void ApplyDefaults();
};

// An account's connect rules: empty by default; new rules name the "Default" profile.
class AccountConnectRules : public ConnectRules {
public:
    AccountConnectRules() { ApplyDefaults(); }
    AccountConnectRules(const ConnectRules& src) : AccountConnectRules() { ConnectRules::operator=(src); }
    AccountConnectRules(const AccountConnectRules& src) : AccountConnectRules(static_cast<const ConnectRules&>(src)) {}
    AccountConnectRules& operator=(const ConnectRules& src)
    {
        ConnectRules::operator=(src);
        return *this;
    }
    AccountConnectRules& operator=(const AccountConnectRules& src)
    {
        ConnectRules::operator=(src);
        return *this;
    }

private:
    void ApplyDefaults();
};

// A template's listen rules: one allow-all rule by default.
class DefaultListenRuleList : public ListenRuleList {
public:
    DefaultListenRuleList() { ApplyDefaults(); }
    DefaultListenRuleList(const ListenRuleList& src) : DefaultListenRuleList() { CopyFrom(src); }
    DefaultListenRuleList(const DefaultListenRuleList& src) : DefaultListenRuleList() { CopyFrom(src); }
    DefaultListenRuleList& operator=(const ListenRuleList& src)
    {
        CopyFrom(src);
        return *this;
    }
    DefaultListenRuleList& operator=(const DefaultListenRuleList& src)
    {
        CopyFrom(src);
        return *this;
    }

private:
    void ApplyDefaults();
};
