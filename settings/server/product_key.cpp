#include "settings/server/product_key.h"

#include <aclapi.h>

#include "foundation/exceptions.h"

const char kMakerKeyPath[] = "SOFTWARE\\Morlune";
const char kProductKeyPath[] = "SOFTWARE\\Morlune\\Orvidex";

namespace {

const wchar_t kOpenFailed[] = L"Error opening registry key. ";

std::wstring OpenFailure(const wchar_t* call, DWORD code)
{
    return WithOsErrorText((std::wstring(kOpenFailed) + call + L"() failed with the following error: ").c_str(),
                           code);
}

} // namespace

std::wstring WithOsErrorText(const wchar_t* prefix, DWORD code)
{
    return std::wstring(prefix) + WideOsErrorMessage(code).text;
}

ProductKeySecurity::~ProductKeySecurity()
{
    if (descriptor_)
        LocalFree(descriptor_);
    if (acl_)
        LocalFree(acl_);
    if (administrators_)
        FreeSid(administrators_);
    if (localSystem_)
        FreeSid(localSystem_);
}

bool ProductKeySecurity::Build(std::wstring& error)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &localSystem_) ||
        !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators_)) {
        error = OpenFailure(L"AllocateAndInitializeSid", GetLastError());
        return false;
    }

    EXPLICIT_ACCESS_A entries[2] = {};
    const PSID sids[2] = {localSystem_, administrators_};
    const TRUSTEE_TYPE types[2] = {TRUSTEE_IS_WELL_KNOWN_GROUP, TRUSTEE_IS_GROUP};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = KEY_ALL_ACCESS;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = types[i];
        entries[i].Trustee.ptstrName = static_cast<LPSTR>(sids[i]);
    }
    const DWORD aclResult = SetEntriesInAclA(2, entries, nullptr, &acl_);
    if (aclResult != ERROR_SUCCESS) {
        acl_ = nullptr;
        error = OpenFailure(L"SetEntriesInAcl", aclResult);
        return false;
    }

    descriptor_ = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (!descriptor_) {
        error = OpenFailure(L"LocalAlloc", GetLastError());
        return false;
    }
    if (!InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
        error = OpenFailure(L"InitializeSecurityDescriptor", GetLastError());
        return false;
    }
    if (!SetSecurityDescriptorDacl(descriptor_, TRUE, acl_, FALSE)) {
        error = OpenFailure(L"SetSecurityDescriptorDacl", GetLastError());
        return false;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
}

bool OpenOrCreateProductKey(HKEY& key, std::wstring& error)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &opened) ==
        ERROR_SUCCESS) {
        key = opened;
        return true;
    }

    HKEY maker = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMakerKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &maker,
                                  nullptr);
    if (result != ERROR_SUCCESS) {
        error = OpenFailure(L"RegCreateKeyEx", static_cast<DWORD>(result));
        return false;
    }
    RegCloseKey(maker);

    ProductKeySecurity security;
    if (!security.Build(error))
        return false;
    HKEY created = nullptr;
    result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, security.Attributes(), &created, nullptr);
    if (result != ERROR_SUCCESS) {
        error = OpenFailure(L"RegCreateKeyEx", static_cast<DWORD>(result));
        return false;
    }
    key = created;
    return true;
}
