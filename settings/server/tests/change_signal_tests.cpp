#include "settings/server/change_signal.h"

#include "foundation/exceptions.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/tests/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlwapi.h>

#include <string>

namespace {

const char* const kTestKey = "Software\\OrvidexTests\\ChangeSignal";

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

class ChangeSignalTest : public testing::Test {
protected:
    void SetUp() override
    {
        SHDeleteKeyA(HKEY_CURRENT_USER, kTestKey);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key);
        SHDeleteKeyA(HKEY_CURRENT_USER, kTestKey);
    }

    std::string FlagBytes() const
    {
        BYTE data[8];
        DWORD size = sizeof data, type = 0;
        if (RegQueryValueExA(key, "SignalingChanges", nullptr, &type, data, &size) != ERROR_SUCCESS)
            return "(none)";
        EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
        return std::string(reinterpret_cast<char*>(data), size);
    }

    HKEY key = nullptr;
};

TEST_F(ChangeSignalTest, FlagGoesUpWithTheSignalAndDownWithTheReset)
{
    // No server waiting: no event, and that is no failure.
    EXPECT_EQ(Narrow(ChangeSignal::Raise(key, L"")), "");
    EXPECT_EQ(FlagBytes(), "\xff");
    EXPECT_TRUE(ChangeSignal::Query(key));
    ChangeSignal::Reset(key);
    EXPECT_EQ(FlagBytes(), std::string(1, '\0'));
    EXPECT_FALSE(ChangeSignal::Query(key));

    // Any nonzero byte means pending.
    const BYTE one = 1;
    ASSERT_EQ(RegSetValueExA(key, "SignalingChanges", 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
    EXPECT_TRUE(ChangeSignal::Query(key));
}

TEST_F(ChangeSignalTest, QueryNeedsExactlyOneByte)
{
    EXPECT_EQ(CfgFailureOf([&] { ChangeSignal::Query(key); }),
              "Querying config-change signal failed - RegQueryValueEx() failed with the following error: " +
                  OsErrorMessage(ERROR_FILE_NOT_FOUND).text);
    const BYTE two[2] = {0, 0};
    ASSERT_EQ(RegSetValueExA(key, "SignalingChanges", 0, REG_BINARY, two, 2), ERROR_SUCCESS);
    EXPECT_EQ(CfgFailureOf([&] { ChangeSignal::Query(key); }),
              "Querying config-change signal failed - RegQueryValueEx() failed with the following error: " +
                  OsErrorMessage(ERROR_MORE_DATA).text);
}

TEST_F(ChangeSignalTest, AWaitingServerIsWoken)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ChangeSignal::EventName);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(Narrow(ChangeSignal::Raise(key, L"")), "");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(FlagBytes(), "\xff");

    // Without the key the event is still set, and the key's failure is the result.
    ResetEvent(event);
    EXPECT_EQ(Narrow(ChangeSignal::Raise(nullptr, L"Error opening registry key. (the key's failure)")),
              "Error opening registry key. (the key's failure)");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST_F(ChangeSignalTest, BothFailuresAreToldOnSeparateLines)
{
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kTestKey, 0, KEY_QUERY_VALUE, &readOnly), ERROR_SUCCESS);
    const std::string flagFailure = "Error signaling changes - RegSetValueEx() failed with the following error: " +
                                    OsErrorMessage(ERROR_ACCESS_DENIED).text;
    EXPECT_EQ(Narrow(ChangeSignal::Raise(readOnly, L"")), flagFailure);

    // Something else holds the event's name: opening it fails with another error.
    HANDLE squatter = CreateMutexA(nullptr, FALSE, ChangeSignal::EventName);
    ASSERT_NE(squatter, nullptr);
    EXPECT_EQ(Narrow(ChangeSignal::Raise(readOnly, L"")),
              flagFailure + "\nError signaling changes - OpenEvent() failed with the following error: " +
                  OsErrorMessage(ERROR_INVALID_HANDLE).text);
    EXPECT_EQ(Narrow(ChangeSignal::Raise(key, L"")),
              "Error signaling changes - OpenEvent() failed with the following error: " +
                  OsErrorMessage(ERROR_INVALID_HANDLE).text);
    CloseHandle(squatter);

    EXPECT_EQ(CfgFailureOf([&] { ChangeSignal::Reset(readOnly); }),
              "Resetting config-change signal failed - RegSetValueEx() failed with the following error: " +
                  OsErrorMessage(ERROR_ACCESS_DENIED).text);
    RegCloseKey(readOnly);
}

}  // namespace
