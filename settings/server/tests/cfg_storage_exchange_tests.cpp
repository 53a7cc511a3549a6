#include "settings/server/cfg_storage.h"

#include "foundation/encoded_string.h"
#include "foundation/exceptions.h"
#include "settings/server/change_signal.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <string>

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

KeypairData SampleKeypair()
{
    KeypairData keypair;
    keypair.m_publicKey = "pub";
    keypair.m_privateKey.Assign(reinterpret_cast<const CryptoPP::byte*>("priv!"), 5);
    return keypair;
}

// A clean maker's key and a file beside the test for each test.
class StoreExchange : public testing::Test {
protected:
    void SetUp() override
    {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune");
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        file.text = std::string(dir) + "orvidex-store-keypair.txt";
        DeleteFileA(file.text.c_str());
    }
    void TearDown() override
    {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune");
        DeleteFileA(file.text.c_str());
    }

    CodePageString file{CP_ACP};
};

TEST_F(StoreExchange, KeypairFileRoundTripsUnderItsPassphraseOnly)
{
    CfgStorage saver(false);
    EXPECT_FALSE(saver.SaveKeypairToFile(L"pw", 2, file));
    EXPECT_EQ(Narrow(saver.LastError()), "cannot encode undefined keypair data");

    saver.m_keypair = SampleKeypair();
    saver.m_keypairUndefined = false;
    ASSERT_TRUE(saver.SaveKeypairToFile(L"pass \u00e9", 6, file)) << Narrow(saver.LastError());

    CfgStorage loader(false);
    EXPECT_FALSE(loader.LoadKeypairFromFile(L"pass e", 6, file));
    EXPECT_EQ(Narrow(loader.LastError()), "Error decrypting keypair - invalid ciphertext or passphrase");
    EXPECT_TRUE(loader.m_keypairUndefined);
    EXPECT_TRUE(loader.m_keypair.m_publicKey.empty());

    ASSERT_TRUE(loader.LoadKeypairFromFile(L"pass \u00e9", 6, file)) << Narrow(loader.LastError());
    EXPECT_FALSE(loader.m_keypairUndefined);
    EXPECT_TRUE(loader.m_keypair == SampleKeypair());

    // The same failures throw with the flag set.
    CfgStorage throwing(true);
    try {
        throwing.LoadKeypairFromFile(L"", 0, file);
        ADD_FAILURE() << "no exception";
    } catch (const OrvidexCfgException& e) {
        EXPECT_STREQ(e.what(), "Error decrypting keypair - invalid ciphertext or passphrase");
    }
    DeleteFileA(file.text.c_str());
    try {
        throwing.LoadKeypairFromFile(L"", 0, file);
        ADD_FAILURE() << "no exception";
    } catch (const OrvidexCfgException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "Error loading keypair from file - CreateFile() failed with the following error: OS error 2", 0),
                  0u)
            << e.what();
    }
}

TEST_F(StoreExchange, PassphraseThatOutgrowsItsRoomFailsByTheConvention)
{
    CfgStorage store(false);
    store.m_keypair = SampleKeypair();
    store.m_keypairUndefined = false;
    const std::wstring wide(200, L'\u4e2d');
    std::string text = "old";
    EXPECT_FALSE(store.EncryptKeypair(wide.data(), wide.size(), text));
    EXPECT_EQ(Narrow(store.LastError()),
              "Error encoding keypair - WideCharToMultiByte() failed with the following error: " +
                  OsErrorMessage(ERROR_INSUFFICIENT_BUFFER).text);
    EXPECT_EQ(text, "");
}

TEST_F(StoreExchange, ChangeSignalRoundTrip)
{
    CfgStorage store(false);
    bool changed = true;
    EXPECT_FALSE(store.QueryChangeSignal(changed));
    EXPECT_EQ(Narrow(store.LastError()),
              "Querying config-change signal failed - RegQueryValueEx() failed with the following error: " +
                  OsErrorMessage(ERROR_FILE_NOT_FOUND).text);
    EXPECT_TRUE(changed);  // written only on success

    EXPECT_TRUE(store.SignalChanges()) << Narrow(store.LastError());
    EXPECT_TRUE(store.QueryChangeSignal(changed));
    EXPECT_TRUE(changed);
    EXPECT_TRUE(store.ResetChangeSignal());
    EXPECT_TRUE(store.QueryChangeSignal(changed));
    EXPECT_FALSE(changed);
}

TEST_F(StoreExchange, SignalReachesAWaitingServerEvenWhenTheKeyCannotBeOpened)
{
    HKEY maker = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune", 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &maker, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(maker);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ChangeSignal::EventName);
    ASSERT_NE(event, nullptr);

    CfgStorage store(true);
    try {
        store.SignalChanges();
        ADD_FAILURE() << "no exception";
    } catch (const OrvidexCfgException& e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "Error opening registry key. RegCreateKeyEx() failed with the following error: OS error 1021", 0),
                  0u)
            << e.what();
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

}  // namespace
