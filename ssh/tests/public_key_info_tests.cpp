#include "key_fixtures.h"

#include "ssh/key_files.h"
#include "ssh/public_key_info.h"

#include <cryptopp/base64.h>

#include <gtest/gtest.h>

using CryptoPP::ByteQueue;

namespace {

std::string PublicBlob(const Signer& key) { return Written([&](ByteQueue& q) { key.EncodePublicKey(q); }); }

std::string Base64(const std::string& bytes)
{
    std::string text;
    CryptoPP::StringSource(bytes, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), false));
    return text;
}

std::string BubbleBabbleOf(const std::string& bytes)
{
    std::string text;
    CryptoPP::StringSource(bytes, true, new BubbleBabbleEncoder(new CryptoPP::StringSink(text)));
    return text;
}

// A sink that refuses every other write, as a blocked output does; the writer must offer the
// same bytes again.
class StutteringSink : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    explicit StutteringSink(std::string& out) : out_(out) {}
    size_t Put2(const CryptoPP::byte* input, size_t length, int messageEnd, bool) override
    {
        refuse_ = !refuse_;
        if (refuse_) return length ? length : 1;
        out_.append(reinterpret_cast<const char*>(input), length);
        if (messageEnd) ++messageEnds;
        return 0;
    }
    int messageEnds = 0;

private:
    std::string& out_;
    bool refuse_ = false;
};

struct Info {
    std::string algorithm, md5, babble;
    unsigned bits;
    std::string blob;
};

Info InfoOf(const std::string& input)
{
    ByteQueue in = QueueOf(input);
    PublicKeyInfo info(in);
    return {info.Algorithm(), info.Md5Fingerprint(), info.BubbleBabble(), info.KeySize(), Contents(info)};
}

}  // namespace

TEST(BubbleBabble, PublishedVectors)
{
    EXPECT_EQ(BubbleBabbleOf(""), "xexax");
    EXPECT_EQ(BubbleBabbleOf("1234567890"), "xesef-disof-gytuf-katof-movif-baxux");
    EXPECT_EQ(BubbleBabbleOf("Pineapple"), "xigak-nyryk-humil-bosek-sonax");
}

TEST(BubbleBabble, PiecesAndSuccessiveMessages)
{
    std::string text;
    BubbleBabbleEncoder encoder(new CryptoPP::StringSink(text));
    const std::string digits = "1234567890";
    encoder.Put(reinterpret_cast<const CryptoPP::byte*>(digits.data()), 1);
    EXPECT_FALSE(encoder.InputBufferIsEmpty());  // one byte of a pair waits
    encoder.Put(reinterpret_cast<const CryptoPP::byte*>(digits.data()) + 1, 3);
    encoder.Put2(reinterpret_cast<const CryptoPP::byte*>(digits.data()) + 4, 6, -1, true);
    EXPECT_EQ(text, "xesef-disof-gytuf-katof-movif-baxux");
    text.clear();
    encoder.Put(reinterpret_cast<const CryptoPP::byte*>("Pineapple"), 9);
    encoder.MessageEnd();
    encoder.MessageEnd();
    EXPECT_EQ(text, "xigak-nyryk-humil-bosek-sonaxxexax");
}

TEST(BubbleBabble, ResumesAfterABlockedOutput)
{
    std::string text;
    auto* sink = new StutteringSink(text);
    BubbleBabbleEncoder encoder(sink);
    const std::string digits = "1234567890";
    const auto* bytes = reinterpret_cast<const CryptoPP::byte*>(digits.data());
    int calls = 0;
    for (std::size_t at = 0; at < digits.size(); at += 5)
        while (encoder.Put2(bytes + at, 5, at + 5 == digits.size() ? -1 : 0, false) != 0) ASSERT_LT(++calls, 100);
    EXPECT_EQ(text, "xesef-disof-gytuf-katof-movif-baxux");
    EXPECT_EQ(sink->messageEnds, 1);
    text.clear();
    while (encoder.Put2(nullptr, 0, -1, false) != 0) ASSERT_LT(++calls, 200);
    EXPECT_EQ(text, "xexax");
}

TEST(PublicKeyInfo, AllThreeFormsAgree)
{
    for (const Signer* key : {&DsaKey(), &RsaKey()}) {
        const std::string blob = PublicBlob(*key);
        ByteQueue blobQueue = QueueOf(blob);
        const std::string ssh2 = Written([&](ByteQueue& q) { WriteSsh2PublicKeyFile(q, "a comment that is long enough to be folded over more than one line", blobQueue); });
        const std::string oneLine = Written([&](ByteQueue& q) { WriteOneLinePublicKey(q, key->AlgorithmName(), "me@host", blobQueue); });
        const Info binary = InfoOf(blob);
        EXPECT_EQ(binary.algorithm, key->AlgorithmName());
        EXPECT_EQ(binary.bits, 1024u);
        EXPECT_EQ(binary.blob, blob);
        EXPECT_EQ(binary.md5.size(), 47u);
        EXPECT_EQ(binary.md5.find_first_not_of("0123456789abcdef:"), std::string::npos);
        EXPECT_EQ(binary.babble.size(), 65u);
        const std::string name = key->AlgorithmName();
        for (const std::string& form : {ssh2, oneLine, "junk before\r\n" + ssh2, name + Base64(blob),
                                         name + "\t" + Base64(blob) + " comment\r\nnext line"}) {
            const Info other = InfoOf(form);
            EXPECT_EQ(other.blob, blob) << form;
            EXPECT_EQ(other.md5, binary.md5);
            EXPECT_EQ(other.babble, binary.babble);
        }
    }
}

TEST(PublicKeyInfo, Ssh2FileWithContinuedHeaderAndCrLf)
{
    const std::string blob = PublicBlob(RsaKey());
    std::string body = Base64(blob);
    std::string file = "---- BEGIN SSH2 PUBLIC KEY ----\r\nComment: \"split \\\r\nover two\"\r\nx-other: yes\r\n";
    for (std::size_t i = 0; i < body.size(); i += 70) file += body.substr(i, 70) + "\r\n";
    file += "---- END SSH2 PUBLIC KEY ----\r\n";
    EXPECT_EQ(InfoOf(file).blob, blob);
}

TEST(PublicKeyInfo, ExtraBinaryBytesStayAndCount)
{
    const std::string blob = PublicBlob(DsaKey());
    const Info plain = InfoOf(blob), extended = InfoOf(blob + "tail");
    EXPECT_EQ(extended.blob, blob + "tail");
    EXPECT_NE(extended.md5, plain.md5);
    EXPECT_NE(extended.babble, plain.babble);
}

TEST(PublicKeyInfo, BadInput)
{
    const std::string blob = PublicBlob(RsaKey());
    std::string other = blob;
    other.replace(4, 7, "ssh-xyz");
    const std::string ssh2Begin = "---- BEGIN SSH2 PUBLIC KEY ----\n";
    struct {
        std::string input;
        std::string error;
    } cases[] = {
        {std::string(10, 'a'), "insufficient data for key blob"},
        {"ssh-rsa    \n and more", "invalid key blob encoding"},
        {"ssh-dss\nAAAAB3NzaC1", "invalid key blob encoding"},
        {"ssh-rsa " + Base64(other), "unsupported public key algorithm"},
        {"no key in this text at all\n", "premature end of data"},
        {ssh2Begin + "Comment: x\n", "premature end of data"},
        {ssh2Begin + Base64(blob) + "\n", "premature end of data"},
        {std::string(20000, 'z'), "line too long"},
        {blob.substr(0, blob.size() - 1), "SSH: cause to disconnect: unexpected end of packet"},
        {std::string("\0\0\0\7ssh-dss\0\0\0\xff", 15), "SSH: cause to disconnect: unexpected end of packet"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorOf([&] { InfoOf(c.input); }), c.error) << c.input.substr(0, 40);
}
