// Diffie-Hellman key exchange (RFC 4253 section 8, RFC 4419) over SHA-1, in the client and
// the server role: the two fixed groups and group exchange, named as DhKexMethodNames says.
#pragma once

#include "ssh/kex_method_names.h"
#include "ssh/transport_state.h"

#include <cryptopp/dh.h>
#include <cryptopp/integer.h>
#include <cryptopp/secblock.h>
#include <cryptopp/sha.h>

#include <cstdint>
#include <memory>
#include <string>

struct DhGroup {
    CryptoPP::Integer p;
    CryptoPP::Integer g;

    DhGroup() = default;
    DhGroup(const CryptoPP::Integer& p_, const CryptoPP::Integer& g_) : p(p_), g(g_) {}
};

// The application's decision on the server's host key (client side).
class HostKeyVerifier {
public:
    virtual ~HostKeyVerifier() = default;
    virtual bool Verify(const std::string& hostKeyBlob, const std::string& algorithm, bool reexchange) = 0;
};

// Group exchange: of the groups within the client's min..max, the largest not above its
// preferred size n, else the smallest; null when none lies within the range (the 1024-bit
// group for n up to 1024 and the 2048-bit group above, as long as the range allows).
const DhGroup* ChooseGexGroup(std::uint32_t min, std::uint32_t n, std::uint32_t max);

class DhKexHandler : public KexHandler, public DhKexMethodNames {
public:
    // The Second Oakley Group (RFC 2409) and MODP group 14 (RFC 3526), generator 2.
    static const DhGroup& Group1Params();
    static const DhGroup& Group14Params();

    // The server form.
    DhKexHandler();
    // The client form; it asks the verifier about every host key the server shows and
    // requests groups of min, n and max bits in a group exchange.
    explicit DhKexHandler(HostKeyVerifier& verifier, std::uint32_t gexMin = 1024, std::uint32_t gexN = 2048,
                          std::uint32_t gexMax = 8192);
    ~DhKexHandler() override;

    std::string SupportedAlgorithms() const override;
    int GetRole() const override { return verifier_ ? ClientRole : ServerRole; }
    bool WorksWithoutHostKey() const override { return false; }
    // Client: SSH_MSG_KEXDH_INIT, or the group request of a group exchange. Server: installs
    // the fixed group (or awaits the request) and sends nothing.
    void Start(CryptoPP::BufferedTransformation& out) override;
    bool ProcessMessage(CryptoPP::BufferedTransformation& message, CryptoPP::BufferedTransformation& out) override;
    CryptoPP::HashTransformation& Hash() override { return hash_; }

    // True with a fixed group installed; false for group exchange (the group is to come).
    bool SelectGroup();
    void SetGroup(const DhGroup& group);

private:
    void SendInit(CryptoPP::BufferedTransformation& out);
    bool ClientProcessMessage(CryptoPP::BufferedTransformation& message, CryptoPP::BufferedTransformation& out);
    bool ServerProcessMessage(CryptoPP::BufferedTransformation& message, CryptoPP::BufferedTransformation& out);
    CryptoPP::Integer Agree(const CryptoPP::Integer& otherPublic);
    void ComputeExchangeHash();

    bool oldRequest_ = false;
    DhGroup group_;
    std::unique_ptr<CryptoPP::DH> domain_;
    CryptoPP::SecByteBlock privateValue_;
    CryptoPP::Integer e_;
    CryptoPP::Integer f_;
    bool groupExchange_ = false;
    std::uint32_t min_ = 1024, n_ = 2048, max_ = 8192;
    HostKeyVerifier* verifier_ = nullptr;
    CryptoPP::SHA1 hash_;
};
