// The connect, accept and listen rules and the lists that hold them. A rule is a selecting
// part (an IP rule or a DNS-name rule, with a port range for connect and listen rules) and
// its instructions; the lists keep their rules in the order of the selecting parts and
// refuse a rule equal in order to one they hold.
#pragma once

#include "RoVodEre/NoCrtVector.h"
#include "settings/framework/rule_list.h"
#include "settings/server/address_rules.h"

// A forwarded connection selected by the target's IPv4 address and port.
class IpConnectRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    IpRule ipRule;
    PortRangeRule portRangeRule;  // lowest port 1
    ConnectInstructions instr;

    IpConnectRule() : portRangeRule(1) {}
    IpConnectRule(const IpConnectRule& src) : IpConnectRule() { *this = src; }
    IpConnectRule& operator=(const IpConnectRule& src);
    ~IpConnectRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    // By IP rule, then port range.
    bool operator<(const IpConnectRule& other) const;
};

// A forwarded connection selected by the target's DNS name and port.
class DnsNameConnectRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    DnsNameRule dnsNameRule;
    PortRangeRule portRangeRule;  // lowest port 1
    ConnectInstructions instr;

    DnsNameConnectRule() : portRangeRule(1) {}
    DnsNameConnectRule(const DnsNameConnectRule& src) : DnsNameConnectRule() { *this = src; }
    DnsNameConnectRule& operator=(const DnsNameConnectRule& src);
    ~DnsNameConnectRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    // By DNS name, then (for equal names) port range.
    bool operator<(const DnsNameConnectRule& other) const;
};

// An incoming connection selected by the origin's IPv4 address. The access settings hold
// these by the hundred thousand, so the parts are plain fields: the language reaches them
// as the nested records "ipRule" and "instr" all the same.
class IpAcceptRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    // The byte first: it fills the gap behind the record's own bytes, which keeps a rule
    // 8 bytes shorter.
    AcceptInstructionsFields instr;
    IpRuleFields ipRule;

    IpAcceptRule() {}
    IpAcceptRule(const IpAcceptRule& src) : IpAcceptRule() { *this = src; }
    IpAcceptRule& operator=(const IpAcceptRule& src);
    ~IpAcceptRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const IpAcceptRule& other) const { return ipRule < other.ipRule; }
};

// An incoming connection selected by the DNS name of the origin.
class DnsNameAcceptRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    DnsNameRule dnsNameRule;
    AcceptInstructions instr;

    DnsNameAcceptRule() {}
    DnsNameAcceptRule(const DnsNameAcceptRule& src) : DnsNameAcceptRule() { *this = src; }
    DnsNameAcceptRule& operator=(const DnsNameAcceptRule& src);
    ~DnsNameAcceptRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const DnsNameAcceptRule& other) const { return dnsNameRule < other.dnsNameRule; }
};

// The IP and DNS-name connect rules of an account or template.
class ConnectRules : public MemberMapEvaluator, public virtual AllocFailState {
public:
    RuleList<IpConnectRule> ipRules;
    RuleList<DnsNameConnectRule> dnsNameRules;
    // Further lists of the same rules: neither members nor stored, and nothing adds to
    // them; they are copied and freed with the record.
    NoCrtVector<RuleList<IpConnectRule>> m_ipRuleLists;
    NoCrtVector<RuleList<DnsNameConnectRule>> m_dnsNameRuleLists;

    ConnectRules() {}
    ConnectRules(const ConnectRules& src) : ConnectRules() { *this = src; }
    // Entries are cloned by this record's own list factories.
    ConnectRules& operator=(const ConnectRules& src);
    ~ConnectRules() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
};

// The IP and DNS-name accept rules of the access settings, a listen rule or an S2C rule.
class AcceptRules : public MemberMapEvaluator, public virtual AllocFailState {
public:
    RuleList<IpAcceptRule> ipRules;
    RuleList<DnsNameAcceptRule> dnsNameRules;
    NoCrtVector<RuleList<IpAcceptRule>> m_ipRuleLists;
    NoCrtVector<RuleList<DnsNameAcceptRule>> m_dnsNameRuleLists;

    AcceptRules() {}
    AcceptRules(const AcceptRules& src) : AcceptRules() { *this = src; }
    AcceptRules& operator=(const AcceptRules& src);
    // The assignment, with the entries of the two lists taken from src (TakeEntries).
    void TakeFrom(AcceptRules& src);
    ~AcceptRules() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
};

// Whether a listening request that a rule selects is allowed, and the accept rules of the
// connections that then arrive.
class ListenInstructions : public MemberMapEvaluator, public virtual AllocFailState {
public:
    bool m_allowListen;
    AcceptRules m_acceptRules;

    ListenInstructions() : m_allowListen(false) {}
    ListenInstructions(const ListenInstructions& src) : ListenInstructions() { *this = src; }
    ListenInstructions& operator=(const ListenInstructions& src);
    ~ListenInstructions() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info) { return m_acceptRules.IsValid(info); }
};

// A listening request selected by its interface and port.
class ListenRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    IpRule ipRule;
    PortRangeRule portRangeRule;  // lowest port 0
    ListenInstructions instr;

    ListenRule() : portRangeRule(0) {}
    ListenRule(const ListenRule& src) : ListenRule() { *this = src; }
    ListenRule& operator=(const ListenRule& src);
    ~ListenRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const ListenRule& other) const;
};

class ListenRuleList : public RuleList<ListenRule> {
public:
    // Further listen rule lists: not stored, and nothing adds to them.
    NoCrtVector<RuleList<ListenRule>> m_ruleLists;

    ListenRuleList() {}
    ListenRuleList(const ListenRuleList& src) : ListenRuleList() { CopyFrom(src); }
    ListenRuleList& operator=(const ListenRuleList& src) { return CopyFrom(src); }
    ~ListenRuleList() override {}

    // Entries are cloned by this list's factory; af_ keeps the first failure.
    ListenRuleList& CopyFrom(const ListenRuleList& src);
};
