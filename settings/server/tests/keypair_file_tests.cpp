#include "settings/server/keypair_file.h"

#include "foundation/encoded_string.h"
#include "foundation/exceptions.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/tests/test_support.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

using CryptoPP::byte;

const std::string kRecord("\x00\x00\x00\x03pub\x00\x00\x00\x05priv!", 16);

std::string Seal(const std::string& record, const std::wstring& passphrase)
{
    return KeypairFile::Seal(reinterpret_cast<const byte*>(record.data()), record.size(), passphrase.data(),
                             passphrase.size());
}

// The record, or the failure text.
std::string Open(const std::string& text, const std::wstring& passphrase)
{
    try {
        CryptoPP::SecByteBlock plain = KeypairFile::Open(reinterpret_cast<const byte*>(text.data()), text.size(),
                                                         passphrase.data(), passphrase.size());
        return std::string(reinterpret_cast<const char*>(plain.data()), plain.size());
    } catch (const OrvidexCfgException& e) {
        return e.what();
    }
}

const char* const kInvalid = "Error decrypting keypair - invalid ciphertext or passphrase";

TEST(KeypairFileTest, SealedRecordOpensOnlyWithItsPassphrase)
{
    const std::wstring passphrase = L"correct horse \u00e9\u4e2d";
    const std::string text = Seal(kRecord, passphrase);
    EXPECT_EQ(Open(text, passphrase), kRecord);
    EXPECT_EQ(Open(text, L"correct horse \u00e9"), kInvalid);
    EXPECT_EQ(Open(text, L""), kInvalid);

    // Fresh salt and pad each time; both texts open.
    const std::string again = Seal(kRecord, passphrase);
    EXPECT_NE(again, text);
    EXPECT_EQ(Open(again, passphrase), kRecord);

    // An empty passphrase is a passphrase of no bytes.
    EXPECT_EQ(Open(Seal(kRecord, L""), L""), kRecord);
    EXPECT_EQ(Open(Seal(kRecord, L""), L"x"), kInvalid);
}

TEST(KeypairFileTest, TextIsBase64InLinesOf72EachEndedByALineFeed)
{
    const std::string record(3000, 'k');
    const std::string text = Seal(record, L"pass");
    ASSERT_EQ(text.back(), '\n');
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const size_t length = end - start;
        if (end + 1 < text.size())
            EXPECT_EQ(length, 72u) << "line " << lines;
        else
            EXPECT_LE(length, 72u);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", start),
                  end);
        start = end + 1;
        ++lines;
    }
    // The Base64 holds the cipher's form: pad, record, salt and tag.
    std::string sealed;
    CryptoPP::StringSource(text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(sealed)));
    EXPECT_EQ(sealed.size(), record.size() + (18 - record.size() % 15) + 8 + 20);
}

TEST(KeypairFileTest, ReaderIgnoresNonAlphabetCharactersAndRefusesDamage)
{
    const std::string text = Seal(kRecord, L"pw");
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += "\r\n";
        else
            crlf += c;
    }
    EXPECT_EQ(Open(" \t" + crlf + "\r\n", L"pw"), kRecord);

    std::string damaged = text;
    damaged[10] = damaged[10] == 'A' ? 'B' : 'A';
    EXPECT_EQ(Open(damaged, L"pw"), kInvalid);
    EXPECT_EQ(Open(text.substr(0, text.size() / 2), L"pw"), kInvalid);
    EXPECT_EQ(Open("", L"pw"), kInvalid);
}

TEST(KeypairFileTest, PassphraseBecomesUtf8WithoutTerminator)
{
    CryptoPP::SecByteBlock bytes;
    EXPECT_EQ(KeypairFile::PassphraseToUtf8(bytes, L"", 0), 0u);
    EXPECT_EQ(bytes.size(), 0u);

    const std::wstring mixed = L"a\u00e9\u20ac\U0001F600";
    const size_t n = KeypairFile::PassphraseToUtf8(bytes, mixed.data(), mixed.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), n),
              "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
    EXPECT_EQ(bytes.size(), 2 * mixed.size() + 100);

    // Three UTF-8 bytes per character outgrow the room of 2 * length + 100.
    const std::wstring wide(200, L'\u4e2d');
    EXPECT_EQ(CfgFailureOf([&] { KeypairFile::PassphraseToUtf8(bytes, wide.data(), wide.size()); }),
              "Error encoding keypair - WideCharToMultiByte() failed with the following error: " +
                  OsErrorMessage(ERROR_INSUFFICIENT_BUFFER).text);
}

class KeypairFileOnDisk : public testing::Test {
protected:
    void SetUp() override
    {
        char dir[MAX_PATH];
        GetTempPathA(MAX_PATH, dir);
        path = std::string(dir) + "orvidex-keypair-file-test.txt";
        DeleteFileA(path.c_str());
    }
    void TearDown() override { DeleteFileA(path.c_str()); }

    CodePageString Name() const
    {
        CodePageString name(CP_ACP);
        name.text = path;
        return name;
    }

    std::string path;
};

TEST_F(KeypairFileOnDisk, WrittenTextReadsBackAndReplacesAnOldFile)
{
    KeypairFile::WriteText(Name(), std::string(50000, 'x'));
    const std::string text = Seal(kRecord, L"pw");
    KeypairFile::WriteText(Name(), text);
    EXPECT_EQ(KeypairFile::ReadText(Name()), text);
    EXPECT_EQ(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_ARCHIVE, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(KeypairFileOnDisk, AFileBeyondTheReadLimitIsCutAndFailsToOpen)
{
    // Line feeds beyond the limit are only ignored characters.
    std::string text = Seal(kRecord, L"pw");
    KeypairFile::WriteText(Name(), text + std::string(KeypairFile::kMaxFileSize, '\n'));
    std::string read = KeypairFile::ReadText(Name());
    EXPECT_EQ(read.size(), KeypairFile::kMaxFileSize);
    EXPECT_EQ(Open(read, L"pw"), kRecord);

    text = Seal(std::string(31000, 'r'), L"pw");
    ASSERT_GT(text.size(), KeypairFile::kMaxFileSize);
    KeypairFile::WriteText(Name(), text);
    EXPECT_EQ(Open(KeypairFile::ReadText(Name()), L"pw"), kInvalid);
}

TEST_F(KeypairFileOnDisk, FileFailuresNameTheCallAndTheSystemError)
{
    EXPECT_EQ(CfgFailureOf([&] { KeypairFile::ReadText(Name()); }).rfind(
                  "Error loading keypair from file - CreateFile() failed with the following error: OS error 2", 0),
              0u);
    CodePageString missingDir(CP_ACP);
    missingDir.text = path + "-no-such-dir\\key.txt";
    EXPECT_EQ(CfgFailureOf([&] { KeypairFile::WriteText(missingDir, "x"); }).rfind(
                  "Error saving keypair to file. CreateFile() failed with the following error: OS error 3", 0),
              0u);
    // No sharing: a file held open elsewhere cannot be replaced.
    HANDLE held = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CfgFailureOf([&] { KeypairFile::WriteText(Name(), "x"); }).rfind(
                  "Error saving keypair to file. CreateFile() failed with the following error: OS error 32", 0),
              0u);
    CloseHandle(held);
}

}  // namespace
