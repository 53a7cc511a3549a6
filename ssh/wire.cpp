#include "ssh/wire.h"

#include "foundation/encoding_conversion.h"
#include "ssh/exceptions.h"

#include <cryptopp/queue.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace SSH {

using CryptoPP::byte;
using CryptoPP::InvalidDataFormat;

namespace {

[[noreturn]] void ThrowEndOfPacket()
{
    throw CauseToDisconnect(DisconnectProtocolError, "unexpected end of packet", "en");
}

// The one bounds check of every decoder: the stream must hold n more bytes.
void RequireAvailable(const BufferedTransformation& in, std::uint64_t n)
{
    if (in.MaxRetrievable() < n) ThrowEndOfPacket();
}

// Reads a string's length and checks that its body is there.
std::size_t DecodeStringLength(BufferedTransformation& in)
{
    std::uint32_t length;
    DecodeUint32(in, length);
    RequireAvailable(in, length);
    return length;
}

void PutAll(BufferedTransformation& out, const void* data, std::size_t length)
{
    out.Put(static_cast<const byte*>(data), length, true);
}

}  // namespace

void EncodeByte(BufferedTransformation& out, byte value) { out.Put(value, true); }

void EncodeBoolean(BufferedTransformation& out, bool value) { EncodeByte(out, value ? 1 : 0); }

void EncodeUint32(BufferedTransformation& out, std::uint32_t value)
{
    const byte bytes[4] = {byte(value >> 24), byte(value >> 16), byte(value >> 8), byte(value)};
    PutAll(out, bytes, 4);
}

void EncodeUint64(BufferedTransformation& out, std::uint64_t value)
{
    EncodeUint32(out, std::uint32_t(value >> 32));
    EncodeUint32(out, std::uint32_t(value));
}

void EncodeRaw(BufferedTransformation& out, const void* data, std::size_t length) { PutAll(out, data, length); }

void EncodeStringBytes(BufferedTransformation& out, const void* data, std::size_t length)
{
    EncodeUint32(out, std::uint32_t(length));
    PutAll(out, data, length);
}

void EncodeString(BufferedTransformation& out, const std::string& value)
{
    EncodeStringBytes(out, value.data(), value.size());
}

void EncodeWideString(BufferedTransformation& out, const std::wstring& value)
{
    EncodeString(out, WideToUtf8(value));
}

void EncodeByteBlock(BufferedTransformation& out, const SecByteBlock& value)
{
    EncodeStringBytes(out, value.data(), value.size());
}

void EncodeDatavect(BufferedTransformation& out, const datavect<unsigned char>& value)
{
    EncodeStringBytes(out, value.size() ? value.data() : nullptr, value.size());
}

void EncodeQueue(BufferedTransformation& out, const BufferedTransformation& source)
{
    EncodeQueue(out, source, std::uint64_t(-1));
}

void EncodeQueue(BufferedTransformation& out, const BufferedTransformation& source, std::uint64_t maxLength)
{
    const std::uint64_t length = std::min<std::uint64_t>(source.MaxRetrievable(), maxLength);
    EncodeUint32(out, std::uint32_t(length));
    source.CopyTo(out, length);
}

void EncodeMpint(BufferedTransformation& out, const Integer& value)
{
    if (value.IsZero()) {
        EncodeUint32(out, 0);
        return;
    }
    const std::size_t length = value.MinEncodedSize(Integer::SIGNED);
    SecByteBlock bytes(length);
    value.Encode(bytes, length, Integer::SIGNED);
    EncodeByteBlock(out, bytes);
}

void DecodeByte(BufferedTransformation& in, byte& value)
{
    if (!in.Get(value)) ThrowEndOfPacket();
}

void DecodeBoolean(BufferedTransformation& in, bool& value)
{
    byte b;
    DecodeByte(in, b);
    value = b != 0;
}

void DecodeUint32(BufferedTransformation& in, std::uint32_t& value)
{
    byte bytes[4];
    DecodeRaw(in, bytes, 4);
    value = std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

void DecodeUint64(BufferedTransformation& in, std::uint64_t& value)
{
    std::uint32_t high, low;
    DecodeUint32(in, high);
    DecodeUint32(in, low);
    value = std::uint64_t(high) << 32 | low;
}

void DecodeRaw(BufferedTransformation& in, void* buffer, std::size_t length)
{
    // Short input consumes what there is, as a byte-by-byte reader would.
    if (in.Get(static_cast<byte*>(buffer), length) != length) ThrowEndOfPacket();
}

void DecodeByteBlock(BufferedTransformation& in, SecByteBlock& value)
{
    const std::size_t length = DecodeStringLength(in);
    value.New(length);
    DecodeRaw(in, value.data(), length);
}

void DecodeDatavect(BufferedTransformation& in, datavect<unsigned char>& value)
{
    const std::size_t length = DecodeStringLength(in);
    if (value.resize(length)) throw std::bad_alloc();
    if (length) DecodeRaw(in, value.data(), length);
}

void DecodeString(BufferedTransformation& in, std::string& value)
{
    SecByteBlock block;
    DecodeByteBlock(in, block);
    value.assign(reinterpret_cast<const char*>(block.data()), block.size());
}

void DecodeWideString(BufferedTransformation& in, std::wstring& value)
{
    std::string utf8;
    DecodeString(in, utf8);
    value = Utf8ToWide(utf8);
}

void DecodeStringTo(BufferedTransformation& in, BufferedTransformation& target)
{
    const std::size_t length = DecodeStringLength(in);
    in.TransferTo(target, length);
}

void DecodeMpint(BufferedTransformation& in, Integer& value)
{
    SecByteBlock block;
    DecodeByteBlock(in, block);
    // Crypto++ reads an empty signed encoding as -1; the empty mpint is zero.
    if (block.empty())
        value = Integer::Zero();
    else
        value.Decode(block.data(), block.size(), Integer::SIGNED);
}

void DecodeMessageNumber(BufferedTransformation& in, byte expected)
{
    byte received;
    DecodeByte(in, received);
    if (received != expected) {
        throw CauseToDisconnect(DisconnectProtocolError,
                                "unexpected message number " + std::to_string(unsigned(received)) +
                                    ", should be " + std::to_string(unsigned(expected)),
                                "en");
    }
}

std::string ReadLine(BufferedTransformation& in, char delimiter, std::size_t maxLength)
{
    const std::size_t chunk = 128;
    std::string line;
    for (;;) {
        byte peeked[chunk];
        const std::size_t got = in.Peek(peeked, chunk);
        const byte* end = peeked + got;
        const byte* found = std::find(static_cast<const byte*>(peeked), end, byte(delimiter));
        line.append(reinterpret_cast<const char*>(peeked), found - peeked);
        if (found != end) {
            in.Skip((found - peeked) + 1);
            return line;
        }
        in.Skip(got);
        if (got < chunk) return line;
        if (line.size() >= maxLength) throw InvalidDataFormat("line too long");
    }
}

std::string ReadRequiredLine(BufferedTransformation& in, char delimiter, std::size_t maxLength)
{
    if (!in.AnyRetrievable()) throw InvalidDataFormat("premature end of data");
    return ReadLine(in, delimiter, maxLength);
}

std::string TrimTrailingWhitespace(const std::string& text)
{
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string Uint64ToDecimal(std::uint64_t value)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), char('0' + value % 10));
        value /= 10;
    } while (value);
    return digits;
}

char ToLowerAsciiChar(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

std::string ToLowerAscii(const std::string& text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), ToLowerAsciiChar);
    return lower;
}

void BytesToHex(const std::string& bytes, std::string& out, const char* table)
{
    out.clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        out += table[b >> 4];
        out += table[b & 15];
        if (table[16] != '\0' && i + 1 < bytes.size()) out += table[16];
    }
}

void PutText(BufferedTransformation& out, const std::string& text) { PutAll(out, text.data(), text.size()); }

void PutText(BufferedTransformation& out, const std::string& text, std::size_t maxChars)
{
    PutAll(out, text.data(), std::min(text.size(), maxChars));
}

void PutText(BufferedTransformation& out, const char* text) { PutAll(out, text, std::strlen(text)); }

void PutChar(BufferedTransformation& out, char c) { out.Put(byte(c), true); }

std::string ChannelNumberToString(std::uint32_t number)
{
    const char bytes[4] = {char(number >> 24), char(number >> 16), char(number >> 8), char(number)};
    return std::string(bytes, 4);
}

std::uint32_t ChannelNumberFromString(const std::string& channel)
{
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4; ++i)
        number = number << 8 | (i < channel.size() ? static_cast<unsigned char>(channel[i]) : 0u);
    return number;
}

namespace {

// Calls visit(name) for each name; a trailing comma adds no empty name. Stops when visit
// returns false.
template <class Visit>
void ForEachName(const std::string& list, Visit visit)
{
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (!visit(list.substr(start, comma - start))) return;
        start = comma + 1;
    }
}

}  // namespace

bool NameListContains(const std::string& list, const std::string& name)
{
    bool found = false;
    ForEachName(list, [&](const std::string& n) { return !(found = n == name); });
    return found;
}

void NameListAppendMissing(std::string& list, const std::string& other)
{
    ForEachName(other, [&](const std::string& n) {
        if (!NameListContains(list, n)) {
            if (!list.empty()) list += ',';
            list += n;
        }
        return true;
    });
}

bool NameListAllIn(const std::string& list, const std::string& allowed)
{
    if (list.empty()) return false;
    bool all = true;
    ForEachName(list, [&](const std::string& n) { return all = !n.empty() && NameListContains(allowed, n); });
    return all;
}

std::string NameListFirst(const std::string& list) { return list.substr(0, list.find(',')); }

bool IsWindowsPeer(const std::string& softwareVersion)
{
    const std::string lower = ToLowerAscii(softwareVersion);
    if (lower.find("orvidex") != std::string::npos) return true;
    if (lower.find("x-windows") != std::string::npos || lower.find("xwindows") != std::string::npos) return false;
    return lower.find("windows") != std::string::npos;
}

}  // namespace SSH
