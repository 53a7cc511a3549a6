#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/exceptions.h"
#include "foundation/ziror.h"
#include "foundation/ziror_registry.h"

namespace {

using namespace ZIRor;

// A call result with a chosen name and code.
template <class Kind>
Kind Result(const char* name, long code)
{
    Kind result;
    result.Record(name, code);
    return result;
}

TEST(CallResultTest, SentencesOfWin32Codes)
{
    const Win32CallResult ok = Result<Win32CallResult>("RegOpenKeyExA()", 0);
    EXPECT_TRUE(ok.Succeeded());
    EXPECT_EQ("RegOpenKeyExA() succeeded.", ok.Message());

    const Win32CallResult missing = Result<Win32CallResult>("RegOpenKeyExA()", 2);
    EXPECT_TRUE(missing.Failed());
    const std::string prefix = "RegOpenKeyExA() failed with error code: 2. Description: ";
    ASSERT_EQ(prefix, missing.Message().substr(0, prefix.size()));
    EXPECT_EQ(missing.Description(), missing.Message().substr(prefix.size()));
    EXPECT_FALSE(missing.Description().empty());
    const char last = missing.Message().back();
    EXPECT_TRUE(last != '\n' && last != '\r');
}

TEST(CallResultTest, HresultTableAndSigns)
{
    const struct {
        unsigned long code;
        bool succeeded;
        const char* message;
    } cases[] = {
        {0x00000000, true, "X() succeeded."},
        {0x00000001, true, "X() succeeded."},
        {0x80004005, false, "X() failed with error code: -2147467259. Description: Unspecified error."},
        {0x80004001, false, "X() failed with error code: -2147467263. Description: Not implemented error."},
        {0x8007000E, false, "X() failed with error code: -2147024882. Description: Out of memory error."},
        {0x80070057, false, "X() failed with error code: -2147024809. Description: One or more arguments are not valid error."},
        {0x80040154, false, "X() failed with error code: -2147221164."},
    };
    for (const auto& c : cases) {
        const ComCallResult r = Result<ComCallResult>("X()", static_cast<long>(static_cast<HRESULT>(c.code)));
        EXPECT_EQ(c.succeeded, r.Succeeded()) << std::hex << c.code;
        EXPECT_EQ(c.message, r.Message()) << std::hex << c.code;
    }
    EXPECT_EQ("Partial success.", HresultDescription(1));
    // A Windows error that the table does not hold is told by the system's text of its code.
    const ComCallResult diskFull = Result<ComCallResult>("X()", static_cast<long>(HRESULT_FROM_WIN32(112)));
    EXPECT_EQ("X() failed with error code: -2147024784. Description: " + std::string(SystemErrorText(112).text),
              diskFull.Message());
}

TEST(ComExceptionTest, CopiesKeepEveryField)
{
    const ComCallResult r = Result<ComCallResult>("CoCreateInstance()", static_cast<long>(E_FAIL));
    ComException original(r);
    const ComException copy = original;
    EXPECT_STREQ(original.what(), copy.what());
    EXPECT_EQ(copy.Text(), std::string(copy.what()));
    EXPECT_EQ("CoCreateInstance()", copy.callName);
    EXPECT_EQ(copy.callName, copy.callNameCopy);
    EXPECT_EQ(static_cast<long>(E_FAIL), copy.errorCode);
    EXPECT_EQ("Unspecified error.", copy.description);
    EXPECT_EQ(copy.description, copy.descriptionCopy);
    try {
        throw copy;
    } catch (const BaseException& e) {
        EXPECT_EQ("CoCreateInstance() failed with error code: -2147467259. Description: Unspecified error.",
                  std::string(e.what()));
    }
}

TEST(ComHoldersTest, CreateQueryAndFailures)
{
    ComInitialize com;
    ASSERT_TRUE(com.Succeeded()) << com.Message();
    {
        ComCreateInstance<IShellLinkA> link(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA);
        ASSERT_NE(nullptr, link.interfacePointer);
        ComQueryInterface<IPersistFile> file(link, IID_IPersistFile);
        EXPECT_TRUE(file.Succeeded());
        EXPECT_NE(nullptr, file.interfacePointer);
        ComQueryInterface<IUnknown> none(link, IID_IClassFactory);  // not offered by a link
        EXPECT_TRUE(none.Failed());
        EXPECT_EQ(nullptr, none.interfacePointer);
        EXPECT_EQ("QueryInterface()", none.CallName());
    }
    const CLSID unknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    try {
        ComCreateInstance<> missing(unknownClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown);
        FAIL() << "created an unregistered class";
    } catch (const ComException& e) {
        EXPECT_EQ("CoCreateInstance()", e.callName);
        EXPECT_EQ(static_cast<long>(REGDB_E_CLASSNOTREG), e.errorCode);
        EXPECT_EQ("CoCreateInstance() failed with error code: -2147221164.", std::string(e.what()));
    }
}

TEST(ComInitializeTest, LeavesForeignInitialisationAlone)
{
    // Multithreaded COM set up by someone else: our CoInitialize fails with RPC_E_CHANGED_MODE
    // and must not take that initialisation away.
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        ComInitialize com;
        EXPECT_EQ(static_cast<long>(RPC_E_CHANGED_MODE), com.ErrorCode());
    }
    // Still initialised: a second multithreaded initialisation only adds a reference.
    EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CoUninitialize();
    CoUninitialize();
}

// A private key under HKEY_CURRENT_USER, removed with the fixture.
class RegistryTest : public ::testing::Test {
protected:
    const std::string path = "Software\\OrvidexZirorTest";

    void SetUp() override { SHDeleteKeyA(HKEY_CURRENT_USER, path.c_str()); }
    void TearDown() override { SHDeleteKeyA(HKEY_CURRENT_USER, path.c_str()); }

    void SetRaw(const char* name, DWORD type, const void* data, DWORD size)
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                 nullptr, &key, nullptr));
        // The wide call stores the bytes exactly as given (the narrow one may add a zero).
        std::wstring wideName(name, name + strlen(name));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, wideName.c_str(), 0, type,
                                                static_cast<const BYTE*>(data), size));
        RegCloseKey(key);
    }

    std::vector<BYTE> GetRaw(const char* name)
    {
        HKEY key;
        EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key));
        DWORD size = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, *name ? name : nullptr, nullptr, nullptr, nullptr, &size));
        std::vector<BYTE> data(size);
        RegQueryValueExA(key, *name ? name : nullptr, nullptr, nullptr, data.data(), &size);
        RegCloseKey(key);
        data.resize(size);
        return data;
    }

    std::string ReadString(const char* name, bool expand)
    {
        std::string value;
        RegReadString(HKEY_CURRENT_USER, path, name, value, expand);
        return value;
    }
};

TEST_F(RegistryTest, ReadFailuresNameTheirCall)
{
    SetRaw("dword", REG_DWORD, "\1\0\0\0", 4);
    SetRaw("unterminated", REG_SZ, "a\0b\0", 4);  // UTF-16 "ab" without its zero
    const struct {
        const char* value;
        const char* call;
        long code;
    } cases[] = {
        {"missing", "RegQueryValueExA()", 2},
        {"dword", "RegQueryValueExA()", 1804},
    };
    for (const auto& c : cases) {
        try {
            ReadString(c.value, false);
            ADD_FAILURE() << c.value;
        } catch (const RegException& e) {
            EXPECT_EQ(c.call, e.callName) << c.value;
            EXPECT_EQ(c.code, e.errorCode) << c.value;
            const std::string sentence =
                std::string(c.call) + " failed with error code: " + std::to_string(c.code) + ".";
            EXPECT_EQ(0u, std::string(e.what()).find(sentence)) << e.what();
        }
    }
    try {
        std::string value;
        RegReadString(HKEY_CURRENT_USER, path + "\\absent", "x", value, false);
        ADD_FAILURE();
    } catch (const RegException& e) {
        EXPECT_EQ("RegOpenKeyExA()", e.callName);
        EXPECT_EQ(2, e.errorCode);
    }
    // The narrow query adds the missing zero under some systems; either way no garbage.
    try {
        EXPECT_EQ("ab", ReadString("unterminated", false));
    } catch (const RegException& e) {
        EXPECT_EQ(13, e.errorCode);
    }
}

TEST_F(RegistryTest, StringsReadUpToTheirFirstZeroAndExpandOnRequest)
{
    SetRaw("two", REG_SZ, L"abc\0def", 16);
    SetRaw("expand", REG_EXPAND_SZ, L"%ORVIDEX_ZIROR_TEST%\\x", 46);
    SetRaw("plain", REG_SZ, L"%ORVIDEX_ZIROR_TEST%", 42);
    SetEnvironmentVariableA("ORVIDEX_ZIROR_TEST", "value");
    EXPECT_EQ("abc", ReadString("two", false));
    EXPECT_EQ("%ORVIDEX_ZIROR_TEST%\\x", ReadString("expand", false));
    EXPECT_EQ("value\\x", ReadString("expand", true));
    EXPECT_EQ("%ORVIDEX_ZIROR_TEST%", ReadString("plain", true));
}

TEST_F(RegistryTest, WritesStoreTheirTerminators)
{
    {
        RegWriteString first(HKEY_CURRENT_USER, path, "s", "abc", false, nullptr);
        EXPECT_TRUE(first.CreatedKey());
    }
    EXPECT_EQ(std::vector<BYTE>({'a', 'b', 'c', 0}), GetRaw("s"));
    EXPECT_FALSE(RegWriteString(HKEY_CURRENT_USER, path, "", "", true, nullptr).CreatedKey());
    EXPECT_EQ(std::vector<BYTE>({0}), GetRaw(""));  // the default value
    EXPECT_EQ("", ReadString("", false));

    const struct {
        std::vector<std::string> written;
        std::vector<BYTE> stored;
        std::vector<std::string> read;
    } cases[] = {
        {{}, {0, 0}, {""}},
        {{""}, {0, 0}, {""}},
        {{"a", "bc"}, {'a', 0, 'b', 'c', 0, 0}, {"a", "bc"}},
        {{"a", "", "b"}, {'a', 0, 0, 'b', 0, 0}, {"a", "", "b"}},
    };
    for (const auto& c : cases) {
        RegWriteMultiString(HKEY_CURRENT_USER, path, "m", c.written, nullptr);
        EXPECT_EQ(c.stored, GetRaw("m"));
        std::vector<std::string> read;
        RegReadMultiString(HKEY_CURRENT_USER, path, "m", read);
        EXPECT_EQ(c.read, read);
    }
}

TEST(MultiStringTest, SplitsAsTheSystemStoresThem)
{
    const struct {
        std::vector<BYTE> data;
        bool ok;
        std::vector<std::string> texts;
    } cases[] = {
        {{}, true, {}},
        {{0}, true, {}},
        {{0, 0}, true, {""}},
        {{'a', 0, 'b', 0, 0}, true, {"a", "b"}},
        {{'a', 0, 'b', 0}, true, {"a", "b"}},
        {{'a', 0, 'b'}, false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> texts;
        EXPECT_EQ(c.ok, SplitMultiString(c.data, texts));
        if (c.ok) {
            EXPECT_EQ(c.texts, texts);
        }
    }
}

} // namespace
