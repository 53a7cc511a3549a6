#include "settings/server/tests/settings_builder.h"

#include "settings/server/event_list.h"
#include "settings/server/proxy_profile.h"
#include "settings/server/tests/test_support.h"

namespace {

bool AtLeast(const std::string& version, const char* gate) { return version.compare(gate) >= 0; }

} // namespace

const char kDefaultTemplateConnectRules[] =
    "00 00 00 01; 00 00 00 00 00; 00 00 00 01 00 00 FF FF; 01; 00 00 00 00; 00 00 00 00;"
    "00 00 00 07 44 65 66 61 75 6C 74; 00 00 00 00";
const char kDefaultTemplateListenRules[] =
    "00 00 00 01; 00 00 00 00 00; 00 00 00 00 00 00 FF FF; 01; 00 00 00 01; 00 00 00 00 00; 01; 00 00 00 00";
const char kDefaultHosts[] = "00 00 00 01; 00 00 00 00 00; 01; 00 00 00 00";
const char kEmptyForwarding[] = "00 00 00 04 00 00 00 00 00 00 00 04 00 00 00 00";

Message& Message::Word(std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xFF);
    return *this;
}

Message& Message::Byte(unsigned char value)
{
    bytes += static_cast<char>(value);
    return *this;
}

Message& Message::WStr(const std::wstring& text)
{
    Word(static_cast<std::uint32_t>(text.size() * 2));
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return *this;
}

Message& Message::Blob(const std::string& content)
{
    Word(static_cast<std::uint32_t>(content.size()));
    bytes += content;
    return *this;
}

std::string EmptyLogonCommand() { return std::string(10, '\0'); }

std::string DefaultEventFlags()
{
    EventList list;
    return std::string(reinterpret_cast<const char*>(list.Flags()), list.Count());
}

std::string DefaultProfilesBlob()
{
    DefaultProxyProfileList profiles;
    return Encoded(profiles);
}

std::string TemplateEntry(const std::string& version, const std::wstring& name, bool loginAllowed,
                          const std::string& connectRules, const std::string& forwarding)
{
    Message m;
    if (AtLeast(version, "3.27"))
        m.WStr(name).Bool(loginAllowed);
    m.Bool(true).Bool(false);
    if (AtLeast(version, "3.25"))
        m.Raw(EmptyLogonCommand()).Raw(EmptyLogonCommand()).Bool(false);
    m.Bool(true).WStr(L"cmd.exe").WStr(L"").Bool(true).Bool(true).WStr(L"\\\\").Bool(true).Bool(true);
    if (AtLeast(version, "3.26"))
        m.Blob(connectRules.empty() ? FromHex(kDefaultTemplateConnectRules) : connectRules)
            .Blob(FromHex(kDefaultTemplateListenRules));
    if (AtLeast(version, "3.27"))
        m.Raw(forwarding.empty() ? FromHex(kEmptyForwarding) : forwarding);
    return m.bytes;
}

std::string AccountEntryBytes(const std::string& version, const AccountFields& f)
{
    Message m;
    m.WStr(f.account);
    if (AtLeast(version, "3.28"))
        m.WStr(f.templateName).Byte(f.loginAllowed);
    else
        m.Byte(f.loginAllowed);
    m.Byte(0).Word(static_cast<std::uint32_t>(f.keys.size()));
    for (const std::string& key : f.keys)
        m.Blob(key);
    m.Byte(0).Byte(0);
    if (AtLeast(version, "3.25")) {
        const std::string star = Message().WStr(L"*").bytes + std::string(6, '\0');
        m.Raw(star).Raw(star).Byte(0);
    }
    m.Byte(0).WStr(f.terminalShell).WStr(f.initDir).Byte(0).Byte(f.permitSftp).WStr(f.sftpRootDir).Byte(0).Byte(0);
    if (AtLeast(version, "3.26"))
        m.Blob(f.connectRules.empty() ? std::string(8, '\0') : f.connectRules).Blob(std::string(4, '\0'));
    if (AtLeast(version, "3.27"))
        m.Raw(f.forwarding.empty() ? FromHex(kEmptyForwarding) : f.forwarding);
    return m.bytes;
}

std::string DefaultMessage(const std::string& version, const AccessPart& access, const std::string& profilesBlob)
{
    Message m;
    m.Blob("Orvidex " + version);
    m.Word(0).Word(22);
    if (AtLeast(version, "3.30"))
        m.Word(200).Bool(false);
    if (AtLeast(version, "3.12")) {
        m.Bool(true).Byte(2).Word(202).Raw(DefaultEventFlags());
        m.Bool(false).Byte(2).Word(202).Raw(DefaultEventFlags());
        m.WStr(L"").Bool(false).Word(0).Word(79);
    } else {
        m.Byte(2);
    }
    if (!AtLeast(version, "3.09"))
        m.Bool(true).Word(0);
    m.Word(100).Word(500).Word(50);
    if (AtLeast(version, "3.25"))
        m.WStr(L"");
    if (AtLeast(version, "3.30"))
        m.Bool(true).Bool(true);
    m.Bool(true).Bool(true);
    if (AtLeast(version, "3.07"))
        m.Bool(true).Bool(true);
    m.Bool(true).Bool(true).Bool(true).Bool(true).Bool(false);
    m.Bool(true).Bool(true).Bool(true).Bool(true).Bool(false);
    m.Bool(true).Bool(true);
    m.WStr(L"").Word(60).Word(3);
    if (AtLeast(version, "3.12"))
        m.Word(3);
    if (AtLeast(version, "3.30"))
        m.Word(300).Word(20).Word(3600);
    if (AtLeast(version, "3.31"))
        m.Bool(false);
    if (AtLeast(version, "3.09"))
        m.Bool(true).Word(60);
    if (AtLeast(version, "3.12"))
        m.Word(0);
    if (AtLeast(version, "3.26"))
        m.Bool(true).Word(35000).Blob(profilesBlob.empty() ? DefaultProfilesBlob() : profilesBlob);

    const std::vector<std::string> one(1, TemplateEntry(version, L"Default"));
    const std::vector<std::string>& templates = access.templates ? *access.templates : one;
    if (AtLeast(version, "3.27"))
        m.Word(static_cast<std::uint32_t>(templates.size()));
    for (const std::string& t : templates)
        m.Raw(t);
    if (AtLeast(version, "3.27"))
        m.WStr(access.defaultTemplate);
    m.Word(static_cast<std::uint32_t>(access.accounts.size()));
    for (const std::string& a : access.accounts)
        m.Raw(a);
    if (!access.hosts.empty())
        m.Raw(access.hosts);
    else if (AtLeast(version, "3.27"))
        m.Blob(FromHex(kDefaultHosts));
    else
        m.Word(1).Word(0).Word(0).Bool(true);
    return m.bytes;
}
