#include "settings/framework/record_codec.h"

#include <cstring>

unsigned char* EncodeContext::Reserve(std::uint32_t n)
{
    if (staging_.size() < n || staging_.size() == 0)
        staging_.Grow(n ? n : 1);
    return staging_.data();
}

void EncodeContext::Commit(std::uint32_t n)
{
    if (n != 0)
        AttachedTransformation()->Put(staging_.data(), n, true);
}

size_t EncodeContext::Put2(const CryptoPP::byte* inString, size_t length, int messageEnd, bool blocking)
{
    return AttachedTransformation()->Put2(inString, length, messageEnd, blocking);
}

int CalledFrom(ErrorInfo& info, const char* where)
{
    NoCrtString text("called from ");
    if (!text.af_)
        text.append(where);
    info.AddError(text);
    return 0;
}

int EncodeByte(EncodeOutput& out, unsigned char value)
{
    unsigned char* room = out.Reserve(1);
    if (!room) {
        out.AddError("EncodeByte(): out of space");
        return 0;
    }
    room[0] = value;
    out.Commit(1);
    return 1;
}

int EncodeBoolean(EncodeOutput& out, bool value)
{
    return EncodeByte(out, value ? 1 : 0);
}

int EncodeWord32(EncodeOutput& out, std::uint32_t value)
{
    unsigned char* room = out.Reserve(4);
    if (!room) {
        out.AddError("EncodeWord32(): out of space");
        return 0;
    }
    room[0] = static_cast<unsigned char>(value >> 24);
    room[1] = static_cast<unsigned char>(value >> 16);
    room[2] = static_cast<unsigned char>(value >> 8);
    room[3] = static_cast<unsigned char>(value);
    out.Commit(4);
    return 4;
}

int EncodeString(EncodeOutput& out, const void* bytes, std::uint32_t length)
{
    // The result counts the length word too, so a string must leave room for it in an int.
    if (length > 0x7FFFFFFFu - 4 || !out.Reserve(length + 4)) {
        out.AddError("EncodeString(): out of space");
        return 0;
    }
    if (!EncodeWord32(out, length))
        return 0;
    unsigned char* room = out.Reserve(length);
    if (!room) {
        out.AddError("EncodeString(): out of space");
        return 0;
    }
    if (length)
        std::memcpy(room, bytes, length);
    out.Commit(length);
    return static_cast<int>(length + 4);
}

int EncodeString(EncodeOutput& out, const NoCrtString& value)
{
    // A string whose allocation failed has lost its text: writing it as empty would store
    // a wrong value without a word.
    if (value.af_) {
        out.AddError("EncodeString(): the string lost its text to a failed allocation");
        return 0;
    }
    return EncodeString(out, value.c_str(), value.size());
}

int EncodeString(EncodeOutput& out, const datavect<unsigned char>& value)
{
    NOCRT_CHECK(!value.af_, "!value.af_", 60);
    return EncodeString(out, value.p_, value.s_);
}

int DecodeByte(DecodeContext& in, unsigned char& value)
{
    if (!in.HasRemaining(1)) {
        in.AddError("DecodeByte(): premature end of input data");
        return 0;
    }
    value = in.data[in.pos++];
    return 1;
}

int DecodeBoolean(DecodeContext& in, bool& value)
{
    unsigned char byte = 0;
    if (!DecodeByte(in, byte)) {
        in.AddError("DecodeBoolean(): failed at DecodeByte()");
        return 0;
    }
    value = byte != 0;
    return 1;
}

int DecodeWord32(DecodeContext& in, std::uint32_t& value)
{
    if (!in.HasRemaining(4)) {
        in.AddError("DecodeWord32(): premature end of input data");
        return 0;
    }
    const unsigned char* p = in.data + in.pos;
    value = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
    in.pos += 4;
    return 4;
}

namespace {

// The length word of a string whose bytes are all there; 0 (position unchanged) otherwise.
// The length must also leave the result representable.
bool DecodeStringLength(DecodeContext& in, std::uint32_t& length)
{
    if (!DecodeWord32(in, length)) {
        in.AddError("DecodeString(): failed at DecodeWord32()");
        return false;
    }
    if (!in.HasRemaining(length) || length > 0x7FFFFFFFu - 4) {
        in.pos -= 4;
        in.AddError("DecodeString(): premature end of input data");
        return false;
    }
    return true;
}

int StringAllocationFailed(DecodeContext& in)
{
    in.pos -= 4;
    in.AddError("DecodeString(): string allocation failed");
    return 0;
}

} // namespace

int DecodeString(DecodeContext& in, NoCrtString& value)
{
    std::uint32_t length = 0;
    if (!DecodeStringLength(in, length))
        return 0;
    if (value.af_ || value.resize(std::uint64_t(length) + 1, '\0'))
        return StringAllocationFailed(in);
    if (length)
        std::memcpy(value.p_, in.data + in.pos, length);
    value.p_[length] = '\0';
    in.pos += length;
    return static_cast<int>(length + 4);
}

int DecodeString(DecodeContext& in, datavect<unsigned char>& value)
{
    std::uint32_t length = 0;
    if (!DecodeStringLength(in, length))
        return 0;
    if (value.af_ || value.resize(length))
        return StringAllocationFailed(in);
    if (length)
        std::memcpy(value.p_, in.data + in.pos, length);
    in.pos += length;
    return static_cast<int>(length + 4);
}
