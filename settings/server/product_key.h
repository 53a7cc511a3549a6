// The registry home of the server's settings and host keypair: HKEY_LOCAL_MACHINE
// "SOFTWARE\Morlune\Orvidex" under the maker's key "SOFTWARE\Morlune". A product key that
// this program creates is open to LocalSystem and the Administrators group only.
#pragma once

#include <windows.h>

#include <string>

extern const char kMakerKeyPath[];
extern const char kProductKeyPath[];

// The security of a product key that this program creates: a discretionary access list
// of exactly two entries, LocalSystem then BUILTIN\Administrators, each KEY_ALL_ACCESS
// with no inheritance. Owns the SIDs, the list and the descriptor.
class ProductKeySecurity {
public:
    ProductKeySecurity() {}
    ProductKeySecurity(const ProductKeySecurity&) = delete;
    ProductKeySecurity& operator=(const ProductKeySecurity&) = delete;
    ~ProductKeySecurity();

    // False with the reason in error ("Error opening registry key. <call>() failed with
    // the following error: " and the system's text).
    bool Build(std::wstring& error);

    PACL Acl() const { return acl_; }
    // Not inheritable; valid while this object lives.
    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

private:
    PSID localSystem_ = nullptr;
    PSID administrators_ = nullptr;
    PACL acl_ = nullptr;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_ = {};
};

// Opens the product key for query and set; when that fails, creates the maker's key
// (which keeps its own security when it exists) and then the product key with the
// security above (an existing product key keeps its own). False with the reason in error.
bool OpenOrCreateProductKey(HKEY& key, std::wstring& error);

// prefix followed by "OS error <code>" and the system's text.
std::wstring WithOsErrorText(const wchar_t* prefix, DWORD code);
