#include "foundation/exceptions.h"

#include "foundation/encoding_conversion.h"

#include "foundation/text_helpers.h"

TException::TException(const Utf16String& message)
    : wideIsPrimary(true), wideMessage(message), narrowMessage(GetACP())
{
}

TException::TException(const CodePageString& message)
    : wideIsPrimary(false), wideMessage(), narrowMessage(message)
{
}

TException::~TException() = default;

const char* TException::what() const noexcept
{
    try {
        return NarrowMessage().c_str();
    } catch (...) {
        // Converting needs memory; a what() that cannot convert says nothing.
        return "";
    }
}

const CodePageString& TException::NarrowMessage() const
{
    if (wideIsPrimary && narrowMessage.empty())
        narrowMessage = ToCodePage(wideMessage, GetACP());
    return narrowMessage;
}

const Utf16String& TException::WideMessage() const
{
    if (!wideIsPrimary && wideMessage.empty())
        wideMessage = ToUtf16(narrowMessage);
    return wideMessage;
}

CodePageString NarrowErrorText(const TException& e)
{
    return e.NarrowMessage();
}

Utf16String WideErrorText(const TException& e)
{
    return e.WideMessage();
}

namespace {

struct BuiltInText {
    DWORD code;
    const char* text;
};

const BuiltInText builtInTexts[] = {
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {14, "Not enough storage is available to complete this operation."},
    {86, "The specified network password is not correct."},
    {2221, "The user name could not be found."},
    {2226, "This operation is only allowed on the primary domain controller of the domain."},
    {2245, "The password does not meet the password policy requirements. Check the minimum password length, "
           "password complexity and password history requirements."},
    {2351, "This computer name is invalid."},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {10009, "The file handle supplied is not valid."},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {10022, "An invalid argument was supplied."},
    {10024, "Too many open sockets."},
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10036, "A blocking operation is currently executing."},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {10049, "The requested address is not valid in its context."},
    {10050, "A socket operation encountered a dead network."},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation "
            "was in progress."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when "
            "sending on a datagram socket using a sendto call) no address was supplied."},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in "
            "that direction with a previous shutdown call."},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of "
            "time, or established connection failed because connected host has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {11001, "No such host is known."},
};

// "OS error %lu": the code in unsigned decimal.
std::string OsErrorPrefix(DWORD code)
{
    return "OS error " + FormatInteger<DWORD>(code, 10, 0);
}

} // namespace

std::string BuiltInErrorText(DWORD code)
{
    for (const BuiltInText& entry : builtInTexts)
        if (entry.code == code)
            return entry.text;
    return "Error code 0x" + FormatInteger<DWORD>(code, 16, 0) + " received.";
}

void TrimTrailingLineBreaks(std::string& text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
}

std::string MessageTableText(DWORD code)
{
    char* buffer = nullptr;
    const DWORD count = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text;
    if (count != 0 && buffer) {
        try {
            text.assign(buffer, count);
        } catch (...) {
            LocalFree(buffer);
            throw;
        }
    }
    if (buffer)
        LocalFree(buffer);
    TrimTrailingLineBreaks(text);
    return text;
}

CodePageString OsErrorText(DWORD code)
{
    std::string text = MessageTableText(code);
    if (text.empty())
        text = BuiltInErrorText(code);
    return AnsiString(text);
}

CodePageString SystemErrorText(DWORD code)
{
    return OsErrorText(code);
}

Utf16String WideSystemErrorText(DWORD code)
{
    return ToUtf16(OsErrorText(code));
}

CodePageString FormatOsErrorMessage(DWORD code, const CodePageString& text)
{
    CodePageString result = AnsiString(OsErrorPrefix(code));
    if (!text.empty()) {
        result.text += ": ";
        result.text += text.text;
    }
    return result;
}

Utf16String FormatOsErrorMessage(DWORD code, const Utf16String& text)
{
    const std::string prefix = OsErrorPrefix(code);
    Utf16String result(std::wstring(prefix.begin(), prefix.end()));
    if (!text.empty()) {
        result.text += L": ";
        result.text += text.text;
    }
    return result;
}

CodePageString OsErrorMessage(DWORD code)
{
    return FormatOsErrorMessage(code, SystemErrorText(code));
}

Utf16String WideOsErrorMessage(DWORD code)
{
    return FormatOsErrorMessage(code, WideSystemErrorText(code));
}

OsErrorException::OsErrorException(DWORD code) : TException(WideOsErrorMessage(code)), errorCode(code)
{
}

namespace {

CodePageString ContextFailed(const CodePageString& context, DWORD code)
{
    CodePageString message = AnsiString(context.text);
    message.text += " failed: ";
    message.text += OsErrorMessage(code).text;
    return message;
}

Utf16String ContextFailed(const Utf16String& context, DWORD code)
{
    Utf16String message(context);
    message.text += L" failed: ";
    message.text += WideOsErrorMessage(code).text;
    return message;
}

} // namespace

OsErrorException::OsErrorException(const CodePageString& context, DWORD code)
    : TException(ContextFailed(context, code)), errorCode(code)
{
}

OsErrorException::OsErrorException(const Utf16String& context, DWORD code)
    : TException(ContextFailed(context, code)), errorCode(code)
{
}
