// Turns a Windows account name as a user types it into the user account it denotes: the
// upper-case name that was looked up, its user and domain parts, the qualified form and
// the account's SID. Groups, aliases, domains and computers do not resolve.
#pragma once

#include <windows.h>

#include <string>

#include <cryptopp/secblock.h>

class AccountNameInfo {
public:
    // Upper-case, with the computer-name prefix where the name equals the computer's name.
    std::wstring m_sAccountName;
    // The part after the first backslash, or the whole name.
    std::wstring m_sUserName;
    // As the system reported it for the account.
    std::wstring m_sDomainName;
    // Domain, backslash and user; the user alone when the domain is empty. A failed
    // resolution leaves it as it was.
    std::wstring m_sQualifiedName;
    CryptoPP::SecByteBlock m_sid;

    // True when name denotes a user account of the local computer's view; the fields mean
    // something only then.
    bool ResolveAccountName(std::wstring name);
};

// The system's LookupAccountNameW, or a stand-in that tests install; null restores the
// system's.
typedef BOOL(WINAPI* AccountLookupFunction)(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize,
                                             LPWSTR domain, LPDWORD domainSize, PSID_NAME_USE use);
void SetAccountLookup(AccountLookupFunction lookup);

// The computer's NetBIOS name; false with out empty when the system cannot tell it.
bool GetComputerNameString(std::wstring& out);
