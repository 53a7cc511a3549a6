#include "ssh/dh_kex_handler.h"
#include "ssh/message_numbers.h"
#include "transport_peer.h"
#include "stream_helpers.h"

#include <cryptopp/mqueue.h>

#include <cryptopp/nbtheory.h>
#include <cryptopp/sha.h>

#include <gtest/gtest.h>

using CryptoPP::byte;
using CryptoPP::Integer;

namespace {

const char* const Ciphers[] = {"none", "aes256-cbc", "aes128-cbc", "blowfish-cbc", "3des-cbc",
                               "twofish-cbc", "twofish256-cbc", "twofish128-cbc", "arcfour", "cast128-cbc"};
const char* const Macs[] = {"none", "hmac-sha1", "hmac-sha1-96", "hmac-md5", "hmac-md5-96"};

// floor(atan(1/x) * 2^bits), by its series.
Integer ArctanInverse(unsigned x, unsigned bits)
{
    const Integer x2 = Integer(x) * x;
    Integer power = Integer::Power2(bits) / x;  // 2^bits / x^(2k+1)
    Integer sum;
    for (unsigned k = 0; !power.IsZero(); ++k) {
        const Integer term = power / (2 * k + 1);
        if (k % 2) sum -= term; else sum += term;
        power /= x2;
    }
    return sum;
}

// floor(2^bits * pi), by Machin's formula with guard bits.
Integer PiTimesPower2(unsigned bits)
{
    const unsigned guard = 64;
    const Integer pi = 16 * ArctanInverse(5, bits + guard) - 4 * ArctanInverse(239, bits + guard);
    return pi >> guard;
}

// The payload each direction carries after the handshake.
std::vector<std::string> Payloads()
{
    std::vector<std::string> p = {"\x05", std::string("\x5e\0\0\0\x01", 5) + std::string(1000, 'd'), std::string(35000, 'z')};
    std::string random(4000, '\0');
    TestRng().GenerateBlock(reinterpret_cast<byte*>(&random[0]), random.size());
    p.push_back("\x5e" + random);
    return p;
}

// After the handshake each side's application messages reach the other unchanged.
void ExpectTraffic(Connection& c)
{
    c.client.received.clear();
    c.server.received.clear();
    const auto payloads = Payloads();
    for (const auto& p : payloads) {
        c.client.Send(p);
        c.server.Send(p);
    }
    c.Run();
    EXPECT_EQ(c.client.received, payloads);
    EXPECT_EQ(c.server.received, payloads);
}

void ExpectHandshakeDone(Connection& c)
{
    EXPECT_EQ(c.client.state.TransportStateNumber(), SSH::TransportClientAwaitsService);
    EXPECT_EQ(c.server.state.TransportStateNumber(), SSH::TransportServerAwaitsService);
    EXPECT_EQ(c.client.state.KexStateNumber(), SSH::KexNewKeysSent);
    EXPECT_EQ(c.server.state.KexStateNumber(), SSH::KexNewKeysSent);
    EXPECT_EQ(c.client.state.ExchangeHash(), c.server.state.ExchangeHash());
    EXPECT_EQ(c.client.state.SharedSecret(), c.server.state.SharedSecret());
    EXPECT_EQ(c.client.state.SessionId().size(), 20u);
}

// The CauseToDisconnect that running the connection throws.
std::pair<std::uint32_t, std::string> DisconnectOf(Connection& c)
{
    try {
        c.Run();
    } catch (const SSH::CauseToDisconnect& e) {
        return {e.reason(), e.description()};
    }
    return {0, "(nothing thrown)"};
}


std::string Drain(CryptoPP::BufferedTransformation& from)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    from.TransferAllTo(sink);
    return bytes;
}

// Unencrypted packets as written before any key exchange, their payloads.
std::vector<std::string> DecodePackets(const std::string& bytes)
{
    TransportState state(TestRng(), nullptr, 0, 0, -1);
    state.SetTransportStateNumber(SSH::TransportPeerVersionTaken);
    CryptoPP::MessageQueue messages;
    PacketDecoder decoder(state, new CryptoPP::Redirector(messages));
    decoder.Put(reinterpret_cast<const byte*>(bytes.data()), bytes.size());
    std::vector<std::string> all;
    while (messages.NumberOfMessages()) {
        std::string m;
        CryptoPP::StringSink sink(m);
        messages.TransferMessagesTo(sink, 1);
        all.push_back(m);
    }
    return all;
}

std::string Unencrypted(TransportState& sender, const std::string& payload)
{
    PacketEncoder raw(sender, new CryptoPP::ByteQueue);
    SSH::PutText(raw, payload);
    raw.MessageEnd();
    return Drain(*raw.AttachedTransformation());
}


void Deliver(Endpoint& to, const std::string& bytes)
{
    to.decoder.Put(reinterpret_cast<const byte*>(bytes.data()), bytes.size());
}

// The reason and description of the CauseToDisconnect that delivering the bytes throws.
std::pair<std::uint32_t, std::string> RefusalOf(Endpoint& to, const std::string& bytes)
{
    try {
        Deliver(to, bytes);
    } catch (const SSH::CauseToDisconnect& e) {
        return {e.reason(), e.description()};
    }
    return {0, "(nothing thrown)"};
}

}  // namespace

TEST(DhGroups, AreThePublishedOakleyAndModpPrimes)
{
    // RFC 2409 6.2: 2^1024 - 2^960 - 1 + 2^64 * (floor(2^894 pi) + 129093);
    // RFC 3526 3: 2^2048 - 2^1984 - 1 + 2^64 * (floor(2^1918 pi) + 124476).
    const Integer group1 = Integer::Power2(1024) - Integer::Power2(960) - 1 +
                           Integer::Power2(64) * (PiTimesPower2(894) + 129093);
    const Integer group14 = Integer::Power2(2048) - Integer::Power2(1984) - 1 +
                            Integer::Power2(64) * (PiTimesPower2(1918) + 124476);
    EXPECT_EQ(DhKexHandler::Group1Params().p, group1);
    EXPECT_EQ(DhKexHandler::Group14Params().p, group14);
    for (const DhGroup* g : {&DhKexHandler::Group1Params(), &DhKexHandler::Group14Params()}) {
        EXPECT_EQ(g->g, Integer(2));
        EXPECT_TRUE(CryptoPP::IsPrime(g->p));
        EXPECT_TRUE(CryptoPP::IsPrime((g->p - 1) / 2));
    }
    EXPECT_EQ(DhKexHandler::Group1Params().p.BitCount(), 1024u);
    EXPECT_EQ(DhKexHandler::Group14Params().p.BitCount(), 2048u);
}

// Every cipher and MAC in each direction, with and without compression, after a group 1
// exchange; each direction uses a different algorithm so that the direction keys are tested.
TEST(Handshake, EveryCipherMacAndCompression)
{
    for (int i = 0; i < 10; ++i) {
        for (int j = 0; j < 5; ++j) {
            for (int z = 0; z < 2; ++z) {
                Proposal p;
                p.ciphers[0] = Ciphers[i];
                p.ciphers[1] = Ciphers[(i + 3) % 10];
                p.macs[0] = Macs[j];
                p.macs[1] = Macs[(j + 2) % 5];
                p.compressions[0] = z ? "zlib" : "none";
                p.compressions[1] = z ? "none" : "zlib";
                SCOPED_TRACE(p.ciphers[0] + " " + p.ciphers[1] + " " + p.macs[0] + " " + p.macs[1] + " " + p.compressions[0]);
                Connection c(p, p);
                c.Run();
                ExpectHandshakeDone(c);
                ExpectTraffic(c);
                if (HasFailure()) return;
            }
        }
    }
}

TEST(Handshake, EveryKeyExchangeWithEveryHostKey)
{
    for (const char* kex : {"diffie-hellman-group1-sha1", "diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1"}) {
        for (const Signer* key : {&DsaKey(), &RsaKey()}) {
            SCOPED_TRACE(std::string(kex) + " " + key->AlgorithmName());
            Proposal p;
            p.kex = kex;
            p.ciphers[0] = p.ciphers[1] = "aes128-cbc";
            p.macs[0] = p.macs[1] = "hmac-sha1";
            Connection c(p, p, {&DsaKey(), &RsaKey()}, key->AlgorithmName());
            c.Run();
            ExpectHandshakeDone(c);
            ASSERT_EQ(c.verifier.algorithms, std::vector<std::string>{key->AlgorithmName()});
            EXPECT_EQ(c.verifier.blobs[0], Written([&](CryptoPP::BufferedTransformation& q) { key->EncodePublicKey(q); }));
            ExpectTraffic(c);
        }
    }
}

TEST(Handshake, ReexchangeKeepsTheSessionAndChangesKeys)
{
    for (const char* kex : {"diffie-hellman-group1-sha1", "diffie-hellman-group-exchange-sha1"}) {
        Proposal p;
        p.kex = kex;
        p.ciphers[0] = p.ciphers[1] = "3des-cbc";
        p.macs[0] = p.macs[1] = "hmac-md5";
        p.compressions[0] = p.compressions[1] = "zlib";
        Connection c(p, p);
        c.Run();
        const CryptoPP::SecByteBlock session = c.client.state.SessionId();
        const CryptoPP::SecByteBlock firstHash = c.client.state.ExchangeHash();
        ExpectTraffic(c);
        for (int round = 0; round < 2; ++round) {
            Endpoint& starter = round == 0 ? c.client : c.server;
            starter.SendKexInit(false);
            c.Run();
            EXPECT_EQ(c.client.state.KexCount(), 2u + round);
            EXPECT_EQ(starter.state.KexReason(), 1);
            EXPECT_EQ((round == 0 ? c.server : c.client).state.KexReason(), 2);
            EXPECT_EQ(c.client.state.SessionId(), session);
            EXPECT_EQ(c.server.state.SessionId(), session);
            EXPECT_NE(c.client.state.ExchangeHash(), firstHash);
            EXPECT_EQ(c.client.state.ExchangeHash(), c.server.state.ExchangeHash());
            ExpectTraffic(c);
        }
        EXPECT_EQ(c.verifier.reexchanges, (std::vector<bool>{false, true, true}));
    }
}

TEST(KeyExchangeFailures, HostKeyChecks)
{
    Proposal p;
    {
        // The server has no host key: only "null" could be agreed.
        Connection c(p, p, {}, "ssh-rsa,null");
        EXPECT_EQ(DisconnectOf(c), std::make_pair(3u, std::string("this key exchange method not possible without a host key")));
    }
    {
        Connection c(p, p);
        c.verifier.accept = false;
        EXPECT_EQ(DisconnectOf(c), std::make_pair(9u, std::string("host key verification failed")));
        EXPECT_EQ(c.verifier.reexchanges, std::vector<bool>{false});
    }
}

TEST(KeyExchangeFailures, ForgedRepliesAreRefused)
{
    // A reply built by hand from a server transport whose signer is swapped after negotiation.
    Proposal p;
    struct Case {
        const char* what;
        std::pair<std::uint32_t, std::string> expected;
    };
    for (const Case& k : {Case{"wrong algorithm", {2, "invalid host key algorithm"}},
                          Case{"bad signature", {9, "signature check failed"}},
                          Case{"f is 1", {3, "invalid DH value"}},
                          Case{"f is p-1", {3, "invalid DH value"}}}) {
        SCOPED_TRACE(k.what);
        Connection c(p, p, {&DsaKey()});
        // Let the server's line and KEXINIT through; the client answers with its init.
        Drain(c.client.Wire());
        Deliver(c.client, Drain(c.server.Wire()));
        ASSERT_FALSE(Drain(c.client.Wire()).empty());

        const Signer& shown = std::string(k.what) == "wrong algorithm" ? RsaKey() : DsaKey();
        const std::string blob = Written([&](CryptoPP::BufferedTransformation& q) { shown.EncodePublicKey(q); });
        const Integer& prime = DhKexHandler::Group1Params().p;
        const Integer f = std::string(k.what) == "f is 1" ? Integer::One()
                          : std::string(k.what) == "f is p-1" ? prime - 1
                                                              : Integer(TestRng(), 2, prime - 2);
        const std::string signature = DsaKey().Sign(TestRng(), "not H", 5);
        std::string reply = Written([&](CryptoPP::BufferedTransformation& q) {
            SSH::EncodeByte(q, SSH::SSH_MSG_KEXDH_REPLY);
            SSH::EncodeStringBytes(q, blob.data(), blob.size());
            SSH::EncodeMpint(q, f);
            SSH::EncodeStringBytes(q, signature.data(), signature.size());
        });
        EXPECT_EQ(RefusalOf(c.client, Unencrypted(c.server.state, reply)), k.expected);
        // The verifier is asked only about a key of the agreed algorithm.
        EXPECT_EQ(c.verifier.algorithms.size(), std::string(k.what) == "wrong algorithm" ? 0u : 1u);
    }
}

TEST(KeyExchangeFailures, ServerRefusesBadInitValues)
{
    for (bool pMinusOne : {false, true}) {
        Proposal p;
        Connection c(p, p);
        // Deliver the client's line and KEXINIT only; then a forged init.
        Deliver(c.server, Drain(c.client.Wire()));
        const Integer e = pMinusOne ? DhKexHandler::Group1Params().p - 1 : Integer::One();
        const std::string init = Written([&](CryptoPP::BufferedTransformation& q) {
            SSH::EncodeByte(q, SSH::SSH_MSG_KEXDH_INIT);
            SSH::EncodeMpint(q, e);
        });
        EXPECT_EQ(RefusalOf(c.server, Unencrypted(c.client.state, init)), std::make_pair(3u, std::string("invalid DH value")));
    }
}

// The server's side of group exchange against requests written by hand, and the exchange
// hash recomputed here from its parts as RFC 4419 lists them.
TEST(GroupExchangeServer, ChoosesTheGroupAndHashesWhatWasAsked)
{
    const struct {
        bool old;
        std::uint32_t min, n, max;
        unsigned bits;
    } cases[] = {
        {true, 0, 512, 0, 1024}, {true, 0, 2048, 0, 2048}, {true, 0, 16384, 0, 2048}, {false, 2048, 1024, 8192, 2048},
        {false, 1024, 1536, 1536, 1024}, {false, 1024, 4096, 8192, 2048},
        {false, 1024, 2048, 8192, 2048},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.n) + (k.old ? " old" : ""));
        Proposal p;
        p.kex = DhKexHandler::GroupExchangeSha1Name();
        Connection c(p, p);
        Deliver(c.server, Drain(c.client.Wire()));
        Drain(c.server.Wire());

        const std::string request = Written([&](CryptoPP::BufferedTransformation& q) {
            SSH::EncodeByte(q, k.old ? 30 : 34);
            if (!k.old) SSH::EncodeUint32(q, k.min);
            SSH::EncodeUint32(q, k.n);
            if (!k.old) SSH::EncodeUint32(q, k.max);
        });
        const std::string requestPacket = Unencrypted(c.client.state, request);
        Deliver(c.server, requestPacket);
        const auto group = DecodePackets(Drain(c.server.Wire()));
        ASSERT_EQ(group.size(), 1u);
        CryptoPP::StringSource groupIn(group[0], true);
        SSH::DecodeMessageNumber(groupIn, SSH::SSH_MSG_KEX_DH_GEX_GROUP);
        Integer prime, generator;
        SSH::DecodeMpint(groupIn, prime);
        SSH::DecodeMpint(groupIn, generator);
        EXPECT_EQ(prime.BitCount(), k.bits);
        EXPECT_EQ(generator, Integer(2));

        const Integer x(TestRng(), 2, prime - 2);
        const Integer e = a_exp_b_mod_c(generator, x, prime);
        const std::string initPacket = Unencrypted(c.client.state, Written([&](CryptoPP::BufferedTransformation& q) {
                                                       SSH::EncodeByte(q, SSH::SSH_MSG_KEX_DH_GEX_INIT);
                                                       SSH::EncodeMpint(q, e);
                                                   }));
        Deliver(c.server, initPacket);
        const auto reply = DecodePackets(Drain(c.server.Wire()));
        ASSERT_EQ(reply.size(), 2u);  // the reply and NEWKEYS
        EXPECT_EQ(reply[1], "\x15");
        CryptoPP::StringSource replyIn(reply[0], true);
        SSH::DecodeMessageNumber(replyIn, SSH::SSH_MSG_KEX_DH_GEX_REPLY);
        std::string hostKey, signature;
        Integer f;
        SSH::DecodeString(replyIn, hostKey);
        SSH::DecodeMpint(replyIn, f);
        SSH::DecodeString(replyIn, signature);
        const Integer K = a_exp_b_mod_c(f, x, prime);

        const std::string hashed = Written([&](CryptoPP::BufferedTransformation& q) {
            SSH::EncodeString(q, c.client.state.OurVersion().Line());
            SSH::EncodeString(q, c.server.state.OurVersion().Line());
            for (const KexInit* init : {&c.client.state.OurKexInit(), &c.server.state.OurKexInit()}) {
                const std::string encoded = Written([&](CryptoPP::BufferedTransformation& e2) { init->Encode(e2); });
                SSH::EncodeString(q, encoded);
            }
            SSH::EncodeString(q, hostKey);
            if (!k.old) SSH::EncodeUint32(q, k.min);
            SSH::EncodeUint32(q, k.n);
            if (!k.old) SSH::EncodeUint32(q, k.max);
            SSH::EncodeMpint(q, prime);
            SSH::EncodeMpint(q, generator);
            SSH::EncodeMpint(q, e);
            SSH::EncodeMpint(q, f);
            SSH::EncodeMpint(q, K);
        });
        std::string H;
        CryptoPP::SHA1 sha1;
        CryptoPP::StringSource(hashed, true, new CryptoPP::HashFilter(sha1, new CryptoPP::StringSink(H)));
        EXPECT_EQ(K, c.server.state.SharedSecret());
        EXPECT_TRUE(SSH::VerifySignature(hostKey.data(), hostKey.size(), H.data(), H.size(), signature.data(),
                                         signature.size()));
    }
}

// A range that holds none of our groups is refused, never answered with a group outside it.
TEST(GroupExchangeServer, RefusesARangeWithoutAGroup)
{
    const std::uint32_t ranges[][3] = {{3072, 4096, 8192}, {1025, 1536, 2047}, {2049, 2048, 2047}};
    for (const auto& r : ranges) {
        Proposal p;
        p.kex = DhKexHandler::GroupExchangeSha1Name();
        Connection c(p, p);
        Deliver(c.server, Drain(c.client.Wire()));
        const std::string packet = Unencrypted(c.client.state, Written([&](CryptoPP::BufferedTransformation& q) {
                                                   SSH::EncodeByte(q, SSH::SSH_MSG_KEX_DH_GEX_REQUEST);
                                                   for (std::uint32_t v : r)
                                                       SSH::EncodeUint32(q, v);
                                               }));
        EXPECT_EQ(RefusalOf(c.server, packet),
                  std::make_pair(3u, "no Diffie-Hellman group of " + std::to_string(r[0]) + " to " +
                                         std::to_string(r[2]) + " bits is available (groups of 1024 and 2048 bits are)"));
    }
}

TEST(GroupExchangeServer, FirstMessageMustBeARequest)
{
    Proposal p;
    p.kex = DhKexHandler::GroupExchangeSha1Name();
    Connection c(p, p);
    Deliver(c.server, Drain(c.client.Wire()));
    const std::string packet = Unencrypted(c.client.state, std::string("\x20\0\0\0\x01\x05", 6));
    EXPECT_EQ(RefusalOf(c.server, packet),
              std::make_pair(2u, std::string("unexpected message number 32, should be SSH_MSG_KEX_DH_GEX_REQUEST or "
                                             "SSH_MSG_KEX_DH_GEX_REQUEST_OLD")));
}

TEST(GroupExchangeClient, RefusesGroupsOutsideItsRequest)
{
    for (unsigned bits : {512u, 1024u}) {
        Proposal p;
        p.kex = DhKexHandler::GroupExchangeSha1Name();
        Connection c(p, p);
        Drain(c.client.Wire());
        Deliver(c.client, Drain(c.server.Wire()));
        EXPECT_EQ(DecodePackets(Drain(c.client.Wire())).at(0), Written([](CryptoPP::BufferedTransformation& q) {
                      SSH::EncodeByte(q, SSH::SSH_MSG_KEX_DH_GEX_REQUEST);
                      SSH::EncodeUint32(q, 1024);
                      SSH::EncodeUint32(q, 2048);
                      SSH::EncodeUint32(q, 8192);
                  }));
        // Too small for the request, or of the right size but even.
        const Integer prime = bits == 512 ? Integer::Power2(511) + 1 : DhKexHandler::Group1Params().p - 1;
        const std::string group = Unencrypted(c.server.state, Written([&](CryptoPP::BufferedTransformation& q) {
                                                  SSH::EncodeByte(q, SSH::SSH_MSG_KEX_DH_GEX_GROUP);
                                                  SSH::EncodeMpint(q, prime);
                                                  SSH::EncodeMpint(q, Integer(2));
                                              }));
        EXPECT_EQ(RefusalOf(c.client, group),
                  std::make_pair(3u, std::string("server-proposed DH group parameters did not validate")));
    }
}
