#include "settings/server/account_name.h"

#include <windows.h>

#include <vector>

namespace {

AccountLookupFunction accountLookup = LookupAccountNameW;

void ToUpperInPlace(std::wstring& text)
{
    if (!text.empty())
        CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
}

} // namespace

void SetAccountLookup(AccountLookupFunction lookup)
{
    accountLookup = lookup ? lookup : LookupAccountNameW;
}

bool GetComputerNameString(std::wstring& out)
{
    out.clear();
    wchar_t buffer[80];
    DWORD size = 80;
    if (!GetComputerNameW(buffer, &size))
        return false;
    out.assign(buffer, size);
    return true;
}

bool AccountNameInfo::ResolveAccountName(std::wstring name)
{
    m_sAccountName.clear();
    m_sUserName.clear();
    m_sDomainName.clear();
    m_sid.resize(0);

    ToUpperInPlace(name);
    std::wstring computer;
    if (GetComputerNameString(computer)) {
        ToUpperInPlace(computer);
        // A bare computer name means its own account of that name, not the computer.
        if (name == computer)
            name = computer + L"\\" + name;
    }

    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use = SidTypeUnknown;
    accountLookup(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0)
        return false;

    m_sid.resize(sidSize);
    // Room for the reported characters and a terminator beyond what the system promised.
    std::vector<wchar_t> domain(domainSize + 2, L'\0');
    if (!accountLookup(nullptr, name.c_str(), m_sid.data(), &sidSize, domain.data(), &domainSize, &use) ||
        use != SidTypeUser)
        return false;

    m_sAccountName = name;
    m_sDomainName = domain.data();
    const std::wstring::size_type slash = name.find(L'\\');
    m_sUserName = slash == std::wstring::npos ? name : name.substr(slash + 1);
    m_sQualifiedName = m_sDomainName.empty() ? m_sUserName : m_sDomainName + L"\\" + m_sUserName;
    return true;
}
