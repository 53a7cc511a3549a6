// The file association, the uninstall entry and the shortcut inside the process: what a
// rollback leaves of the registry and the links that stood before this run.
#include "installer/file_association.h"
#include "installer/installer_state.h"
#include "installer/shortcuts.h"
#include "installer/uninstaller_entry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

const char EntryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex";
const char ExtensionKey[] = "SOFTWARE\\Classes\\.ovstest";
const char ProgId[] = "Morlune.Orvidex.3.32.Settings";
const char ProgIdKey[] = "SOFTWARE\\Classes\\Morlune.Orvidex.3.32.Settings";
const char ProgIdIconKey[] = "SOFTWARE\\Classes\\Morlune.Orvidex.3.32.Settings\\DefaultIcon";
const char ProgIdOpenKey[] = "SOFTWARE\\Classes\\Morlune.Orvidex.3.32.Settings\\Shell\\Open\\command";
const char ProgIdCommandKey[] = "SOFTWARE\\Classes\\Morlune.Orvidex.3.32.Settings\\Shell\\Manage\\command";

struct Value {
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Value& other) const { return type == other.type && data == other.data; }
};

bool ReadValue(const char* keyPath, const char* name, Value& value)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    BYTE data[1024];
    DWORD size = sizeof data;
    const LONG rc = RegQueryValueExA(key, name, nullptr, &value.type, data, &size);
    RegCloseKey(key);
    value.data.assign(data, data + size);
    return rc == ERROR_SUCCESS;
}

void WriteValue(const char* keyPath, const char* name, DWORD type, const std::string& bytes)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void WriteWideValue(const char* keyPath, const wchar_t* name, DWORD type, const std::wstring& text)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::vector<BYTE> Bytes(const std::string& text)
{
    return std::vector<BYTE>(text.c_str(), text.c_str() + text.size() + 1);
}

// A key with all its values (as the system stores them) and subkeys, by relative path.
using Tree = std::map<std::string, std::map<std::wstring, Value>>;

void AddTree(HKEY key, const std::string& path, Tree& tree)
{
    std::map<std::wstring, Value>& values = tree[path];
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        BYTE data[1024];
        DWORD nameLength = 256, size = sizeof data;
        Value value;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &value.type, data, &size) != ERROR_SUCCESS)
            break;
        value.data.assign(data, data + size);
        values[std::wstring(name, nameLength)] = value;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        HKEY child;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS)
            continue;
        AddTree(child, path + "\\" + name, tree);
        RegCloseKey(child);
    }
}

Tree TreeOf(const char* keyPath)
{
    Tree tree;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return tree;
    AddTree(key, "", tree);
    RegCloseKey(key);
    return tree;
}

std::string FileBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

void DeleteTree(HKEY parent, const char* keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(parent, keyPath, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    DWORD nameLength = sizeof name;
    while (RegEnumKeyExA(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        DeleteTree(key, name);
        nameLength = sizeof name;
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, keyPath);
}

bool KeyExists(const char* keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class RoadSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        installerState = InstallerState();
        installerState.installDir = "C:\\road";
        installerState.uninstallerPath = "C:\\road\\uninst.exe";
        installerState.uninstallParams = "\"-shareResWith=Skarvelin\"";
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, EntryKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, ExtensionKey);
        DeleteTree(HKEY_LOCAL_MACHINE, ProgIdKey);
    }
};

TEST(ReadableProgId, ReplacesFirstSecondAndLastDotOfThreeOrMore)
{
    const struct {
        const char* progId;
        const char* readable;
    } cases[] = {
        {"Morlune.Orvidex.3.32.Settings", "Morlune Orvidex 3.32 Settings"},
        {"Other.Vendor.Settings.File", "Other Vendor Settings File"},
        {"a.b.c.d", "a b c d"},
        {"a.b.c.d.e", "a b c.d e"},
        {"...", "   "},
        {"Txt.File.1", "Txt.File.1"},
        {"Two.Dots.", "Two.Dots."},
        {"Txt.File", "Txt.File"},
        {"txtfile", "txtfile"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadableProgId(c.progId), c.readable) << c.progId;
}

TEST_F(RoadSteps, RollbackPutsBackTheEntryThatStoodBefore)
{
    WriteValue(EntryKey, "DisplayName", REG_SZ, std::string("Morlune Orvidex 3.31 (remove only)", 35));
    WriteValue(EntryKey, "Version", REG_SZ, std::string("3.31", 5));
    WriteValue(EntryKey, "EstimatedSize", REG_DWORD, std::string("\x10\x20\0\0", 4));
    // Outside the ANSI code page, in name and text: only the system's own form keeps it.
    WriteWideValue(EntryKey, L"Publisher\u4e2d", REG_SZ, L"Morlune \u4e2d");
    const Tree before = TreeOf(EntryKey);
    {
        UninstallerRegistrationStep step("Orvidex", "Morlune Orvidex 3.32 (remove only)", "3.32");
        Value version;
        ASSERT_TRUE(ReadValue(EntryKey, "Version", version));
        EXPECT_EQ(version.data, std::vector<BYTE>({'3', '.', '3', '2', 0}));
        Value stale;
        EXPECT_FALSE(ReadValue(EntryKey, "EstimatedSize", stale)) << "no stale value survives the new entry";
    }
    EXPECT_EQ(TreeOf(EntryKey), before);
}

TEST_F(RoadSteps, EntryOfThisRunIsDeletedByRollbackAndKeptWhenCommitted)
{
    {
        UninstallerRegistrationStep step("Orvidex", "Morlune Orvidex 3.32 (remove only)", "3.32");
        EXPECT_TRUE(KeyExists(EntryKey));
    }
    EXPECT_FALSE(KeyExists(EntryKey));
    {
        UninstallerRegistrationStep step("Orvidex", "Morlune Orvidex 3.32 (remove only)", "3.32");
        step.committed = true;
    }
    EXPECT_TRUE(KeyExists(EntryKey));
    installerState.noRollback = true;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, EntryKey);
    {
        UninstallerRegistrationStep step("Orvidex", "Morlune Orvidex 3.32 (remove only)", "3.32");
    }
    EXPECT_TRUE(KeyExists(EntryKey));
}

TEST_F(RoadSteps, RollbackRemovesTheAssociationItCreatedAndRestoresWhatStoodBefore)
{
    const std::vector<FileAssociationVerb> verbs = {{"Manage", "\"C:\\road\\Rivurere.exe\" \"%1\""}};
    const auto associate = [&verbs] {
        FileAssociationStep step(ProgId, ".ovstest", "settings", "C:\\road\\rivurere.exe,3", verbs);
        EXPECT_TRUE(KeyExists(ExtensionKey));
        EXPECT_TRUE(KeyExists(ProgIdCommandKey));
    };
    associate();
    EXPECT_FALSE(KeyExists(ExtensionKey)) << "created by this run: rolled back";
    EXPECT_FALSE(KeyExists(ProgIdKey)) << "created by this run: rolled back";

    // An earlier installation's association, in another letter case, with a description
    // outside the ANSI code page, an icon to expand, a verb of its own and no "Shell" default.
    WriteValue(ExtensionKey, nullptr, REG_SZ, std::string("morlune.orvidex.3.32.settings") + '\0');
    WriteWideValue(ProgIdKey, L"", REG_SZ, L"\u4e2d settings");
    WriteValue(ProgIdKey, "FriendlyTypeName", REG_SZ, std::string("Orvidex") + '\0');
    WriteValue(ProgIdIconKey, nullptr, REG_EXPAND_SZ, std::string("%SystemRoot%\\old.exe,1") + '\0');
    WriteValue(ProgIdOpenKey, nullptr, REG_SZ, std::string("\"C:\\old\\Rivurere.exe\" \"%1\"") + '\0');
    const Tree extension = TreeOf(ExtensionKey);
    const Tree progId = TreeOf(ProgIdKey);
    associate();
    EXPECT_EQ(TreeOf(ExtensionKey), extension);
    EXPECT_EQ(TreeOf(ProgIdKey), progId);
    // The reinstall still tells the uninstaller about the extension key.
    EXPECT_NE(installerState.uninstallParams.find("\"-delRegKey=HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.ovstest\""),
              std::string::npos);

    // Committed, the association of this run stays.
    {
        FileAssociationStep step(ProgId, ".ovstest", "settings", "C:\\road\\rivurere.exe,3", verbs);
        step.Commit();
    }
    Value icon;
    ASSERT_TRUE(ReadValue(ProgIdIconKey, nullptr, icon));
    EXPECT_EQ(icon, (Value{REG_SZ, Bytes("C:\\road\\rivurere.exe,3")}));
}

// The user's Programs folder: "Shell Folders", else "User Shell Folders" with environment
// references expanded, else nothing.
TEST(StartMenu, UserProgramsFolderFallsBackToUserShellFolders)
{
    const char shellFolders[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    const char userShellFolders[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    HKEY shell, user;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, shellFolders, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &shell, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, userShellFolders, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &user,
                              nullptr),
              ERROR_SUCCESS);
    const auto set = [](HKEY key, DWORD type, const std::string& text) {
        RegSetValueExA(key, "Programs", 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    };
    SetEnvironmentVariableA("ROAD_PROFILE", "C:\\profile");

    set(shell, REG_SZ, "C:\\shell\\Programs");
    set(user, REG_EXPAND_SZ, "%ROAD_PROFILE%\\Programs");
    EXPECT_EQ(GetUserProgramsDir(), "C:\\shell\\Programs");
    RegDeleteValueA(shell, "Programs");
    EXPECT_EQ(GetUserProgramsDir(), "C:\\profile\\Programs");
    RegDeleteValueA(user, "Programs");
    EXPECT_EQ(GetUserProgramsDir(), "");
    RegCloseKey(shell);
    RegCloseKey(user);
}

TEST_F(RoadSteps, RollbackRemovesTheLinkItCreatedAndRestoresOneThatStoodBefore)
{
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string link = std::string(temp) + "road-step.lnk";
    DeleteFileA(link.c_str());
    const auto makeLink = [&link](bool commit) {
        ShortcutStep step(link, "C:\\road\\raridava.exe", "", "C:\\road", "Control Panel", "", 0);
        if (commit)
            step.Commit();
    };
    makeLink(false);
    EXPECT_EQ(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES) << "created by this run: rolled back";

    const std::string earlier("an earlier link\0\xff", 17);
    ASSERT_TRUE(WriteFileBytes(link, earlier));
    makeLink(false);
    EXPECT_EQ(FileBytes(link), earlier);
    EXPECT_NE(installerState.uninstallParams.find("\"-delFile=" + link + "\""), std::string::npos);

    makeLink(true);
    EXPECT_NE(FileBytes(link), earlier) << "committed: this run's link stays";
    DeleteFileA(link.c_str());
}

} // namespace
