// The codec of the whole settings and the host keypair: typed values put into and taken
// out of a Crypto++ stream. Words are big-endian; strings and blocks are a word32 byte
// count followed by the bytes; wide strings are UTF-16 low byte first. Every decoding
// failure throws CfgEncDec::CEncodeDecodeException.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <cryptopp/cryptlib.h>
#include <cryptopp/secblock.h>

// The base of the settings exceptions: a wide message with a copy in the ANSI code page
// of the moment it was made.
class CUnicodeException : public std::exception {
public:
    explicit CUnicodeException(const std::wstring& message);
    ~CUnicodeException() override {}

    const char* what() const noexcept override { return ansiMessage_.c_str(); }
    const wchar_t* WideWhat() const noexcept { return message_.c_str(); }

private:
    std::wstring message_;
    std::string ansiMessage_;
};

// A settings holder's operation failed with its throw flag set; the text is its last error.
class OrvidexCfgException : public CUnicodeException {
public:
    explicit OrvidexCfgException(const std::wstring& message) : CUnicodeException(message) {}
};

namespace CfgEncDec {

class CEncodeDecodeException : public CUnicodeException {
public:
    explicit CEncodeDecodeException(const std::wstring& message) : CUnicodeException(message) {}
};

void WriteBoolean(CryptoPP::BufferedTransformation& out, bool value);
void WriteByte(CryptoPP::BufferedTransformation& out, CryptoPP::byte value);
void WriteWord32(CryptoPP::BufferedTransformation& out, CryptoPP::word32 value);
// The bytes alone, no count.
void WriteBytes(CryptoPP::BufferedTransformation& out, const CryptoPP::byte* bytes, size_t length);
// A word32 count, then the bytes.
void WriteBlob(CryptoPP::BufferedTransformation& out, const CryptoPP::byte* bytes, size_t length);
void WriteSecBlock(CryptoPP::BufferedTransformation& out, const CryptoPP::SecByteBlock& block);
// The count is of bytes: twice the characters.
void WriteWString(CryptoPP::BufferedTransformation& out, const std::wstring& text);
void WriteString(CryptoPP::BufferedTransformation& out, const std::string& text);
// Ends the message on the stream and every attached transformation.
void WriteEnd(CryptoPP::BufferedTransformation& out);

// Each reader consumes exactly its value or throws; it never returns a partial value.
void ReadBoolean(CryptoPP::BufferedTransformation& in, bool& value);
void ReadByte(CryptoPP::BufferedTransformation& in, CryptoPP::byte& value);
void ReadWord32(CryptoPP::BufferedTransformation& in, CryptoPP::word32& value);
void ReadBytes(CryptoPP::BufferedTransformation& in, CryptoPP::byte* bytes, size_t length);
void ReadSecBlock(CryptoPP::BufferedTransformation& in, CryptoPP::SecByteBlock& block);
void ReadWString(CryptoPP::BufferedTransformation& in, std::wstring& text);
void ReadString(CryptoPP::BufferedTransformation& in, std::string& text);
// Throws when any byte is left.
void CheckEnd(CryptoPP::BufferedTransformation& in);

} // namespace CfgEncDec
