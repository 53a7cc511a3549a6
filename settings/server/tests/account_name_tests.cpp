#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/server/account_name.h"

namespace {

std::wstring Upper(std::wstring text)
{
    if (!text.empty())
        CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

std::wstring Lower(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

// A directory of one account that records the names it was asked for. (The real lookup
// under Wine compares user names case-sensitively, so upper-cased names of the Unix user
// are not found there.)
struct FakeDirectory {
    std::wstring account;
    std::wstring domain;
    SID_NAME_USE use = SidTypeUser;
    std::vector<std::wstring> asked;
};
FakeDirectory* directory = nullptr;

const BYTE kSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 0x2A, 0, 0, 0};

BOOL WINAPI FakeLookup(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain, LPDWORD domainSize,
                       PSID_NAME_USE use)
{
    EXPECT_EQ(nullptr, system);
    directory->asked.push_back(name);
    if (directory->account != name) {
        SetLastError(ERROR_NONE_MAPPED);
        return FALSE;
    }
    const DWORD domainNeeded = static_cast<DWORD>(directory->domain.size() + 1);
    if (!sid || *sidSize < sizeof(kSid) || *domainSize < domainNeeded) {
        *sidSize = sizeof(kSid);
        *domainSize = domainNeeded;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(sid, kSid, sizeof(kSid));
    std::memcpy(domain, directory->domain.c_str(), domainNeeded * sizeof(wchar_t));
    *use = directory->use;
    return TRUE;
}

class AccountNames : public ::testing::Test {
protected:
    FakeDirectory fake;
    void SetUp() override
    {
        directory = &fake;
        SetAccountLookup(FakeLookup);
    }
    void TearDown() override
    {
        SetAccountLookup(nullptr);
        directory = nullptr;
    }
};

TEST_F(AccountNames, AUserResolvesUnderItsUpperCaseName)
{
    fake.account = L"ALICE";
    fake.domain = L"HOST";
    AccountNameInfo info;
    ASSERT_TRUE(info.ResolveAccountName(L"alice"));
    EXPECT_EQ(L"ALICE", info.m_sAccountName);
    EXPECT_EQ(L"ALICE", info.m_sUserName);
    EXPECT_EQ(L"HOST", info.m_sDomainName);
    EXPECT_EQ(L"HOST\\ALICE", info.m_sQualifiedName);
    EXPECT_EQ(std::vector<BYTE>(kSid, kSid + sizeof(kSid)), std::vector<BYTE>(info.m_sid.begin(), info.m_sid.end()));
}

TEST_F(AccountNames, TheDomainComesFromTheSystemAndTheUserFromTheText)
{
    fake.account = L"MYDOMAIN\\BOB";
    fake.domain = L"CORP";
    AccountNameInfo info;
    ASSERT_TRUE(info.ResolveAccountName(L"mydomain\\bob"));
    EXPECT_EQ(L"MYDOMAIN\\BOB", info.m_sAccountName);
    EXPECT_EQ(L"BOB", info.m_sUserName);
    EXPECT_EQ(L"CORP", info.m_sDomainName);
    EXPECT_EQ(L"CORP\\BOB", info.m_sQualifiedName);

    fake.account = L"CAROL";
    fake.domain = L"";
    ASSERT_TRUE(info.ResolveAccountName(L"Carol"));
    EXPECT_EQ(L"CAROL", info.m_sQualifiedName);
}

TEST_F(AccountNames, TheComputersOwnNameIsLookedUpAsItsAccountOfThatName)
{
    std::wstring computer;
    ASSERT_TRUE(GetComputerNameString(computer));
    ASSERT_FALSE(computer.empty());
    fake.account = Upper(computer) + L"\\" + Upper(computer);
    fake.domain = Upper(computer);
    AccountNameInfo info;
    ASSERT_TRUE(info.ResolveAccountName(Lower(computer)));
    EXPECT_EQ(fake.account, info.m_sAccountName);
    EXPECT_EQ(Upper(computer), info.m_sUserName);
    EXPECT_EQ(std::vector<std::wstring>(2, fake.account), fake.asked);
}

TEST_F(AccountNames, OnlyUserAccountsResolve)
{
    fake.account = L"STAFF";
    fake.domain = L"HOST";
    fake.use = SidTypeGroup;
    AccountNameInfo info;
    info.m_sQualifiedName = L"earlier";
    EXPECT_FALSE(info.ResolveAccountName(L"staff"));
    EXPECT_TRUE(info.m_sAccountName.empty());
    EXPECT_TRUE(info.m_sUserName.empty());
    EXPECT_TRUE(info.m_sDomainName.empty());
    EXPECT_EQ(L"earlier", info.m_sQualifiedName);

    // A name that no account has ends after the first lookup.
    fake.asked.clear();
    EXPECT_FALSE(info.ResolveAccountName(L"nobody"));
    EXPECT_EQ(std::vector<std::wstring>{L"NOBODY"}, fake.asked);
    EXPECT_EQ(0u, info.m_sid.size());
}

TEST(AccountNameInfo, TheSystemsGroupsAndUnknownNamesDoNotResolve)
{
    AccountNameInfo info;
    EXPECT_FALSE(info.ResolveAccountName(L"Administrators"));
    EXPECT_FALSE(info.ResolveAccountName(L"SYSTEM"));
    EXPECT_FALSE(info.ResolveAccountName(L"no-such-account-anywhere"));
    EXPECT_TRUE(info.m_sAccountName.empty());
    EXPECT_EQ(0u, info.m_sid.size());
}

} // namespace
