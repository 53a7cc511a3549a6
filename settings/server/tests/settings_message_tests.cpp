#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "settings/server/server_cfg.h"
#include "settings/server/tests/settings_builder.h"
#include "settings/server/tests/test_support.h"

namespace {

std::string Encode(ServerCfg& cfg)
{
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    EXPECT_TRUE(cfg.Encode(sink)) << std::string(cfg.LastError().begin(), cfg.LastError().end());
    return bytes;
}

// "" when the message decoded into the holder, else the last-error text.
std::wstring DecodeFailure(ServerCfg& cfg, const std::string& bytes)
{
    CryptoPP::StringStore store(bytes);
    return cfg.Decode(store) ? std::wstring() : cfg.LastError();
}

// A holder whose tree differs from the defaults in a way every decode would reset.
struct MarkedHolder {
    ServerCfg cfg{false};
    MarkedHolder() { cfg.m_root.session.m_nLoginTimeout = 4242; }
    bool Untouched() const { return cfg.m_root.session.m_nLoginTimeout == 4242; }
};

TEST(SettingsMessage, TheDefaultTreeIsWrittenFieldByFieldAtVersion331)
{
    ServerCfg cfg(false);
    const std::string written = Encode(cfg);
    // The profile blob carries a freshly encrypted empty password: take it from the list.
    const std::string profiles = Encoded(cfg.m_root.proxyProfiles);
    EXPECT_EQ(ToHex(DefaultMessage("3.31", AccessPart(), profiles)), ToHex(written));
    EXPECT_EQ(std::string("\x00\x00\x00\x0C" "Orvidex 3.31", 16), written.substr(0, 16));
}

TEST(SettingsMessage, AWrittenMessageReadsBackToTheSameBytes)
{
    ServerCfg source(false);
    LanguageOn language(source.m_root);
    for (const wchar_t* instruction :
         {L"server.binding.interface 10.1.2.3", L"server.binding.port 2222", L"server.logging.eventLogLevel 9",
          L"server.logging.eventLogEventList.LOG_I_SERVICE_STARTED off", L"server.logging.logFile \"C:\\\\x\\x00e9.log\"",
          L"algs.encr.arcfour false", L"algs.cmpr.zlib false", L"session.sessionTimeout 77",
          L"proxyProfiles.New.profileName \"Backup\"", L"proxyProfiles.NewCommit",
          L"proxyProfiles.(profileName eq \"Default\").proxyPort 3128"}) {
        ASSERT_EQ(L"", language.Run(instruction)) << std::wstring(instruction);
    }
    const std::string first = Encode(source);

    ServerCfg copy(false);
    ASSERT_EQ(L"", DecodeFailure(copy, first));
    EXPECT_EQ(ToHex(first), ToHex(Encode(copy)));
    EXPECT_STREQ("10.1.2.3", copy.m_root.server.binding.m_sInterfaceText.c_str());
    EXPECT_STREQ("aes256-cbc,twofish256-cbc,twofish-cbc,aes128-cbc,twofish128-cbc,blowfish-cbc,3des-cbc,cast128-cbc",
                 copy.m_root.algs.encr.m_sNameList.c_str());
    EXPECT_STREQ("none", copy.m_root.algs.cmpr.m_sNameList.c_str());
}

TEST(SettingsMessage, AccountsAreWrittenFieldByField)
{
    ServerCfg cfg(false);
    LanguageOn language(cfg.m_root);
    for (const wchar_t* instruction :
         {L"access.accounts.New.account \"alice\"", L"access.accounts.New.permitSftp no",
          L"access.accounts.New.keys.New.publicKey \"0102\"", L"access.accounts.New.keys.NewCommit",
          L"access.accounts.New.keys.New.publicKey \"01\"", L"access.accounts.New.keys.NewCommit",
          L"access.accounts.NewCommit"}) {
        ASSERT_EQ(L"", language.Run(instruction)) << std::wstring(instruction);
    }
    AccountFields alice;
    alice.account = L"alice";
    alice.permitSftp = 2;
    // Keys in list order: a prefix before the longer key.
    alice.keys = {std::string("\x01", 1), std::string("\x01\x02", 2)};
    AccessPart access;
    access.accounts.push_back(AccountEntryBytes("3.31", alice));
    EXPECT_EQ(ToHex(DefaultMessage("3.31", access, Encoded(cfg.m_root.proxyProfiles))), ToHex(Encode(cfg)));
}

TEST(SettingsMessage, DefaultMessagesOfEveryOlderVersionReadAsTheDefaultTree)
{
    for (const char* version : {"3.07", "3.08", "3.09", "3.11", "3.12", "3.25", "3.26", "3.27", "3.28", "3.30"}) {
        ServerCfg cfg(false);
        ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage(version))) << version;
        EXPECT_TRUE(cfg.m_root.IsDefault()) << version;
        EXPECT_EQ(ToHex(DefaultMessage("3.31", AccessPart(), Encoded(cfg.m_root.proxyProfiles))), ToHex(Encode(cfg)))
            << version;
    }
}

TEST(SettingsMessage, VersionsCompareAsByteStrings)
{
    const struct {
        std::string header;
        const wchar_t* failure;
    } cases[] = {
        {"Orvidex 3.4", L"unsupported configuration version"},
        {"Orvidex 3.31x", L"unsupported configuration version"},
        {"Orvidex 4", L"unsupported configuration version"},
        {"Orvidex", L"invalid configuration version data detected"},
        {"", L"invalid configuration version data detected"},
        {"orvidex 3.31", L"invalid configuration version data detected"},
        {"Orvidex_3.31", L"invalid configuration version data detected"},
    };
    for (const auto& c : cases) {
        MarkedHolder holder;
        EXPECT_EQ(c.failure, DecodeFailure(holder.cfg, Message().Blob(c.header).bytes + std::string(400, '\0')))
            << c.header;
        EXPECT_TRUE(holder.Untouched());
    }
}

TEST(SettingsMessage, A100VersionReadsAsOlderThan307)
{
    // "10.0" sorts before "3.07": every gated field is absent and the two AES-128 and
    // Twofish-128 flags are off.
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("10.0")));
    EXPECT_FALSE(cfg.m_root.algs.encr.m_enabled[2]);
    EXPECT_FALSE(cfg.m_root.algs.encr.m_enabled[3]);
    EXPECT_STREQ("aes256-cbc,twofish256-cbc,twofish-cbc,blowfish-cbc,3des-cbc,arcfour,cast128-cbc",
                 cfg.m_root.algs.encr.m_sNameList.c_str());
}

// The offset of the first event block's count in a 3.31 message.
const std::size_t kFirstEventBlock = 16 + 4 + 4 + 4 + 1 + 1 + 1;

TEST(SettingsMessage, EventBlocksTakeAtMost202FlagsAndSkipTheRest)
{
    const std::string base = DefaultMessage("3.31");
    ASSERT_EQ(std::string("\x00\x00\x00\xCA", 4), base.substr(kFirstEventBlock, 4));
    const std::string before = base.substr(0, kFirstEventBlock);
    const std::string after = base.substr(kFirstEventBlock + 4 + 202);

    // 300 flags, all off: 202 taken, 98 skipped, and reading goes on behind them.
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, before + Message().Word(300).bytes + std::string(300, '\0') + after));
    for (std::uint32_t i = 0; i < 202; ++i)
        EXPECT_EQ(0, cfg.m_root.server.logging.eventLogEventList.Flags()[i]) << i;
    EXPECT_EQ(2, cfg.m_root.server.logging.m_nLogFileLevel);

    // 10 flags with the custom level: the rest as for the information level.
    std::string custom = before + Message().Word(10).bytes + std::string(10, '\0') + after;
    custom[kFirstEventBlock - 1] = 9;
    ASSERT_EQ(L"", DecodeFailure(cfg, custom));
    EventList expected;
    expected.SetToLogLevel(2);
    for (std::uint32_t i = 0; i < 202; ++i)
        EXPECT_EQ(i < 10 ? 0 : expected.Flags()[i], cfg.m_root.server.logging.eventLogEventList.Flags()[i]) << i;

    // A count beyond the message's end.
    MarkedHolder holder;
    EXPECT_EQ(L"unexpected end of packet",
              DecodeFailure(holder.cfg, before + Message().Word(0xFFFFFFFFu).bytes + std::string(300, '\0')));
    EXPECT_TRUE(holder.Untouched());
}

TEST(SettingsMessage, EveryCutMessageFailsAndInstallsNothing)
{
    const std::string whole = DefaultMessage("3.31");
    for (std::size_t length = 0; length < whole.size(); ++length) {
        MarkedHolder holder;
        const std::wstring failure = DecodeFailure(holder.cfg, whole.substr(0, length));
        // A cut inside a blob shows as the blob's own decoding failure.
        EXPECT_FALSE(failure.empty()) << length;
        EXPECT_TRUE(holder.Untouched()) << length;
    }
    MarkedHolder holder;
    EXPECT_EQ(L"input configuration data is partially corrupted", DecodeFailure(holder.cfg, whole + "x"));
    EXPECT_TRUE(holder.Untouched());
    EXPECT_EQ(L"", DecodeFailure(holder.cfg, whole));
    EXPECT_FALSE(holder.Untouched());
}

TEST(SettingsMessage, FailuresThrowOnlyWithTheThrowFlag)
{
    ServerCfg throwing(true);
    throwing.m_root.session.m_nLoginTimeout = 4242;
    CryptoPP::StringStore store(std::string("\x00\x00\x00\x02" "Or", 6));
    try {
        throwing.Decode(store);
        FAIL() << "no exception";
    } catch (const OrvidexCfgException& e) {
        EXPECT_EQ(std::wstring(L"invalid configuration version data detected"), e.WideWhat());
    }
    EXPECT_EQ(L"invalid configuration version data detected", throwing.LastError());
    EXPECT_EQ(4242u, throwing.m_root.session.m_nLoginTimeout);
}

TEST(SettingsMessage, ATreeWithoutTemplatesIsNotWritten)
{
    ServerCfg cfg(false);
    cfg.m_root.access.templates.Clear();
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    EXPECT_FALSE(cfg.Encode(sink));
    EXPECT_EQ(L"Error encoding templates: there must be at least one template entry", cfg.LastError());
    // What came before the templates is already in the stream.
    EXPECT_FALSE(bytes.empty());
}

TEST(SettingsMessage, DecodedTreesAreValidatedBeforeTheyAreInstalled)
{
    std::string message = DefaultMessage("3.31");
    // The binding port, the third word of the message.
    message.replace(20, 4, std::string(4, '\0'));
    MarkedHolder holder;
    EXPECT_EQ(L"invalid server binding port", DecodeFailure(holder.cfg, message));
    EXPECT_TRUE(holder.Untouched());
}

TEST(SettingsMessage, TheKeyExchangeFlagsRebuildTheirNameList)
{
    std::string message = DefaultMessage("3.31");
    // The key-exchange flags follow the plug-in text (rows 19 to 21).
    const std::string tail = Message().Word(100).Word(500).Word(50).WStr(L"").Bool(true).Bool(true).bytes;
    const std::size_t at = message.find(tail);
    ASSERT_NE(std::string::npos, at);
    message[at + tail.size() - 2] = 0;
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, message));
    EXPECT_FALSE(cfg.m_root.algs.m_kex.m_enabled[0]);
    EXPECT_STREQ("diffie-hellman-group14-sha1", cfg.m_root.algs.m_kex.m_sNameList.c_str());
}

TEST(SettingsMessage, TwoAccountsOfOneNameAreRefused)
{
    AccessPart access;
    AccountFields alice;
    alice.account = L"alice";
    access.accounts.push_back(AccountEntryBytes("3.31", alice));
    alice.account = L"ALICE";
    access.accounts.push_back(AccountEntryBytes("3.31", alice));
    MarkedHolder holder;
    EXPECT_EQ(L"Error decoding accounts: an entry is equal in order to a previously decoded entry",
              DecodeFailure(holder.cfg, DefaultMessage("3.31", access)));
    EXPECT_TRUE(holder.Untouched());
}

// A tree with something in every blob of the message, written by the encoder; the tests
// below damage its bytes.
struct BlobFixture {
    ServerCfg cfg{false};
    std::string message;

    BlobFixture()
    {
        LanguageOn language(cfg.m_root);
        for (const wchar_t* instruction :
             {L"proxyProfiles.New.profileName \"Backup\"", L"proxyProfiles.NewCommit",
              L"proxyProfiles.(profileName eq \"Default\").proxyPassword \"Plain:secret\"",
              L"access.templates.All.srvSideFwding.c2s.New.targetHost \"db\"",
              L"access.templates.All.srvSideFwding.c2s.New.proxyProfile \"Default\"",
              L"access.templates.All.srvSideFwding.c2s.NewCommit"}) {
            EXPECT_EQ(L"", language.Run(instruction)) << std::wstring(instruction);
        }
        AccountEntry* alice = cfg.m_root.access.accounts.New();
        alice->account = L"alice";
        DnsNameConnectRule* dns = alice->connectRules.dnsNameRules.New();
        dns->dnsNameRule.m_dnsName.assign("db.example.com");
        EXPECT_EQ(0, alice->connectRules.dnsNameRules.NewCommit());
        ListenRule* listen = alice->listenRules.New();
        listen->ipRule.m_ip = 0x0A000000u;
        listen->ipRule.m_sigBits = 8;
        EXPECT_EQ(0, alice->listenRules.NewCommit());
        EXPECT_EQ(0, cfg.m_root.access.accounts.NewCommit());
        message = Encode(cfg);
    }
};

// Where a blob with the given content stands, from the offset of its length word on.
std::size_t FindBlob(const std::string& message, const std::string& content, std::size_t from)
{
    return message.find(Message().Blob(content).bytes, from);
}

// The message with the blob at offset at (its length word) replaced by content.
std::string WithBlob(const std::string& message, std::size_t at, std::size_t oldSize, const std::string& content)
{
    return message.substr(0, at) + Message().Blob(content).bytes + message.substr(at + 4 + oldSize);
}

std::string AddToWord(std::string bytes, std::size_t at, std::uint32_t delta)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    value += delta;
    for (std::size_t i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
    return bytes;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

TEST(SettingsMessage, ABlobMustBeTakenWholeExceptTheForwardingRules)
{
    BlobFixture fixture;
    CfgRoot& root = fixture.cfg.m_root;
    AccountTemplate& t = *root.access.templates.at(0);
    AccountEntry& alice = *root.access.accounts.at(0);
    {
        ServerCfg sound(false);
        ASSERT_EQ(L"", DecodeFailure(sound, fixture.message));
        ASSERT_EQ(ToHex(fixture.message), ToHex(Encode(sound)));
    }

    // The blobs in message order, each with the offset in its content of a count whose
    // list ends the record, so that a smaller count leaves the last entry over.
    const struct {
        std::string content;
        std::size_t countAt;
        const wchar_t* prefix;
    } blobs[] = {
        {Encoded(root.proxyProfiles), 0, L"Error decoding proxy profiles: "},
        {Encoded(t.connectRules), 0, L"Error decoding template connect rules: "},
        {Encoded(t.listenRules), 0, L"Error decoding template listen rules: "},
        {Encoded(alice.connectRules), 4, L"Error decoding account connect rules: "},
        {Encoded(alice.listenRules), 0, L"Error decoding account listen rules: "},
        {Encoded(root.access.hosts), 0, L"Error decoding host accept rules: "},
    };
    std::size_t from = 0;
    for (const auto& blob : blobs) {
        const std::size_t at = FindBlob(fixture.message, blob.content, from);
        ASSERT_NE(std::string::npos, at) << ToHex(blob.content);
        from = at + 4 + blob.content.size();
        const std::wstring extraByte = std::wstring(blob.prefix) + L"1 byte left over after the encoded data";
        const struct {
            const wchar_t* what;
            std::string message;
            std::wstring failure;  // exact, or only its start when empty
            bool leftOver;
        } damaged[] = {
            {L"one byte more", WithBlob(fixture.message, at, blob.content.size(), blob.content + "x"), extraByte, true},
            {L"count one less",
             WithBlob(fixture.message, at, blob.content.size(), AddToWord(blob.content, blob.countAt, -1)), L"", true},
            {L"count one more",
             WithBlob(fixture.message, at, blob.content.size(), AddToWord(blob.content, blob.countAt, 1)), L"", false},
        };
        for (const auto& d : damaged) {
            MarkedHolder holder;
            const std::wstring failure = DecodeFailure(holder.cfg, d.message);
            if (!d.failure.empty()) {
                EXPECT_EQ(d.failure, failure);
            }
            EXPECT_TRUE(StartsWith(failure, blob.prefix)) << blob.prefix << d.what << L": " << failure;
            EXPECT_EQ(d.leftOver, failure.find(L" left over after the encoded data") != std::wstring::npos)
                << blob.prefix << d.what << L": " << failure;
            EXPECT_TRUE(holder.Untouched()) << blob.prefix << d.what;
        }
    }

    // A blob length that takes in the next field's bytes leaves them over.
    const std::string profiles = Encoded(root.proxyProfiles);
    MarkedHolder holder;
    EXPECT_EQ(L"Error decoding proxy profiles: 4 bytes left over after the encoded data",
              DecodeFailure(holder.cfg, AddToWord(fixture.message, FindBlob(fixture.message, profiles, 0), 4)));
    // A cut password length (the last profile's last field) fails the load rather than giving
    // a password that can never be decrypted.
    const std::size_t passwordLength = profiles.size() - 36 - 4;
    ASSERT_EQ(std::string("\x00\x00\x00\x24", 4), profiles.substr(passwordLength, 4));
    EXPECT_EQ(L"Error decoding proxy profiles: 16 bytes left over after the encoded data",
              DecodeFailure(holder.cfg, WithBlob(fixture.message, FindBlob(fixture.message, profiles, 0),
                                                 profiles.size(), AddToWord(profiles, passwordLength, -16))));
    EXPECT_TRUE(holder.Untouched());
}

TEST(SettingsMessage, TheForwardingBlobsTolerateBytesAfterTheirRules)
{
    BlobFixture fixture;
    const std::string c2s = Encoded(fixture.cfg.m_root.access.templates.at(0)->srvSideFwding.c2s);
    const std::size_t at = FindBlob(fixture.message, c2s, 0);
    ASSERT_NE(std::string::npos, at);

    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, WithBlob(fixture.message, at, c2s.size(), c2s + "xyz")));
    EXPECT_EQ(ToHex(fixture.message), ToHex(Encode(cfg)));

    MarkedHolder holder;
    EXPECT_TRUE(StartsWith(DecodeFailure(holder.cfg, WithBlob(fixture.message, at, c2s.size(), AddToWord(c2s, 0, 1))),
                           L"Error decoding server-side forwarding C2S rules: "));
    EXPECT_TRUE(holder.Untouched());
}

// Entries are put in order once the list is read: keys that come in reverse order keep
// their stream ids, and an equal pair is reported even when a later entry is cut off.
TEST(SettingsMessage, DecodedEntriesAreOrderedAndAnEarlierEqualPairIsReportedFirst)
{
    AccessPart access;
    AccountFields carol;
    carol.account = L"carol";
    carol.keys = {"key c", "key b", "key a"};
    access.accounts.push_back(AccountEntryBytes("3.31", carol));
    ServerCfg cfg(false);
    ASSERT_EQ(L"", DecodeFailure(cfg, DefaultMessage("3.31", access)));
    const SortedListEvaluator<PublicKeyEntry>& keys = cfg.m_root.access.accounts.at(0)->keys;
    ASSERT_EQ(3u, keys.size());
    EXPECT_EQ("key a", keys.at(0)->publicKey);
    EXPECT_EQ(3u, keys.IdAt(0));
    EXPECT_EQ("key c", keys.at(2)->publicKey);
    EXPECT_EQ(1u, keys.IdAt(2));

    AccountFields alice;
    alice.account = L"alice";
    access.accounts = {AccountEntryBytes("3.31", alice)};
    alice.account = L"ALICE";
    access.accounts.push_back(AccountEntryBytes("3.31", alice));
    access.accounts.push_back(AccountEntryBytes("3.31", carol));
    std::string message = DefaultMessage("3.31", access);
    const std::size_t third = message.find(access.accounts[2]);
    ASSERT_NE(std::string::npos, third);
    message.resize(third + access.accounts[2].size() / 2);
    MarkedHolder holder;
    EXPECT_EQ(L"Error decoding accounts: an entry is equal in order to a previously decoded entry",
              DecodeFailure(holder.cfg, message));
    EXPECT_TRUE(holder.Untouched());
}

} // namespace
