// Proxy profiles: named proxy settings that forwarding rules refer to by name, with the
// proxy password held encrypted.
#pragma once

#include <cstdint>

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/NoCrtString.h"
#include "foundation/crypt_block.h"
#include "settings/framework/enum_info.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/record_codec.h"
#include "settings/framework/rule_list.h"

// The proxy types of the settings. The connecting socket numbers its protocols its own way.
enum ProxyType : unsigned char {
    ProxyTypeNone = 0,
    ProxyTypeSocks4 = 1,
    ProxyTypeSocks5 = 2,
    ProxyTypeHttp = 3,
};

// "ProxyType": None, SOCKS4, SOCKS5, HTTP.
class ProxyTypeEnumInfo : public EnumInfo, public Singleton<ProxyTypeEnumInfo>, public ObjectBase {
public:
    ProxyTypeEnumInfo();
    static const ProxyTypeEnumInfo& Instance();
};

// The keys of stored proxy passwords.
class ProxyPasswordCryptBlock : public CryptBlock {
public:
    ProxyPasswordCryptBlock() {}
    ProxyPasswordCryptBlock(const ProxyPasswordCryptBlock& src) : AllocFailState(), CryptBlock(src) {}
    ProxyPasswordCryptBlock& operator=(const ProxyPasswordCryptBlock& src)
    {
        CryptBlock::operator=(src);
        return *this;
    }
    const unsigned char* GetCipherKey() const override;
    const unsigned char* GetMacKey() const override;
};

class ProxyProfile : public MemberMapEvaluator, public virtual AllocFailState {
public:
    NoCrtString m_profileName;  // UTF-8
    unsigned char m_proxyType;  // a ProxyType
    NoCrtString m_proxyHost;    // UTF-8
    std::uint32_t m_proxyPort;
    bool m_resolveLocally;
    NoCrtString m_proxyUsername;  // UTF-8
    ProxyPasswordCryptBlock m_proxyPassword;

    // The plain values, with an empty password block (no stored form yet).
    ProxyProfile();
    ProxyProfile(const ProxyProfile& src);
    ProxyProfile& operator=(const ProxyProfile& src);
    ~ProxyProfile() override {}

    void BuildMemberMap(MemberMap& map) override;
    // Gives an empty password block the encryption of the empty text.
    void OnMembersChanged() override;

    int Encode(EncodeOutput& out);
    // An empty stored password becomes the encryption of the empty text.
    int Decode(DecodeContext& in);
    bool IsValid(ErrorInfo& info);
    // By name, byte for byte.
    bool operator<(const ProxyProfile& other) const;
};

// The name of the profile that the settings hold by default and that connect rules name.
const char* DefaultProxyProfileName();

// A profile whose name defaults to "Default"; the entries of the settings' profile list.
class DefaultProxyProfile : public ProxyProfile {
public:
    DefaultProxyProfile();
    DefaultProxyProfile(const ProxyProfile& src);
    DefaultProxyProfile(const DefaultProxyProfile& src) : DefaultProxyProfile(static_cast<const ProxyProfile&>(src)) {}
    DefaultProxyProfile& operator=(const DefaultProxyProfile& src)
    {
        ProxyProfile::operator=(src);
        return *this;
    }

    // The list's element factory: a copy of source, or a fresh default profile; null when
    // memory runs out.
    static ProxyProfile* Create(const ProxyProfile* source);

private:
    void ApplyDefaults();
};

class IpConnectRule;
class DnsNameConnectRule;
class SrvSideC2SRule;
class ProxyProfileList;

// The first profile in list order with exactly this name, or null.
const ProxyProfile* FindProxyProfileByName(const ProxyProfileList& list, const NoCrtString& name);
ProxyProfile* FindProxyProfileByName(ProxyProfileList& list, const NoCrtString& name);
// Removes the first profile with exactly this name; the others keep their order and ids.
void EraseProxyProfileByName(ProxyProfileList& list, const NoCrtString& name);

class ProxyProfileList : public RuleList<ProxyProfile> {
public:
    ProxyProfileList() {}
    ProxyProfileList(const ProxyProfileList& src) : RuleList<ProxyProfile>(src) {}
    ProxyProfileList& operator=(const ProxyProfileList& src)
    {
        RuleList<ProxyProfile>::operator=(src);
        return *this;
    }

    // Whether a rule of the list names a profile that this list does not hold (names
    // compared byte for byte; the empty name is looked up like any other).
    bool HasUndefinedReference(const RuleList<IpConnectRule>& rules) const;
    bool HasUndefinedReference(const RuleList<DnsNameConnectRule>& rules) const;
    bool HasUndefinedReference(const RuleList<SrvSideC2SRule>& rules) const;

private:
    // Whether nameOf of a rule is a name that no profile of this list has.
    template <class Rule, class NameOf>
    bool NamesUndefinedProfile(const RuleList<Rule>& rules, NameOf nameOf) const
    {
        for (std::uint32_t i = 0; i < rules.size(); ++i) {
            if (!FindProxyProfileByName(*this, nameOf(*rules.at(i))))
                return true;
        }
        return false;
    }
};

// The settings' profile list: it makes DefaultProxyProfile entries and by default holds
// the one "Default" profile.
class DefaultProxyProfileList : public ProxyProfileList {
public:
    DefaultProxyProfileList();
    DefaultProxyProfileList(const ProxyProfileList& src) : DefaultProxyProfileList() { *this = src; }
    DefaultProxyProfileList(const DefaultProxyProfileList& src) : DefaultProxyProfileList() { *this = src; }
    // The entries are cloned by this list's factory; factory and flag stay.
    DefaultProxyProfileList& operator=(const ProxyProfileList& src)
    {
        ProxyProfileList::operator=(src);
        return *this;
    }
    DefaultProxyProfileList& operator=(const DefaultProxyProfileList& src)
    {
        ProxyProfileList::operator=(src);
        return *this;
    }

private:
    void ApplyDefaults();
};
