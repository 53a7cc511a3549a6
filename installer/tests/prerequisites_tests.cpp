#include "installer/prerequisites.h"

#include "installer/installer_state.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

namespace {

// Wine's tokens always hold the Administrators group; these fakes replace the looked-up
// entry points to reach the other answers.
int freeSidCalls = 0;
const char* missingEntry = nullptr;

BOOL WINAPI NeverEqualSid(PSID, PSID)
{
    return FALSE;
}

BOOL WINAPI OpenProcessTokenDenied(HANDLE, DWORD, PHANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI AllocateNullSid(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                            PSID* sid)
{
    *sid = nullptr;
    return TRUE;
}

// A token whose only Administrators entry is deny-only, after an entry without a SID.
BOOL WINAPI DenyOnlyAdministratorsToken(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID buffer, DWORD size, PDWORD needed)
{
    static SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    static PSID administrators = nullptr;
    if (!administrators)
        AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                 0, 0, &administrators);
    *needed = sizeof(TOKEN_GROUPS) + sizeof(SID_AND_ATTRIBUTES);
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    TOKEN_GROUPS* groups = static_cast<TOKEN_GROUPS*>(buffer);
    groups->GroupCount = 2;
    groups->Groups[0].Sid = nullptr;
    groups->Groups[0].Attributes = SE_GROUP_ENABLED;
    SID_AND_ATTRIBUTES* second = &groups->Groups[0] + 1;
    second->Sid = administrators;
    second->Attributes = SE_GROUP_USE_FOR_DENY_ONLY;
    return TRUE;
}

BOOL WINAPI TokenQueryFails(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

PVOID WINAPI CountingFreeSid(PSID sid)
{
    ++freeSidCalls;
    return ::FreeSid(sid);
}

struct Replacement {
    const char* name;
    FARPROC entry;
};
Replacement replacement = {nullptr, nullptr};

FARPROC FakeLookup(HMODULE module, const char* name)
{
    if (std::strcmp(name, "FreeSid") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(CountingFreeSid));
    if (replacement.name && std::strcmp(name, replacement.name) == 0)
        return replacement.entry;
    if (missingEntry && std::strcmp(name, missingEntry) == 0)
        return DllLoader::GetProcAddress(module, "OrvidexNoSuchEntry");
    return DllLoader::GetProcAddress(module, name);
}

template <class F>
void Replace(const char* name, F function)
{
    replacement = {name, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function))};
}

class MembershipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        freeSidCalls = 0;
        missingEntry = nullptr;
        replacement = {nullptr, nullptr};
        installerState = InstallerState();
        Advapi32Library::SetEntryLookup(FakeLookup);
    }
    void TearDown() override { Advapi32Library::SetEntryLookup(nullptr); }

    static std::string InstallErrorText()
    {
        try {
            CheckAdministratorsMembership();
        } catch (const InstallError& e) {
            return e.what();
        }
        return "(no InstallError)";
    }
};

TEST_F(MembershipTest, WineTokensHoldTheAdministratorsGroupAndTheSidIsFreed)
{
    EXPECT_TRUE(CheckAdministratorsMembership());
    EXPECT_EQ(freeSidCalls, 1);
    EXPECT_NO_THROW(CheckPowerUsersMembership());
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(CheckAdministrator());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(MembershipTest, ADenyOnlyAdministratorsGroupStillCounts)
{
    Replace("GetTokenInformation", DenyOnlyAdministratorsToken);
    EXPECT_TRUE(CheckAdministratorsMembership());
    EXPECT_FALSE(CheckPowerUsersMembership());
}

TEST_F(MembershipTest, NonAdministratorAbortsWith131AndItsLine)
{
    Replace("EqualSid", NeverEqualSid);
    EXPECT_FALSE(CheckAdministratorsMembership());
    EXPECT_EQ(freeSidCalls, 1);
    EXPECT_FALSE(IsAdministrator(true));
    testing::internal::CaptureStdout();
    try {
        CheckAdministrator();
        ADD_FAILURE() << "no SilentExit";
    } catch (const SilentExit& e) {
        EXPECT_EQ(e.code, 131);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "This program must be run by a user with administrator privileges, aborting.\n");
}

TEST_F(MembershipTest, FailuresBecomeInstallErrorsAndTheCallersChoice)
{
    Replace("OpenProcessToken", OpenProcessTokenDenied);
    EXPECT_EQ(InstallErrorText(), "OpenProcessToken() failed: OS error 5: " + OsErrorText(5).text);
    EXPECT_EQ(freeSidCalls, 1);  // the SID is freed on the way out
    EXPECT_TRUE(IsAdministrator(true));
    EXPECT_FALSE(IsAdministrator(false));
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(CheckAdministrator());  // a test that cannot run lets the installation go on
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // The size query reports the system's text alone, without the "OS error" prefix.
    Replace("GetTokenInformation", TokenQueryFails);
    EXPECT_EQ(InstallErrorText(), "GetTokenInformation() failed: " + OsErrorText(ERROR_INVALID_HANDLE).text);

    Replace("AllocateAndInitializeSid", AllocateNullSid);
    EXPECT_EQ(InstallErrorText(), "AllocateAndInitializeSid() failed: NULL SID returned.");
}

TEST_F(MembershipTest, AMissingEntryPointBecomesAnInstallErrorWithTheLoadersText)
{
    missingEntry = "GetTokenInformation";
    const std::string text = InstallErrorText();
    const std::string prefix = "GetProcAddress(OrvidexNoSuchEntry) failed. OS error 127: ";
    EXPECT_EQ(text.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(IsPowerUser(true));
    EXPECT_FALSE(IsPowerUser(false));
}

TEST(OsVersionTest, ComparisonsAndTheVersionOfThisSystem)
{
    struct Case {
        OsVersionTriple version;
        bool atLeastNt4;
    };
    const Case cases[] = {
        {{2, 4, 0}, true},
        {{2, 3, 51}, false},
        {{2, 6, 1}, true},
        {{1, 4, 10}, false},   // Windows 98
        {{0, 0, 0}, false},    // a failed query
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsAtLeast(c.version, WindowsNt4), c.atLeastNt4) << c.version.first << c.version.second;
    EXPECT_TRUE(IsAtMost(WindowsNt4, Windows2000));
    EXPECT_FALSE(IsAtMost(WindowsXp, Windows2000));
    EXPECT_TRUE(WindowsNt4 == (OsVersionTriple{2, 4, 0}));

    OsVersion os;
    const OsVersionTriple version = os.Get();
    EXPECT_EQ(version.first, static_cast<uint32_t>(VER_PLATFORM_WIN32_NT));
    EXPECT_TRUE(IsAtLeast(version, WindowsNt4));
    EXPECT_GE(os.GetServicePack(), 0);
    EXPECT_NE(os.GetProductType(), 0);
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(CheckOsVersion());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace

namespace {

// This program runs in a prefix of its own, so it may rewrite the Internet Explorer key.
class IeVersionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const char* name : {"Version", "IVer", "Build"})
            RegDeleteValueA(key, name);
    }
    void TearDown() override { RegCloseKey(key); }

    void Set(const char* name, const char* value)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(std::strlen(value) + 1)),
                  ERROR_SUCCESS);
    }

    HKEY key = nullptr;
};

TEST_F(IeVersionTest, VersionValueOrTheOldIVerCodes)
{
    Set("Version", "8.0.6001");
    EXPECT_TRUE(OsVersion().GetIeVersion() == (OsVersionTriple{8, 0, 6001}));

    // A Version that does not scan: major 0, and IVer is not consulted.
    Set("Version", "");
    Set("IVer", "103");
    EXPECT_TRUE(OsVersion().GetIeVersion() == (OsVersionTriple{0, 0, 0}));

    RegDeleteValueA(key, "Version");
    Set("Build", "1300");
    EXPECT_TRUE(OsVersion().GetIeVersion() == (OsVersionTriple{4, 70, 1300}));

    // An unknown IVer gives zeros and is not cached: the same object asks again.
    OsVersion os;
    Set("IVer", "104");
    EXPECT_TRUE(os.GetIeVersion() == (OsVersionTriple{0, 0, 0}));
    Set("IVer", "101");
    EXPECT_TRUE(os.GetIeVersion() == (OsVersionTriple{4, 40, 308}));
    Set("IVer", "102");
    EXPECT_TRUE(os.GetIeVersion() == (OsVersionTriple{4, 40, 308}));  // now cached
}

} // namespace
