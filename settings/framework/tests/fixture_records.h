// Small records laid out like the server's forwarding rules, for the list and codec tests.
#pragma once

#include <string>
#include <vector>

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/NoCrtString.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/record_codec.h"

// Ordered by listen interface, then listen port.
struct ForwardRule : MemberMapEvaluator {
    std::uint32_t m_nListenIntf;
    std::uint32_t m_nListenPort;
    NoCrtString m_sTargetHost;
    std::uint32_t m_nTargetPort;
    NoCrtString m_sProxyProfile;

    ForwardRule() { SetDefaults(0); }
    ForwardRule(const ForwardRule& o)
        : MemberMapEvaluator(o), m_nListenIntf(o.m_nListenIntf), m_nListenPort(o.m_nListenPort),
          m_sTargetHost(o.m_sTargetHost), m_nTargetPort(o.m_nTargetPort), m_sProxyProfile(o.m_sProxyProfile)
    {
    }
    ForwardRule(std::uint32_t intf, std::uint32_t port, const char* host = "target") : ForwardRule()
    {
        m_nListenIntf = intf;
        m_nListenPort = port;
        m_sTargetHost.assign(host);
    }
    ForwardRule& operator=(const ForwardRule&) = delete;

    void BuildMemberMap(MemberMap& map) override
    {
        map.Add(MemberInfo(L"listenInterface", &m_nListenIntf, 0u));
        map.Add(MemberInfo(L"listenPort", &m_nListenPort, 0u, 0u, 65535u));
        map.Add(MemberInfo(L"targetHost", &m_sTargetHost, NoCrtString(""), 65001));
        map.Add(MemberInfo(L"targetPort", &m_nTargetPort, 0u, 0u, 65535u));
        map.Add(MemberInfo(L"proxyProfile", &m_sProxyProfile, NoCrtString(""), 65001));
    }

    bool operator<(const ForwardRule& o) const
    {
        if (m_nListenIntf != o.m_nListenIntf)
            return m_nListenIntf < o.m_nListenIntf;
        return m_nListenPort < o.m_nListenPort;
    }

    int Encode(EncodeOutput& out)
    {
        int total = 0, n;
        if (!(n = EncodeWord32(out, m_nListenIntf)))
            return CalledFrom(out, "ForwardRule::Encode() at m_nListenIntf");
        total += n;
        if (!(n = EncodeWord32(out, m_nListenPort)))
            return CalledFrom(out, "ForwardRule::Encode() at m_nListenPort");
        total += n;
        if (!(n = EncodeString(out, m_sTargetHost)))
            return CalledFrom(out, "ForwardRule::Encode() at m_sTargetHost");
        total += n;
        if (!(n = EncodeWord32(out, m_nTargetPort)))
            return CalledFrom(out, "ForwardRule::Encode() at m_nTargetPort");
        total += n;
        if (!(n = EncodeString(out, m_sProxyProfile)))
            return CalledFrom(out, "ForwardRule::Encode() at m_sProxyProfile");
        return total + n;
    }

    int Decode(DecodeContext& in)
    {
        int total = 0, n;
        if (!(n = DecodeWord32(in, m_nListenIntf)))
            return CalledFrom(in, "ForwardRule::Decode() at m_nListenIntf");
        total += n;
        if (!(n = DecodeWord32(in, m_nListenPort)))
            return CalledFrom(in, "ForwardRule::Decode() at m_nListenPort");
        total += n;
        if (!(n = DecodeString(in, m_sTargetHost)))
            return CalledFrom(in, "ForwardRule::Decode() at m_sTargetHost");
        total += n;
        if (!(n = DecodeWord32(in, m_nTargetPort)))
            return CalledFrom(in, "ForwardRule::Decode() at m_nTargetPort");
        total += n;
        if (!(n = DecodeString(in, m_sProxyProfile)))
            return CalledFrom(in, "ForwardRule::Decode() at m_sProxyProfile");
        return total + n;
    }

    bool IsValid(ErrorInfo& info)
    {
        if (m_nListenPort == 0 || m_nListenPort > 65535) {
            info.AddError("ForwardRule::IsValid(): invalid listen port value");
            return false;
        }
        if (m_sTargetHost.empty()) {
            info.AddError("ForwardRule::IsValid(): empty target host value");
            return false;
        }
        return true;
    }

};

// The product-default variant that a list's factory makes.
struct DefaultForwardRule : ForwardRule {
    DefaultForwardRule()
    {
        DeclareProductDefaults();
        SetDefaults(1);
    }
    // A copy keeps the values and knows the product defaults for its default test.
    DefaultForwardRule(const ForwardRule& o) : ForwardRule(o) { DeclareProductDefaults(); }

    void DeclareProductDefaults()
    {
        AccessMemberInfo(L"targetHost").SetDefault(NoCrtString("localhost"));
        AccessMemberInfo(L"targetPort").SetDefault(22u);
    }

    static ForwardRule* Make(const ForwardRule* source)
    {
        return source ? new DefaultForwardRule(*source) : new DefaultForwardRule();
    }
};

// A list class that installs product defaults in its constructor: the factory of
// DefaultForwardRule records and one kept default entry.
template <class List>
struct ProductDefaultList : List {
    ProductDefaultList()
    {
        this->SetFactory(&DefaultForwardRule::Make);
        this->SetKeepDefaultEntry(true);
        this->SetDefaults(1);
    }
    ProductDefaultList& operator=(const List& src)
    {
        List::operator=(src);
        return *this;
    }
};

template <class List>
std::vector<std::uint32_t> Ids(const List& list)
{
    std::vector<std::uint32_t> ids;
    for (std::uint32_t i = 0; i < list.size(); ++i)
        ids.push_back(list.IdAt(i));
    return ids;
}

inline std::vector<std::string> Texts(const ErrorInfo::TextList& list)
{
    std::vector<std::string> texts;
    for (ErrorInfo::TextList::const_iterator it = list.begin(); it != list.end(); ++it)
        texts.push_back(it->c_str());
    return texts;
}
