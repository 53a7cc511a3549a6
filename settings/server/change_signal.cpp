#include "settings/server/change_signal.h"

#include "RoVodEre/ScopeGuard.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/product_key.h"

namespace ChangeSignal {

const char* const FlagValueName = "SignalingChanges";
const char* const EventName = "MorluneOrvidexConfigChangeEvent";

namespace {

LONG WriteFlag(HKEY key, BYTE value)
{
    return RegSetValueExA(key, FlagValueName, 0, REG_BINARY, &value, 1);
}

void AppendLine(std::wstring& text, const std::wstring& line)
{
    if (!text.empty())
        text += L'\n';
    text += line;
}

}  // namespace

std::wstring Raise(HKEY productKey, const std::wstring& keyFailure)
{
    std::wstring failures;
    if (productKey) {
        const LONG rc = WriteFlag(productKey, 0xFF);
        if (rc != ERROR_SUCCESS)
            failures = WithOsErrorText(L"Error signaling changes - RegSetValueEx() failed with the following error: ",
                                       static_cast<DWORD>(rc));
    } else {
        failures = keyFailure;
    }

    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, EventName);
    if (event) {
        auto closeEvent = MakeGuard(CloseHandle, event);
        if (!SetEvent(event))
            AppendLine(failures, WithOsErrorText(
                                     L"Error signaling changes - SetEvent() failed with the following error: ",
                                     GetLastError()));
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            AppendLine(failures, WithOsErrorText(
                                     L"Error signaling changes - OpenEvent() failed with the following error: ", error));
    }
    return failures;
}

void Reset(HKEY productKey)
{
    const LONG rc = WriteFlag(productKey, 0x00);
    if (rc != ERROR_SUCCESS)
        throw OrvidexCfgException(WithOsErrorText(
            L"Resetting config-change signal failed - RegSetValueEx() failed with the following error: ",
            static_cast<DWORD>(rc)));
}

bool Query(HKEY productKey)
{
    BYTE flag = 0;
    DWORD size = sizeof flag;
    const LONG rc = RegQueryValueExA(productKey, FlagValueName, nullptr, nullptr, &flag, &size);
    if (rc != ERROR_SUCCESS)
        throw OrvidexCfgException(WithOsErrorText(
            L"Querying config-change signal failed - RegQueryValueEx() failed with the following error: ",
            static_cast<DWORD>(rc)));
    return flag != 0;
}

}  // namespace ChangeSignal
