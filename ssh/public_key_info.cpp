#include "ssh/public_key_info.h"

#include "ssh/wire.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/md5.h>
#include <cryptopp/sha.h>

#include <cstring>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::InvalidDataFormat;

namespace {

const char Ssh2Begin[] = "---- BEGIN SSH2 PUBLIC KEY ----";
const char Ssh2End[] = "---- END SSH2 PUBLIC KEY ----";

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void ReadOneLineKey(BufferedTransformation& in, BufferedTransformation& blob)
{
    const std::string line = SSH::ReadLine(in, SSH::LineDelimiter, SSH::MaxLineLength);
    if (line.size() < 8) throw InvalidDataFormat("invalid key blob encoding");
    std::size_t start = 7;
    while (start < line.size() && IsBlank(line[start])) ++start;
    if (start == line.size()) throw InvalidDataFormat("invalid key blob encoding");
    std::size_t end = start;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    CryptoPP::Base64Decoder decoder(new CryptoPP::Redirector(blob));
    decoder.Put(reinterpret_cast<const byte*>(line.data() + start), end - start);
    decoder.MessageEnd();
}

void ReadSsh2File(BufferedTransformation& in, BufferedTransformation& blob)
{
    std::string line = SSH::ReadLine(in, SSH::LineDelimiter, SSH::MaxLineLength);
    while (!StartsWith(line, Ssh2Begin)) line = SSH::ReadRequiredLine(in, SSH::LineDelimiter, SSH::MaxLineLength);

    // Headers, continued by a final backslash, are dropped.
    bool continued = false;
    for (;;) {
        line = SSH::ReadRequiredLine(in, SSH::LineDelimiter, SSH::MaxLineLength);
        if (!continued && line.find(':') == std::string::npos) break;
        const std::string trimmed = SSH::TrimTrailingWhitespace(line);
        continued = !trimmed.empty() && trimmed.back() == '\\';
    }

    // The decoder skips whatever lies outside the Base64 alphabet, line ends included.
    CryptoPP::Base64Decoder decoder(new CryptoPP::Redirector(blob));
    while (!StartsWith(line, Ssh2End)) {
        decoder.Put(reinterpret_cast<const byte*>(line.data()), line.size());
        line = SSH::ReadRequiredLine(in, SSH::LineDelimiter, SSH::MaxLineLength);
    }
    decoder.MessageEnd();
}

}  // namespace

PublicKeyInfo::PublicKeyInfo(BufferedTransformation& in) : keySize_(0)
{
    byte head[11];
    if (in.MaxRetrievable() < sizeof head || in.Peek(head, sizeof head) < sizeof head)
        throw InvalidDataFormat("insufficient data for key blob");

    const bool named = std::memcmp(head + 4, "ssh-rsa", 7) == 0 || std::memcmp(head + 4, "ssh-dss", 7) == 0;
    const bool textNamed = std::memcmp(head, "ssh-rsa", 7) == 0 || std::memcmp(head, "ssh-dss", 7) == 0;
    if (std::memcmp(head, "\0\0\0\7", 4) == 0 && named)
        in.TransferAllTo(*this);
    else if (textNamed)
        ReadOneLineKey(in, *this);
    else
        ReadSsh2File(in, *this);

    CryptoPP::ByteQueue blob(*this);
    SSH::DecodeString(blob, algorithm_);
    CryptoPP::Integer first, second;
    if (algorithm_ == "ssh-rsa") {
        SSH::DecodeMpint(blob, first);  // e
        SSH::DecodeMpint(blob, second);  // n
        keySize_ = second.BitCount();
    } else if (algorithm_ == "ssh-dss") {
        SSH::DecodeMpint(blob, first);  // p
        keySize_ = first.BitCount();
    } else {
        throw InvalidDataFormat("unsupported public key algorithm");
    }

    CryptoPP::Weak::MD5 md5;
    std::string md5Digest;
    CryptoPP::HashFilter md5Filter(md5, new CryptoPP::StringSink(md5Digest));
    CopyTo(md5Filter);
    md5Filter.MessageEnd();
    SSH::BytesToHex(md5Digest, md5Fingerprint_, SSH::FingerprintHexTable);

    CryptoPP::SHA1 sha1;
    CryptoPP::HashFilter sha1Filter(sha1, new BubbleBabbleEncoder(new CryptoPP::StringSink(bubbleBabble_)));
    CopyTo(sha1Filter);
    sha1Filter.MessageEnd();
}

PublicKeyInfo::~PublicKeyInfo() = default;

namespace {

const char Vowels[] = "aeiouy";
const char Consonants[] = "bcdfghklmnprstvzx";

// Continuation points of an interrupted Put2.
enum { AtStart, AtLeadingX, AtGroup, AtLeadingXAtEnd, AtFinal };

}  // namespace

BubbleBabbleEncoder::BubbleBabbleEncoder(BufferedTransformation* attachment)
{
    Detach(attachment);
    IsolatedInitialize(CryptoPP::g_nullNameValuePairs);
}

BubbleBabbleEncoder::~BubbleBabbleEncoder() = default;

void BubbleBabbleEncoder::IsolatedInitialize(const CryptoPP::NameValuePairs&)
{
    started_ = false;
    pending_ = false;
    pendingByte_ = 0;
    seed_ = 1;
}

void BubbleBabbleEncoder::MakeGroup(unsigned b1, unsigned b2)
{
    output_[0] = Vowels[(((b1 >> 6) & 3) + seed_) % 6];
    output_[1] = Consonants[(b1 >> 2) & 15];
    output_[2] = Vowels[((b1 & 3) + seed_ / 6) % 6];
    output_[3] = Consonants[(b2 >> 4) & 15];
    output_[4] = '-';
    output_[5] = Consonants[b2 & 15];
    seed_ = (seed_ * 5 + b1 * 7 + b2) % 36;
}

void BubbleBabbleEncoder::MakeFinal()
{
    if (pending_) {
        const unsigned b1 = pendingByte_;
        output_[0] = Vowels[(((b1 >> 6) & 3) + seed_) % 6];
        output_[1] = Consonants[(b1 >> 2) & 15];
        output_[2] = Vowels[((b1 & 3) + seed_ / 6) % 6];
    } else {
        output_[0] = Vowels[seed_ % 6];
        output_[1] = Consonants[16];
        output_[2] = Vowels[seed_ / 6];
    }
    output_[3] = 'x';
}

// A blocked output returns at once; m_continueAt then names the write to resume with.
size_t BubbleBabbleEncoder::Put2(const byte* input, size_t length, int messageEnd, bool blocking)
{
    const byte x = 'x';
    switch (m_continueAt) {
    case AtStart:
        m_inputPosition = 0;
        while (m_inputPosition < length) {
            if (!pending_) {
                pendingByte_ = input[m_inputPosition++];
                pending_ = true;
                continue;
            }
            if (!started_) {
                started_ = true;
                [[fallthrough]];
    case AtLeadingX:
                if (Output(AtLeadingX, &x, 1, 0, blocking)) return 1;
            }
            MakeGroup(pendingByte_, input[m_inputPosition++]);
            pending_ = false;
            [[fallthrough]];
    case AtGroup:
            if (Output(AtGroup, reinterpret_cast<const byte*>(output_), 6, 0, blocking)) return 1;
        }
        if (!messageEnd) return 0;
        if (!started_) {
            started_ = true;
            [[fallthrough]];
    case AtLeadingXAtEnd:
            if (Output(AtLeadingXAtEnd, &x, 1, 0, blocking)) return 1;
        }
        MakeFinal();
        [[fallthrough]];
    case AtFinal:
        if (Output(AtFinal, reinterpret_cast<const byte*>(output_), 4, messageEnd, blocking)) return 1;
        IsolatedInitialize(CryptoPP::g_nullNameValuePairs);
    }
    return 0;
}
