#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/reboot_delete.h"
#include "installer/registration_steps.h"
#include "installer/registry_values.h"

namespace {

TEST(CombinePathTest, OneBackslashUnlessTheDirectoryEndsInASeparator)
{
    const struct {
        const char *dir, *name, *combined;
    } cases[] = {
        {"C:\\Program Files", "Orvidex", "C:\\Program Files\\Orvidex"},
        {"C:\\", "x.exe", "C:\\x.exe"},
        {"C:", "x.exe", "C:x.exe"},
        {"dir/", "x", "dir/x"},
        {"", "x", "\\x"},
        {"dir", "\\x", "dir\\\\x"},
        {"dir\\\\", "x", "dir\\\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.combined, CombinePath(c.dir, c.name)) << c.dir << " + " << c.name;
}

TEST(AbsoluteDirectoryPathTest, CanonicalAndAbsoluteWithARootsBackslashKept)
{
    char current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(MAX_PATH, current));
    const struct {
        const char *given, *absolute;
    } cases[] = {
        {"C:\\T", "C:\\T"},
        {"C:\\T\\", "C:\\T"},
        {"C:/T/", "C:\\T"},
        {"C:\\T. .", "C:\\T"},
        {"C:\\a\\..\\T", "C:\\T"},
        {"C:\\", "C:\\"},
        {"C:\\.", "C:\\"},
        {"\\\\server\\share\\", "\\\\server\\share\\"},
        {"\\\\server\\share\\T\\", "\\\\server\\share\\T"},
        {"", ""},  // left for the directory step to refuse
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.absolute, AbsoluteDirectoryPath(c.given)) << c.given;
    EXPECT_EQ(CombinePath(current, "T"), AbsoluteDirectoryPath("T"));
}

class TempDirTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        dir = CombinePath(base, "orvidex-steps-" + std::to_string(GetCurrentProcessId()));
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    void TearDown() override
    {
        WIN32_FIND_DATAA data;
        const HANDLE search = FindFirstFileA(CombinePath(dir, "*").c_str(), &data);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::string path = CombinePath(dir, data.cFileName);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryA(path.c_str());
                else
                    DeleteFileA(path.c_str());
            } while (FindNextFileA(search, &data));
            FindClose(search);
        }
        RemoveDirectoryA(dir.c_str());
    }

    std::string MakeFile(const std::string& name)
    {
        const std::string path = CombinePath(dir, name);
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
        return path;
    }
};

TEST_F(TempDirTest, ExistenceKindAndEmptiness)
{
    EXPECT_TRUE(PathExists(dir));
    EXPECT_TRUE(IsDirectory(dir));
    EXPECT_TRUE(IsDirectoryEmpty(dir));
    EXPECT_TRUE(IsDirectoryEmpty(CombinePath(dir, "missing")));  // cannot be searched
    EXPECT_FALSE(PathExists(CombinePath(dir, "missing")));

    const std::string sub = CombinePath(dir, "sub");
    CreateDirectoryA(sub.c_str(), nullptr);
    EXPECT_FALSE(IsDirectoryEmpty(dir));
    EXPECT_TRUE(IsDirectoryEmpty(sub));
    RemoveDirectoryA(sub.c_str());

    const std::string file = MakeFile("f.txt");
    EXPECT_TRUE(PathExists(file));
    EXPECT_FALSE(IsDirectory(file));
    EXPECT_FALSE(IsDirectoryEmpty(dir));
}

TEST_F(TempDirTest, AFileIsReplacedWholeOrNotAtAll)
{
    const std::string path = CombinePath(dir, "f.bin");
    ASSERT_TRUE(WriteWholeFile(path, "earlier"));
    // A temporary that an interrupted run left behind, and a write that fails halfway.
    ASSERT_TRUE(WriteWholeFile(TemporaryPathFor(path) + ".x", "x"));
    ASSERT_TRUE(MoveFileA((TemporaryPathFor(path) + ".x").c_str(), TemporaryPathFor(path).c_str()));
    EXPECT_THROW(ReplaceWithWrittenFile(path,
                                        [](const std::string& temporary) {
                                            EXPECT_TRUE(WriteWholeFile(temporary, "half"));
                                            throw FileWriteError(temporary, "WriteFile", ERROR_DISK_FULL);
                                        }),
                 FileWriteError);
    std::string content;
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ("earlier", content);
    EXPECT_FALSE(PathExists(TemporaryPathFor(path)));

    ASSERT_TRUE(WriteWholeFile(path, "new"));
    ASSERT_TRUE(ReadWholeFile(path, content));
    EXPECT_EQ("new", content);
    EXPECT_FALSE(PathExists(TemporaryPathFor(path)));
    // A folder in the way: the system's reason, and no temporary left.
    const std::string folder = CombinePath(dir, "folder");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_FALSE(WriteWholeFile(folder, "new"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(PathExists(TemporaryPathFor(folder)));
}

TEST(ProgramFilesDirTest, ComesFromTheRegistry)
{
    const std::string dir = GetProgramFilesDir();
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir"),
              dir);
    EXPECT_TRUE(IsDirectory(dir));
}

TEST(RegistryValuesTest, FailuresBecomeInstallErrorsWithTheCallSentence)
{
    const std::string path = "Software\\OrvidexStepsTest";
    EXPECT_TRUE(WriteRegString(HKEY_CURRENT_USER, path, "a", "1", false));
    EXPECT_FALSE(WriteRegString(HKEY_CURRENT_USER, path, "b", "%TEMP%", true));
    EXPECT_FALSE(WriteRegMultiString(HKEY_CURRENT_USER, path, "m", {"x", "y"}));
    EXPECT_EQ("1", ReadRegString(HKEY_CURRENT_USER, path, "a"));
    EXPECT_EQ(std::string::npos, ReadRegString(HKEY_CURRENT_USER, path, "b").find('%'));
    EXPECT_EQ(std::vector<std::string>({"x", "y"}), ReadRegMultiString(HKEY_CURRENT_USER, path, "m"));
    try {
        ReadRegMultiString(HKEY_CURRENT_USER, path, "a");
        ADD_FAILURE();
    } catch (const InstallError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("RegQueryValueExA() failed with error code: 1804."));
    }
    try {
        ReadRegString(HKEY_CURRENT_USER, path + "\\none", "a");
        ADD_FAILURE();
    } catch (const InstallError& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("RegOpenKeyExA() failed with error code: 2."));
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str());
}

// Every key and value under a stored tree as sorted lines "path|name|type|bytes", so that
// two trees compare whatever order the registry listed them in.
void FlattenTree(const StoredRegistryKey& tree, const std::wstring& path, std::vector<std::wstring>& lines)
{
    lines.push_back(path);
    for (const StoredRegistryValue& value : tree.values)
        lines.push_back(path + L"|" + value.name + L"|" + std::to_wstring(value.type) + L"|" +
                        std::wstring(value.data.begin(), value.data.end()));
    for (const StoredRegistryKey& subkey : tree.subkeys)
        FlattenTree(subkey, path + L"\\" + subkey.name, lines);
}

std::vector<std::wstring> Flattened(const StoredRegistryKey& tree)
{
    std::vector<std::wstring> lines;
    FlattenTree(tree, L"", lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

void SetValue(const std::string& path, const char* name, DWORD type, const std::string& data)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(StoredKeyTest, ATreeGoesBackExactlyOverWhatStandsThere)
{
    const std::string path = "Software\\OrvidexTreeTest";
    ASSERT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
    SetValue(path, nullptr, REG_SZ, std::string("top\0", 4));
    SetValue(path, "bytes", REG_BINARY, std::string("\0\1\xFF", 3));
    SetValue(path + "\\empty", "none", REG_NONE, "");
    SetValue(path + "\\a\\b\\c", "deep", REG_EXPAND_SZ, std::string("%TEMP%\0", 7));
    SetValue(path + "\\a", "unterminated", REG_SZ, "xy");
    StoredRegistryKey stored;
    ASSERT_TRUE(ReadStoredKey(HKEY_CURRENT_USER, path, stored));
    const std::vector<std::wstring> before = Flattened(stored);
    EXPECT_EQ(before.size(), 10u);  // every key and value was read

    // Changed, added to and partly removed: the stored tree replaces all of it.
    SetValue(path + "\\a\\b\\c", "deep", REG_SZ, "other");
    SetValue(path + "\\a\\new\\deeper", "added", REG_DWORD, std::string(4, '\1'));
    SetValue(path, "added", REG_SZ, "x");
    ASSERT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, path + "\\empty"), ERROR_SUCCESS);
    ASSERT_EQ(ReplaceStoredKey(HKEY_CURRENT_USER, path, stored), ERROR_SUCCESS);
    StoredRegistryKey after;
    ASSERT_TRUE(ReadStoredKey(HKEY_CURRENT_USER, path, after));
    EXPECT_EQ(Flattened(after), before);

    EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
    EXPECT_FALSE(ReadStoredKey(HKEY_CURRENT_USER, path, after));
    EXPECT_EQ(DeleteKeyTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
}

TEST(ClassKeysOfServerTest, ClassesOfAServerOfThatNameWithTheKeysTheyName)
{
    const char* const clsidKey = "CLSID\\{0A1B2C3D-0000-4000-8000-00000000A1B2}";
    const char* const otherKey = "CLSID\\{0A1B2C3D-0000-4000-8000-00000000A1B3}";
    auto set = [](const std::string& path, const char* name, const std::string& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    };
    // In another folder, quoted, in other letter case: still a server of that name.
    set(std::string(clsidKey) + "\\InprocServer32", nullptr, "\"C:\\Elsewhere\\TESTSERVER.dll\"");
    set(std::string(clsidKey) + "\\ProgID", nullptr, "Test.Server.1");
    set(std::string(clsidKey) + "\\VersionIndependentProgID", nullptr, "Test.Server");
    set(std::string(clsidKey) + "\\TypeLib", nullptr, "{0A1B2C3D-0000-4000-8000-00000000A1B4}");
    // A name that would take in the whole class list is no ProgID.
    set(std::string(otherKey) + "\\InprocServer32", nullptr, "C:\\Elsewhere\\TestServer.dll");
    set(std::string(otherKey) + "\\ProgID", nullptr, "CLSID");
    set(std::string(otherKey) + "\\VersionIndependentProgID", nullptr, "Test.Server");
    set("CLSID\\{0A1B2C3D-0000-4000-8000-00000000A1B5}\\InprocServer32", nullptr, "C:\\TestServer.dll.bak");

    std::vector<std::string> keys = ClassKeysOfServer("TestServer.dll");
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{std::string(clsidKey), otherKey, "Test.Server", "Test.Server.1",
                                              "TypeLib\\{0A1B2C3D-0000-4000-8000-00000000A1B4}"}));
    EXPECT_TRUE(ClassKeysOfServer("Missing.dll").empty());
    for (const char* key : {clsidKey, otherKey, "CLSID\\{0A1B2C3D-0000-4000-8000-00000000A1B5}"})
        DeleteKeyTree(HKEY_CLASSES_ROOT, key);
}

// REG_MULTI_SZ bytes of UTF-16 texts, each with its zero, then the list's zero.
std::vector<BYTE> MultiSz(const std::vector<std::wstring>& texts, bool listZero = true)
{
    std::vector<BYTE> data;
    auto put = [&data](wchar_t unit) {
        data.push_back(static_cast<BYTE>(unit & 0xFF));
        data.push_back(static_cast<BYTE>(unit >> 8));
    };
    for (const std::wstring& text : texts) {
        for (wchar_t unit : text)
            put(unit);
        put(0);
    }
    if (listZero)
        put(0);
    return data;
}

TEST(PendingListTest, RemovesOnlyOurDeletions)
{
    const std::wstring ours = L"\\??\\C:\\ours";
    auto isOurs = [&ours](const std::wstring& source) { return source == ours; };
    const struct {
        const char* name;
        std::vector<BYTE> before;
        bool removed;
        std::vector<BYTE> after;
    } cases[] = {
        {"only ours", MultiSz({ours, L""}), true, MultiSz({})},
        {"ours among others",
         MultiSz({L"\\??\\C:\\a", L"", ours, L"", L"\\??\\C:\\\x4E2D\x6587", L"", ours, L""}), true,
         MultiSz({L"\\??\\C:\\a", L"", L"\\??\\C:\\\x4E2D\x6587", L""})},
        {"a rename of ours stays", MultiSz({ours, L"\\??\\C:\\new"}), false, MultiSz({ours, L"\\??\\C:\\new"})},
        {"pairs are counted from the start", MultiSz({L"x", ours, L"", L""}), false,
         MultiSz({L"x", ours, L"", L""})},
        {"without the list's zero", MultiSz({ours, L"", L"y", L""}, false), true, MultiSz({L"y", L""}, false)},
        {"an odd last byte stays", [&] { auto d = MultiSz({ours, L""}); d.push_back(0x41); return d; }(), true,
         std::vector<BYTE>({0, 0, 0x41})},
        {"empty", {}, false, {}},
        {"a lone source", MultiSz({ours}), false, MultiSz({ours})},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> data = c.before;
        EXPECT_EQ(c.removed, RemovePendingDeletions(data, isOurs)) << c.name;
        EXPECT_EQ(c.after, data) << c.name;
    }
}

TEST(RenameSectionTest, LinesSplitAndRemove)
{
    const char buffer[] = "NUL=C:\\A\0x=y\0NUL=C:\\B\0\0";
    std::vector<std::string> lines = SplitSectionLines(buffer, sizeof buffer - 2);
    EXPECT_EQ(std::vector<std::string>({"NUL=C:\\A", "x=y", "NUL=C:\\B"}), lines);
    EXPECT_TRUE(SplitSectionLines(buffer, 0).empty());
    EXPECT_FALSE(RemoveSectionLine(lines, "NUL=C:\\C"));
    EXPECT_TRUE(RemoveSectionLine(lines, "nul=c:\\a"));
    EXPECT_EQ(std::vector<std::string>({"x=y", "NUL=C:\\B"}), lines);
}

// The system's own list, in this test's private prefix.
class PendingRegistryTest : public TempDirTest {
protected:
    HKEY key = nullptr;

    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                               L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key));
        RegDeleteValueW(key, L"PendingFileRenameOperations");
    }
    void TearDown() override
    {
        RegDeleteValueW(key, L"PendingFileRenameOperations");
        RegCloseKey(key);
        TempDirTest::TearDown();
    }

    void SetList(const std::vector<BYTE>& data)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, data.data(),
                                                static_cast<DWORD>(data.size())));
    }
    bool GetList(std::vector<BYTE>& data)
    {
        DWORD size = 0;
        if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return false;
        data.resize(size);
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, data.data(), &size);
        return true;
    }
    static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
};

TEST_F(PendingRegistryTest, CancelFindsOurPathThroughItsShortNameAndKeepsOtherEntriesExact)
{
    const std::string path = MakeFile("A long payload name.executable");
    // Another program's entry that no ANSI code page holds, and a rename of our path.
    const std::wstring foreign = L"\\??\\C:\\\x4E2D\x6587\\\x0434\x0430.txt";
    const std::vector<BYTE> others = MultiSz({foreign, L"", L"\\??\\" + Wide(path), L"\\??\\C:\\renamed"});
    char shortPath[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameA(path.c_str(), shortPath, MAX_PATH));
    SetList(MultiSz({foreign, L"", L"\\??\\" + Wide(path), L"", L"\\??\\" + Wide(path), L"\\??\\C:\\renamed",
                     Wide(shortPath), L""}));
    EXPECT_TRUE(CancelPendingDelete(path));
    std::vector<BYTE> after;
    ASSERT_TRUE(GetList(after));
    EXPECT_EQ(others, after);

    EXPECT_FALSE(CancelPendingDelete(path));  // nothing left to remove: nothing written
    ASSERT_TRUE(GetList(after));
    EXPECT_EQ(others, after);
}

TEST_F(PendingRegistryTest, NoListMeansNothingToCancelAndNoValueCreated)
{
    const std::string path = MakeFile("f.txt");
    EXPECT_FALSE(CancelPendingDelete(path));
    std::vector<BYTE> after;
    EXPECT_FALSE(GetList(after));
}

TEST_F(PendingRegistryTest, ScheduleAndCancelMeet)
{
    const std::string path = MakeFile("scheduled file.txt");
    ASSERT_TRUE(ScheduleDeleteOnReboot(path));
    std::vector<BYTE> list;
    ASSERT_TRUE(GetList(list));
    EXPECT_TRUE(CancelPendingDelete(path));
    ASSERT_TRUE(GetList(list));
    EXPECT_EQ(MultiSz({}), list);
}

} // namespace
