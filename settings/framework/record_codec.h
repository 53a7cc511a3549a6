// The record layer: the compact binary form of the records in rule lists. A record is the
// concatenation of its members' encodings (no tags, no counts, no end mark). Nothing here
// throws: every primitive returns the number of bytes written or read, or 0 after leaving
// a text in the context's ErrorInfo; each caller that sees 0 adds a "called from " text
// and returns 0 itself, so the errors read from the innermost failure outwards.
#pragma once

#include <cstdint>

#include <cryptopp/filters.h>
#include <cryptopp/secblock.h>

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/NoCrtString.h"
#include "RoVodEre/datavect.h"

// Where encoded bytes go; its ErrorInfo receives the failure texts.
class EncodeOutput : public ErrorInfo {
public:
    virtual ~EncodeOutput() {}
    // Room for n bytes, or null when there is none.
    virtual unsigned char* Reserve(std::uint32_t n) = 0;
    // The first n bytes of the room last reserved become the next output bytes.
    virtual void Commit(std::uint32_t n) = 0;
};

// Stages each value and puts it into the attached transformation (owned from construction
// on), normally a StringSink over the string that is to hold the encoding.
class EncodeContext : public EncodeOutput, public CryptoPP::Filter {
public:
    explicit EncodeContext(CryptoPP::BufferedTransformation* attachment) : CryptoPP::Filter(attachment) {}

    // Grows the staging buffer (never shrinks it); never null.
    unsigned char* Reserve(std::uint32_t n) override;
    void Commit(std::uint32_t n) override;

    // Bytes put into the filter itself pass straight on.
    size_t Put2(const CryptoPP::byte* inString, size_t length, int messageEnd, bool blocking) override;
    // Nothing is held back: every commit went straight on.
    bool IsolatedFlush(bool, bool) override { return false; }

private:
    CryptoPP::SecByteBlock staging_;
};

// Reads from a byte block that outlives it; its ErrorInfo receives the failure texts.
class DecodeContext : public ErrorInfo {
public:
    const unsigned char* data;  // not owned
    std::uint32_t size;
    std::uint32_t pos;

    DecodeContext(const unsigned char* bytes, std::uint32_t byteCount, std::uint32_t start)
        : data(bytes), size(byteCount), pos(start) {}

    // The one bounds check of every decoder: n more bytes are there to read. Written so
    // that no sum can overflow, however large n is.
    bool HasRemaining(std::uint32_t n) const { return data != nullptr && pos <= size && n <= size - pos; }
};

// How a record operation passes a failure on: adds "called from " + where to the errors
// ("SrvSideC2SRule::Encode() at m_nListenIntf", "RuleList::Decode()") and returns 0.
int CalledFrom(ErrorInfo& info, const char* where);

int EncodeByte(EncodeOutput& out, unsigned char value);
int EncodeBoolean(EncodeOutput& out, bool value);
int EncodeWord32(EncodeOutput& out, std::uint32_t value);
// A word32 length, then the bytes.
int EncodeString(EncodeOutput& out, const void* bytes, std::uint32_t length);
// Without the terminating zero.
int EncodeString(EncodeOutput& out, const NoCrtString& value);
int EncodeString(EncodeOutput& out, const datavect<unsigned char>& value);

// A failed decoder leaves the read position where it was before the call.
int DecodeByte(DecodeContext& in, unsigned char& value);
int DecodeBoolean(DecodeContext& in, bool& value);
int DecodeWord32(DecodeContext& in, std::uint32_t& value);
// Replaces the string's content; the string ends in a zero after the bytes.
int DecodeString(DecodeContext& in, NoCrtString& value);
// Replaces the vector's content; no terminator.
int DecodeString(DecodeContext& in, datavect<unsigned char>& value);
