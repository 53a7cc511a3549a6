#include <gtest/gtest.h>

#include <string>

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include "settings/framework/cfg_enc_dec.h"

namespace {

using CryptoPP::byte;

std::string Written(void (*write)(CryptoPP::BufferedTransformation&))
{
    std::string out;
    CryptoPP::StringSink sink(out);
    write(sink);
    return out;
}

CryptoPP::ByteQueue Queue(const std::string& bytes)
{
    CryptoPP::ByteQueue q;
    q.Put(reinterpret_cast<const byte*>(bytes.data()), bytes.size());
    return q;
}

// Runs read on the bytes and returns the exception's wide text ("" when nothing threw)
// and how many bytes stayed in the stream.
std::wstring ReadFailure(const std::string& bytes, void (*read)(CryptoPP::BufferedTransformation&),
                         CryptoPP::lword* left = nullptr)
{
    CryptoPP::ByteQueue q = Queue(bytes);
    std::wstring text;
    try {
        read(q);
    } catch (const CUnicodeException& e) {
        text = e.WideWhat();
    }
    if (left)
        *left = q.MaxRetrievable();
    return text;
}

TEST(CfgEncDec, WritersWriteExactBytes)
{
    using namespace CfgEncDec;
    struct Case {
        void (*write)(CryptoPP::BufferedTransformation&);
        std::string bytes;
    } cases[] = {
        {[](CryptoPP::BufferedTransformation& o) { WriteBoolean(o, true); }, std::string("\x01", 1)},
        {[](CryptoPP::BufferedTransformation& o) { WriteBoolean(o, false); }, std::string("\x00", 1)},
        {[](CryptoPP::BufferedTransformation& o) { WriteByte(o, 0xFE); }, "\xFE"},
        {[](CryptoPP::BufferedTransformation& o) { WriteWord32(o, 0x01020304); }, "\x01\x02\x03\x04"},
        {[](CryptoPP::BufferedTransformation& o) { WriteBytes(o, reinterpret_cast<const byte*>("ab"), 2); }, "ab"},
        {[](CryptoPP::BufferedTransformation& o) { WriteBlob(o, reinterpret_cast<const byte*>("ab"), 2); },
         std::string("\0\0\0\x02" "ab", 6)},
        {[](CryptoPP::BufferedTransformation& o) { WriteString(o, "xyz"); }, std::string("\0\0\0\x03xyz", 7)},
        {[](CryptoPP::BufferedTransformation& o) { WriteString(o, ""); }, std::string(4, '\0')},
        {[](CryptoPP::BufferedTransformation& o) { WriteWString(o, L""); }, std::string(4, '\0')},
        {[](CryptoPP::BufferedTransformation& o) { WriteWString(o, L"ab"); }, std::string("\0\0\0\x04" "a\0b\0", 8)},
        {[](CryptoPP::BufferedTransformation& o) { WriteWString(o, L"\u20ac"); }, std::string("\0\0\0\x02\xac\x20", 6)},
        {[](CryptoPP::BufferedTransformation& o) {
             CryptoPP::SecByteBlock block(reinterpret_cast<const byte*>("\x00\x01\x02"), 3);
             WriteSecBlock(o, block);
         },
         std::string("\0\0\0\x03\0\x01\x02", 7)},
        {[](CryptoPP::BufferedTransformation& o) { WriteEnd(o); }, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.bytes, Written(c.write));
}

TEST(CfgEncDec, ReadersRoundTripAndConsumeExactly)
{
    std::string stream;
    {
        CryptoPP::StringSink sink(stream);
        CfgEncDec::WriteBoolean(sink, true);
        CfgEncDec::WriteWord32(sink, 0xDEADBEEF);
        CfgEncDec::WriteWString(sink, L"caf\u00e9");
        CfgEncDec::WriteWString(sink, L"");
        CfgEncDec::WriteString(sink, std::string("a\0b", 3));
        CfgEncDec::WriteBlob(sink, reinterpret_cast<const byte*>("\x09\x08"), 2);
        CfgEncDec::WriteBytes(sink, reinterpret_cast<const byte*>("zz"), 2);
        CfgEncDec::WriteEnd(sink);
    }
    CryptoPP::ByteQueue q = Queue(stream + std::string("\x02", 1));
    bool b = false;
    CryptoPP::word32 w = 0;
    std::wstring wide = L"old", empty = L"old";
    std::string narrow;
    CryptoPP::SecByteBlock block;
    byte raw[2] = {};
    CfgEncDec::ReadBoolean(q, b);
    CfgEncDec::ReadWord32(q, w);
    CfgEncDec::ReadWString(q, wide);
    CfgEncDec::ReadWString(q, empty);
    CfgEncDec::ReadString(q, narrow);
    CfgEncDec::ReadSecBlock(q, block);
    CfgEncDec::ReadBytes(q, raw, 2);
    EXPECT_THROW(CfgEncDec::CheckEnd(q), CfgEncDec::CEncodeDecodeException);
    bool two = false;
    CfgEncDec::ReadBoolean(q, two);
    CfgEncDec::CheckEnd(q);

    EXPECT_TRUE(b);
    EXPECT_TRUE(two);  // every nonzero byte is true
    EXPECT_EQ(0xDEADBEEFu, w);
    EXPECT_EQ(L"caf\u00e9", wide);
    EXPECT_EQ(L"", empty);
    EXPECT_EQ(std::string("a\0b", 3), narrow);
    EXPECT_EQ(CryptoPP::SecByteBlock(reinterpret_cast<const byte*>("\x09\x08"), 2), block);
    EXPECT_EQ('z', raw[0]);
}

TEST(CfgEncDec, TruncatedAndCorruptInputThrowsWithItsText)
{
    using T = CryptoPP::BufferedTransformation;
    struct Case {
        std::string bytes;
        void (*read)(T&);
        const wchar_t* text;
        CryptoPP::lword left;
    } cases[] = {
        {"", [](T& in) { byte b; CfgEncDec::ReadByte(in, b); }, L"unexpected end of packet", 0},
        {"", [](T& in) { bool b; CfgEncDec::ReadBoolean(in, b); }, L"unexpected end of packet", 0},
        {"\x01\x02\x03", [](T& in) { CryptoPP::word32 w; CfgEncDec::ReadWord32(in, w); }, L"unexpected end of packet", 3},
        {"abc", [](T& in) { byte b[4]; CfgEncDec::ReadBytes(in, b, 4); }, L"unexpected end of packet", 3},
        // A count of 10 with 9 bytes left: nothing more is consumed than the count.
        {std::string("\0\0\0\x0a", 4) + "123456789",
         [](T& in) { CryptoPP::SecByteBlock s; CfgEncDec::ReadSecBlock(in, s); }, L"unexpected end of packet", 9},
        // A count near 2^32 allocates nothing and fails the same way.
        {"\xff\xff\xff\xff" "ab", [](T& in) { std::string s; CfgEncDec::ReadString(in, s); },
         L"unexpected end of packet", 2},
        {std::string("\0\0\0\x03", 4) + "abc", [](T& in) { std::wstring s; CfgEncDec::ReadWString(in, s); },
         L"unexpected end of unicode string", 0},
        {"x", [](T& in) { CfgEncDec::CheckEnd(in); }, L"input configuration data is partially corrupted", 1},
        {"", [](T& in) { CfgEncDec::CheckEnd(in); }, L"", 0},
    };
    for (const Case& c : cases) {
        CryptoPP::lword left = 99;
        EXPECT_EQ(c.text, ReadFailure(c.bytes, c.read, &left)) << c.bytes.size();
        EXPECT_EQ(c.left, left) << c.bytes.size();
    }
}

TEST(CfgEncDec, ExceptionsCarryWideAndAnsiTexts)
{
    try {
        throw CfgEncDec::CEncodeDecodeException(L"bad caf\u00e9");
    } catch (const std::exception& e) {
        EXPECT_STREQ("bad caf\xe9", e.what());  // the ANSI code page of the tests is 1252
        const CUnicodeException* u = dynamic_cast<const CUnicodeException*>(&e);
        ASSERT_NE(nullptr, u);
        EXPECT_STREQ(L"bad caf\u00e9", u->WideWhat());
    }
    OrvidexCfgException holder(L"The operation completed successfully");
    OrvidexCfgException copy(holder);
    EXPECT_STREQ("The operation completed successfully", copy.what());
    EXPECT_STREQ(L"The operation completed successfully", copy.WideWhat());
}

} // namespace
