// Whole-settings messages written field by field from the message layout, independently
// of the encoder: the default tree's message at any version, with the access part open
// to replacement, for the tests of the decoder, the holder and the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Message {
public:
    std::string bytes;

    Message& Word(std::uint32_t value);
    Message& Byte(unsigned char value);
    Message& Bool(bool value) { return Byte(value ? 1 : 0); }
    // Word32 byte count, then UTF-16 low byte first.
    Message& WStr(const std::wstring& text);
    // Word32 count, then the bytes.
    Message& Blob(const std::string& content);
    Message& Raw(const std::string& content)
    {
        bytes += content;
        return *this;
    }
};

// The record-level forms of the product defaults.
extern const char kDefaultTemplateConnectRules[];  // hex, 41 bytes
extern const char kDefaultTemplateListenRules[];   // hex, 32 bytes
extern const char kDefaultHosts[];                 // hex, 14 bytes
extern const char kEmptyForwarding[];              // hex, 16 bytes: two empty blobs
// A logon command with an empty command: 10 bytes.
std::string EmptyLogonCommand();
// The default event list's flags: errors, warnings and information on.
std::string DefaultEventFlags();
// The default proxy-profile list as the encoder writes it (its password's stored form
// is random, so it is taken from the encoder).
std::string DefaultProfilesBlob();

// One template entry of a message of the version, at the product defaults except name
// and login right (absent before 3.27).
std::string TemplateEntry(const std::string& version, const std::wstring& name, bool loginAllowed = true,
                          const std::string& connectRules = "", const std::string& forwarding = "");

struct AccountFields {
    std::wstring account;
    std::wstring templateName = L"Default";
    // A DefaultYesNo byte from 3.28, else a boolean (nonzero true).
    unsigned char loginAllowed = 1;
    std::vector<std::string> keys;
    std::wstring terminalShell = L"*";
    std::wstring initDir = L"*";
    std::wstring sftpRootDir = L"*";
    unsigned char permitSftp = 0;
    std::string connectRules;  // empty: an empty connect-rules record
    std::string forwarding;    // empty: two empty lists
};
std::string AccountEntryBytes(const std::string& version, const AccountFields& fields);

struct AccessPart {
    // Null: the one default template entry (and, from 3.27, its count).
    const std::vector<std::string>* templates = nullptr;
    std::wstring defaultTemplate = L"Default";
    std::vector<std::string> accounts;
    // Empty: the default hosts (the allow-all rule, or its older form before 3.27).
    std::string hosts;
};

// The message of a default tree at the version, with the access part given.
std::string DefaultMessage(const std::string& version, const AccessPart& access = AccessPart(),
                           const std::string& profilesBlob = "");
