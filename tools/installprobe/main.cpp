// installprobe: a test helper that reports what an installation left on the machine.
//
//   installprobe link <file.lnk>         the link's target, arguments, working directory,
//                                        description and icon, one "Name=value" line each
//   installprobe regtree <ROOT\key>...   each key with its values and subkeys as JSON, one line
//                                        a key (one program start for a whole snapshot)
//   installprobe regsave <ROOT\key> <file>... [--native <ROOT\key> <file>...]
//                                        writes each key's tree to its file (which must not
//                                        exist) in Wine's registry text format: one request a
//                                        tree, for snapshots of whole trees. Volatile keys are
//                                        left out, and links are written as links. Keys after
//                                        --native open in the 64-bit view (where the targets
//                                        of links are named). A key that cannot be opened
//                                        gets no file and a line "unreadable <key> <code>"
//   installprobe volatile-key <ROOT\key> creates the key as a volatile one
//   installprobe read-only-key <ROOT\key> gives the existing key an access list that lets
//                                        the Administrators group and everyone read it only
//
// ROOT is HKLM or HKCU. Exit 0 on success, 1 with a line on standard error otherwise.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int Fail(const std::string& what, long code)
{
    std::fprintf(stderr, "installprobe: %s failed with %ld (0x%08lx)\n", what.c_str(), code,
                 static_cast<unsigned long>(code));
    return 1;
}

template <class Interface>
struct ComRef {
    Interface* p = nullptr;
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef()
    {
        if (p)
            p->Release();
    }
};

struct ComScope {
    HRESULT result;
    ComScope() : result(CoInitialize(nullptr)) {}
    ~ComScope()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
};

int PrintLink(const char* linkPath)
{
    ComScope com;
    if (FAILED(com.result))
        return Fail("CoInitialize", com.result);
    ComRef<IShellLinkA> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void**>(&link.p));
    if (FAILED(hr))
        return Fail("CoCreateInstance", hr);
    ComRef<IPersistFile> file;
    hr = link.p->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.p));
    if (FAILED(hr))
        return Fail("QueryInterface", hr);
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, linkPath, -1, nullptr, 0);
    std::vector<wchar_t> widePath(wideLength > 0 ? wideLength : 1);
    MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath.data(), wideLength);
    hr = file.p->Load(widePath.data(), STGM_READ);
    if (FAILED(hr))
        return Fail("IPersistFile::Load", hr);

    char text[4096];
    text[0] = 0;
    link.p->GetPath(text, sizeof text, nullptr, SLGP_RAWPATH);
    std::printf("Target=%s\n", text);
    text[0] = 0;
    link.p->GetArguments(text, sizeof text);
    std::printf("Arguments=%s\n", text);
    text[0] = 0;
    link.p->GetWorkingDirectory(text, sizeof text);
    std::printf("WorkingDirectory=%s\n", text);
    text[0] = 0;
    link.p->GetDescription(text, sizeof text);
    std::printf("Description=%s\n", text);
    text[0] = 0;
    int iconIndex = 0;
    link.p->GetIconLocation(text, sizeof text, &iconIndex);
    std::printf("Icon=%s,%d\n", text, iconIndex);
    return 0;
}

// "HKLM\\path" or "HKCU\\path"; false for any other root.
bool SplitRoot(const std::string& path, HKEY& root, std::string& subKey)
{
    const size_t slash = path.find('\\');
    const std::string rootName = path.substr(0, slash);
    subKey = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    if (rootName == "HKLM" || rootName == "HKEY_LOCAL_MACHINE")
        root = HKEY_LOCAL_MACHINE;
    else if (rootName == "HKCU" || rootName == "HKEY_CURRENT_USER")
        root = HKEY_CURRENT_USER;
    else
        return false;
    return true;
}

// Bytes are written as Latin-1 characters, so every byte of a value comes back unchanged.
std::string JsonString(const std::string& bytes)
{
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Hex(const std::vector<BYTE>& data)
{
    std::string out;
    char digits[3];
    for (BYTE b : data) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        out += digits;
    }
    return out;
}

// {"values": {name: {"type": n, "hex": raw bytes, "text": string types up to the first
// zero}}, "keys": {name: {...}}}; a subkey that cannot be read is {"error": code}.
LONG DumpKey(HKEY key, std::string& out)
{
    DWORD subKeyCount = 0, maxSubKeyLength = 0, valueCount = 0, maxNameLength = 0, maxDataLength = 0;
    LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeyCount, &maxSubKeyLength, nullptr,
                               &valueCount, &maxNameLength, &maxDataLength, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    out += "{\"values\": {";
    std::vector<char> name(maxNameLength + 2);
    std::vector<BYTE> data(maxDataLength + 1);
    for (DWORD i = 0; i < valueCount; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        rc = RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (rc != ERROR_SUCCESS)
            return rc;
        std::vector<BYTE> value(data.begin(), data.begin() + dataLength);
        if (i)
            out += ", ";
        out += JsonString(std::string(name.data(), nameLength)) + ": {\"type\": " + std::to_string(type) +
               ", \"hex\": \"" + Hex(value) + "\"";
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            std::string text(value.begin(), value.end());
            out += ", \"text\": " + JsonString(text.substr(0, text.find('\0')));
        }
        out += "}";
    }
    out += "}, \"keys\": {";
    std::vector<char> subName(maxSubKeyLength + 2);
    for (DWORD i = 0; i < subKeyCount; ++i) {
        DWORD nameLength = static_cast<DWORD>(subName.size());
        rc = RegEnumKeyExA(key, i, subName.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS)
            return rc;
        const std::string child(subName.data(), nameLength);
        if (i)
            out += ", ";
        out += JsonString(child) + ": ";
        // Some system keys (performance data) cannot be read as keys: shown by their code,
        // so that a whole tree can still be compared.
        const size_t start = out.size();
        HKEY childKey = nullptr;
        rc = RegOpenKeyExA(key, child.c_str(), 0, KEY_READ, &childKey);
        if (rc == ERROR_SUCCESS) {
            rc = DumpKey(childKey, out);
            RegCloseKey(childKey);
        }
        if (rc != ERROR_SUCCESS) {
            out.resize(start);
            out += "{\"error\": " + std::to_string(rc) + "}";
        }
    }
    out += "}}";
    return ERROR_SUCCESS;
}

int PrintRegistryTree(const std::string& path)
{
    HKEY root;
    std::string subKey;
    if (!SplitRoot(path, root, subKey))
        return Fail("root key " + path, ERROR_INVALID_PARAMETER);
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return Fail("RegOpenKeyExA " + path, rc);
    std::string out;
    rc = DumpKey(key, out);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return Fail("reading " + path, rc);
    std::printf("%s\n", out.c_str());
    return 0;
}

// Saving a tree takes the backup privilege, which an administrator holds but must enable.
LONG EnableBackupPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return static_cast<LONG>(GetLastError());
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LONG rc = ERROR_SUCCESS;
    if (!LookupPrivilegeValueA(nullptr, SE_BACKUP_NAME, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) || GetLastError() != ERROR_SUCCESS)
        rc = static_cast<LONG>(GetLastError());
    CloseHandle(token);
    return rc;
}

// <ROOT\key> <file> pairs; "--native" before a pair opens it and the ones after it in the
// 64-bit view.
int SaveRegistryTrees(char** args, int count)
{
    if (const LONG rc = EnableBackupPrivilege())
        return Fail("enabling the backup privilege", rc);
    bool native = false;
    for (int i = 0; i < count; i += 2) {
        if (std::string(args[i]) == "--native") {
            native = true;
            --i;
            continue;
        }
        if (i + 1 >= count)
            return Fail("regsave: a key without its file", ERROR_INVALID_PARAMETER);
        const std::string path = args[i];
        HKEY root;
        std::string subKey;
        if (!SplitRoot(path, root, subKey))
            return Fail("root key " + path, ERROR_INVALID_PARAMETER);
        HKEY key = nullptr;
        LONG rc = RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ | (native ? KEY_WOW64_64KEY : 0), &key);
        if (rc != ERROR_SUCCESS) {
            // As regtree shows a subkey it cannot open (a link to nowhere among them).
            std::printf("unreadable %s %ld\n", path.c_str(), rc);
            continue;
        }
        rc = RegSaveKeyA(key, args[i + 1], nullptr);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS)
            return Fail("RegSaveKeyA " + path, rc);
    }
    return 0;
}

int CreateVolatileKey(const std::string& path)
{
    HKEY root;
    std::string subKey;
    if (!SplitRoot(path, root, subKey))
        return Fail("root key " + path, ERROR_INVALID_PARAMETER);
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExA(root, subKey.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                    nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return Fail("RegCreateKeyExA " + path, rc);
    RegCloseKey(key);
    return 0;
}

int MakeKeyReadOnly(const std::string& path)
{
    HKEY root;
    std::string subKey;
    if (!SplitRoot(path, root, subKey))
        return Fail("root key " + path, ERROR_INVALID_PARAMETER);
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(root, subKey.c_str(), 0, WRITE_DAC, &key);
    if (rc != ERROR_SUCCESS)
        return Fail("RegOpenKeyExA " + path, rc);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY, world = SECURITY_WORLD_SID_AUTHORITY;
    PSID administrators = nullptr, everyone = nullptr;
    BYTE aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    SECURITY_DESCRIPTOR descriptor;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators) ||
        !AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) ||
        !InitializeAcl(acl, sizeof aclBuffer, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, administrators) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
        rc = static_cast<LONG>(GetLastError());
    else
        rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor);
    if (everyone)
        FreeSid(everyone);
    if (administrators)
        FreeSid(administrators);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? 0 : Fail("setting the access list of " + path, rc);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "regtree") {
        for (int i = 2; i < argc; ++i)
            if (const int rc = PrintRegistryTree(argv[i]))
                return rc;
        return 0;
    }
    if (argc >= 4 && std::string(argv[1]) == "regsave")
        return SaveRegistryTrees(argv + 2, argc - 2);
    if (argc == 3) {
        const std::string command = argv[1];
        if (command == "link")
            return PrintLink(argv[2]);
        if (command == "volatile-key")
            return CreateVolatileKey(argv[2]);
        if (command == "read-only-key")
            return MakeKeyReadOnly(argv[2]);
    }
    const bool help = argc == 2 && std::string(argv[1]) == "--help";
    std::fprintf(
        help ? stdout : stderr,
        "usage: installprobe link <file.lnk> | regtree <ROOT\\key>... | regsave <ROOT\\key> <file>... [--native ...]"
        " | volatile-key <ROOT\\key>"
        " | read-only-key <ROOT\\key>\n");
    return help ? 0 : 2;
}
