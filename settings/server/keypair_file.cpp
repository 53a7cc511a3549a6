#include "settings/server/keypair_file.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/passphrase_cipher.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/product_key.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>

#include <windows.h>

namespace KeypairFile {

namespace {

[[noreturn]] void FailWithLastError(const wchar_t* prefix)
{
    throw OrvidexCfgException(WithOsErrorText(prefix, GetLastError()));
}

}  // namespace

std::size_t PassphraseToUtf8(CryptoPP::SecByteBlock& out, const wchar_t* passphrase, std::size_t length)
{
    if (length == 0) {
        out.New(0);
        return 0;
    }
    out.New(2 * length + 100);
    const int written = WideCharToMultiByte(CP_UTF8, 0, passphrase, static_cast<int>(length),
                                            reinterpret_cast<char*>(out.data()), static_cast<int>(out.size()),
                                            nullptr, nullptr);
    if (written <= 0)
        FailWithLastError(L"Error encoding keypair - WideCharToMultiByte() failed with the following error: ");
    return static_cast<std::size_t>(written);
}

std::string Seal(const CryptoPP::byte* record, std::size_t recordLength, const wchar_t* passphrase,
                 std::size_t passphraseLength)
{
    CryptoPP::SecByteBlock key;
    const std::size_t keyLength = PassphraseToUtf8(key, passphrase, passphraseLength);
    CryptoPP::SecByteBlock sealed(PassphraseCipher::CiphertextBound(recordLength));
    CryptoPP::AutoSeededRandomPool rng(false, 32);
    const std::size_t sealedLength = PassphraseCipher::Encrypt(
        rng, CryptoPP::ConstByteArrayParameter(key.begin(), keyLength, false), sealed.data(),
        CryptoPP::ConstByteArrayParameter(record, recordLength));

    std::string text;
    CryptoPP::StringSource(sealed.data(), sealedLength, true,
                           new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), true, 72));
    return text;
}

CryptoPP::SecByteBlock Open(const CryptoPP::byte* text, std::size_t textLength, const wchar_t* passphrase,
                            std::size_t passphraseLength)
{
    std::string sealed;  // ciphertext: nothing to wipe
    CryptoPP::StringSource(text, textLength, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(sealed)));
    CryptoPP::SecByteBlock key;
    const std::size_t keyLength = PassphraseToUtf8(key, passphrase, passphraseLength);
    CryptoPP::SecByteBlock plain(sealed.size());
    const CryptoPP::DecodingResult result = PassphraseCipher::Decrypt(
        CryptoPP::ConstByteArrayParameter(key.begin(), keyLength, false), plain.data(),
        CryptoPP::ConstByteArrayParameter(reinterpret_cast<const CryptoPP::byte*>(sealed.data()), sealed.size()));
    if (!result.isValidCoding)
        throw OrvidexCfgException(L"Error decrypting keypair - invalid ciphertext or passphrase");
    plain.resize(result.messageLength);
    return plain;
}

void WriteText(const EncodedString<char>& fileName, const std::string& text)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        FailWithLastError(L"Error saving keypair to file. CreateFile() failed with the following error: ");
    auto closeFile = MakeGuard(CloseHandle, file);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    if (!ok || written != text.size()) {
        // A short write that reports success leaves no error of its own: the disk is full.
        if (ok)
            SetLastError(ERROR_DISK_FULL);
        FailWithLastError(L"Error saving keypair to file. WriteFile() failed with the following error: ");
    }
}

std::string ReadText(const EncodedString<char>& fileName)
{
    HANDLE file = CreateFileA(fileName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        FailWithLastError(L"Error loading keypair from file - CreateFile() failed with the following error: ");
    auto closeFile = MakeGuard(CloseHandle, file);
    std::string text(kMaxFileSize, '\0');
    DWORD read = 0;
    if (!ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &read, nullptr))
        FailWithLastError(L"Error loading keypair from file - ReadFile() failed with the following error: ");
    text.resize(read);
    return text;
}

}  // namespace KeypairFile
