// The step classes driven directly: payload files from this program's own test resources,
// the server registration with the stand-in DLL beside this program, and the maker's key
// with the security functions replaced through the Advapi32Library seam.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "installer/directory_step.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/payload_files.h"
#include "installer/prerequisites.h"
#include "installer/registration_steps.h"
#include "installer/vendor_key.h"

namespace {

const int GoodStream = 900, BadChecksumStream = 901, TruncatedStream = 902, MissingStream = 903;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

std::string OwnDirectory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string full(path, length);
    return full.substr(0, full.find_last_of('\\'));
}

class StepTest : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        installerState = InstallerState();
        char base[MAX_PATH];
        GetTempPathA(MAX_PATH, base);
        dir = CombinePath(base, "orvidex-step-classes");
        CreateDirectoryA(dir.c_str(), nullptr);
        installerState.installDir = dir;
        installerState.mainExePath = CombinePath(dir, "orvidex.exe");
        installerState.uninstallerPath = CombinePath(dir, "uninst.exe");
    }
    void TearDown() override
    {
        for (const char* name : {"a.bin", "orvidex.exe", "uninst.exe"})
            DeleteFileA(CombinePath(dir, name).c_str());
        RemoveDirectoryA(dir.c_str());
    }
    std::string Path(const char* name) const { return CombinePath(dir, name); }
};

TEST_F(StepTest, PayloadIsWrittenDecompressedAndRemovedByItsRollback)
{
    testing::internal::CaptureStdout();
    {
        PayloadFileStep step(GoodStream, Path("a.bin"));
        EXPECT_EQ(ReadFile("data/good.bin"), ReadFile(Path("a.bin")));
    }
    EXPECT_FALSE(PathExists(Path("a.bin")));
    {
        // The uninstaller's step has no name of its own; the main program's clause is its own.
        PayloadFileStep uninstaller(GoodStream, "");
        PayloadFileStep main(GoodStream, Path("ORVIDEX.EXE"));
        uninstaller.Commit();
        main.Commit();
    }
    EXPECT_TRUE(PathExists(Path("uninst.exe")));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Installing " + Path("a.bin") + "\nRollback: removing previously created " + Path("a.bin") +
                  "\nInstalling " + Path("uninst.exe") + "\nInstalling " + Path("ORVIDEX.EXE") + "\n");
    EXPECT_EQ(installerState.uninstallParams, " \"-delFile=" + Path("a.bin") + "\" \"-delFile=" +
                                                  Path("uninst.exe") + "\" \"-delMainFile=" + Path("ORVIDEX.EXE") +
                                                  "\"");
}

TEST_F(StepTest, AStreamThatFailsLeavesNoFileTheStepCreated)
{
    for (const int stream : {BadChecksumStream, TruncatedStream}) {
        testing::internal::CaptureStdout();
        EXPECT_THROW(PayloadFileStep(stream, Path("a.bin")), std::exception) << stream;
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(PathExists(Path("a.bin"))) << stream;
    }
    // A file that was there before stays, whatever the step wrote into it.
    installerState.force = true;
    WriteFile(Path("a.bin"), "older");
    testing::internal::CaptureStdout();
    EXPECT_THROW(PayloadFileStep(BadChecksumStream, Path("a.bin")), std::exception);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: '" + Path("a.bin") +
                                                          "' already exists, will be overwritten\nInstalling " +
                                                          Path("a.bin") + "\n");
    EXPECT_TRUE(PathExists(Path("a.bin")));
}

TEST_F(StepTest, ExistingFilesAndMissingResources)
{
    WriteFile(Path("a.bin"), "older");
    testing::internal::CaptureStdout();
    try {
        PayloadFileStep step(GoodStream, Path("a.bin"));
        ADD_FAILURE() << "overwrote without /Force";
    } catch (const SilentExit& e) {
        EXPECT_EQ(e.code, 104);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Target file '" + Path("a.bin") + "' already exists, aborting\n");
    EXPECT_EQ(ReadFile(Path("a.bin")), "older");

    installerState.force = true;
    testing::internal::CaptureStdout();
    {
        PayloadFileStep step(GoodStream, Path("a.bin"));  // existed: committed by itself
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadFile("data/good.bin"), ReadFile(Path("a.bin")));
    DeleteFileA(Path("a.bin").c_str());

    testing::internal::CaptureStdout();
    try {
        PayloadFileStep step(MissingStream, Path("a.bin"));
        ADD_FAILURE() << "no resource, no error";
    } catch (const InstallError& e) {
        EXPECT_EQ(std::string(e.what()), "FindResourceA() failed: " + OsErrorExceptionText(ERROR_RESOURCE_NAME_NOT_FOUND));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(PathExists(Path("a.bin")));
}

TEST_F(StepTest, DirectoryConditionsExitByMode)
{
    // Without a display every question is answered No.
    WriteFile(Path("a.bin"), "a file");
    CreateDirectoryA(Path("full").c_str(), nullptr);
    WriteFile(Path("full\\orvidex.exe"), "x");
    const struct {
        const char* name;
        bool interactive;
        int code;
        const char* line;
    } cases[] = {
        {"a.bin", false, 101, "Unable to create target directory '%s': The specified target path already exists and is not a directory, aborting\n"},
        {"a.bin", true, 103, ""},
        {"no\\parent", false, 102, "Unable to create target directory '%s': OS error 3"},
        {"no\\parent", true, 101, ""},
        {"full", false, 103, "Target directory '%s' already exists and is not empty, aborting\n"},
        {"full", true, 103, "Installation canceled by user (directory not empty)\n"},
    };
    for (const auto& c : cases) {
        installerState.interactive = c.interactive;
        const std::string path = Path(c.name);
        std::string line = c.line;
        const size_t slot = line.find("%s");
        if (slot != std::string::npos)
            line.replace(slot, 2, path);
        testing::internal::CaptureStdout();
        try {
            DirectoryStep step(path, true);
            ADD_FAILURE() << c.name;
        } catch (const SilentExit& e) {
            EXPECT_EQ(e.code, c.code) << c.name << " interactive " << c.interactive;
        }
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(output.substr(0, line.size()), line) << c.name;
        EXPECT_EQ(output.empty(), line.empty()) << c.name;
    }
    EXPECT_FALSE(PathExists(Path("no")));

    // With /Force a non-empty directory is a warning; it existed, so no rollback removes it.
    installerState.interactive = false;
    installerState.force = true;
    testing::internal::CaptureStdout();
    {
        DirectoryStep step(Path("full"), true);
        DirectoryStep created(Path("new"), false);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: target directory '" + Path("full") + "' already exists and is not empty\n"
              "Rollback: removing previously created " + Path("new") + "\n");
    EXPECT_TRUE(PathExists(Path("full\\orvidex.exe")));
    EXPECT_FALSE(PathExists(Path("new")));
    // Every step appended its clause first, also the ones that then aborted.
    const std::string& params = installerState.uninstallParams;
    size_t clauses = 0;
    for (size_t at = params.find("\"-delDir="); at != std::string::npos; at = params.find("\"-delDir=", at + 1))
        ++clauses;
    EXPECT_EQ(clauses, std::size(cases) + 2);
    EXPECT_EQ(params.substr(0, params.find('"', 2) + 1), " \"-delDir=" + Path("a.bin") + "\"");
    DeleteFileA(Path("full\\orvidex.exe").c_str());
    RemoveDirectoryA(Path("full").c_str());
}

class ServerStepTest : public StepTest {
protected:
    void TearDown() override
    {
        SetEnvironmentVariableA("ORVIDEX_SERVER_UNREGISTER_RESULT", nullptr);
        StepTest::TearDown();
    }
};

TEST_F(ServerStepTest, AFailedUnregistrationIsReportedNotThrown)
{
    const std::string dll = CombinePath(OwnDirectory(), "OrvidexCfgManip.dll");
    SetEnvironmentVariableA("ORVIDEX_SERVER_UNREGISTER_RESULT", "0x80070005");
    testing::internal::CaptureStdout();
    {
        ServerRegistrationStep step(dll);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Registering server " + dll + "\nRollback: unregistering previously registered server " + dll +
                  "\nUnregister server failed: DllUnregisterServer() failed with error code: -2147024891. "
                  "Description: General access denied error.\n");
    EXPECT_EQ(installerState.uninstallParams, " \"-unregSvr=" + dll + "\"");
}

TEST_F(ServerStepTest, AMissingServerPassedOverWithForceFailsAgainInItsRollback)
{
    installerState.force = true;
    const std::string dll = Path("OrvidexCfgManip.dll");
    const std::string reason = "LoadLibraryA() failed: " + OsErrorExceptionText(ERROR_MOD_NOT_FOUND);
    testing::internal::CaptureStdout();
    {
        ServerRegistrationStep step(dll);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Registering server " + dll + "\nWarning: server " + dll + " registration failed: " + reason +
                  "\nRollback: unregistering previously registered server " + dll +
                  "\nUnregister server failed: " + reason + "\n");
}

// The security functions and the membership test, replaceable one by one.
LONG setKeySecurityResult = ERROR_SUCCESS;
std::string setDescriptor;
bool administrator = true;

LONG WINAPI RecordingSetKeySecurity(HKEY, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    if (setKeySecurityResult != ERROR_SUCCESS)
        return setKeySecurityResult;
    EXPECT_EQ(information, static_cast<SECURITY_INFORMATION>(DACL_SECURITY_INFORMATION));
    setDescriptor.assign(static_cast<const char*>(descriptor), GetSecurityDescriptorLength(descriptor));
    return ERROR_SUCCESS;
}

BOOL WINAPI NeverEqualSid(PSID, PSID)
{
    return FALSE;
}

FARPROC VendorKeyLookup(HMODULE module, const char* name)
{
    if (std::strcmp(name, "RegSetKeySecurity") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(RecordingSetKeySecurity));
    if (!administrator && std::strcmp(name, "EqualSid") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(NeverEqualSid));
    return DllLoader::GetProcAddress(module, name);
}

class VendorKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        installerState = InstallerState();
        setKeySecurityResult = ERROR_SUCCESS;
        setDescriptor.clear();
        administrator = true;
        Advapi32Library::SetEntryLookup(VendorKeyLookup);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune");
    }
    void TearDown() override { Advapi32Library::SetEntryLookup(nullptr); }

    // The output and exit code of one call.
    static std::pair<std::string, int> Run()
    {
        testing::internal::CaptureStdout();
        int code = 0;
        try {
            CreateVendorRegistryKey();
        } catch (const SilentExit& e) {
            code = e.code;
        }
        return {testing::internal::GetCapturedStdout(), code};
    }

    static std::string SoftwareDescriptor()
    {
        HKEY key;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, READ_CONTROL, &key));
        char buffer[4096];
        DWORD size = sizeof buffer;
        EXPECT_EQ(ERROR_SUCCESS, RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, buffer, &size));
        RegCloseKey(key);
        return std::string(buffer, GetSecurityDescriptorLength(buffer));
    }
};

TEST_F(VendorKeyTest, ANewKeyIsCreatedAndAnExistingOneTakesTheSoftwareAccessList)
{
    EXPECT_EQ(Run(), std::make_pair(std::string("Creating Morlune registry key\n"), 0));
    EXPECT_TRUE(setDescriptor.empty());  // a new key keeps what the system gave it
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Morlune", 0, KEY_READ, &key));
    RegCloseKey(key);

    EXPECT_EQ(Run(), std::make_pair(std::string("Creating Morlune registry key\n"), 0));
    EXPECT_EQ(setDescriptor, SoftwareDescriptor());
}

TEST_F(VendorKeyTest, AccessListFailuresAbortOrWarn)
{
    Run();  // the key exists from here on
    setKeySecurityResult = ERROR_ACCESS_DENIED;
    std::string message = "RegSetKeySecurity() failed: " + OsErrorExceptionText(ERROR_ACCESS_DENIED);
    if (!message.empty() && message.back() == '.')
        message.pop_back();
    const std::string line = "Setting access control for Morlune registry key failed; " + message;

    EXPECT_EQ(Run(), std::make_pair("Creating Morlune registry key\n" + line + ", aborting\n", 106));
    installerState.force = true;
    EXPECT_EQ(Run(), std::make_pair("Creating Morlune registry key\nWarning: " + line + "\n", 0));

    // Not an administrator (nor a power user): no way past it, and a hint.
    administrator = false;
    EXPECT_EQ(Run(), std::make_pair("Creating Morlune registry key\n" + line +
                                        "; try running installer as Power User, aborting\n",
                                    106));
}

} // namespace
