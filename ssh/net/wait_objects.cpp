#include "ssh/net/wait_objects.h"

#include "foundation/text_helpers.h"

#include <cryptopp/cryptlib.h>

namespace CryptoPP {

std::string CallStack::Format() const {
    std::string text = m_info ? m_info : "";
    for (const CallStack* p = m_parent; p; p = p->m_parent) {
        if (p->m_info) text += std::string(" / ") + p->m_info;
    }
    return text;
}

void WaitObjectContainer::Clear() {
    m_handles.clear();
    m_reasons.clear();
    m_noWait = false;
    m_noWaitReason.clear();
    m_scheduled = INFINITE;
}

void WaitObjectContainer::AddHandle(HANDLE handle, const CallStack& callStack) {
    // Objects that share a socket report its one network event; one wait may hold a handle
    // only once.
    for (HANDLE h : m_handles)
        if (h == handle) return;
    m_handles.push_back(handle);
    m_reasons.push_back(callStack.Format());
}

void WaitObjectContainer::SetNoWait(const CallStack& callStack) {
    if (!m_noWait) m_noWaitReason = callStack.Format();
    m_noWait = true;
}

void WaitObjectContainer::ScheduleEvent(unsigned long milliseconds, const CallStack&) {
    if (milliseconds < m_scheduled) m_scheduled = milliseconds;
}

void WaitObjectContainer::CountNoWait() {
    if (++m_noWaitPasses % kNoWaitLoopPasses == 0 && m_tracer)
        m_tracer->TraceNoWaitLoop("no wait for " + FormatInteger(m_noWaitPasses, 10, 0) + " passes: " +
                                  (m_noWait ? m_noWaitReason : std::string("nothing to wait for")));
}

bool WaitObjectContainer::Wait(unsigned long milliseconds) {
    if (m_noWait) {
        CountNoWait();
        return true;
    }
    if (m_handles.size() > kMaxHandles)
        throw Exception(Exception::OTHER_ERROR, "WaitObjectContainer::Wait(): more than " +
                                                    FormatInteger(kMaxHandles, 10, 0) + " wait objects");
    bool scheduledFirst = m_scheduled != INFINITE && (milliseconds == INFINITE || m_scheduled <= milliseconds);
    DWORD timeout = scheduledFirst ? m_scheduled : milliseconds;
    if (timeout == 0)
        CountNoWait();
    else
        m_noWaitPasses = 0;
    DWORD result;
    if (m_handles.empty()) {
        Sleep(timeout);
        result = WAIT_TIMEOUT;
    } else {
        result = WaitForMultipleObjects(static_cast<DWORD>(m_handles.size()), m_handles.data(), FALSE, timeout);
    }
    if (result == WAIT_FAILED) {
        DWORD code = GetLastError();
        throw OS_Error(Exception::OTHER_ERROR,
                       "WaitObjectContainer::Wait(): WaitForMultipleObjects() failed with error " +
                           FormatInteger(code, 10, 0),
                       "WaitForMultipleObjects", static_cast<int>(code));
    }
    return result != WAIT_TIMEOUT || scheduledFirst;
}

}  // namespace CryptoPP
