#include <winsock2.h>

#include "ssh/net/resolve_host_name.h"

#include "foundation/exceptions.h"

#include <exception>

namespace {

const std::uint32_t kFail = 0x80004005;  // E_FAIL

// Runs a lookup body; what it throws becomes the failure record.
template <class Body>
void RunRecordingFailure(Body body, bool& succeeded, std::uint32_t& code, std::string& text) {
    try {
        body();
    } catch (const std::exception& e) {
        succeeded = false;
        code = kFail;
        text = std::string("Terminated by std::exception: ") + e.what();
    } catch (...) {
        succeeded = false;
        code = kFail;
        text = "Terminated by unrecognized exception";
    }
}

std::string OsErrorExceptionText(DWORD code) {
    return NarrowErrorText(OsErrorException(code)).text;
}

}  // namespace

ResolveHostName::ResolveHostName() : m_succeeded(false), m_errorCode(0) {}

void ResolveHostName::Create(ResolveHostNamePtr& holder) { holder = new ResolveHostName; }

void ResolveHostName::SetHost(const std::string& host) {
    ThrowIfRunning("ResolveHostName::SetHost()");
    m_host = host;
}

void ResolveHostName::StartThread() { StartThreadImpl(this); }

bool ResolveHostName::Succeeded() const {
    ThrowIfRunning("ResolveHostName::Succeeded()");
    return m_succeeded;
}

const std::vector<std::uint32_t>& ResolveHostName::GetAddresses() const {
    ThrowIfRunning("ResolveHostName::GetAddresses()");
    return m_addresses;
}

std::uint32_t ResolveHostName::GetErrorCode() const {
    ThrowIfRunning("ResolveHostName::GetErrorCode()");
    return m_errorCode;
}

std::string ResolveHostName::GetErrorDesc() const {
    ThrowIfRunning("ResolveHostName::GetErrorDesc()");
    return m_errorDesc;
}

void ResolveHostName::Run() {
    RunRecordingFailure(
        [this] {
            // The system would look up only the part before a NUL: a different host.
            const bool cut = m_host.find('\0') != std::string::npos;
            const hostent* entry = cut ? nullptr : gethostbyname(m_host.c_str());
            if (!entry) {
                DWORD code = cut ? WSAHOST_NOT_FOUND : WSAGetLastError();
                m_succeeded = false;
                m_errorCode = code;
                m_errorDesc = "gethostbyname() failed: " + OsErrorExceptionText(code);
                return;
            }
            if (entry->h_length != 4) {
                m_succeeded = false;
                m_errorCode = kFail;
                m_errorDesc = "gethostbyname() returned invalid address length";
                return;
            }
            m_succeeded = true;
            for (char** address = entry->h_addr_list; *address; ++address) {
                std::uint32_t networkOrder;
                memcpy(&networkOrder, *address, 4);
                m_addresses.push_back(networkOrder);
            }
        },
        m_succeeded, m_errorCode, m_errorDesc);
}

ResolveHostAddress::ResolveHostAddress() : m_address(0), m_succeeded(false), m_errorCode(0) {}

void ResolveHostAddress::SetAddress(std::uint32_t address) {
    ThrowIfRunning("ResolveHostAddress::SetAddress()");
    m_address = address;
}

void ResolveHostAddress::StartThread() { StartThreadImpl(this); }

bool ResolveHostAddress::Succeeded() const {
    ThrowIfRunning("ResolveHostAddress::Succeeded()");
    return m_succeeded;
}

const std::vector<std::string>& ResolveHostAddress::GetNames() const {
    ThrowIfRunning("ResolveHostAddress::GetNames()");
    return m_names;
}

std::uint32_t ResolveHostAddress::GetErrorCode() const {
    ThrowIfRunning("ResolveHostAddress::GetErrorCode()");
    return m_errorCode;
}

std::string ResolveHostAddress::GetErrorDesc() const {
    ThrowIfRunning("ResolveHostAddress::GetErrorDesc()");
    return m_errorDesc;
}

void ResolveHostAddress::Run() {
    RunRecordingFailure(
        [this] {
            const hostent* entry = gethostbyaddr(reinterpret_cast<const char*>(&m_address), 4, AF_INET);
            if (!entry) {
                DWORD code = WSAGetLastError();
                m_succeeded = false;
                m_errorCode = code;
                m_errorDesc = "gethostbyaddr() failed: " + OsErrorExceptionText(code);
                return;
            }
            m_succeeded = true;
            m_names.push_back(entry->h_name ? entry->h_name : "");
            for (char** alias = entry->h_aliases; alias && *alias; ++alias) m_names.push_back(*alias);
        },
        m_succeeded, m_errorCode, m_errorDesc);
}
