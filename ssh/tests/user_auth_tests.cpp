// User authentication requests on the wire, their padding, and the server's publickey checks.
#include "ssh/user_auth.h"

#include "ssh/key_files.h"
#include "ssh/signer.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"
#include "ssh/tests/key_fixtures.h"
#include "ssh/tests/message_recorder.h"
#include "ssh/tests/stream_helpers.h"

#include <gtest/gtest.h>

#include <cryptopp/filters.h>

#include <string>
#include <vector>

using namespace SSH;
using CryptoPP::BufferedTransformation;
using CryptoPP::byte;

namespace {

std::string Str(const std::string& s)
{
    return Written([&](BufferedTransformation& q) { EncodeString(q, s); });
}

std::string Ignore(std::uint32_t zeros)
{
    return "\x02" + Str(std::string(zeros, '\0'));
}

std::string Blob(const Signer& key)
{
    return Written([&](BufferedTransformation& q) { key.EncodePublicKey(q); });
}

CryptoPP::SecByteBlock Session(const std::string& id)
{
    return CryptoPP::SecByteBlock(reinterpret_cast<const byte*>(id.data()), id.size());
}

struct UserAuthTest : ::testing::Test {
    TransportState transport{TestRng(), nullptr, 0, 0, -1};
    MessageRecorder out;

    void NegotiateCompression(const std::string& name)
    {
        KexInit k;
        k.compressions[0] = k.compressions[1] = name;
        transport.SetOurKexInit(k);
        transport.SetPeerKexInit(k);
    }
};

TEST_F(UserAuthTest, NoneRequestIsPaddedToTheSizeOfAThreeHundredByteRequest)
{
    RequestNoneAuth(out, transport, "user");
    ASSERT_EQ(out.messages.size(), 2u);
    const std::string request = "\x32" + Str("user") + Str("ssh-connection") + Str("none");
    EXPECT_EQ(out.messages[0], request);
    EXPECT_EQ(request.size(), 35u);
    // Packets of 48 and 264 bytes take what one packet of 312 takes.
    EXPECT_EQ(out.messages[1], Ignore(243));
    EXPECT_EQ(transport.PacketSizeFor(35) + transport.PacketSizeFor(248), transport.PacketSizeFor(300));
}

TEST_F(UserAuthTest, PasswordRequestsAndTheirPadding)
{
    const std::string password = "secret";
    RequestPasswordAuth(out, transport, "bob", CryptoPP::ConstByteArrayParameter(password), false);
    ASSERT_EQ(out.messages.size(), 2u);
    EXPECT_EQ(out.messages[0],
              "\x32" + Str("bob") + Str("ssh-connection") + Str("password") + std::string(1, '\0') + Str(password));
    EXPECT_EQ(out.messages[1].substr(0, 1), "\x02");

    out.messages.clear();
    const std::string longPassword(300, 'p');
    RequestPasswordAuth(out, transport, "bob", CryptoPP::ConstByteArrayParameter(longPassword), false);
    EXPECT_EQ(out.messages.size(), 1u);  // 300 bytes or more: no padding

    out.messages.clear();
    RequestPasswordChange(out, transport, "bob", CryptoPP::ConstByteArrayParameter(std::string("old")),
                          CryptoPP::ConstByteArrayParameter(std::string("new")), false);
    EXPECT_EQ(out.messages[0],
              "\x32" + Str("bob") + Str("ssh-connection") + Str("password") + "\x01" + Str("old") + Str("new"));
}

TEST_F(UserAuthTest, CompressionPrimerFollowsOnlyWhenSendingIsCompressed)
{
    const std::string password = "pw";
    for (const char* compression : {"zlib", "none"}) {
        for (bool prime : {true, false}) {
            NegotiateCompression(compression);
            out.messages.clear();
            RequestPasswordAuth(out, transport, "u", CryptoPP::ConstByteArrayParameter(password), prime);
            const bool primed = prime && std::string(compression) == "zlib";
            ASSERT_EQ(out.messages.size(), primed ? 4u : 2u) << compression << prime;
            if (primed) {
                EXPECT_EQ(out.messages[2], Ignore(32500));
                EXPECT_EQ(out.messages[3], Ignore(32500));
            }
        }
    }
}

TEST_F(UserAuthTest, ServiceRequestAndBanner)
{
    SendServiceRequest(out);
    SendUserauthBanner(out, "Welcome", "en");
    ASSERT_EQ(out.messages.size(), 2u);
    EXPECT_EQ(out.messages[0], "\x05" + Str("ssh-userauth"));
    EXPECT_EQ(out.messages[1], "\x35" + Str("Welcome") + Str("en"));
}

TEST_F(UserAuthTest, SignedDataLayout)
{
    CryptoPP::SecByteBlock data;
    BuildPublicKeyAuthData(data, Session("sid"), "u", "ssh-dss", "BLOB");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data()), data.size()),
              Str("sid") + "\x32" + Str("u") + Str("ssh-connection") + Str("publickey") + "\x01" + Str("ssh-dss") +
                  Str("BLOB"));
}

TEST_F(UserAuthTest, PublicKeyRequestIsQueriedOrSignedAndTheServerVerifies)
{
    transport.SetExchangeHash(Session("session-identifier-0123456789"));
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        std::string pem;
        CryptoPP::StringSink pemSink(pem);
        const std::string body = Written([&](BufferedTransformation& q) { key->EncodePemBody(q); });
        WritePemPrivateKey(pemSink, key->PemKeyType(), TestRng(), "", 0, QueueOf(body));

        out.messages.clear();
        CryptoPP::StringStore queryFile(pem);
        RequestPublicKeyAuth(out, transport, "alice", queryFile, "", 0, nullptr);
        ASSERT_EQ(out.messages.size(), 1u);
        EXPECT_EQ(out.messages[0], "\x32" + Str("alice") + Str("ssh-connection") + Str("publickey") +
                                       std::string(1, '\0') + Str(key->AlgorithmName()) + Str(Blob(*key)));

        out.messages.clear();
        CryptoPP::StringStore signFile(pem);
        RequestPublicKeyAuth(out, transport, "alice", signFile, "", 0, &TestRng());
        ASSERT_EQ(out.messages.size(), 1u);
        CryptoPP::StringStore msg(out.messages[0]);
        byte number;
        bool signedFlag;
        std::string user, service, method, algorithm, blob, signature;
        DecodeByte(msg, number);
        DecodeString(msg, user);
        DecodeString(msg, service);
        DecodeString(msg, method);
        DecodeBoolean(msg, signedFlag);
        DecodeString(msg, algorithm);
        DecodeString(msg, blob);
        DecodeString(msg, signature);
        EXPECT_TRUE(signedFlag);
        EXPECT_TRUE(CheckPublicKeyAlgorithm(algorithm, blob));
        EXPECT_TRUE(VerifyPublicKeyAuth(transport.SessionId(), "alice", algorithm, blob, signature));
        // Wrong user or session (the signed data differs), wrong key, truncated signature.
        EXPECT_FALSE(VerifyPublicKeyAuth(transport.SessionId(), "mallory", algorithm, blob, signature));
        EXPECT_FALSE(VerifyPublicKeyAuth(Session("other session"), "alice", algorithm, blob, signature));
        const Signer& other = key == &DsaKey() ? RsaKey() : DsaKey();
        EXPECT_FALSE(VerifyPublicKeyAuth(transport.SessionId(), "alice", other.AlgorithmName(), Blob(other), signature));
        for (std::size_t cut : {std::size_t(1), std::size_t(10), signature.size() - 4})
            EXPECT_FALSE(VerifyPublicKeyAuth(transport.SessionId(), "alice", algorithm, blob,
                                             signature.substr(0, signature.size() - cut)));
        EXPECT_FALSE(VerifyPublicKeyAuth(transport.SessionId(), "alice", algorithm, blob.substr(0, blob.size() - 3),
                                         signature));
    }
}

TEST_F(UserAuthTest, DsaSignatureChecksRefuseMismatchesAndRawSignatures)
{
    const CryptoPP::SecByteBlock sid = Session("sid");
    CryptoPP::SecByteBlock data;
    BuildPublicKeyAuthData(data, sid, "u", "ssh-dss", Blob(DsaKey()));
    const std::string signature = DsaKey().Sign(TestRng(), data.data(), data.size());
    ASSERT_TRUE(VerifyPublicKeyAuth(sid, "u", "ssh-dss", Blob(DsaKey()), signature));

    // The same signature bytes labelled "ssh-rsa".
    CryptoPP::StringStore parts(signature);
    std::string name, raw;
    DecodeString(parts, name);
    DecodeString(parts, raw);
    ASSERT_EQ(raw.size(), 40u);
    EXPECT_FALSE(VerifyPublicKeyAuth(sid, "u", "ssh-dss", Blob(DsaKey()), Str("ssh-rsa") + Str(raw)));
    EXPECT_FALSE(VerifyPublicKeyAuth(sid, "u", "ssh-rsa", Blob(DsaKey()), signature));
    EXPECT_FALSE(VerifyPublicKeyAuth(sid, "u", "ssh-dss", Blob(DsaKey()), raw));  // bare r and s
    EXPECT_FALSE(VerifyPublicKeyAuth(sid, "u", "ssh-dss", Blob(DsaKey()), ""));
}

TEST_F(UserAuthTest, PublicKeyAlgorithmCheck)
{
    struct Case { const char* algorithm; std::string blob; bool accepted; } cases[] = {
        {"ssh-dss", Blob(DsaKey()), true},
        {"ssh-rsa", Blob(RsaKey()), true},
        {"ssh-rsa", Blob(DsaKey()), false},
        {"ssh-rsa", "", false},
        {"ssh-ed25519", Str("ssh-ed25519") + Str(std::string(32, 'k')), false},
        {"ssh-dss", std::string("\x00\x00\x01\x00ssh-dss", 11), false},  // length beyond the blob
    };
    for (const Case& c : cases) EXPECT_EQ(CheckPublicKeyAlgorithm(c.algorithm, c.blob), c.accepted) << c.algorithm;
}

}  // namespace
