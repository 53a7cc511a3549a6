#include "ssh/dh_kex_handler.h"
#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/transport_state.h"
#include "ssh/wire.h"
#include "key_fixtures.h"
#include "disconnect_of.h"
#include "stream_helpers.h"

#include <gtest/gtest.h>

namespace {

KexInit Proposal(const std::string& kex, const std::string& hostKeys, const std::string& cipher, const std::string& mac,
                 const std::string& compression)
{
    KexInit k;
    k.SetKexList(kex);
    k.SetHostKeyList(hostKeys);
    k.SetCipherList(cipher, KexInit::BothDirections);
    k.SetMacList(mac, KexInit::BothDirections);
    k.SetCompressionList(compression, KexInit::BothDirections);
    return k;
}

}  // namespace

TEST(VersionInfo, OurLineIsBuiltAndChecked)
{
    const VersionInfo v("Orvidex 3.32", false);
    EXPECT_EQ(v.Line(), "SSH-2.0-1.61 dadidi: Orvidex 3.32");
    EXPECT_EQ(v.ProtocolVersion(), "2.0");
    EXPECT_EQ(v.SoftwareVersion(), "1.61");
    EXPECT_EQ(v.Comments(), "dadidi: Orvidex 3.32");
    EXPECT_EQ(VersionInfo("x", true).Line(), "SSH-2.0-9.99 dadidi: x");
    EXPECT_EQ(VersionInfo("  a  ", false).Comments(), "dadidi: a");
    EXPECT_EQ(VersionInfo(std::string(232, 'n'), false).Line().size(), 253u);

    const struct {
        std::string text;
        const char* error;
    } bad[] = {
        {std::string(233, 'n'), "appNameAndVersion is too large"},
        {"   ", "appNameAndVersion must not be empty"},
        {"", "appNameAndVersion must not be empty"},
        {"a\tb", "appNameAndVersion contains invalid characters"},
        {"a\x7f", "appNameAndVersion contains invalid characters"},
        {"caf\xe9", "appNameAndVersion contains invalid characters"},
    };
    for (const auto& c : bad) EXPECT_EQ(ErrorOf([&] { VersionInfo(c.text, false); }), c.error) << c.text;
}

TEST(VersionInfo, PeerLinesAreParsedAndTheirProtocolChecked)
{
    VersionInfo v;
    ASSERT_TRUE(SSH::ParsePeerVersion("SSH-2.0-OpenSSH_9.2p1 Debian-2 \t\r\n", v));
    EXPECT_EQ(v.ProtocolVersion(), "2.0");
    EXPECT_EQ(v.SoftwareVersion(), "OpenSSH_9.2p1");
    EXPECT_EQ(v.Comments(), "Debian-2");
    EXPECT_EQ(v.Line(), "SSH-2.0-OpenSSH_9.2p1 Debian-2");
    EXPECT_FALSE(SSH::ParsePeerVersion("Welcome to the server\r\n", v));
    EXPECT_EQ(v.Line(), "SSH-2.0-OpenSSH_9.2p1 Debian-2");

    for (const char* line : {"SSH-2.0-x\r\n", "SSH-1.99-x\n", "SSH-3.1-x\n", "SSH-9-x\n", "SSH-2.0\n"})
        EXPECT_TRUE(SSH::ParsePeerVersion(line, v)) << line;
    for (const char* line : {"SSH--x\n", "SSH-1.5-x\n", "SSH-1.990-x\n", "SSH-0.9-x\n", "SSH-x2.0-y\n", "SSH-\n"}) {
        const auto d = DisconnectOf([&] { SSH::ParsePeerVersion(line, v); });
        EXPECT_EQ(d.first, 2u) << line;
        EXPECT_EQ(d.second, "protocol version not supported") << line;
    }
}

TEST(KexInitRecord, EncodesInOrderAndDecodesBack)
{
    KexInit k = Proposal("kex1,kex2", "ssh-dss", "aes128-cbc", "hmac-sha1", "none");
    k.SetCipherList("3des-cbc", KexInit::ServerToClient);
    for (int i = 0; i < 16; ++i) k.cookie[i] = CryptoPP::byte(i);
    const std::string bytes = Written([&](CryptoPP::BufferedTransformation& q) { k.Encode(q); });
    std::string expected = "\x14";
    for (int i = 0; i < 16; ++i) expected += char(i);
    for (const char* s : {"kex1,kex2", "ssh-dss", "aes128-cbc", "3des-cbc", "hmac-sha1", "hmac-sha1", "none", "none", "", ""})
        expected += Written([&](CryptoPP::BufferedTransformation& q) { SSH::EncodeString(q, s); });
    expected += std::string("\0\0\0\0\0", 5);
    EXPECT_EQ(bytes, expected);

    KexInit back;
    auto q = QueueOf(bytes.substr(0, bytes.size() - 5) + std::string("\x01\0\0\0\x07", 5));
    back.Decode(q);
    EXPECT_EQ(back.ciphers[1], "3des-cbc");
    EXPECT_EQ(back.kexAlgorithms, "kex1,kex2");
    EXPECT_TRUE(back.firstKexPacketFollows);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.cookie), 16), expected.substr(1, 16));

    auto shortQ = QueueOf(bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(DisconnectOf([&] { back.Decode(shortQ); }).second, "unexpected end of packet");
    auto wrong = QueueOf("\x15" + bytes.substr(1));
    EXPECT_EQ(DisconnectOf([&] { back.Decode(wrong); }).second, "unexpected message number 21, should be 20");
}

TEST(Negotiation, ClientOrderDecides)
{
    EXPECT_EQ(SSH::ChooseAlgorithm("aes128-cbc,aes256-cbc", "aes256-cbc,aes128-cbc"), "aes128-cbc");
    EXPECT_EQ(SSH::ChooseAlgorithm("a,b", "c"), "");
    EXPECT_EQ(SSH::ChooseAlgorithm("", ""), "");
    EXPECT_EQ(SSH::ChooseAlgorithm("x,,b", "b,,"), "b");
}

TEST(Negotiation, EachFailureNamesWhatCouldNotBeAgreed)
{
    const KexInit good = Proposal("diffie-hellman-group1-sha1", "ssh-dss", "aes128-cbc", "hmac-sha1", "none");
    const struct {
        void (*spoil)(KexInit&);
        const char* text;
    } cases[] = {
        {[](KexInit& k) { k.SetKexList("x"); }, "failed to negotiate key exchange algorithm"},
        {[](KexInit& k) { k.SetHostKeyList("x"); }, "failed to negotiate host key algorithm"},
        {[](KexInit& k) { k.SetCipherList("x", 0); }, "failed to negotiate client to server encryption algorithm"},
        {[](KexInit& k) { k.SetCipherList("x", 1); }, "failed to negotiate server to client encryption algorithm"},
        {[](KexInit& k) { k.SetMacList("x", 0); }, "failed to negotiate client to server MAC algorithm"},
        {[](KexInit& k) { k.SetMacList("x", 1); }, "failed to negotiate server to client MAC algorithm"},
        {[](KexInit& k) { k.SetCompressionList("x", 0); }, "failed to negotiate client to server compression algorithm"},
        {[](KexInit& k) { k.SetCompressionList("x", 1); }, "failed to negotiate server to client compression algorithm"},
        {[](KexInit& k) { k.SetKexList("diffie-hellman-group14-sha1"); },
         "a kex handler for the negotiated key exchange method could not be found"},
        {[](KexInit& k) { k.SetHostKeyList("ssh-rsa"); },
         "a host key for the negotiated host key algorithm could not be found"},
    };
    for (const auto& c : cases) {
        TransportState server(TestRng(), nullptr, 0, 0, -1);
        DhKexHandler handler;
        handler.SetKexAlgorithms("diffie-hellman-group1-sha1");
        server.AddKexHandler(handler);
        server.AddSigner(DsaKey());
        KexInit client = good;
        c.spoil(client);
        KexInit serverInit = good;
        serverInit.SetHostKeyList("ssh-dss,ssh-rsa");
        serverInit.SetKexList("diffie-hellman-group1-sha1,diffie-hellman-group14-sha1");
        server.SetOurKexInit(serverInit);
        server.SetPeerKexInit(client);
        const auto d = DisconnectOf([&] { server.Negotiate(); });
        EXPECT_EQ(d.first, 3u) << c.text;
        EXPECT_EQ(d.second, c.text);
        EXPECT_FALSE(server.PeerKexInitReceived());
        EXPECT_FALSE(server.OurKexInitSent());
    }
}

TEST(Negotiation, HandlersSignersAndTheirLists)
{
    TransportState server(TestRng(), nullptr, 0, 0, -1);
    EXPECT_FALSE(server.IsServer());
    DhKexHandler serverHandler;
    server.AddKexHandler(serverHandler);
    EXPECT_TRUE(server.IsServer());
    EXPECT_EQ(server.HostKeyAlgorithms(), "null");
    EXPECT_EQ(server.KexAlgorithms(),
              "diffie-hellman-group14-sha1,diffie-hellman-group-exchange-sha1,diffie-hellman-group1-sha1");
    server.AddSigner(DsaKey());
    server.AddSigner(RsaKey());
    EXPECT_EQ(server.HostKeyAlgorithms(), "ssh-dss,ssh-rsa");
    EXPECT_EQ(ErrorOf([&] { server.AddSigner(DsaKey()); }),
              "TransportState: a signer for algorithm 'ssh-dss' has already been added");

    TransportState client(TestRng(), nullptr, 0, 0, -1);
    struct Verifier : HostKeyVerifier {
        bool Verify(const std::string&, const std::string&, bool) override { return true; }
    } verifier;
    DhKexHandler a(verifier), b(verifier);
    a.SetKexAlgorithms("diffie-hellman-group1-sha1,diffie-hellman-group14-sha1");
    b.SetKexAlgorithms("diffie-hellman-group-exchange-sha1,diffie-hellman-group1-sha1");
    client.AddKexHandler(a);
    client.AddKexHandler(b);
    EXPECT_TRUE(client.IsClient());
    EXPECT_EQ(client.HostKeyAlgorithms(), "ssh-rsa,ssh-dss");
    EXPECT_EQ(client.KexAlgorithms(),
              "diffie-hellman-group1-sha1,diffie-hellman-group14-sha1,diffie-hellman-group-exchange-sha1");
    const char* refused = "KexHandler::SetKexAlgorithms(): The supplied algorithm list includes algorithms "
                          "unrecognized or unsupported by this key exchange handler.";
    for (const char* list : {"", "ecdh-sha2-nistp256", "diffie-hellman-group1-sha1,,x"})
        EXPECT_EQ(ErrorOf([&] { a.SetKexAlgorithms(list); }), refused) << list;

    EXPECT_EQ(DisconnectOf([&] { client.ExpectServer(); }).second, "received packet meant for server");
    EXPECT_EQ(DisconnectOf([&] { server.ExpectClient(); }).second, "received packet meant for client");
    EXPECT_EQ(DisconnectOf([&] { client.ExpectTransportState(SSH::TransportPeerVersionTaken); }).second,
              "received packet inappropriate for current transport state");
    EXPECT_EQ(DisconnectOf([&] { client.ExpectKexState(SSH::KexVersionSent); }).second,
              "received packet inappropriate for current transport state");
}

TEST(TransportStateSizes, PacketAndIgnoreSizesFollowTheBlockSize)
{
    TransportState s(TestRng(), nullptr, 0, 0, -1);
    EXPECT_EQ(s.OutgoingBlockSize(), 8u);
    EXPECT_EQ(s.PacketSizeFor(7), 16u);
    EXPECT_EQ(s.PacketSizeFor(8), 24u);
    EXPECT_EQ(s.PacketSizeFor(1), 16u);
    EXPECT_EQ(s.IgnorePayloadFor(7), 0u);
    EXPECT_EQ(s.IgnorePayloadFor(8), 0u);
    EXPECT_EQ(s.IgnorePayloadFor(16), 0u);
    EXPECT_EQ(s.IgnorePayloadFor(24), 8u);
    EXPECT_EQ(s.PacketSizeFor(s.IgnorePayloadFor(24) + 5), 24u);  // an ignore message of that size fills it

    CryptoPP::SHA1 hash;
    s.OutgoingCipher().SetAlgorithm("aes128-cbc", hash, CryptoPP::Integer(5), CryptoPP::SecByteBlock(),
                                    CryptoPP::SecByteBlock(), false, false);
    EXPECT_EQ(s.OutgoingBlockSize(), 16u);
    EXPECT_EQ(s.PacketSizeFor(7), 16u);
    EXPECT_EQ(s.PacketSizeFor(8), 32u);
    EXPECT_EQ(s.IgnorePayloadFor(48), 24u);

    // A stream cipher still frames in blocks of 8.
    s.OutgoingCipher().SetAlgorithm("arcfour", hash, CryptoPP::Integer(5), CryptoPP::SecByteBlock(),
                                    CryptoPP::SecByteBlock(), false, false);
    EXPECT_EQ(s.OutgoingBlockSize(), 8u);
}

TEST(TransportStateSizes, SessionIdIsTheFirstExchangeHash)
{
    TransportState s(TestRng(), nullptr, 0, 0, -1);
    const CryptoPP::SecByteBlock first(reinterpret_cast<const CryptoPP::byte*>("first"), 5);
    const CryptoPP::SecByteBlock second(reinterpret_cast<const CryptoPP::byte*>("second"), 6);
    s.SetExchangeHash(first);
    s.SetExchangeHash(second);
    s.SetExchangeHash(second);
    EXPECT_EQ(s.SessionId(), first);
    EXPECT_EQ(s.ExchangeHash(), second);
}
