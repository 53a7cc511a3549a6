#include "ssh/exceptions.h"
#include "ssh/wire.h"
#include "stream_helpers.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

using CryptoPP::byte;
using CryptoPP::ByteQueue;
using CryptoPP::Integer;

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values) s += char(v);
    return s;
}

// Takes the queue's bytes out.
std::string Drain(CryptoPP::BufferedTransformation& q)
{
    std::string s;
    CryptoPP::StringSink sink(s);
    q.TransferTo(sink);
    return s;
}

// Runs the decoder and returns the description of the CauseToDisconnect it throws.
template <class Decode>
std::string DisconnectText(Decode decode)
{
    try {
        decode();
    } catch (const SSH::CauseToDisconnect& e) {
        EXPECT_EQ(e.reason(), 2u);
        EXPECT_EQ(e.language(), "en");
        return e.description();
    }
    return "(nothing thrown)";
}

}  // namespace

TEST(SshExceptions, MessagesCarryPrefixesAndMembersStayBare)
{
    SSH::CauseToDisconnect cause(2, "unexpected end of packet", "en");
    EXPECT_STREQ(cause.what(), "SSH: cause to disconnect: unexpected end of packet");
    SSH::CauseToDisconnect copy(cause);
    EXPECT_EQ(copy.reason(), 2u);
    EXPECT_EQ(copy.description(), "unexpected end of packet");
    EXPECT_EQ(copy.language(), "en");
    EXPECT_STREQ(copy.what(), cause.what());
    EXPECT_EQ(copy.GetErrorType(), CryptoPP::Exception::OTHER_ERROR);

    SSH::ChannelOpenFailure open(3, "", "en");
    EXPECT_STREQ(open.what(), "SSH: channel open failure: ");
    EXPECT_EQ(open.description(), "");
    EXPECT_STREQ(SSH::Err("x").what(), "SSH: x");
}

TEST(SshExceptions, CatchHierarchy)
{
    auto caughtAs = [](auto thrower) {
        try {
            thrower();
        } catch (const SSH::Err&) {
            return "Err";
        } catch (const SSH::RemoteDisconnect&) {
            return "RemoteDisconnect";
        } catch (...) {
            return "other";
        }
        return "none";
    };
    EXPECT_STREQ(caughtAs([] { throw SSH::RemoteNotResponding(); }), "RemoteDisconnect");
    EXPECT_STREQ(caughtAs([] { throw SSH::CauseToDisconnect(2, "x", "en"); }), "Err");
    EXPECT_THROW(throw SSH::CauseToDisconnect(2, "x", "en"), CryptoPP::Exception);
    EXPECT_THROW(throw SSH::CauseToDisconnect(2, "x", "en"), std::exception);
}

TEST(SshWire, EncodersWriteTheWireLayout)
{
    using SSH::BufferedTransformation;
    struct Case {
        const char* what;
        std::function<void(BufferedTransformation&)> encode;
        std::string bytes;
    } cases[] = {
        {"byte", [](BufferedTransformation& q) { SSH::EncodeByte(q, 0xfe); }, Bytes({0xfe})},
        {"true", [](BufferedTransformation& q) { SSH::EncodeBoolean(q, true); }, Bytes({1})},
        {"false", [](BufferedTransformation& q) { SSH::EncodeBoolean(q, false); }, Bytes({0})},
        {"uint32", [](BufferedTransformation& q) { SSH::EncodeUint32(q, 0x01020304); }, Bytes({1, 2, 3, 4})},
        {"uint64", [](BufferedTransformation& q) { SSH::EncodeUint64(q, (std::uint64_t(1) << 32) + 2); },
         Bytes({0, 0, 0, 1, 0, 0, 0, 2})},
        {"string", [](BufferedTransformation& q) { SSH::EncodeString(q, "ab"); }, Bytes({0, 0, 0, 2, 'a', 'b'})},
        {"wide string", [](BufferedTransformation& q) { SSH::EncodeWideString(q, L"\u00e9"); },
         Bytes({0, 0, 0, 2, 0xc3, 0xa9})},
        {"raw", [](BufferedTransformation& q) { SSH::EncodeRaw(q, "xy", 2); }, "xy"},
        {"mpint 0", [](BufferedTransformation& q) { SSH::EncodeMpint(q, Integer::Zero()); }, Bytes({0, 0, 0, 0})},
        {"mpint 0x80", [](BufferedTransformation& q) { SSH::EncodeMpint(q, Integer(0x80)); },
         Bytes({0, 0, 0, 2, 0, 0x80})},
        {"mpint -1", [](BufferedTransformation& q) { SSH::EncodeMpint(q, Integer(-1)); }, Bytes({0, 0, 0, 1, 0xff})},
        {"mpint -0x81", [](BufferedTransformation& q) { SSH::EncodeMpint(q, Integer(-0x81)); },
         Bytes({0, 0, 0, 2, 0xff, 0x7f})},
        {"channel", [](BufferedTransformation& q) { SSH::PutText(q, SSH::ChannelNumberToString(258)); },
         Bytes({0, 0, 1, 2})},
    };
    for (const Case& c : cases) EXPECT_EQ(Written(c.encode), c.bytes) << c.what;
}

TEST(SshWire, QueueIsCopiedNotConsumed)
{
    ByteQueue source = QueueOf("hello");
    EXPECT_EQ(Written([&](SSH::BufferedTransformation& q) { SSH::EncodeQueue(q, source); }),
              Bytes({0, 0, 0, 5}) + "hello");
    EXPECT_EQ(Written([&](SSH::BufferedTransformation& q) { SSH::EncodeQueue(q, source, 3); }),
              Bytes({0, 0, 0, 3}) + "hel");
    EXPECT_EQ(source.MaxRetrievable(), 5u);
}

TEST(SshWire, DecodersReadBackAndCheckLengths)
{
    ByteQueue q = QueueOf(Bytes({0xfe, 7, 1, 2, 3, 4, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 2, 'a', 'b',
                                 0, 0, 0, 0, 0, 0, 0, 2, 0, 0x80, 0, 0, 0, 1, 0xff}));
    byte b;
    bool flag;
    std::uint32_t u32;
    std::uint64_t u64;
    std::string s;
    Integer zero(5), big, minusOne;
    SSH::DecodeByte(q, b);
    SSH::DecodeBoolean(q, flag);
    SSH::DecodeUint32(q, u32);
    SSH::DecodeUint64(q, u64);
    SSH::DecodeString(q, s);
    SSH::DecodeMpint(q, zero);
    SSH::DecodeMpint(q, big);
    SSH::DecodeMpint(q, minusOne);
    EXPECT_EQ(b, 0xfe);
    EXPECT_TRUE(flag);  // any non-zero octet
    EXPECT_EQ(u32, 0x01020304u);
    EXPECT_EQ(u64, (std::uint64_t(1) << 32) + 2);
    EXPECT_EQ(s, "ab");
    EXPECT_EQ(zero, Integer::Zero());
    EXPECT_EQ(big, Integer(0x80));
    EXPECT_EQ(minusOne, Integer(-1));
    EXPECT_EQ(q.MaxRetrievable(), 0u);

    std::wstring wide = L"old";
    ByteQueue utf8 = QueueOf(Bytes({0, 0, 0, 2, 0xc3, 0xa9}));
    SSH::DecodeWideString(utf8, wide);
    EXPECT_EQ(wide, L"\u00e9");

    datavect<unsigned char> dv;
    ByteQueue dq = QueueOf(Bytes({0, 0, 0, 3, 'x', 'y', 'z'}));
    SSH::DecodeDatavect(dq, dv);
    ASSERT_EQ(dv.size(), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(dv.data()), 3), "xyz");

    ByteQueue target, sq = QueueOf(Bytes({0, 0, 0, 2, 'h', 'i', '!'}));
    SSH::DecodeStringTo(sq, target);
    EXPECT_EQ(Drain(target), "hi");
    EXPECT_EQ(Drain(sq), "!");
}

TEST(SshWire, ShortInputIsUnexpectedEndOfPacket)
{
    const std::string endOfPacket = "unexpected end of packet";
    byte b;
    std::uint32_t u32;
    std::uint64_t u64;
    std::string s;
    Integer i;
    SSH::SecByteBlock block;
    datavect<unsigned char> dv;
    char raw[4];
    ByteQueue empty;
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeByte(empty, b); }), endOfPacket);
    ByteQueue three = QueueOf("abc");
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeUint32(three, u32); }), endOfPacket);
    ByteQueue seven = QueueOf("abcdefg");
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeUint64(seven, u64); }), endOfPacket);
    ByteQueue rawShort = QueueOf("abc");
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeRaw(rawShort, raw, 4); }), endOfPacket);

    // A length of 5 with 4 bytes left: the 4 bytes are not taken as a string.
    const std::string shortString = Bytes({0, 0, 0, 5}) + "abcd";
    ByteQueue q1 = QueueOf(shortString), q2 = QueueOf(shortString), q3 = QueueOf(shortString),
              q4 = QueueOf(shortString), q5 = QueueOf(shortString);
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeString(q1, s); }), endOfPacket);
    EXPECT_EQ(Drain(q1), "abcd");
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeMpint(q2, i); }), endOfPacket);
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeByteBlock(q3, block); }), endOfPacket);
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeDatavect(q4, dv); }), endOfPacket);
    ByteQueue target;
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeStringTo(q5, target); }), endOfPacket);
    EXPECT_EQ(target.MaxRetrievable(), 0u);

    // A length near 4 GiB allocates nothing before it is refused.
    ByteQueue huge = QueueOf(Bytes({0xff, 0xff, 0xff, 0xff}) + "x");
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeString(huge, s); }), endOfPacket);
}

TEST(SshWire, MessageNumberMismatchNamesBoth)
{
    ByteQueue q = QueueOf(Bytes({5}));
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeMessageNumber(q, 6); }), "unexpected message number 5, should be 6");
    ByteQueue high = QueueOf(Bytes({200}));
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeMessageNumber(high, 94); }),
              "unexpected message number 200, should be 94");
    ByteQueue ok = QueueOf(Bytes({6}));
    EXPECT_NO_THROW(SSH::DecodeMessageNumber(ok, 6));
    ByteQueue empty;
    EXPECT_EQ(DisconnectText([&] { SSH::DecodeMessageNumber(empty, 6); }), "unexpected end of packet");
}

TEST(SshWire, ReadLineStopsAtTheDelimiter)
{
    ByteQueue q = QueueOf("abc\r\ndef");
    EXPECT_EQ(SSH::ReadLine(q, '\n', 0x4000), "abc\r");
    EXPECT_EQ(SSH::ReadLine(q, '\n', 0x4000), "def");
    EXPECT_EQ(SSH::ReadLine(q, '\n', 0x4000), "");
    try {
        SSH::ReadRequiredLine(q, '\n', 0x4000);
        ADD_FAILURE() << "no exception";
    } catch (const CryptoPP::InvalidDataFormat& e) {
        EXPECT_STREQ(e.what(), "premature end of data");
    }
    ByteQueue x = QueueOf("x");
    EXPECT_EQ(SSH::ReadRequiredLine(x, '\n', 0x4000), "x");
}

TEST(SshWire, ReadLineLimitIsTestedPerFullChunk)
{
    // 16383 bytes pass; 16384 or more fail with the first 16384 consumed.
    ByteQueue fits = QueueOf(std::string(16383, 'a') + "\nrest");
    EXPECT_EQ(SSH::ReadLine(fits, '\n', 0x4000).size(), 16383u);
    EXPECT_EQ(Drain(fits), "rest");
    ByteQueue longLine = QueueOf(std::string(16384, 'a') + "\n");
    try {
        SSH::ReadLine(longLine, '\n', 0x4000);
        ADD_FAILURE() << "no exception";
    } catch (const CryptoPP::InvalidDataFormat& e) {
        EXPECT_STREQ(e.what(), "line too long");
    }
    EXPECT_EQ(Drain(longLine), "\n");
    // Without a delimiter, at the end of the data, the line is simply what was there.
    ByteQueue unended = QueueOf(std::string(300, 'b'));
    EXPECT_EQ(SSH::ReadLine(unended, '\n', 0x4000).size(), 300u);
}

TEST(SshText, Helpers)
{
    EXPECT_EQ(SSH::TrimTrailingWhitespace(" a b \t\r\n"), " a b");
    EXPECT_EQ(SSH::TrimTrailingWhitespace("\r\n"), "");
    EXPECT_EQ(SSH::Uint64ToDecimal(0), "0");
    EXPECT_EQ(SSH::Uint64ToDecimal(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(SSH::ToLowerAscii("AbZ\xc9@["), "abz\xc9@[");

    std::string hex = "junk";
    SSH::BytesToHex(Bytes({0x0a, 0xff}), hex, SSH::FingerprintHexTable);
    EXPECT_EQ(hex, "0a:ff");
    SSH::BytesToHex(Bytes({0x0a, 0xff}), hex, SSH::TraceHexTable);
    EXPECT_EQ(hex, "0AFF");
    SSH::BytesToHex("", hex, SSH::FingerprintHexTable);
    EXPECT_EQ(hex, "");

    EXPECT_EQ(Written([](SSH::BufferedTransformation& q) {
                  SSH::PutText(q, std::string("abc"));
                  SSH::PutText(q, std::string("defg"), 2);
                  SSH::PutText(q, "hi");
                  SSH::PutChar(q, '!');
              }),
              "abcdehi!");

    EXPECT_EQ(SSH::ChannelNumberFromString(Bytes({0, 0, 1, 2})), 258u);
    EXPECT_EQ(SSH::ChannelNumberFromString(Bytes({1})), 0x01000000u);
}

TEST(SshText, NameLists)
{
    std::string list = "a,b";
    SSH::NameListAppendMissing(list, "b,c,a,d");
    EXPECT_EQ(list, "a,b,c,d");
    std::string empty;
    SSH::NameListAppendMissing(empty, "x");
    EXPECT_EQ(empty, "x");

    EXPECT_TRUE(SSH::NameListContains("aes128-cbc,3des-cbc", "3des-cbc"));
    EXPECT_FALSE(SSH::NameListContains("aes128-cbc,3des-cbc", "3des"));
    EXPECT_FALSE(SSH::NameListContains("", ""));
    EXPECT_FALSE(SSH::NameListContains("a,", ""));  // a trailing comma adds no empty name

    EXPECT_FALSE(SSH::NameListAllIn("", "a"));
    EXPECT_FALSE(SSH::NameListAllIn("a,,b", "a,b"));
    EXPECT_FALSE(SSH::NameListAllIn("a,x", "a,b"));
    EXPECT_TRUE(SSH::NameListAllIn("a,b", "b,a,c"));

    EXPECT_EQ(SSH::NameListFirst("a,b"), "a");
    EXPECT_EQ(SSH::NameListFirst("only"), "only");
}

TEST(SshText, WindowsPeers)
{
    struct {
        const char* version;
        bool windows;
    } cases[] = {
        {"OpenSSH_for_Windows_8.1", true}, {"Orvidex_3.32 X-Windows", true}, {"foo x-windows bar", false},
        {"XWindows-1.0", false},           {"OpenSSH_3.9p1", false},          {"WINDOWS", true},
    };
    for (const auto& c : cases) EXPECT_EQ(SSH::IsWindowsPeer(c.version), c.windows) << c.version;
}
