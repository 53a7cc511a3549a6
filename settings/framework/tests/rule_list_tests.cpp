#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "settings/framework/rule_list.h"
#include "settings/framework/tests/fixture_records.h"

namespace {

typedef RuleList<ForwardRule> Rules;

typedef ProductDefaultList<Rules> DefaultRules;

void Add(Rules& list, std::uint32_t intf, std::uint32_t port, const char* host = "target")
{
    ForwardRule* e = list.New();
    e->m_nListenIntf = intf;
    e->m_nListenPort = port;
    e->m_sTargetHost.assign(host);
    ASSERT_EQ(0, list.NewCommit());
}

std::string Encode(Rules& list, int expected)
{
    std::string bytes;
    EncodeContext ctx(new CryptoPP::StringSink(bytes));
    EXPECT_EQ(expected, list.Encode(ctx));
    EXPECT_EQ(0u, ctx.errors.size());
    return bytes;
}

std::string Rule(std::uint32_t intf, std::uint32_t port, const std::string& host, std::uint32_t targetPort,
                 const std::string& proxy)
{
    std::string out;
    auto word = [&out](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            out += static_cast<char>((v >> s) & 0xFF);
    };
    word(intf);
    word(port);
    word(static_cast<std::uint32_t>(host.size()));
    out += host;
    word(targetPort);
    word(static_cast<std::uint32_t>(proxy.size()));
    out += proxy;
    return out;
}

std::string Count(std::uint32_t n)
{
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}

TEST(RuleList, EmptyListIsFourZeroBytes)
{
    Rules empty;
    EXPECT_EQ(std::string(4, '\0'), Encode(empty, 4));

    DefaultRules kept;  // holds its default entry
    ASSERT_EQ(1u, kept.size());
    const std::string zero(4, '\0');
    DecodeContext in(reinterpret_cast<const unsigned char*>(zero.data()), 4, 0);
    EXPECT_EQ(4, kept.Decode(in));
    EXPECT_EQ(0u, kept.size());  // nothing refills it
}

TEST(RuleList, EncodesCommittedEntriesInOrderWithoutIds)
{
    Rules list;
    list.CreateNewWithId(9);
    list.New()->m_nListenPort = 443;
    list.New()->m_sTargetHost.assign("web");
    list.New()->m_nTargetPort = 8443;
    list.New()->m_sProxyProfile.assign("p");
    ASSERT_EQ(0, list.NewCommit());
    list.CreateNewWithId(4);
    list.New()->m_nListenIntf = 0x7F000001;
    list.New()->m_nListenPort = 22;
    ASSERT_EQ(0, list.NewCommit());
    list.New()->m_nListenPort = 1;  // pending: not encoded

    const std::string expected =
        Count(2) + Rule(0, 443, "web", 8443, "p") + Rule(0x7F000001, 22, "", 0, "");
    std::string bytes = Encode(list, static_cast<int>(expected.size()));
    EXPECT_EQ(expected, bytes);

    Rules decoded;
    decoded.New();  // a pending entry is dropped by the decoding
    DecodeContext in(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()), 0);
    EXPECT_EQ(static_cast<int>(bytes.size()), decoded.Decode(in));
    EXPECT_EQ((std::vector<std::uint32_t>{1, 2}), Ids(decoded));
    EXPECT_EQ(nullptr, decoded.m_pNewEntry.get());
    EXPECT_EQ(443u, decoded.at(0)->m_nListenPort);
    EXPECT_STREQ("web", decoded.at(0)->m_sTargetHost.c_str());
    EXPECT_EQ(8443u, decoded.at(0)->m_nTargetPort);
    EXPECT_STREQ("p", decoded.at(0)->m_sProxyProfile.c_str());
    EXPECT_EQ(0x7F000001u, decoded.at(1)->m_nListenIntf);
    EXPECT_EQ(3u, decoded.NewId());
    EXPECT_EQ(bytes, Encode(decoded, static_cast<int>(bytes.size())));
}

TEST(RuleList, DuplicatesAreDroppedWithAWarning)
{
    const std::string stream = Count(3) + Rule(0, 22, "first", 1, "") + Rule(0, 22, "second", 2, "") +
                               Rule(0, 23, "third", 3, "") + "rest";
    Rules list;
    DecodeContext in(reinterpret_cast<const unsigned char*>(stream.data()), static_cast<std::uint32_t>(stream.size()), 0);
    EXPECT_EQ(static_cast<int>(stream.size() - 4), list.Decode(in));  // dropped bytes count too
    EXPECT_EQ((std::vector<std::uint32_t>{1, 3}), Ids(list));
    EXPECT_STREQ("first", list.at(0)->m_sTargetHost.c_str());
    EXPECT_STREQ("third", list.at(1)->m_sTargetHost.c_str());
    EXPECT_EQ(0u, in.errors.size());
    EXPECT_EQ(std::vector<std::string>{"RuleList::Decode() - dropping decoded record - is equal in order to a "
                                       "previously decoded record"},
              Texts(in.warnings));
    EXPECT_EQ(stream.size() - 4, in.pos);  // the rest is not read
}

TEST(RuleList, TruncatedStreamsFailWithTheirContextTexts)
{
    const std::string full = Count(3) + Rule(0, 1, "a", 1, "") + Rule(0, 2, "bb", 2, "") + Rule(0, 3, "c", 3, "");
    const std::size_t secondStart = 4 + Rule(0, 1, "a", 1, "").size();
    struct Case {
        std::size_t length;
        std::vector<std::string> errors;
        std::uint32_t entries;
    } cases[] = {
        {3, {"DecodeWord32(): premature end of input data", "called from RuleList::Decode()"}, 0},
        {secondStart + 2,
         {"DecodeWord32(): premature end of input data", "called from ForwardRule::Decode() at m_nListenIntf",
          "called from RuleList::Decode()"},
         1},
        {secondStart + 12 + 1,
         {"DecodeString(): premature end of input data", "called from ForwardRule::Decode() at m_sTargetHost",
          "called from RuleList::Decode()"},
         1},
    };
    for (const Case& c : cases) {
        Rules list;
        Add(list, 9, 9);
        DecodeContext in(reinterpret_cast<const unsigned char*>(full.data()), static_cast<std::uint32_t>(c.length), 0);
        EXPECT_EQ(0, list.Decode(in));
        EXPECT_EQ(c.errors, Texts(in.errors));
        // A bad count leaves the list as it was; a bad record keeps what came before it.
        if (c.length == 3)
            EXPECT_EQ(9u, list.at(0)->m_nListenPort);
        else
            EXPECT_EQ(c.entries, list.size());
    }
}

// However long the stream and in whatever order, each record is kept under its stream id
// unless it equals an earlier one, which is dropped with a warning.
TEST(RuleList, LongStreamsDecodeInAnyOrder)
{
    const std::uint32_t n = 20000;
    for (bool reverse : {false, true}) {
        std::string stream = Count(n);
        std::map<std::uint32_t, std::uint32_t> firstIdOfPort;
        std::uint32_t port = 0;
        for (std::uint32_t k = 0; k < n; ++k) {
            if (k % 8 != 7)  // every eighth record repeats the one before it
                port = reverse ? n - k : k + 1;
            stream += Rule(0, port, "", 0, "");
            firstIdOfPort.emplace(port, k + 1);
        }
        Rules list;
        DecodeContext in(reinterpret_cast<const unsigned char*>(stream.data()),
                         static_cast<std::uint32_t>(stream.size()), 0);
        ASSERT_EQ(static_cast<int>(stream.size()), list.Decode(in)) << reverse;
        EXPECT_EQ(0u, in.errors.size());
        EXPECT_EQ(n - firstIdOfPort.size(), in.warnings.size());
        ASSERT_EQ(firstIdOfPort.size(), list.size());
        std::uint32_t i = 0;
        for (const auto& entry : firstIdOfPort) {
            ASSERT_EQ(entry.first, list.at(i)->m_nListenPort) << reverse << " " << i;
            ASSERT_EQ(entry.second, list.IdAt(i)) << reverse << " " << i;
            ++i;
        }
        EXPECT_EQ(n + 1, list.NewId());
    }
}

TEST(RuleList, HugeCountsEndAtTheFirstMissingRecord)
{
    const std::string stream = Count(0xFFFFFFFFu) + Rule(0, 1, "a", 1, "");
    Rules list;
    DecodeContext in(reinterpret_cast<const unsigned char*>(stream.data()), static_cast<std::uint32_t>(stream.size()), 0);
    EXPECT_EQ(0, list.Decode(in));
    EXPECT_EQ(1u, list.size());
    EXPECT_EQ(3u, in.errors.size());
}

TEST(RuleList, DecodingWithAFactoryKeepsItsDefaultsForMembersTheStreamLacks)
{
    DefaultRules list;
    const std::string stream = Count(1) + Rule(0, 80, "web", 0, "");
    DecodeContext in(reinterpret_cast<const unsigned char*>(stream.data()), static_cast<std::uint32_t>(stream.size()), 0);
    EXPECT_EQ(static_cast<int>(stream.size()), list.Decode(in));
    ASSERT_EQ(1u, list.size());
    EXPECT_NE(nullptr, dynamic_cast<DefaultForwardRule*>(list.at(0)));
    EXPECT_EQ(1u, list.IdAt(0));
}

TEST(RuleList, EncodeFailureAddsTheListContext)
{
    struct TinyOutput : EncodeOutput {
        unsigned char room[8];
        std::uint32_t left = 10;
        unsigned char* Reserve(std::uint32_t n) override { return n <= left && n <= sizeof room ? room : nullptr; }
        void Commit(std::uint32_t n) override { left -= n; }
    } out;
    Rules list;
    Add(list, 0, 1);
    EXPECT_EQ(0, list.Encode(out));
    EXPECT_EQ((std::vector<std::string>{"EncodeWord32(): out of space",
                                        "called from ForwardRule::Encode() at m_nListenPort",
                                        "called from RuleList::Encode()"}),
              Texts(out.errors));
}

TEST(RuleList, AListMarkedByAFailedAllocationIsNeitherStoredNorRefilled)
{
    Rules list;
    Add(list, 0, 1);
    list.af_ = 64;
    std::string bytes;
    EncodeContext out(new CryptoPP::StringSink(bytes));
    EXPECT_EQ(0, list.Encode(out));
    EXPECT_EQ(std::vector<std::string>{"called from RuleList::Encode()"}, Texts(out.errors));
    EXPECT_EQ("", bytes);
    const std::string stream = Count(0);
    DecodeContext in(reinterpret_cast<const unsigned char*>(stream.data()), 4, 0);
    EXPECT_EQ(0, list.Decode(in));
    list.af_ = 0;
    EXPECT_EQ(1u, list.size());
}

TEST(RuleList, IsValidStopsAtTheFirstInvalidEntry)
{
    Rules list;
    ErrorInfo info;
    EXPECT_TRUE(list.IsValid(info));
    Add(list, 0, 1, "ok");
    Add(list, 0, 2, "");
    Add(list, 0, 3, "");
    EXPECT_FALSE(list.IsValid(info));
    EXPECT_EQ(std::vector<std::string>{"ForwardRule::IsValid(): empty target host value"}, Texts(info.errors));
}

TEST(RuleList, CopiesKeepEntriesAndIds)
{
    Rules source;
    Add(source, 0, 5);
    source.CreateNewWithId(7);
    source.New()->m_nListenPort = 6;
    source.NewCommit();
    Rules copy(source);
    EXPECT_EQ((std::vector<std::uint32_t>{1, 7}), Ids(copy));
    DefaultRules target;
    target = source;
    EXPECT_EQ((std::vector<std::uint32_t>{1, 7}), Ids(target));
    EXPECT_TRUE(target.m_bKeepDefaultEntry);
}

} // namespace
