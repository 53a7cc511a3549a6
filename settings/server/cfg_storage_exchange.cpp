// The store's passphrase-protected keypair file and its change signal to a running server.
#include "settings/server/cfg_storage.h"

#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/change_signal.h"
#include "settings/server/keypair_file.h"

#include <cryptopp/queue.h>

std::size_t CfgStorage::PassphraseToUtf8(CryptoPP::SecByteBlock& out, const wchar_t* passphrase, std::size_t length)
{
    return KeypairFile::PassphraseToUtf8(out, passphrase, length);
}

bool CfgStorage::EncryptKeypair(const wchar_t* passphrase, std::size_t length, std::string& text)
{
    text.clear();
    return Reporting(
        [&] {
            CryptoPP::SecByteBlock record;
            if (!EncodeKeypairRecord(record))
                return false;
            text = KeypairFile::Seal(record.data(), record.size(), passphrase, length);
            return true;
        },
        L"error occured while encoding keypair");
}

bool CfgStorage::DecryptKeypair(const wchar_t* passphrase, std::size_t length, const std::string& text)
{
    return Reporting(
        [&] {
            const CryptoPP::SecByteBlock record = KeypairFile::Open(
                reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size(), passphrase, length);
            CryptoPP::ByteQueue input;
            input.Put(record.data(), record.size());
            return DecodeKeypair(input);
        },
        L"error occured while decoding keypair");
}

bool CfgStorage::SaveKeypairToFile(const wchar_t* passphrase, std::size_t length, const EncodedString<char>& fileName)
{
    std::string text;
    if (!EncryptKeypair(passphrase, length, text))
        return false;
    return Reporting(
        [&] {
            KeypairFile::WriteText(fileName, text);
            return true;
        },
        L"error occured while encoding keypair");
}

bool CfgStorage::LoadKeypairFromFile(const wchar_t* passphrase, std::size_t length,
                                     const EncodedString<char>& fileName)
{
    std::string text;
    const bool read = Reporting(
        [&] {
            text = KeypairFile::ReadText(fileName);
            return true;
        },
        L"error occured while decoding keypair");
    return read && DecryptKeypair(passphrase, length, text);
}

bool CfgStorage::SignalChanges()
{
    std::wstring keyFailure;
    bool keyOpen = false;
    try {
        keyOpen = OpenKey();
        if (!keyOpen)
            keyFailure = m_lastError;
    } catch (const CUnicodeException& e) {
        // The event is still tried; the key's failure is told with the event's.
        keyFailure = e.WideWhat();
    }
    const std::wstring failures = ChangeSignal::Raise(keyOpen ? m_hKey : nullptr, keyFailure);
    return failures.empty() || Fail(failures);
}

bool CfgStorage::ResetChangeSignal()
{
    if (!OpenKey())
        return false;
    try {
        ChangeSignal::Reset(m_hKey);
        return true;
    } catch (const CUnicodeException& e) {
        return Fail(e.WideWhat());
    }
}

bool CfgStorage::QueryChangeSignal(bool& changed)
{
    if (!OpenKey())
        return false;
    try {
        changed = ChangeSignal::Query(m_hKey);
        return true;
    } catch (const CUnicodeException& e) {
        return Fail(e.WideWhat());
    }
}
