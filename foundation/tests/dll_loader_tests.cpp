#include "foundation/dll_loader.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string SystemDirectory()
{
    char buffer[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryA(buffer, sizeof buffer);
    return std::string(buffer, length);
}

std::string ErrPrefix(const std::string& context, DWORD code)
{
    return context + " failed. OS error " + std::to_string(code) + ": ";
}

TEST(DllLoaderTest, MissingLibraryThrowsErrNamingTheCall)
{
    try {
        DllLoader loader(AnsiString("orvidex-no-such-library.dll"), false);
        FAIL() << "no exception";
    } catch (const AException& e) {
        const std::string text = e.what();
        const std::string prefix = ErrPrefix("LoadLibrary(orvidex-no-such-library.dll)", ERROR_MOD_NOT_FOUND);
        EXPECT_EQ(text.substr(0, prefix.size()), prefix);
        EXPECT_NE(dynamic_cast<const DllLoader::Err*>(&e), nullptr);
    }
    EXPECT_THROW(DllLoader(AnsiString("orvidex-no-such-library.dll"), false), std::exception);
}

TEST(DllLoaderTest, SilentFailureLeavesTheModuleNull)
{
    DllLoader byName(AnsiString("orvidex-no-such-library.dll"), true);
    EXPECT_EQ(byName.module, nullptr);
    DllLoader fromSystem(true, AnsiString("orvidex-no-such-library.dll"), true);
    EXPECT_EQ(fromSystem.module, nullptr);
}

TEST(DllLoaderTest, SystemDirectoryLoadNamesTheFullPathOnFailure)
{
    try {
        DllLoader loader(true, AnsiString("orvidex-no-such-library.dll"), false);
        FAIL() << "no exception";
    } catch (const TException& e) {
        const std::string prefix =
            ErrPrefix("LoadLibrary(" + SystemDirectory() + "\\orvidex-no-such-library.dll)", ERROR_MOD_NOT_FOUND);
        EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix);
    }
}

TEST(DllLoaderTest, SystemDirectoryLoadIgnoresACopyInTheCurrentDirectory)
{
    char temp[MAX_PATH + 1];
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    const std::string directory = std::string(temp) + "orvidex-dll-test";
    CreateDirectoryA(directory.c_str(), nullptr);
    const std::string decoy = directory + "\\Advapi32.dll";
    FILE* file = std::fopen(decoy.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("not a library", file);
    std::fclose(file);
    char previous[MAX_PATH + 1];
    GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
    {
        DllLoader loader(true, AnsiString("Advapi32.dll"), false);
        ASSERT_NE(loader.module, nullptr);
        EXPECT_NE(DllLoader::GetProcAddress(loader.module, "OpenProcessToken"), nullptr);
    }
    SetCurrentDirectoryA(previous);
    DeleteFileA(decoy.c_str());
    RemoveDirectoryA(directory.c_str());
}

TEST(DllLoaderTest, MissingEntryPointThrows)
{
    DllLoader loader(true, AnsiString("Advapi32.dll"), false);
    try {
        DllLoader::GetProcAddress(loader.module, "OrvidexNoSuchEntry");
        FAIL() << "no exception";
    } catch (const DllLoader::Err& e) {
        const std::string prefix = ErrPrefix("GetProcAddress(OrvidexNoSuchEntry)", ERROR_PROC_NOT_FOUND);
        EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix);
    }
}

TEST(DllLoaderTest, ErrMessageFromAContextAndACause)
{
    const AException cause(FormatOsErrorMessage(5, AnsiString(BuiltInErrorText(5))));
    const DllLoader::Err err("GetSystemDirectory()", cause);
    EXPECT_STREQ(err.what(), "GetSystemDirectory() failed. OS error 5: Access is denied.");
    const DllLoader::Err copy = err;
    EXPECT_STREQ(copy.what(), err.what());
    EXPECT_EQ(WideErrorText(copy).text, L"GetSystemDirectory() failed. OS error 5: Access is denied.");
}

} // namespace
