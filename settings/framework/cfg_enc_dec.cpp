#include "settings/framework/cfg_enc_dec.h"

#include <windows.h>

#include "foundation/encoding_conversion.h"

CUnicodeException::CUnicodeException(const std::wstring& message) : message_(message)
{
    ansiMessage_ = ToCodePage(Utf16String(message), GetACP()).text;
}

namespace CfgEncDec {

namespace {

[[noreturn]] void EndOfPacket()
{
    throw CEncodeDecodeException(L"unexpected end of packet");
}

} // namespace

void WriteBoolean(CryptoPP::BufferedTransformation& out, bool value)
{
    WriteByte(out, value ? 1 : 0);
}

void WriteByte(CryptoPP::BufferedTransformation& out, CryptoPP::byte value)
{
    out.Put(value, true);
}

void WriteWord32(CryptoPP::BufferedTransformation& out, CryptoPP::word32 value)
{
    out.PutWord32(value, CryptoPP::BIG_ENDIAN_ORDER, true);
}

void WriteBytes(CryptoPP::BufferedTransformation& out, const CryptoPP::byte* bytes, size_t length)
{
    out.Put(bytes, length, true);
}

void WriteBlob(CryptoPP::BufferedTransformation& out, const CryptoPP::byte* bytes, size_t length)
{
    // A count that does not fit its word would describe other bytes than those written.
    if ((length >> 16 >> 16) != 0)
        throw CEncodeDecodeException(L"byte block too large to encode");
    WriteWord32(out, static_cast<CryptoPP::word32>(length));
    out.Put(bytes, length, true);
}

void WriteSecBlock(CryptoPP::BufferedTransformation& out, const CryptoPP::SecByteBlock& block)
{
    WriteBlob(out, block.data(), block.size());
}

void WriteWString(CryptoPP::BufferedTransformation& out, const std::wstring& text)
{
    CryptoPP::SecByteBlock bytes(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
        const std::uint16_t unit = static_cast<std::uint16_t>(text[i]);
        bytes[2 * i] = static_cast<CryptoPP::byte>(unit & 0xFF);
        bytes[2 * i + 1] = static_cast<CryptoPP::byte>(unit >> 8);
    }
    WriteSecBlock(out, bytes);
}

void WriteString(CryptoPP::BufferedTransformation& out, const std::string& text)
{
    WriteBlob(out, reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
}

void WriteEnd(CryptoPP::BufferedTransformation& out)
{
    out.MessageEnd(-1, true);
}

void ReadBoolean(CryptoPP::BufferedTransformation& in, bool& value)
{
    CryptoPP::byte byte = 0;
    ReadByte(in, byte);
    value = byte != 0;
}

void ReadByte(CryptoPP::BufferedTransformation& in, CryptoPP::byte& value)
{
    if (in.Get(value) != 1)
        EndOfPacket();
}

void ReadWord32(CryptoPP::BufferedTransformation& in, CryptoPP::word32& value)
{
    // GetWord32 alone would swallow the last one to three bytes of a short stream.
    if (in.MaxRetrievable() < 4 || in.GetWord32(value, CryptoPP::BIG_ENDIAN_ORDER) != 4)
        EndOfPacket();
}

void ReadBytes(CryptoPP::BufferedTransformation& in, CryptoPP::byte* bytes, size_t length)
{
    // Checked first, so that a short stream loses nothing to a partial read.
    if (in.MaxRetrievable() < length)
        EndOfPacket();
    if (in.Get(bytes, length) != length)
        EndOfPacket();
}

void ReadSecBlock(CryptoPP::BufferedTransformation& in, CryptoPP::SecByteBlock& block)
{
    CryptoPP::word32 length = 0;
    ReadWord32(in, length);
    // The count is untrusted: nothing is allocated for bytes that are not there.
    if (in.MaxRetrievable() < length)
        EndOfPacket();
    block.resize(length);
    if (in.Get(block.data(), length) != length)
        EndOfPacket();
}

void ReadWString(CryptoPP::BufferedTransformation& in, std::wstring& text)
{
    CryptoPP::SecByteBlock bytes;
    ReadSecBlock(in, bytes);
    if (bytes.size() % 2 != 0)
        throw CEncodeDecodeException(L"unexpected end of unicode string");
    text.resize(bytes.size() / 2);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

void ReadString(CryptoPP::BufferedTransformation& in, std::string& text)
{
    // Straight into a string of its own (a long list's blob is read once, not copied).
    CryptoPP::word32 length = 0;
    ReadWord32(in, length);
    if (in.MaxRetrievable() < length)
        EndOfPacket();
    std::string bytes(length, '\0');
    if (length && in.Get(reinterpret_cast<CryptoPP::byte*>(&bytes[0]), length) != length)
        EndOfPacket();
    text.swap(bytes);
}

void CheckEnd(CryptoPP::BufferedTransformation& in)
{
    if (in.AnyRetrievable())
        throw CEncodeDecodeException(L"input configuration data is partially corrupted");
}

} // namespace CfgEncDec
