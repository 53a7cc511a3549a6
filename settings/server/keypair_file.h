// The passphrase-protected keypair file: the keypair record's binary form, encrypted and
// authenticated with the passphrase cipher, as Base64 text in lines of 72 characters, each
// ended by a line feed. The store's keypair-file operations are made of these pieces; each
// throws OrvidexCfgException with the text the store reports.
#pragma once

#include "foundation/encoded_string.h"

#include <cryptopp/secblock.h>

#include <cstddef>
#include <string>

namespace KeypairFile {

// The largest keypair record, and the most of a file that is read.
const std::size_t kMaxRecordSize = 20480;
const std::size_t kMaxFileSize = 40960;

// The passphrase as UTF-8 without terminator in out (sized to 2 * length + 100 bytes when
// length is not 0); returns the number of bytes used.
std::size_t PassphraseToUtf8(CryptoPP::SecByteBlock& out, const wchar_t* passphrase, std::size_t length);

// The file text of an encoded keypair record under the passphrase; a fresh salt and pad
// each time.
std::string Seal(const CryptoPP::byte* record, std::size_t recordLength, const wchar_t* passphrase,
                 std::size_t passphraseLength);

// The keypair record of a file text. Characters outside the Base64 alphabet are ignored; a
// wrong passphrase or damaged text fails with "Error decrypting keypair - invalid
// ciphertext or passphrase".
CryptoPP::SecByteBlock Open(const CryptoPP::byte* text, std::size_t textLength, const wchar_t* passphrase,
                            std::size_t passphraseLength);

// The whole text into a new file (replacing one that exists).
void WriteText(const EncodedString<char>& fileName, const std::string& text);
// At most kMaxFileSize bytes of an existing file.
std::string ReadText(const EncodedString<char>& fileName);

}  // namespace KeypairFile
