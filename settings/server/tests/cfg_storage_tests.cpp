#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "foundation/encoded_string.h"
#include "settings/server/cfg_storage.h"
#include "settings/server/product_key.h"
#include "settings/server/tests/settings_builder.h"
#include "settings/server/tests/test_support.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string TempPath(const char* name)
{
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + name;
}

void WriteBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

CodePageString Ansi(const std::string& path) { return AnsiString(path); }

// "" when the call succeeded, else the exception's text (which must equal the last error).
template <class Call>
std::wstring Thrown(CfgStorage& store, Call call)
{
    try {
        EXPECT_TRUE(call());
        return L"";
    } catch (const OrvidexCfgException& e) {
        EXPECT_EQ(store.LastError(), e.WideWhat());
        return e.WideWhat();
    }
}

TEST(SettingsFiles, SavedFilesLoadBackToTheSameTree)
{
    const std::string path = TempPath("saved.ovs");
    ServerCfg source(false);
    EXPECT_EQ(L"The operation completed successfully", source.LastError());
    source.m_root.session.m_nLoginTimeout = 99;
    ASSERT_TRUE(source.SaveToFile(Ansi(path)));
    const std::string file = ReadBytes(path);
    EXPECT_EQ(std::string("\x00\x00\x00\x0C" "Orvidex 3.31", 16), file.substr(0, 16));

    ServerCfg loaded(false);
    ASSERT_TRUE(loaded.LoadFromFile(Ansi(path))) << Narrow(loaded.LastError());
    EXPECT_EQ(99u, loaded.m_root.session.m_nLoginTimeout);
    std::string again;
    CryptoPP::StringSink sink(again);
    ASSERT_TRUE(loaded.Encode(sink));
    EXPECT_EQ(file, again);
}

TEST(SettingsFiles, BadFilesFailAndKeepTheTree)
{
    const std::string missing = TempPath("missing.ovs");
    DeleteFileA(missing.c_str());
    ServerCfg quiet(false);
    quiet.m_root.session.m_nLoginTimeout = 4242;
    EXPECT_FALSE(quiet.LoadFromFile(Ansi(missing)));
    EXPECT_EQ(0u, (quiet.LastError() + L":")
                      .find(L"Error loading settings from file. CreateFile() failed with the following error: "
                            L"OS error 2:"));

    const std::string empty = TempPath("empty.ovs");
    WriteBytes(empty, "");
    EXPECT_FALSE(quiet.LoadFromFile(Ansi(empty)));
    EXPECT_EQ(L"unexpected end of packet", quiet.LastError());

    // A sound message followed by more bytes, and one beyond the size limit: the reader
    // sees the first 512000 bytes only.
    const std::string trailing = TempPath("trailing.ovs");
    WriteBytes(trailing, DefaultMessage("3.31") + "x");
    EXPECT_FALSE(quiet.LoadFromFile(Ansi(trailing)));
    EXPECT_EQ(L"input configuration data is partially corrupted", quiet.LastError());
    WriteBytes(trailing, DefaultMessage("3.31") + std::string(512000, '\0'));
    EXPECT_FALSE(quiet.LoadFromFile(Ansi(trailing)));
    EXPECT_EQ(L"input configuration data is partially corrupted", quiet.LastError());
    EXPECT_EQ(4242u, quiet.m_root.session.m_nLoginTimeout);

    ServerCfg throwing(true);
    try {
        throwing.LoadFromFile(Ansi(missing));
        FAIL() << "no exception";
    } catch (const OrvidexCfgException& e) {
        EXPECT_EQ(0u, std::wstring(e.WideWhat())
                          .find(L"Error loading settings from file. CreateFile() failed with the following error: "));
    }
    EXPECT_TRUE(throwing.m_root.IsDefault());
}

TEST(SettingsFiles, ATooLongMessageIsNotWritten)
{
    const std::string path = TempPath("long.ovs");
    DeleteFileA(path.c_str());
    ServerCfg cfg(false);
    cfg.m_root.session.m_sBannerFile.assign(260000, L'x');
    EXPECT_FALSE(cfg.SaveToFile(Ansi(path)));
    EXPECT_EQ(L"Error saving settings to file: the encoded settings exceed the limit of 512000 bytes",
              cfg.LastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
}

// Every test starts without the maker's key.
class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { DeleteKeys(); }
    void TearDown() override { DeleteKeys(); }

    static void DeleteKeys()
    {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kMakerKeyPath);
    }

    static std::string Value(const char* name)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return "<no key>";
        std::string data(600000, '\0');
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return "<no value>";
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        data.resize(size);
        return data;
    }

    static void SetValue(const char* name, const std::string& bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_BINARY,
                                                reinterpret_cast<const BYTE*>(bytes.data()),
                                                static_cast<DWORD>(bytes.size())));
        RegCloseKey(key);
    }
};

TEST_F(RegistryStore, TheInstallersRoadCreatesTheKeyAndStoresBothValues)
{
    {
        CfgStorage store(true);
        EXPECT_FALSE(store.m_keyOpen);
        EXPECT_TRUE(store.m_keypairUndefined);
        // No settings yet: the defaults stay.
        EXPECT_EQ(0u, Thrown(store, [&] { return store.LoadSettings(); })
                          .find(L"Error retrieving settings from registry. RegQueryValueEx() failed with the following "
                                L"error: OS error 2"));
        EXPECT_TRUE(store.m_keyOpen);
        EXPECT_TRUE(store.m_root.IsDefault());
        EXPECT_EQ(0u, Thrown(store, [&] { return store.LoadKeypair(); })
                          .find(L"Error retrieving keypair from registry. RegQueryValueEx() failed with the following "
                                L"error: OS error 2"));
        EXPECT_EQ(L"", Thrown(store, [&] { return store.SaveSettings(); }));
        store.m_keypair.m_publicKey = "public";
        store.m_keypair.m_privateKey.Assign(reinterpret_cast<const CryptoPP::byte*>("private"), 7);
        EXPECT_EQ(L"cannot encode undefined keypair data", Thrown(store, [&] { return store.SaveKeypair(); }));
        store.m_keypairUndefined = false;
        EXPECT_EQ(L"", Thrown(store, [&] { return store.SaveKeypair(); }));
    }
    EXPECT_EQ(std::string("\x00\x00\x00\x06" "public" "\x00\x00\x00\x07" "private", 21), Value("Keypair"));
    EXPECT_EQ(std::string("\x00\x00\x00\x0C" "Orvidex 3.31", 16), Value("Settings").substr(0, 16));

    CfgStorage again(false);
    ASSERT_TRUE(again.LoadSettings()) << Narrow(again.LastError());
    ASSERT_TRUE(again.LoadKeypair()) << Narrow(again.LastError());
    EXPECT_FALSE(again.m_keypairUndefined);
    EXPECT_EQ("public", again.m_keypair.m_publicKey);
    EXPECT_EQ(7u, again.m_keypair.m_privateKey.size());
    std::string settings;
    CryptoPP::StringSink sink(settings);
    ASSERT_TRUE(again.Encode(sink));
    EXPECT_EQ(Value("Settings"), settings);
}

TEST_F(RegistryStore, StoredSettingsReplaceTheTreeOnlyWhenSound)
{
    CfgStorage writer(false);
    writer.m_root.session.m_nLoginTimeout = 77;
    ASSERT_TRUE(writer.SaveSettings());

    CfgStorage reader(false);
    ASSERT_TRUE(reader.LoadSettings());
    EXPECT_EQ(77u, reader.m_root.session.m_nLoginTimeout);

    const std::string sound = Value("Settings");
    SetValue("Settings", sound.substr(0, sound.size() - 1));
    CfgStorage cut(false);
    EXPECT_FALSE(cut.LoadSettings());
    EXPECT_TRUE(cut.m_root.IsDefault());
    EXPECT_FALSE(cut.LastError().empty());

    // A value beyond 512000 bytes is not read at all.
    SetValue("Settings", sound + std::string(512001 - sound.size(), '\0'));
    EXPECT_FALSE(cut.LoadSettings());
    EXPECT_EQ(0u, cut.LastError().find(L"Error retrieving settings from registry. RegQueryValueEx() failed with the "
                                       L"following error: OS error 234"));
}

TEST_F(RegistryStore, BadKeypairValuesLeaveTheKeypairUndefined)
{
    SetValue("Keypair", std::string("\x00\x00\x00\x01" "p" "\x00\x00\x00\x01" "q" "!", 11));
    CfgStorage store(false);
    EXPECT_FALSE(store.LoadKeypair());
    EXPECT_EQ(L"input configuration data is partially corrupted", store.LastError());
    EXPECT_TRUE(store.m_keypairUndefined);
    EXPECT_TRUE(store.m_keypair.m_publicKey.empty());

    SetValue("Keypair", std::string("\x00\x00\x00\x09" "p", 5));
    EXPECT_FALSE(store.LoadKeypair());
    EXPECT_EQ(L"unexpected end of packet", store.LastError());
    EXPECT_TRUE(store.m_keypairUndefined);

    SetValue("Keypair", std::string());
    EXPECT_FALSE(store.LoadKeypair());
    EXPECT_EQ(L"unexpected end of packet", store.LastError());
    EXPECT_TRUE(store.m_keypairUndefined);

    // A value beyond 20480 bytes is not read at all.
    SetValue("Keypair", std::string(20481, '\0'));
    EXPECT_FALSE(store.LoadKeypair());
    EXPECT_EQ(0u, store.LastError().find(L"Error retrieving keypair from registry. RegQueryValueEx() failed with the "
                                         L"following error: OS error 234"));
    EXPECT_TRUE(store.m_keypairUndefined);

    // A keypair too long for its value is not written.
    const std::string stored = Value("Keypair");
    store.m_keypairUndefined = false;
    store.m_keypair.m_publicKey.assign(20480, 'k');
    EXPECT_FALSE(store.SaveKeypair());
    EXPECT_EQ(L"Encoded keypair length exceeds buffer size", store.LastError());
    EXPECT_EQ(stored, Value("Keypair"));
}

TEST_F(RegistryStore, TreesThatWouldNotLoadAgainAreNotSaved)
{
    const std::string path = TempPath("refused.ovs");
    {
        // On a machine without the key, a refused tree does not even create it.
        CfgStorage store(true);
        store.m_root.server.logging.m_nEventLogLevel = 4;
        EXPECT_EQ(L"invalid event log log-level value", Thrown(store, [&] { return store.SaveSettings(); }));
        EXPECT_FALSE(store.m_keyOpen);
        EXPECT_EQ("<no key>", Value("Settings"));
    }
    {
        CfgStorage sound(false);
        sound.m_root.session.m_nLoginTimeout = 77;
        ASSERT_TRUE(sound.SaveSettings());
        ASSERT_TRUE(sound.SaveToFile(Ansi(path)));
    }
    const std::string stored = Value("Settings");
    const std::string storedFile = ReadBytes(path);

    const struct {
        std::vector<std::wstring> instructions;
        const wchar_t* message;
    } cases[] = {
        {{L"server.logging.eventLogLevel 4"}, L"invalid event log log-level value"},
        {{L"access.templates.All.srvSideFwding.s2c.NewCommit"},
         L"invalid template server-side s2c rule data: [Error] SrvSideS2CRule::IsValid(): invalid listen port value"},
        {{L"access.templates.All.srvSideFwding.c2s.New.targetHost \"db\"",
          L"access.templates.All.srvSideFwding.c2s.NewCommit"},
         L"undefined proxy profiles referenced in template server-side c2s rule data"},
    };
    for (const auto& c : cases) {
        CfgStorage store(true);
        LanguageOn language(store.m_root);
        for (const std::wstring& instruction : c.instructions)
            ASSERT_EQ(L"", language.Run(instruction)) << Narrow(instruction);

        // The refusal is the one the loader would give for the same tree.
        std::string message;
        CryptoPP::StringSink sink(message);
        ASSERT_TRUE(store.Encode(sink));
        ServerCfg loader(false);
        CryptoPP::StringStore source(message);
        EXPECT_FALSE(loader.Decode(source));
        EXPECT_EQ(c.message, loader.LastError());

        EXPECT_EQ(c.message, Thrown(store, [&] { return store.SaveSettings(); }));
        EXPECT_EQ(c.message, Thrown(store, [&] { return store.SaveToFile(Ansi(path)); }));
        EXPECT_EQ(stored, Value("Settings"));
        EXPECT_EQ(storedFile, ReadBytes(path));
    }

    // Set right, the same holder saves again, and the tree loads back.
    CfgStorage store(false);
    LanguageOn language(store.m_root);
    ASSERT_EQ(L"", language.Run(L"server.logging.eventLogLevel 4"));
    EXPECT_FALSE(store.SaveSettings());
    ASSERT_EQ(L"", language.Run(L"server.logging.eventLogLevel 3"));
    ASSERT_TRUE(store.SaveSettings()) << Narrow(store.LastError());
    ASSERT_TRUE(store.SaveToFile(Ansi(path))) << Narrow(store.LastError());
    CfgStorage fromRegistry(false);
    ASSERT_TRUE(fromRegistry.LoadSettings()) << Narrow(fromRegistry.LastError());
    EXPECT_EQ(3, fromRegistry.m_root.server.logging.m_nEventLogLevel);
    ServerCfg fromFile(false);
    ASSERT_TRUE(fromFile.LoadFromFile(Ansi(path))) << Narrow(fromFile.LastError());
    EXPECT_EQ(3, fromFile.m_root.server.logging.m_nEventLogLevel);
}

TEST_F(RegistryStore, AnExistingProductKeyIsOpenedForQueryAndSetOnly)
{
    SetValue("Other", "x");
    CfgStorage store(false);
    ASSERT_TRUE(store.OpenKey());
    ASSERT_TRUE(store.SaveSettings());
    EXPECT_EQ("x", Value("Other"));
}

TEST_F(RegistryStore, KeyFailuresAreReported)
{
    // A volatile maker's key cannot hold the non-volatile product key.
    HKEY maker = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMakerKeyPath, 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &maker, nullptr));
    RegCloseKey(maker);
    CfgStorage store(true);
    EXPECT_EQ(0u, Thrown(store, [&] { return store.SaveSettings(); })
                      .find(L"Error opening registry key. RegCreateKeyEx() failed with the following error: OS error "
                            L"1021"));
    EXPECT_FALSE(store.m_keyOpen);
}

} // namespace
