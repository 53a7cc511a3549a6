// The file association and the uninstall entry inside the process: what a rollback leaves
// of the registry that stood before this run.
#include "installer/file_association.h"
#include "installer/installer_state.h"
#include "installer/shortcuts.h"
#include "installer/uninstaller_entry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

const char EntryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvidex";
const char ExtensionKey[] = "SOFTWARE\\Classes\\.ovstest";
const char ProgId[] = "Morlune.Orvidex.3.32.Settings";

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
    Value before[3];
    ASSERT_TRUE(ReadValue(EntryKey, "DisplayName", before[0]));
    ASSERT_TRUE(ReadValue(EntryKey, "Version", before[1]));
    ASSERT_TRUE(ReadValue(EntryKey, "EstimatedSize", before[2]));
    {
        UninstallerRegistrationStep step("Orvidex", "Morlune Orvidex 3.32 (remove only)", "3.32");
        Value version;
        ASSERT_TRUE(ReadValue(EntryKey, "Version", version));
        EXPECT_EQ(version.data, std::vector<BYTE>({'3', '.', '3', '2', 0}));
        Value stale;
        EXPECT_FALSE(ReadValue(EntryKey, "EstimatedSize", stale)) << "no stale value survives the new entry";
    }
    Value after;
    ASSERT_TRUE(ReadValue(EntryKey, "DisplayName", after));
    EXPECT_EQ(after, before[0]);
    ASSERT_TRUE(ReadValue(EntryKey, "Version", after));
    EXPECT_EQ(after, before[1]);
    ASSERT_TRUE(ReadValue(EntryKey, "EstimatedSize", after));
    EXPECT_EQ(after, before[2]);
    EXPECT_FALSE(ReadValue(EntryKey, "UninstallParam", after));
    EXPECT_FALSE(ReadValue(EntryKey, "UninstallString", after));
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

TEST_F(RoadSteps, ExtensionThatWasOursBeforeSurvivesRollback)
{
    const std::vector<FileAssociationVerb> verbs = {{"Manage", "\"C:\\road\\Rivurere.exe\" \"%1\""}};
    {
        FileAssociationStep step(ProgId, ".ovstest", "settings", "C:\\road\\rivurere.exe,3", verbs);
        EXPECT_TRUE(KeyExists(ExtensionKey));
    }
    EXPECT_FALSE(KeyExists(ExtensionKey)) << "created by this run: rolled back";

    WriteValue(ExtensionKey, nullptr, REG_SZ, std::string("morlune.orvidex.3.32.settings", 30));
    {
        FileAssociationStep step(ProgId, ".ovstest", "settings", "C:\\road\\rivurere.exe,3", verbs);
    }
    Value value;
    ASSERT_TRUE(ReadValue(ExtensionKey, nullptr, value));
    EXPECT_EQ(std::string(value.data.begin(), value.data.end()), std::string(ProgId) + '\0');
    // The reinstall still tells the uninstaller about the extension key.
    EXPECT_NE(installerState.uninstallParams.find("\"-delRegKey=HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.ovstest\""),
              std::string::npos);
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

TEST_F(RoadSteps, LinkThatStoodBeforeSurvivesRollback)
{
    char temp[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
    const std::string link = std::string(temp) + "road-step.lnk";
    DeleteFileA(link.c_str());
    const auto makeLink = [&link] {
        ShortcutStep step(link, "C:\\road\\raridava.exe", "", "C:\\road", "Control Panel", "", 0);
    };
    makeLink();
    EXPECT_EQ(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES) << "created by this run: rolled back";

    const HANDLE file = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    makeLink();
    EXPECT_NE(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(installerState.uninstallParams.find("\"-delFile=" + link + "\""), std::string::npos);
    DeleteFileA(link.c_str());
}

} // namespace
