// The parts that every forwarding and access rule is made of: what a rule selects (an IPv4
// address with its significant bits, a DNS name, a port range) and what it says to do
// (connect, accept). Each is a settings record with a compact binary form (no tags, no
// lengths), a validity check and, for the selecting parts, the order of the rule lists.
#pragma once

#include <cstdint>

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/NoCrtString.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/record_codec.h"

// IPv4 addresses whose leading m_sigBits bits equal m_ip's: the fields and what works on
// them alone. A rule that selects by address may hold them plainly (the language reaches
// them through a FieldsView); IpRule is the record of its own.
class IpRuleFields {
public:
    std::uint32_t m_ip;       // the first octet in the most significant byte
    unsigned char m_sigBits;  // 0 to 32

    IpRuleFields() : m_ip(0), m_sigBits(0) {}

    // The language's members, pointing at these fields.
    void AddMembers(MemberMap& map);
    int Encode(EncodeOutput& out);
    // Masks the address read with its significant bits.
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    // Descending masked addresses: the catch-all 0.0.0.0/0 comes last.
    bool operator<(const IpRuleFields& other) const;

    // 0 for no significant bits; the shift is taken modulo 32, so 33 gives 0x80000000.
    std::uint32_t Mask() const;
    std::uint32_t MaskedAddress() const { return m_ip & Mask(); }
};

class IpRule : public MemberMapEvaluator, public IpRuleFields, public virtual AllocFailState {
public:
    IpRule() {}
    IpRule(const IpRule& src) : IpRule() { *this = src; }
    IpRule& operator=(const IpRule& src);
    ~IpRule() override {}

    void BuildMemberMap(MemberMap& map) override { AddMembers(map); }
};

// A DNS name, "*" (every name) or "*." and a domain (every name in that domain).
class DnsNameRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    NoCrtString m_dnsName;  // UTF-8

    DnsNameRule() {}
    DnsNameRule(const DnsNameRule& src) : DnsNameRule() { *this = src; }
    DnsNameRule& operator=(const DnsNameRule& src);
    ~DnsNameRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    // The name, then a match-domain flag that is always 0.
    int Encode(EncodeOutput& out);
    // An empty name becomes "*"; with the match-domain flag a name gets the "*." prefix.
    int Decode(DecodeContext& in);
    // A valid DNS name whose first label may be "*"; adds no text.
    bool IsValid(ErrorInfo& info);
    // Compared from the last byte backwards, signed bytes, the greater byte first; a name
    // that ends the other comes after it.
    bool operator<(const DnsNameRule& other) const;
};

// TCP ports m_portFrom to m_portTo, inclusive.
class PortRangeRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::uint32_t m_minPort;  // the lowest port either end may take; not stored
    std::uint32_t m_portFrom;
    std::uint32_t m_portTo;

    explicit PortRangeRule(std::uint32_t minPort) : m_minPort(minPort), m_portFrom(minPort), m_portTo(65535) {}
    PortRangeRule(const PortRangeRule& src) : PortRangeRule(src.m_minPort) { *this = src; }
    // Takes the lowest port too.
    PortRangeRule& operator=(const PortRangeRule& src);
    ~PortRangeRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const PortRangeRule& other) const;
};

// What to do with a forwarded connection that a rule selects.
class ConnectInstructions : public MemberMapEvaluator, public virtual AllocFailState {
public:
    bool m_allowConnect;
    NoCrtString m_targetHost;  // UTF-8; replaces the requested host when not empty
    std::uint32_t m_targetPort;  // replaces the requested port when not 0
    NoCrtString m_proxyProfile;  // UTF-8; the name of a proxy profile

    ConnectInstructions() : m_allowConnect(false), m_targetPort(0) {}
    ConnectInstructions(const ConnectInstructions& src) : ConnectInstructions() { *this = src; }
    ConnectInstructions& operator=(const ConnectInstructions& src);
    ~ConnectInstructions() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
};

// Whether an accepted connection that a rule selects is allowed: the field, held plainly
// by the accept rules, and AcceptInstructions, the record of its own.
class AcceptInstructionsFields {
public:
    bool m_allowConnect;

    AcceptInstructionsFields() : m_allowConnect(false) {}

    void AddMembers(MemberMap& map);
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo&) { return true; }
};

class AcceptInstructions : public MemberMapEvaluator, public AcceptInstructionsFields, public virtual AllocFailState {
public:
    AcceptInstructions() {}
    AcceptInstructions(const AcceptInstructions& src) : AcceptInstructions() { *this = src; }
    AcceptInstructions& operator=(const AcceptInstructions& src);
    ~AcceptInstructions() override {}

    void BuildMemberMap(MemberMap& map) override { AddMembers(map); }
};
