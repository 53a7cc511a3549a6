// The checks before the installer changes anything: the Administrators membership and the
// Windows version; and OsVersion, a small cache of operating-system facts.
#pragma once

#include "foundation/dll_loader.h"

#include <windows.h>

#include <cstdint>

// (platform id, major, minor) for Windows; (major, minor, build) for Internet Explorer.
struct OsVersionTriple {
    uint32_t first = 0, second = 0, third = 0;
};

bool operator==(const OsVersionTriple& a, const OsVersionTriple& b);
bool IsAtLeast(const OsVersionTriple& version, const OsVersionTriple& minimum);
bool IsAtMost(const OsVersionTriple& version, const OsVersionTriple& maximum);

extern const OsVersionTriple WindowsNt4;
extern const OsVersionTriple Windows2000;
extern const OsVersionTriple WindowsXp;

// Each fact is asked once and kept; a failed query is asked again next time.
class OsVersion {
public:
    OsVersion() = default;

    OsVersionTriple Get();
    int32_t GetServicePack();
    uint8_t GetProductType();
    uint16_t GetProductSuite();
    OsVersionTriple GetIeVersion();

private:
    bool versionCached = false;
    OsVersionTriple version;
    bool servicePackCached = false;
    int32_t servicePack = -1;
    bool productTypeCached = false;
    uint8_t productType = 0;
    bool suiteCached = false;
    uint16_t suiteMask = 0;
    bool ieVersionCached = false;
    OsVersionTriple ieVersion;
};

extern OsVersion GlobalOsVersion;

// "Advapi32.dll" from the system directory; its security functions are looked up by name
// at each call.
class Advapi32Library : public DllLoader {
public:
    Advapi32Library();

    void FreeSid(PSID sid);

    template <class Function>
    Function Entry(const char* name) const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(LookUpEntry(module, name)));
    }

    // The test seam: replaces the lookup of entry points (null restores the real one).
    using EntryLookup = FARPROC (*)(HMODULE module, const char* name);
    static void SetEntryLookup(EntryLookup lookup);

private:
    static FARPROC LookUpEntry(HMODULE module, const char* name);
};

// Throw InstallError when the test cannot run.
bool CheckAdministratorsMembership();
bool CheckPowerUsersMembership();
// The membership, or onFailure when the test cannot run.
bool IsAdministrator(bool onFailure);
bool IsPowerUser(bool onFailure);

// Return, or report and throw SilentExit with 131 / 130.
void CheckAdministrator();
void CheckOsVersion();
