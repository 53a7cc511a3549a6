#include "foundation/ziror.h"

#include "foundation/exceptions.h"
#include "foundation/text_helpers.h"

namespace ZIRor {

std::string CallResult::Message() const
{
    return Succeeded() ? SuccessText() : FailureText();
}

void CallResult::Assign(const CallResult& other)
{
    callName = other.callName;
    errorCode = other.errorCode;
}

std::string CallResult::SuccessText() const
{
    return callName + " succeeded.";
}

std::string CallResult::FailureText() const
{
    const std::string description = Description();
    std::string text = callName + " failed with error code: " + FormatInteger(errorCode, 10, 0);
    if (description.empty())
        return text + ".";
    return text + ". Description: " + description;
}

std::string Win32ErrorDescription(long code)
{
    return MessageTableText(static_cast<DWORD>(code));
}

std::string Win32CallResult::Description() const
{
    return Win32ErrorDescription(errorCode);
}

std::string HresultDescription(long code)
{
    struct Entry {
        unsigned long code;
        const char* text;
    };
    static const Entry table[] = {
        {0x00000000, "Success."},
        {0x00000001, "Partial success."},
        {0x80004001, "Not implemented error."},
        {0x8007000E, "Out of memory error."},
        {0x80004002, "Interface not supported error."},
        {0x80004003, "Pointer not valid error."},
        {0x80004004, "Operation aborted error."},
        {0x80004005, "Unspecified error."},
        {0x8000FFFF, "Catastrophic failure error."},
        {0x800401E5, "The object identified by this moniker could not be found."},
        {0x80070005, "General access denied error."},
        {0x80070006, "Handle not valid error."},
        {0x80070057, "One or more arguments are not valid error."},
    };
    const unsigned long key = static_cast<unsigned long>(code) & 0xFFFFFFFFul;
    for (const Entry& entry : table)
        if (entry.code == key)
            return entry.text;
    // A Windows error carried as an HRESULT (a failed file write in a COM call, for one):
    // the system's text of that error.
    if ((key & 0xFFFF0000ul) == 0x80070000ul)
        return SystemErrorText(key & 0xFFFFul).text;
    return std::string();
}

std::string ComCallResult::Description() const
{
    return HresultDescription(errorCode);
}

BaseException::BaseException(const CallResult& result)
    : message(result.Message()), messageCopy(message.data(), message.size())
{
}

ComInitialize::ComInitialize()
{
    Record("CoInitialize()", CoInitialize(nullptr));
    initialized = Succeeded();
}

ComInitialize::~ComInitialize()
{
    if (initialized)
        CoUninitialize();
}

} // namespace ZIRor
