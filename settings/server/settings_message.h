// The pieces of the whole-settings message that its reader and writer share: version
// gates, record-level blobs inside the message, the access part with templates and
// accounts, and the conversions of older versions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <cryptopp/cryptlib.h>
#include <cryptopp/filters.h>

#include "RoVodEre/ErrorInfo.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/framework/record_codec.h"
#include "settings/server/cfg_root.h"
#include "settings/server/forwarding.h"

// The version text after "Orvidex ". Versions compare as byte strings, never as numbers:
// "3.4" sorts after "3.31", and "10.0" before "3.07".
class SettingsVersion {
public:
    explicit SettingsVersion(const std::string& text) : text_(text) {}
    // A field present from gate on is in the message.
    bool AtLeast(const char* gate) const { return text_.compare(gate) >= 0; }
    bool Is(const char* version) const { return text_ == version; }

private:
    std::string text_;
};

// Names that the conversion of older messages hands out; all empty for current ones.
struct MigrationNames {
    // Given to an unnamed proxy profile of a message before 3.28.
    std::string profileName;
    // The profile that empty C2S references of a 3.28 message take.
    std::string preferredProfile;
    // Given to an unnamed template of a 3.27 message.
    std::wstring templateName;
};

// The error texts of a record-level codec as one wide text, read as UTF-8.
std::wstring DescribeCodecErrors(ErrorInfo& info, const char* separator);

// base when taken(base) is false, else base followed by 0, 1, 2... the first that is free.
template <class Name, class Taken>
Name FirstFreeName(const Name& base, Taken taken)
{
    if (!taken(base))
        return base;
    for (std::uint32_t n = 0;; ++n) {
        const std::string digits = std::to_string(n);
        const Name candidate = base + Name(digits.begin(), digits.end());
        if (!taken(candidate))
            return candidate;
    }
}

// Puts entry i of a list back in order after its key changed to one no other entry has.
template <class List>
void ResortRenamedEntry(List& list, std::uint32_t i)
{
    typename List::Node* removed = nullptr;
    list.Resort(i, removed);
    // A free name never collides; should it, the entry is not lost.
    if (removed)
        list.m_pNewEntry.reset(removed);
}

// A record-level list or record as a blob: word32 count and its bytes. A failed encoder
// throws with prefix and the collected texts joined by separator.
template <class Record>
void WriteRecordBlob(CryptoPP::BufferedTransformation& out, Record& record, const char* prefix,
                     const char* separator)
{
    std::string blob;
    EncodeContext context(new CryptoPP::StringSink(blob));
    if (!record.Encode(context))
        throw CfgEncDec::CEncodeDecodeException(Utf8TextToWide(prefix) + DescribeCodecErrors(context, separator));
    CfgEncDec::WriteString(out, blob);
}

// Whether a record may leave bytes of its blob unread.
enum class BlobRest { kRefused, kIgnored };

// The record must take the whole blob: bytes after it mean a damaged count or length
// somewhere inside (a shortened list, a cut password), which would otherwise load as
// silently lost data. Only the forwarding rules' blobs allow bytes after the rules
// (BlobRest::kIgnored). A failure throws with prefix, which names the record.
template <class Record>
void ReadRecordBlob(CryptoPP::BufferedTransformation& in, Record& record, const char* prefix, const char* separator,
                    BlobRest rest = BlobRest::kRefused)
{
    std::string blob;
    CfgEncDec::ReadString(in, blob);
    DecodeContext context(reinterpret_cast<const unsigned char*>(blob.data()), static_cast<std::uint32_t>(blob.size()),
                          0);
    if (!record.Decode(context))
        throw CfgEncDec::CEncodeDecodeException(Utf8TextToWide(prefix) + DescribeCodecErrors(context, separator));
    if (rest == BlobRest::kRefused && context.pos != context.size) {
        const std::uint32_t left = context.size - context.pos;
        throw CfgEncDec::CEncodeDecodeException(Utf8TextToWide(prefix) + std::to_wstring(left) +
                                                (left == 1 ? L" byte" : L" bytes") + L" left over after the encoded data");
    }
}

// Profile names of older messages: an unnamed profile before 3.28 gets the first free
// default name (names.profileName); a 3.28 message picks names.preferredProfile.
void NameOlderProxyProfiles(const SettingsVersion& version, ProxyProfileList& profiles, MigrationNames& names);

// Rows 52 to 57: templates, default template, accounts and host rules.
void WriteAccess(CryptoPP::BufferedTransformation& out, AccessSettings& access);
// Reads into root.access, with the conversions of older versions.
void ReadAccess(CryptoPP::BufferedTransformation& in, const SettingsVersion& version, CfgRoot& root,
                MigrationNames& names);
