// Forwarding rules that the server sets up on its own side for an account or template:
// C2S rules listen on a server interface and connect to a target, S2C rules listen and
// admit peers by their accept rules.
#pragma once

#include <cstdint>
#include <string>

#include <cryptopp/cryptlib.h>

#include "settings/server/default_rules.h"

// A narrow text read as UTF-8; null gives the empty text.
std::wstring Utf8TextToWide(const char* text);

// Ordered by listening interface, then listening port.
class SrvSideC2SRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::uint32_t m_nListenIntf;  // the first octet in the most significant byte
    std::uint32_t m_nListenPort;
    NoCrtString m_sTargetHost;    // UTF-7
    std::uint32_t m_nTargetPort;
    NoCrtString m_sProxyProfile;  // UTF-8; the name of a proxy profile

    SrvSideC2SRule();
    SrvSideC2SRule(const SrvSideC2SRule& src) : SrvSideC2SRule() { *this = src; }
    SrvSideC2SRule& operator=(const SrvSideC2SRule& src);
    ~SrvSideC2SRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const SrvSideC2SRule& other) const;
};

class SrvSideS2CRule : public MemberMapEvaluator, public virtual AllocFailState {
public:
    std::uint32_t m_nListenIntf;
    std::uint32_t m_nListenPort;  // 0, outside its range, until it is set
    NoCrtString m_sTargetHost;    // UTF-7
    std::uint32_t m_nTargetPort;
    DefaultAcceptRules m_acceptRules;

    SrvSideS2CRule();
    SrvSideS2CRule(const SrvSideS2CRule& src) : SrvSideS2CRule() { *this = src; }
    SrvSideS2CRule& operator=(const SrvSideS2CRule& src);
    ~SrvSideS2CRule() override {}

    void BuildMemberMap(MemberMap& map) override;
    int Encode(EncodeOutput& out);
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    bool operator<(const SrvSideS2CRule& other) const;
};

// The two server-side forwarding lists of a template or an account.
class SrvSideFwding : public MemberMapEvaluator, public virtual AllocFailState {
public:
    RuleList<SrvSideC2SRule> c2s;
    RuleList<SrvSideS2CRule> s2c;

    SrvSideFwding() {}
    SrvSideFwding(const SrvSideFwding& src) : SrvSideFwding() { *this = src; }
    SrvSideFwding& operator=(const SrvSideFwding& src);
    ~SrvSideFwding() override {}

    void BuildMemberMap(MemberMap& map) override;
    // Each list as one counted blob of the whole-settings encoding; failures throw
    // CfgEncDec::CEncodeDecodeException.
    void Encode(CryptoPP::BufferedTransformation& out);
    void Decode(CryptoPP::BufferedTransformation& in);
};
