#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "settings/framework/record_codec.h"
#include "settings/framework/tests/fixture_records.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes ToBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Encodes through a context over a string sink and returns the bytes.
template <class F>
Bytes Encoded(F encode, int expectedCount)
{
    std::string sink;
    {
        EncodeContext ctx(new CryptoPP::StringSink(sink));
        EXPECT_EQ(expectedCount, encode(ctx));
        EXPECT_TRUE(ctx.errors.size() == 0);
    }
    return ToBytes(sink);
}

// An output without room, to reach the encoders' failure paths.
struct FullOutput : EncodeOutput {
    unsigned char* Reserve(std::uint32_t) override { return nullptr; }
    void Commit(std::uint32_t) override { ADD_FAILURE() << "nothing may be committed"; }
};

TEST(RecordCodec, EncodersWriteExactBytes)
{
    EXPECT_EQ((Bytes{0x00, 0x00, 0x01, 0x02}), Encoded([](EncodeOutput& o) { return EncodeWord32(o, 258); }, 4));
    EXPECT_EQ((Bytes{0xFF, 0xFE, 0xFD, 0xFC}),
              Encoded([](EncodeOutput& o) { return EncodeWord32(o, 0xFFFEFDFCu); }, 4));
    EXPECT_EQ((Bytes{0x01}), Encoded([](EncodeOutput& o) { return EncodeBoolean(o, true); }, 1));
    EXPECT_EQ((Bytes{0x00}), Encoded([](EncodeOutput& o) { return EncodeBoolean(o, false); }, 1));
    EXPECT_EQ((Bytes{0xA5}), Encoded([](EncodeOutput& o) { return EncodeByte(o, 0xA5); }, 1));
    EXPECT_EQ((Bytes{0, 0, 0, 3, 'a', 'b', 'c'}),
              Encoded([](EncodeOutput& o) { return EncodeString(o, NoCrtString("abc")); }, 7));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), Encoded([](EncodeOutput& o) { return EncodeString(o, NoCrtString()); }, 4));
    EXPECT_EQ((Bytes{0, 0, 0, 0}), Encoded([](EncodeOutput& o) { return EncodeString(o, NoCrtString("")); }, 4));
    datavect<unsigned char> binary;
    binary.push_back(0);
    binary.push_back(0xFF);
    EXPECT_EQ((Bytes{0, 0, 0, 2, 0x00, 0xFF}),
              Encoded([&](EncodeOutput& o) { return EncodeString(o, binary); }, 6));

    // A value after a long string reuses the grown staging buffer.
    std::string big(3000, 'x');
    Bytes two = Encoded(
        [&](EncodeOutput& o) { return EncodeString(o, big.data(), 3000) + EncodeWord32(o, 7); }, 3008);
    ASSERT_EQ(3008u, two.size());
    EXPECT_EQ((Bytes{0, 0, 0x0B, 0xB8}), Bytes(two.begin(), two.begin() + 4));
    EXPECT_EQ((Bytes{0, 0, 0, 7}), Bytes(two.end() - 4, two.end()));
}

TEST(RecordCodec, EncodersWithoutRoomReportAndWriteNothing)
{
    FullOutput out;
    EXPECT_EQ(0, EncodeByte(out, 1));
    EXPECT_EQ(0, EncodeBoolean(out, true));
    EXPECT_EQ(0, EncodeWord32(out, 1));
    EXPECT_EQ(0, EncodeString(out, NoCrtString("abc")));
    EXPECT_EQ((std::vector<std::string>{"EncodeByte(): out of space", "EncodeByte(): out of space",
                                        "EncodeWord32(): out of space", "EncodeString(): out of space"}),
              Texts(out.errors));
}

TEST(RecordCodec, CommitOfNothingPutsNothing)
{
    std::string sink;
    EncodeContext ctx(new CryptoPP::StringSink(sink));
    unsigned char* room = ctx.Reserve(0);
    ASSERT_NE(nullptr, room);
    ctx.Commit(0);
    room = ctx.Reserve(2);
    room[0] = 'h';
    room[1] = 'i';
    ctx.Commit(1);
    EXPECT_EQ("h", sink);
}

TEST(RecordCodec, DecodersReadAndAdvance)
{
    const unsigned char data[] = {0x02, 0x00, 0x00, 0x01, 0x02, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 2, 0xFF, 0x00};
    DecodeContext in(data, sizeof data, 0);
    bool flag = false;
    EXPECT_EQ(1, DecodeBoolean(in, flag));
    EXPECT_TRUE(flag);  // any nonzero byte
    std::uint32_t word = 0;
    EXPECT_EQ(4, DecodeWord32(in, word));
    EXPECT_EQ(258u, word);
    NoCrtString text("previous content");
    EXPECT_EQ(7, DecodeString(in, text));
    EXPECT_EQ(3u, text.size());
    EXPECT_EQ(4u, text.s_);
    EXPECT_EQ('\0', text.p_[3]);
    EXPECT_STREQ("abc", text.c_str());
    EXPECT_EQ(12u, in.pos);
    datavect<unsigned char> binary;
    binary.push_back(7);
    EXPECT_EQ(6, DecodeString(in, binary));
    ASSERT_EQ(2u, binary.size());
    EXPECT_EQ(0xFF, binary[0]);
    EXPECT_EQ(0x00, binary[1]);
    EXPECT_EQ(sizeof data, in.pos);
    EXPECT_EQ(0u, in.errors.size());
}

TEST(RecordCodec, TruncatedInputFailsWithItsTextAndKeepsThePosition)
{
    struct Case {
        Bytes data;
        int (*decode)(DecodeContext&);
        std::vector<std::string> texts;
    } cases[] = {
        {{}, [](DecodeContext& in) { unsigned char b; return DecodeByte(in, b); },
         {"DecodeByte(): premature end of input data"}},
        {{}, [](DecodeContext& in) { bool b; return DecodeBoolean(in, b); },
         {"DecodeByte(): premature end of input data", "DecodeBoolean(): failed at DecodeByte()"}},
        {{1, 2, 3}, [](DecodeContext& in) { std::uint32_t w; return DecodeWord32(in, w); },
         {"DecodeWord32(): premature end of input data"}},
        {{0, 0, 0}, [](DecodeContext& in) { NoCrtString s; return DecodeString(in, s); },
         {"DecodeWord32(): premature end of input data", "DecodeString(): failed at DecodeWord32()"}},
        {{0, 0, 0, 5, 'a', 'b'}, [](DecodeContext& in) { NoCrtString s; return DecodeString(in, s); },
         {"DecodeString(): premature end of input data"}},
        // Lengths near 2^32 must not wrap the bounds check.
        {{0xFF, 0xFF, 0xFF, 0xFF, 'a'}, [](DecodeContext& in) { NoCrtString s; return DecodeString(in, s); },
         {"DecodeString(): premature end of input data"}},
        {{0xFF, 0xFF, 0xFF, 0xFC, 'a'},
         [](DecodeContext& in) { datavect<unsigned char> v; return DecodeString(in, v); },
         {"DecodeString(): premature end of input data"}},
    };
    for (Case& c : cases) {
        Bytes padded = c.data;
        padded.insert(padded.begin(), 0xEE);  // start one byte in
        DecodeContext in(padded.data(), static_cast<std::uint32_t>(padded.size()), 1);
        EXPECT_EQ(0, c.decode(in));
        EXPECT_EQ(1u, in.pos);
        EXPECT_EQ(c.texts, Texts(in.errors));
    }
}

TEST(RecordCodec, NullDataAndAPositionPastTheEndReadNothing)
{
    std::uint32_t w = 0;
    DecodeContext none(nullptr, 8, 0);
    EXPECT_EQ(0, DecodeWord32(none, w));
    const unsigned char data[4] = {};
    DecodeContext past(data, 4, 6);
    unsigned char b = 0;
    EXPECT_EQ(0, DecodeByte(past, b));
    EXPECT_EQ(6u, past.pos);
}

TEST(RecordCodec, FailedStringsAreNotEncodedOrDecodedInto)
{
    NoCrtString failed;
    failed.af_ = 12;
    std::string sink;
    EncodeContext out(new CryptoPP::StringSink(sink));
    EXPECT_EQ(0, EncodeString(out, failed));
    EXPECT_EQ(std::vector<std::string>{"EncodeString(): the string lost its text to a failed allocation"},
              Texts(out.errors));
    EXPECT_EQ("", sink);

    const unsigned char data[] = {0, 0, 0, 1, 'x'};
    DecodeContext in(data, sizeof data, 0);
    EXPECT_EQ(0, DecodeString(in, failed));
    EXPECT_EQ(0u, in.pos);
    EXPECT_EQ(std::vector<std::string>{"DecodeString(): string allocation failed"}, Texts(in.errors));
}

} // namespace
