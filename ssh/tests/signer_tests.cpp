#include "key_fixtures.h"

#include "ssh/wire.h"

#include <cryptopp/asn.h>

#include <gtest/gtest.h>

using CryptoPP::ByteQueue;
using CryptoPP::Integer;

namespace {

std::string PublicBlob(const Signer& key) { return Written([&](ByteQueue& q) { key.EncodePublicKey(q); }); }
std::string PrivateBlob(const Signer& key) { return Written([&](ByteQueue& q) { key.EncodePrivateKey(q); }); }
std::string PemBody(const Signer& key) { return Written([&](ByteQueue& q) { key.EncodePemBody(q); }); }

bool Verify(const std::string& blob, const std::string& data, const std::string& signature)
{
    return SSH::VerifySignature(blob.data(), blob.size(), data.data(), data.size(), signature.data(), signature.size());
}

// The DSA PEM body of the test key with another version and, when given, another x.
std::string DsaPemBody(const Integer& version, const Integer* x)
{
    ByteQueue body = QueueOf(PemBody(DsaKey()));
    CryptoPP::BERSequenceDecoder seq(body);
    Integer fields[6];
    for (Integer& f : fields) f.BERDecode(seq);
    fields[0] = version;
    if (x) fields[5] = *x;
    return Written([&](ByteQueue& q) {
        CryptoPP::DERSequenceEncoder out(q);
        for (Integer& f : fields) f.DEREncode(out);
        out.MessageEnd();
    });
}

}  // namespace

TEST(Signer, DsaPublicBlobLayout)
{
    ByteQueue blob = QueueOf(PublicBlob(DsaKey()));
    std::string name;
    SSH::SecByteBlock p, q, g, y;
    SSH::DecodeString(blob, name);
    for (SSH::SecByteBlock* v : {&p, &q, &g, &y}) SSH::DecodeByteBlock(blob, *v);
    EXPECT_EQ(name, "ssh-dss");
    ASSERT_EQ(p.size(), 129u);  // 1024 bits with a leading zero
    EXPECT_EQ(p[0], 0);
    ASSERT_EQ(q.size(), 21u);  // 160 bits with a leading zero
    EXPECT_EQ(q[0], 0);
    EXPECT_EQ(blob.MaxRetrievable(), 0u);
    EXPECT_EQ(DsaKey().AlgorithmName(), "ssh-dss");
    EXPECT_EQ(DsaKey().PemKeyType(), "DSA");
}

TEST(Signer, RsaUsesExponent17)
{
    const std::string blob = PublicBlob(RsaKey());
    EXPECT_EQ(blob.substr(0, 16), std::string("\0\0\0\7ssh-rsa\0\0\0\1\x11", 16));
    EXPECT_EQ(RsaKey().AlgorithmName(), "ssh-rsa");
    EXPECT_EQ(RsaKey().PemKeyType(), "RSA");
}

TEST(Signer, RefusedGenerationRequests)
{
    // Crypto++ would make 2048- and 3072-bit DSA keys, which are no "ssh-dss" keys.
    for (unsigned bits : {512u, 1023u, 2048u, 3072u})
        EXPECT_EQ(ErrorOf([&] { Signer(TestRng(), "ssh-dss", bits); }), "DSA: not a valid prime length") << bits;
    EXPECT_EQ(ErrorOf([] { Signer(TestRng(), "ssh-ed25519", 256); }), "Signer: unrecognized private key algorithm");
    EXPECT_EQ(ErrorOf([] { Signer(TestRng(), "ssh-rsa", 8); }),
              "InvertibleRSAFunction: specified modulus size is too small");
}

TEST(Signer, PrivateBlobRoundTrips)
{
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        const std::string blob = PrivateBlob(*key);
        ByteQueue in = QueueOf(blob);
        Signer back(in);
        EXPECT_EQ(PrivateBlob(back), blob);
        EXPECT_EQ(PublicBlob(back), PublicBlob(*key));
    }
    // The installer keeps the private blob of a DSA key in a 1024-byte buffer.
    EXPECT_LT(PrivateBlob(DsaKey()).size(), 1024u);
}

TEST(Signer, PrivateBlobHoldsPkcs8)
{
    // uint32 0, the name, then PrivateKeyInfo: SEQUENCE { INTEGER 0, SEQUENCE { OID ... } ... }.
    const std::string dsaOid("\x06\x07\x2a\x86\x48\xce\x38\x04\x01", 9);
    const std::string rsaOid("\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01", 11);
    for (const auto& key : {std::make_pair(&DsaKey(), dsaOid), std::make_pair(&RsaKey(), rsaOid)}) {
        const std::string blob = PrivateBlob(*key.first);
        EXPECT_EQ(blob.substr(0, 15), std::string("\0\0\0\0\0\0\0\7", 8) + key.first->AlgorithmName());
        ByteQueue der = QueueOf(blob.substr(15));
        CryptoPP::BERSequenceDecoder info(der);
        CryptoPP::word32 version;
        CryptoPP::BERDecodeUnsigned<CryptoPP::word32>(info, version, CryptoPP::INTEGER, 0, 0);
        CryptoPP::BERSequenceDecoder algorithm(info);
        std::string oid(key.second.size(), '\0');
        algorithm.Get(reinterpret_cast<CryptoPP::byte*>(&oid[0]), oid.size());
        EXPECT_EQ(oid, key.second) << key.first->AlgorithmName();
        algorithm.SkipAll();
        algorithm.MessageEnd();
        CryptoPP::BERGeneralDecoder privateKey(info, CryptoPP::OCTET_STRING);
        privateKey.SkipAll();
        privateKey.MessageEnd();
        info.MessageEnd();
        EXPECT_EQ(der.MaxRetrievable(), 0u);
    }
}

TEST(Signer, BadPrivateBlobs)
{
    std::string blob = PrivateBlob(DsaKey());
    std::string versioned = blob;
    versioned[3] = 1;
    const std::string otherAlgorithm = std::string("\0\0\0\0\0\0\0\7ssh-xyz", 15) + blob.substr(15);
    std::string brokenKey = blob;
    brokenKey[brokenKey.size() - 1] ^= 0x55;  // x no longer below q, or not what the DER says
    struct {
        std::string blob;
        std::string error;
    } cases[] = {
        {versioned, "Signer: unsupported private key version"},
        {otherAlgorithm, "Signer: unsupported private key algorithm"},
        {blob.substr(0, 3), "SSH: cause to disconnect: unexpected end of packet"},
        {blob.substr(0, 12), "SSH: cause to disconnect: unexpected end of packet"},
    };
    for (const auto& c : cases) {
        ByteQueue in = QueueOf(c.blob);
        EXPECT_EQ(ErrorOf([&] { Signer key(in); }), c.error);
    }
    // Every truncation of both blobs fails with an exception, never a crash.
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        const std::string whole = PrivateBlob(*key);
        for (std::size_t n = 0; n < whole.size(); ++n) {
            ByteQueue in = QueueOf(whole.substr(0, n));
            EXPECT_NE(ErrorOf([&] { Signer k(in); }), "(nothing thrown)") << n;
        }
    }
}

TEST(Signer, PemBodyRoundTripsAndIsChecked)
{
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        const std::string body = PemBody(*key);
        ByteQueue in = QueueOf(body);
        Signer back(in, key->PemKeyType());
        EXPECT_EQ(back.AlgorithmName(), key->AlgorithmName());
        EXPECT_EQ(PemBody(back), body);
        EXPECT_EQ(PublicBlob(back), PublicBlob(*key));
        for (std::size_t n = 0; n < body.size(); n += 7) {
            ByteQueue cut = QueueOf(body.substr(0, n));
            EXPECT_NE(ErrorOf([&] { Signer k(cut, key->PemKeyType()); }), "(nothing thrown)") << n;
        }
    }
    // DSA body: SEQUENCE { 0, p, q, g, y, x }; RSA: nine INTEGERs.
    ByteQueue rsaBody = QueueOf(PemBody(RsaKey()));
    CryptoPP::BERSequenceDecoder seq(rsaBody);
    int count = 0;
    while (!seq.EndReached()) {
        Integer i;
        i.BERDecode(seq);
        ++count;
    }
    EXPECT_EQ(count, 9);

    ByteQueue version1 = QueueOf(DsaPemBody(1, nullptr));
    EXPECT_THROW(Signer k(version1, "DSA"), CryptoPP::BERDecodeErr);
    ByteQueue zeroX = QueueOf(DsaPemBody(0, &Integer::Zero()));
    EXPECT_EQ(ErrorOf([&] { Signer k(zeroX, "DSA"); }), "Signer: OpenSSH DSA private key sanity check failed");
    // Crypto++ takes 2048-bit DSA keys as sound; "ssh-dss" keys are 1024 bits with a 160-bit q.
    CryptoPP::DSA::PrivateKey wide;
    wide.GenerateRandomWithKeySize(TestRng(), 2048);
    const auto& group = wide.GetGroupParameters();
    const std::string widePem = Written([&](ByteQueue& q) {
        CryptoPP::DERSequenceEncoder out(q);
        for (const Integer& f : {Integer::Zero(), group.GetModulus(), group.GetSubgroupOrder(), group.GetGenerator(),
                                 group.ExponentiateBase(wide.GetPrivateExponent()), wide.GetPrivateExponent()})
            f.DEREncode(out);
        out.MessageEnd();
    });
    ByteQueue widePemIn = QueueOf(widePem);
    EXPECT_EQ(ErrorOf([&] { Signer k(widePemIn, "DSA"); }), "Signer: OpenSSH DSA private key sanity check failed");
    ByteQueue wideBlobIn = QueueOf(std::string("\0\0\0\0\0\0\0\7ssh-dss", 15) +
                                   Written([&](ByteQueue& q) { wide.DEREncode(q); }));
    EXPECT_EQ(ErrorOf([&] { Signer k(wideBlobIn); }), "Signer: ssh-dss private key sanity check failed");

    // A damaged generator passes the structural checks, but the key's signatures would not
    // verify: refused in both forms.
    {
        ByteQueue body = QueueOf(PemBody(DsaKey()));
        CryptoPP::BERSequenceDecoder seq(body);
        Integer f[6];  // version, p, q, g, y, x
        for (Integer& v : f) v.BERDecode(seq);
        f[3] += 1;
        CryptoPP::DSA::PrivateKey damaged;
        damaged.Initialize(f[1], f[2], f[3], f[5]);
        f[4] = damaged.GetGroupParameters().ExponentiateBase(f[5]);
        ByteQueue pemIn = QueueOf(Written([&](ByteQueue& q) {
            CryptoPP::DERSequenceEncoder out(q);
            for (Integer& v : f) v.DEREncode(out);
            out.MessageEnd();
        }));
        EXPECT_EQ(ErrorOf([&] { Signer k(pemIn, "DSA"); }),
                  "Signer: OpenSSH DSA private key makes signatures that do not verify");
        ByteQueue blobIn = QueueOf(std::string("\0\0\0\0\0\0\0\7ssh-dss", 15) +
                                   Written([&](ByteQueue& q) { damaged.DEREncode(q); }));
        EXPECT_EQ(ErrorOf([&] { Signer k(blobIn); }), "Signer: ssh-dss private key makes signatures that do not verify");
    }

    ByteQueue ec = QueueOf(PemBody(DsaKey()));
    EXPECT_EQ(ErrorOf([&] { Signer k(ec, "EC"); }), "Signer: unrecognized PEM private key algorithm");
}

TEST(Signer, SignaturesVerify)
{
    const std::string data = "exchange hash";
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        const std::string blob = PublicBlob(*key);
        const std::string signature = key->Sign(TestRng(), data.data(), data.size());
        EXPECT_TRUE(Verify(blob, data, signature)) << key->AlgorithmName();
        EXPECT_FALSE(Verify(blob, data + "!", signature));
        std::string damaged = signature;
        damaged[damaged.size() - 3] ^= 1;
        EXPECT_FALSE(Verify(blob, data, damaged));
        EXPECT_FALSE(Verify(blob, data, ""));
        EXPECT_FALSE(Verify(blob.substr(0, blob.size() - 5), data, signature));
        EXPECT_FALSE(Verify(blob, data, signature.substr(0, signature.size() - 1)));
    }
    const std::string dsaBlob = PublicBlob(DsaKey());
    const std::string dsaSig = DsaKey().Sign(TestRng(), data.data(), data.size());
    // Signature: string "ssh-dss", string of 40 bytes; older peers send the 40 bytes alone.
    ASSERT_EQ(dsaSig.size(), 4u + 7 + 4 + 40);
    EXPECT_TRUE(Verify(dsaBlob, data, dsaSig.substr(15)));
    std::string misnamed = dsaSig;
    misnamed.replace(4, 7, "ssh-rsa");
    EXPECT_FALSE(Verify(dsaBlob, data, misnamed));
    // An RSA signature has no raw form and the modulus's length.
    const std::string rsaSig = RsaKey().Sign(TestRng(), data.data(), data.size());
    EXPECT_EQ(rsaSig.size(), 4u + 7 + 4 + 128);
    EXPECT_FALSE(Verify(PublicBlob(RsaKey()), data, rsaSig.substr(15)));
    // A peer that drops the leading zero byte of its signature still signed correctly.
    std::string message;
    std::string zeroLed;
    for (int i = 0; zeroLed.empty() && i < 5000; ++i) {
        message = "exchange hash " + std::to_string(i);
        const std::string s = RsaKey().Sign(TestRng(), message.data(), message.size());
        if (s[15] == 0) zeroLed = s;
    }
    ASSERT_FALSE(zeroLed.empty());
    const std::string stripped =
        std::string("\0\0\0\7ssh-rsa\0\0\0\x7f", 15) + zeroLed.substr(16);
    EXPECT_TRUE(Verify(PublicBlob(RsaKey()), message, stripped));
    EXPECT_FALSE(Verify(PublicBlob(RsaKey()), message + "!", stripped));
    // Longer than the modulus is no RSA signature of this key.
    const std::string padded = std::string("\0\0\0\7ssh-rsa\0\0\0\x81", 15) + '\0' + zeroLed.substr(15);
    EXPECT_FALSE(Verify(PublicBlob(RsaKey()), message, padded));
    // A key blob of another algorithm.
    std::string otherKey = dsaBlob;
    otherKey.replace(4, 7, "ssh-xyz");
    EXPECT_FALSE(Verify(otherKey, data, dsaSig));
}
