// The registry store of the server's settings and host keypair under HKEY_LOCAL_MACHINE
// "SOFTWARE\Morlune\Orvidex": the value "Settings" holds the whole-settings message,
// "Keypair" the keypair's stored form (not encrypted). The key is opened on the first
// operation that needs it and stays open until the object goes.
//
// Every operation follows the failure convention of ServerCfg.
#pragma once

#include <windows.h>

#include <cstdint>

#include <cryptopp/cryptlib.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <string>

#include "settings/server/keypair_data.h"
#include "settings/server/server_cfg.h"

class CfgStorage : public ServerCfg {
public:
    // The largest stored keypair.
    static const std::uint32_t kMaxKeypairSize = 20480;

    explicit CfgStorage(bool throwOnError);
    ~CfgStorage() override;

    // Opens the product key for query and set, or creates it (and the maker's key) open
    // to LocalSystem and the Administrators group only. A key that the loads opened for
    // reading alone is opened again.
    bool OpenKey();

    // Refuses a tree that fails validation, with its message, and writes nothing then.
    bool SaveSettings();
    bool LoadSettings();

    bool EncodeKeypair(CryptoPP::BufferedTransformation& out);
    // m_keypair and m_keypairUndefined change only when the whole input is sound.
    bool DecodeKeypair(CryptoPP::BufferedTransformation& in);
    bool SaveKeypair();
    bool LoadKeypair();

    // The passphrase as UTF-8 in out (2 * length + 100 bytes); returns the bytes used. A
    // failed conversion always throws OrvidexCfgException.
    static std::size_t PassphraseToUtf8(CryptoPP::SecByteBlock& out, const wchar_t* passphrase, std::size_t length);
    // The keypair file: m_keypair's stored form encrypted under the passphrase (length in
    // UTF-16 units) as Base64 text. Decrypting changes m_keypair only on success.
    bool EncryptKeypair(const wchar_t* passphrase, std::size_t length, std::string& text);
    bool DecryptKeypair(const wchar_t* passphrase, std::size_t length, const std::string& text);
    bool SaveKeypairToFile(const wchar_t* passphrase, std::size_t length, const EncodedString<char>& fileName);
    bool LoadKeypairFromFile(const wchar_t* passphrase, std::size_t length, const EncodedString<char>& fileName);

    // Tells a running server that the stored settings changed: the "SignalingChanges" flag
    // and the server's named event. The event is tried even when the key cannot be opened.
    bool SignalChanges();
    bool ResetChangeSignal();
    // changed is written only on success.
    bool QueryChangeSignal(bool& changed);

    HKEY m_hKey;
    bool m_keyOpen;
    KeypairData m_keypair;
    // No keypair has been decoded or set; the caller that assigns m_keypair clears it.
    bool m_keypairUndefined;

private:
    // For the loads: OpenKey, or else the product key opened for reading alone, so that
    // values that may be read but not changed are still found.
    bool OpenKeyForReading();
    // m_hKey was opened for query and set.
    bool m_keyWritable = false;

    // The bytes of a value of at most limit bytes; false after setting the failure text
    // (which begins with failurePrefix) for a missing, unreadable or longer value.
    // The buffer is a wiped block, since "Keypair" holds the private key.
    bool QueryValue(const char* valueName, std::uint32_t limit, CryptoPP::SecByteBlock& bytes,
                    const wchar_t* failurePrefix);
    bool SetBinaryValue(const char* valueName, const CryptoPP::byte* bytes, std::size_t length,
                        const wchar_t* failurePrefix);
    // m_keypair's stored form, at most kMaxKeypairSize bytes, in a wiped block.
    bool EncodeKeypairRecord(CryptoPP::SecByteBlock& record);
};
