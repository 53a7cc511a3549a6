// The SSH binary data types (RFC 4251, section 5) on Crypto++ byte streams, the line reader,
// and the small text jobs that the key formats and the protocol share. Decoders consume what
// they read and throw SSH::CauseToDisconnect (protocol error, "unexpected end of packet")
// when the stream holds fewer bytes than they need; every length is checked against what the
// stream holds before anything is allocated.
#pragma once

#include "RoVodEre/datavect.h"

#include <cryptopp/cryptlib.h>
#include <cryptopp/integer.h>
#include <cryptopp/secblock.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace SSH {

using CryptoPP::BufferedTransformation;
using CryptoPP::Integer;
using CryptoPP::SecByteBlock;

void EncodeByte(BufferedTransformation& out, CryptoPP::byte value);
void EncodeBoolean(BufferedTransformation& out, bool value);
void EncodeUint32(BufferedTransformation& out, std::uint32_t value);
void EncodeUint64(BufferedTransformation& out, std::uint64_t value);
void EncodeRaw(BufferedTransformation& out, const void* data, std::size_t length);
void EncodeStringBytes(BufferedTransformation& out, const void* data, std::size_t length);
void EncodeString(BufferedTransformation& out, const std::string& value);
void EncodeWideString(BufferedTransformation& out, const std::wstring& value);
void EncodeByteBlock(BufferedTransformation& out, const SecByteBlock& value);
void EncodeDatavect(BufferedTransformation& out, const datavect<unsigned char>& value);
// The retrievable bytes of the source (at most maxLength), copied: the source keeps them.
void EncodeQueue(BufferedTransformation& out, const BufferedTransformation& source);
void EncodeQueue(BufferedTransformation& out, const BufferedTransformation& source, std::uint64_t maxLength);
void EncodeMpint(BufferedTransformation& out, const Integer& value);

void DecodeByte(BufferedTransformation& in, CryptoPP::byte& value);
void DecodeBoolean(BufferedTransformation& in, bool& value);
void DecodeUint32(BufferedTransformation& in, std::uint32_t& value);
void DecodeUint64(BufferedTransformation& in, std::uint64_t& value);
void DecodeRaw(BufferedTransformation& in, void* buffer, std::size_t length);
void DecodeByteBlock(BufferedTransformation& in, SecByteBlock& value);
void DecodeDatavect(BufferedTransformation& in, datavect<unsigned char>& value);
void DecodeString(BufferedTransformation& in, std::string& value);
void DecodeWideString(BufferedTransformation& in, std::wstring& value);
void DecodeStringTo(BufferedTransformation& in, BufferedTransformation& target);
void DecodeMpint(BufferedTransformation& in, Integer& value);
// Fails unless the next octet is the expected message number.
void DecodeMessageNumber(BufferedTransformation& in, CryptoPP::byte expected);

// The bytes up to the delimiter, which is consumed but not returned; at the end of the data,
// what was gathered (possibly nothing). InvalidDataFormat "line too long" once a line reaches
// maxLength without a delimiter.
std::string ReadLine(BufferedTransformation& in, char delimiter, std::size_t maxLength);
// As ReadLine, but InvalidDataFormat "premature end of data" when the stream is empty.
std::string ReadRequiredLine(BufferedTransformation& in, char delimiter, std::size_t maxLength);
// The arguments every caller passes.
const char LineDelimiter = '\n';
const std::size_t MaxLineLength = 0x4000;

std::string TrimTrailingWhitespace(const std::string& text);
std::string Uint64ToDecimal(std::uint64_t value);
char ToLowerAsciiChar(char c);
std::string ToLowerAscii(const std::string& text);

// table: 16 digits, then a separator character or NUL for none.
void BytesToHex(const std::string& bytes, std::string& out, const char* table);
const char FingerprintHexTable[] = "0123456789abcdef:";
const char TraceHexTable[] = "0123456789ABCDEF\0";

void PutText(BufferedTransformation& out, const std::string& text);
void PutText(BufferedTransformation& out, const std::string& text, std::size_t maxChars);
void PutText(BufferedTransformation& out, const char* text);
void PutChar(BufferedTransformation& out, char c);

std::string ChannelNumberToString(std::uint32_t number);
std::uint32_t ChannelNumberFromString(const std::string& channel);

// Comma-separated name lists; names compare exactly.
bool NameListContains(const std::string& list, const std::string& name);
void NameListAppendMissing(std::string& list, const std::string& other);
bool NameListAllIn(const std::string& list, const std::string& allowed);
std::string NameListFirst(const std::string& list);

// From the software version of the peer's identification line.
bool IsWindowsPeer(const std::string& softwareVersion);

}  // namespace SSH
