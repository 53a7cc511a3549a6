#include "installer/prerequisites.h"

#include "RoVodEre/ScopeGuard.h"
#include "installer/installer_state.h"

#include <cstdio>
#include <cstring>

const OsVersionTriple WindowsNt4{VER_PLATFORM_WIN32_NT, 4, 0};
const OsVersionTriple Windows2000{VER_PLATFORM_WIN32_NT, 5, 0};
const OsVersionTriple WindowsXp{VER_PLATFORM_WIN32_NT, 5, 1};

OsVersion GlobalOsVersion;

namespace {

int Compare(const OsVersionTriple& a, const OsVersionTriple& b)
{
    if (a.first != b.first)
        return a.first < b.first ? -1 : 1;
    if (a.second != b.second)
        return a.second < b.second ? -1 : 1;
    if (a.third != b.third)
        return a.third < b.third ? -1 : 1;
    return 0;
}

} // namespace

bool operator==(const OsVersionTriple& a, const OsVersionTriple& b)
{
    return Compare(a, b) == 0;
}

bool IsAtLeast(const OsVersionTriple& version, const OsVersionTriple& minimum)
{
    return Compare(version, minimum) >= 0;
}

bool IsAtMost(const OsVersionTriple& version, const OsVersionTriple& maximum)
{
    return Compare(version, maximum) <= 0;
}

OsVersionTriple OsVersion::Get()
{
    if (versionCached)
        return version;
    version = OsVersionTriple();
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (GetVersionExA(&info)) {
        version = OsVersionTriple{info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion};
        versionCached = true;
    }
    return version;
}

namespace {

bool QueryExtendedVersion(OSVERSIONINFOEXA& info)
{
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != FALSE;
}

// One string value of at most 80 bytes, terminated whatever the registry held.
bool ReadSmallValue(HKEY key, const char* name, char (&buffer)[80])
{
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    std::memset(buffer, 0, sizeof buffer);
    return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
}

HKEY OpenQueryKey(const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// A value of the product options key, for systems whose version query lacks the facts.
bool ReadProductOption(const char* name, char (&value)[80])
{
    HKEY key = OpenQueryKey("SYSTEM\\CurrentControlSet\\Control\\ProductOptions");
    if (!key)
        return false;
    auto closeKey = MakeGuard(RegCloseKey, key);
    return ReadSmallValue(key, name, value);
}

} // namespace

int32_t OsVersion::GetServicePack()
{
    if (servicePackCached)
        return servicePack;
    OSVERSIONINFOEXA ex;
    if (QueryExtendedVersion(ex)) {
        servicePack = ex.wServicePackMajor;
        servicePackCached = true;
        return servicePack;
    }
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    static const char prefix[] = "Service Pack";
    const size_t prefixLength = sizeof prefix - 1;
    if (GetVersionExA(&info) && std::strlen(info.szCSDVersion) > prefixLength &&
        CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, info.szCSDVersion, static_cast<int>(prefixLength),
                       prefix, static_cast<int>(prefixLength)) == CSTR_EQUAL) {
        int number = -1;
        if (std::sscanf(info.szCSDVersion + prefixLength, "%i", &number) == 1 && number >= 0) {
            servicePack = number;
            servicePackCached = true;
        }
    }
    return servicePack;
}

uint8_t OsVersion::GetProductType()
{
    if (productTypeCached)
        return productType;
    OSVERSIONINFOEXA ex;
    char value[80];
    if (QueryExtendedVersion(ex)) {
        productType = ex.wProductType;
        productTypeCached = true;
    } else if (ReadProductOption("ProductType", value)) {
        if (lstrcmpiA(value, "WinNT") == 0)
            productType = VER_NT_WORKSTATION;
        else if (lstrcmpiA(value, "LanmanNT") == 0)
            productType = VER_NT_DOMAIN_CONTROLLER;
        else if (lstrcmpiA(value, "ServerNT") == 0)
            productType = VER_NT_SERVER;
        productTypeCached = true;
    }
    return productType;
}

uint16_t OsVersion::GetProductSuite()
{
    if (suiteCached)
        return suiteMask;
    OSVERSIONINFOEXA ex;
    char value[80];
    if (QueryExtendedVersion(ex)) {
        suiteMask = ex.wSuiteMask;
        suiteCached = true;
    } else if (ReadProductOption("ProductSuite", value)) {
        // The first string of the list decides.
        if (std::strcmp(value, "Enterprise") == 0)
            suiteMask |= VER_SUITE_ENTERPRISE;
        else if (std::strcmp(value, "Terminal Services") == 0)
            suiteMask |= VER_SUITE_TERMINAL;
        suiteCached = true;
    }
    return suiteMask;
}

OsVersionTriple OsVersion::GetIeVersion()
{
    if (ieVersionCached)
        return ieVersion;
    ieVersion = OsVersionTriple();
    HKEY key = OpenQueryKey("Software\\Microsoft\\Internet Explorer");
    if (!key)
        return ieVersion;
    auto closeKey = MakeGuard(RegCloseKey, key);
    char value[80];
    if (ReadSmallValue(key, "Version", value)) {
        unsigned major = 0, minor = 0, build = 0;
        const int fields = std::sscanf(value, "%u.%u.%u", &major, &minor, &build);
        if (fields >= 1)
            ieVersion.first = major;
        if (fields >= 2)
            ieVersion.second = minor;
        if (fields >= 3)
            ieVersion.third = build;
    } else if (ReadSmallValue(key, "IVer", value)) {
        if (std::strcmp(value, "101") == 0)
            ieVersion = OsVersionTriple{4, 40, 308};
        else if (std::strcmp(value, "102") == 0)
            ieVersion = OsVersionTriple{4, 40, 520};
        else if (std::strcmp(value, "103") == 0) {
            ieVersion = OsVersionTriple{4, 70, 1155};
            if (ReadSmallValue(key, "Build", value)) {
                unsigned build = 0;
                if (std::sscanf(value, "%u", &build) == 1)
                    ieVersion.third = build;
            }
        }
    }
    if (ieVersion.first != 0)
        ieVersionCached = true;
    return ieVersion;
}

namespace {

FARPROC RealEntryLookup(HMODULE module, const char* name)
{
    return DllLoader::GetProcAddress(module, name);
}

Advapi32Library::EntryLookup entryLookup = RealEntryLookup;

} // namespace

Advapi32Library::Advapi32Library() : DllLoader(true, AnsiString("Advapi32.dll"), false)
{
}

void Advapi32Library::SetEntryLookup(EntryLookup lookup)
{
    entryLookup = lookup ? lookup : RealEntryLookup;
}

FARPROC Advapi32Library::LookUpEntry(HMODULE module, const char* name)
{
    return entryLookup(module, name);
}

void Advapi32Library::FreeSid(PSID sid)
{
    Entry<PVOID(WINAPI*)(PSID)>("FreeSid")(sid);
}

namespace {

// Whether the process token holds the built-in group of the alias rid. SIDs are compared
// alone, so a deny-only group counts as well.
bool CheckBuiltInGroupMembership(DWORD aliasRid)
{
    try {
        Advapi32Library advapi;
        if (GlobalOsVersion.Get().first != VER_PLATFORM_WIN32_NT)
            return true;

        using AllocateSidFn = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD,
                                            DWORD, DWORD, DWORD, PSID*);
        using IsValidSidFn = BOOL(WINAPI*)(PSID);
        using EqualSidFn = BOOL(WINAPI*)(PSID, PSID);
        using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
        using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

        SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
        PSID groupSid = nullptr;
        if (!advapi.Entry<AllocateSidFn>("AllocateAndInitializeSid")(
                &ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, aliasRid, 0, 0, 0, 0, 0, 0, &groupSid))
            throw InstallError("AllocateAndInitializeSid() failed: " + OsErrorExceptionText(GetLastError()));
        if (!groupSid)
            throw InstallError("AllocateAndInitializeSid() failed: NULL SID returned.");
        auto freeSid = MakeObjGuard(advapi, &Advapi32Library::FreeSid, groupSid);
        if (!advapi.Entry<IsValidSidFn>("IsValidSid")(groupSid))
            throw InstallError("AllocateAndInitializeSid() failed: Invalid SID returned.");

        HANDLE token = nullptr;
        if (!advapi.Entry<OpenProcessTokenFn>("OpenProcessToken")(GetCurrentProcess(), TOKEN_QUERY, &token))
            throw InstallError("OpenProcessToken() failed: " + OsErrorExceptionText(GetLastError()));
        auto closeToken = MakeGuard(CloseHandle, token);

        const auto getTokenInformation = advapi.Entry<GetTokenInformationFn>("GetTokenInformation");
        DWORD size = 0;
        if (!getTokenInformation(token, TokenGroups, nullptr, 0, &size)) {
            const DWORD error = GetLastError();
            if (error != ERROR_INSUFFICIENT_BUFFER)
                throw InstallError("GetTokenInformation() failed: " + SystemErrorText(error).text);
        }
        const HGLOBAL buffer = GlobalAlloc(GMEM_ZEROINIT, size);
        if (!buffer)
            throw InstallError("GlobalAlloc() failed: " + OsErrorExceptionText(GetLastError()));
        auto freeBuffer = MakeGuard(GlobalFree, buffer);
        if (!getTokenInformation(token, TokenGroups, buffer, size, &size))
            throw InstallError("GetTokenInformation() failed: " + OsErrorExceptionText(GetLastError()));

        const auto isValidSid = advapi.Entry<IsValidSidFn>("IsValidSid");
        const auto equalSid = advapi.Entry<EqualSidFn>("EqualSid");
        const TOKEN_GROUPS* groups = static_cast<const TOKEN_GROUPS*>(buffer);
        for (DWORD i = 0; i < groups->GroupCount; ++i) {
            PSID sid = groups->Groups[i].Sid;
            if (sid && isValidSid(sid) && equalSid(sid, groupSid))
                return true;
        }
        return false;
    } catch (const DllLoader::Err& e) {
        throw InstallError(e.what());
    }
}

} // namespace

bool CheckAdministratorsMembership()
{
    return CheckBuiltInGroupMembership(DOMAIN_ALIAS_RID_ADMINS);
}

bool CheckPowerUsersMembership()
{
    return CheckBuiltInGroupMembership(DOMAIN_ALIAS_RID_POWER_USERS);
}

bool IsAdministrator(bool onFailure)
{
    try {
        return CheckAdministratorsMembership();
    } catch (const std::exception&) {
        return onFailure;
    }
}

bool IsPowerUser(bool onFailure)
{
    try {
        return CheckPowerUsersMembership();
    } catch (const std::exception&) {
        return onFailure;
    }
}

void CheckAdministrator()
{
    if (IsAdministrator(true))
        return;
    PrintLine("This program must be run by a user with administrator privileges, aborting.");
    if (installerState.interactive)
        MessageBoxA(nullptr, "This program must be run by a user with administrator privileges.",
                    "Installation Aborted", MB_OK | MB_ICONERROR);
    throw SilentExit(ExitNotAdministrator);
}

void CheckOsVersion()
{
    OsVersion os;
    if (IsAtLeast(os.Get(), WindowsNt4))
        return;
    if (installerState.interactive) {
        const int answer = MessageBoxA(nullptr,
                                       "The minimum requirement for installing Orvidex is Windows NT 4.0.\n"
                                       "Does your system meet Orvidex minimum requirements?",
                                       "Unsupported OS Version Detected",
                                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer == IDYES)
            return;
        throw SilentExit(ExitWindowsVersion);
    }
    if (installerState.force) {
        PrintLine("Warning: Orvidex requires Windows NT 4.0, or higher");
        return;
    }
    PrintLine("Orvidex requires Windows NT 4.0, or higher (use /Force flag to override version checking), aborting");
    throw SilentExit(ExitWindowsVersion);
}
