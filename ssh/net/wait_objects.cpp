#include "ssh/net/wait_objects.h"

#include "foundation/text_helpers.h"

#include <cryptopp/cryptlib.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace CryptoPP {

namespace {

const size_t GroupSize = WaitObjectContainer::kHandlesPerSystemWait - 1;
const size_t None = ~size_t(0);

OS_Error WaitFailed(DWORD code)
{
    return OS_Error(Exception::OTHER_ERROR,
                    "WaitObjectContainer::Wait(): WaitForMultipleObjects() failed with error " +
                        FormatInteger(code, 10, 0),
                    "WaitForMultipleObjects", static_cast<int>(code));
}

// The index of the handle that ended a wait on count handles, None when none did.
size_t SignalledIndex(DWORD result, size_t count)
{
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count)
        return result - WAIT_OBJECT_0;
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count)
        return result - WAIT_ABANDONED_0;
    return None;
}

class Event {
public:
    explicit Event(bool manualReset) : m_handle(CreateEventA(nullptr, manualReset, FALSE, nullptr))
    {
        if (!m_handle)
            throw WaitFailed(GetLastError());
    }
    ~Event() { CloseHandle(m_handle); }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

}  // namespace

// Threads that each wait on one group of handles besides the calling thread's, started for a
// wait and ended with it. They are made when a wait first needs them and kept for the next.
class WaitObjectContainer::Helpers {
public:
    Helpers() : m_woken(true), m_stop(true) {}
    ~Helpers()
    {
        m_quit = true;
        for (auto& helper : m_helpers) {
            SetEvent(helper->start.Get());
            helper->thread.join();
        }
    }

    // Signalled by a helper whose group has a signalled handle (or whose wait failed).
    HANDLE Woken() const { return m_woken.Get(); }

    // Starts one helper per group of the count handles.
    void Start(const HANDLE* handles, size_t count)
    {
        m_started = (count + GroupSize - 1) / GroupSize;
        while (m_helpers.size() < m_started)
            m_helpers.emplace_back(new Helper(*this));
        for (size_t i = 0; i < m_started; ++i) {
            Helper& helper = *m_helpers[i];
            const size_t first = i * GroupSize;
            helper.handles.assign(1, m_stop.Get());
            helper.handles.insert(helper.handles.end(), handles + first,
                                  handles + first + std::min(GroupSize, count - first));
            SetEvent(helper.start.Get());
        }
    }

    // Ends the started waits; the lowest index (counted from the first handle given to Start)
    // that a helper found signalled, None when none was.
    size_t Stop()
    {
        SetEvent(m_stop.Get());
        std::vector<HANDLE> finished;
        for (size_t i = 0; i < m_started; ++i)
            finished.push_back(m_helpers[i]->finished.Get());
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(finished.size()), finished.data(), TRUE,
                                                    INFINITE);
        if (result == WAIT_FAILED)
            std::terminate();  // the helpers would go on using the handles
        ResetEvent(m_stop.Get());
        ResetEvent(m_woken.Get());
        const size_t started = m_started;
        m_started = 0;
        size_t found = None;
        for (size_t i = 0; i < started; ++i) {
            Helper& helper = *m_helpers[i];
            if (helper.error)
                throw WaitFailed(helper.error);
            if (found == None && helper.signalled != None)
                found = i * GroupSize + helper.signalled;
        }
        return found;
    }

private:
    struct Helper {
        explicit Helper(Helpers& owner) : start(false), finished(false), thread([this, &owner] { Run(owner); }) {}
        void Run(Helpers& owner)
        {
            for (;;) {
                WaitForSingleObject(start.Get(), INFINITE);
                if (owner.m_quit)
                    return;
                const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                                            INFINITE);
                const size_t index = SignalledIndex(result, handles.size());
                error = result == WAIT_FAILED ? GetLastError() : 0;
                signalled = index == None || index == 0 ? None : index - 1;
                if (signalled != None || error)
                    SetEvent(owner.m_woken.Get());
                SetEvent(finished.Get());
            }
        }

        Event start;
        Event finished;
        std::vector<HANDLE> handles;  // the stop event, then the group
        size_t signalled = None;
        DWORD error = 0;
        std::thread thread;
    };

    Event m_woken;
    Event m_stop;
    std::atomic<bool> m_quit{false};
    std::vector<std::unique_ptr<Helper>> m_helpers;
    size_t m_started = 0;
};

std::string CallStack::Format() const
{
    std::string text = m_info ? m_info : "";
    for (const CallStack* p = m_parent; p; p = p->m_parent) {
        if (p->m_info) text += std::string(" / ") + p->m_info;
    }
    return text;
}

WaitObjectContainer::WaitObjectContainer(WaitObjectsTracer* tracer) : m_tracer(tracer) { Clear(); }

WaitObjectContainer::~WaitObjectContainer() = default;

void WaitObjectContainer::Clear()
{
    m_handles.clear();
    m_reasons.clear();
    m_states.clear();
    m_positions.clear();
    m_noWait = false;
    m_noWaitReason.clear();
    m_scheduled = INFINITE;
}

void WaitObjectContainer::AddHandle(HANDLE handle, const CallStack& callStack, HandleState* state)
{
    // Objects that share a socket report its one network event; one wait may hold a handle
    // only once.
    const auto placed = m_positions.emplace(handle, m_handles.size());
    if (!placed.second) {
        if (state)
            m_states[placed.first->second] = state;
        return;
    }
    m_handles.push_back(handle);
    m_reasons.push_back(callStack.Format());
    m_states.push_back(state);
}

void WaitObjectContainer::SetNoWait(const CallStack& callStack)
{
    if (!m_noWait) m_noWaitReason = callStack.Format();
    m_noWait = true;
}

void WaitObjectContainer::ScheduleEvent(unsigned long milliseconds, const CallStack&)
{
    if (milliseconds < m_scheduled) m_scheduled = milliseconds;
}

void WaitObjectContainer::CountNoWait()
{
    if (++m_noWaitPasses % kNoWaitLoopPasses == 0 && m_tracer)
        m_tracer->TraceNoWaitLoop("no wait for " + FormatInteger(m_noWaitPasses, 10, 0) + " passes: " +
                                  (m_noWait ? m_noWaitReason : std::string("nothing to wait for")));
}

size_t WaitObjectContainer::FirstSignalled(size_t first, size_t count, DWORD timeout)
{
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), m_handles.data() + first, FALSE, timeout);
    if (result == WAIT_FAILED)
        throw WaitFailed(GetLastError());
    const size_t index = SignalledIndex(result, count);
    return index == None ? m_handles.size() : first + index;
}

size_t WaitObjectContainer::NextSignalled(size_t position, size_t end)
{
    for (; position < end; position += kHandlesPerSystemWait) {
        const size_t found = FirstSignalled(position, std::min(kHandlesPerSystemWait, m_handles.size() - position), 0);
        if (found != m_handles.size())
            return found;
    }
    return m_handles.size();
}

void WaitObjectContainer::ReportStates(size_t found)
{
    // Only as far as someone wants to know: each further look costs a system call.
    size_t end = m_states.size();
    while (end > 0 && !m_states[end - 1])
        --end;
    if (found == None)
        found = NextSignalled(0, end);
    for (size_t i = 0; i < end; ++i) {
        if (i != found) {
            if (m_states[i])
                *m_states[i] = HandleState::Clear;
            continue;
        }
        if (m_states[i])
            *m_states[i] = HandleState::Signalled;
        found = NextSignalled(i + 1, end);
    }
}

bool WaitObjectContainer::WaitForHandles(DWORD timeout)
{
    const size_t count = m_handles.size();
    if (count <= kHandlesPerSystemWait || timeout == 0) {
        // A look that does not wait needs no helpers: one system call per group.
        const size_t found = count <= kHandlesPerSystemWait ? FirstSignalled(0, count, timeout) : NextSignalled(0, count);
        ReportStates(found);
        return found != count;
    }
    if (!m_helpers)
        m_helpers.reset(new Helpers);
    // This thread waits on the first group and on the helpers' event, the helpers on the rest.
    // The event comes last: a handle of the first group signalled as well is then the one
    // reported, being the first.
    std::vector<HANDLE> own(m_handles.begin(), m_handles.begin() + GroupSize);
    own.push_back(m_helpers->Woken());
    m_helpers->Start(m_handles.data() + GroupSize, count - GroupSize);
    const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(own.size()), own.data(), FALSE, timeout);
    const DWORD error = result == WAIT_FAILED ? GetLastError() : 0;
    const size_t helperFound = m_helpers->Stop();
    if (error)
        throw WaitFailed(error);
    const size_t index = SignalledIndex(result, own.size());
    size_t found = count;
    if (index != None && index < GroupSize)
        found = index;
    else if (helperFound != None)
        found = GroupSize + helperFound;
    ReportStates(found);
    return found != count;
}

bool WaitObjectContainer::Wait(unsigned long milliseconds)
{
    if (m_handles.size() > kMaxHandles)
        throw Exception(Exception::OTHER_ERROR, "WaitObjectContainer::Wait(): more than " +
                                                    FormatInteger(kMaxHandles, 10, 0) + " wait objects");
    if (m_noWait) {
        CountNoWait();
        // Those that wait on a handle still learn whether it is signalled.
        ReportStates(None);
        return true;
    }
    bool scheduledFirst = m_scheduled != INFINITE && (milliseconds == INFINITE || m_scheduled <= milliseconds);
    DWORD timeout = scheduledFirst ? m_scheduled : milliseconds;
    if (timeout == 0)
        CountNoWait();
    else
        m_noWaitPasses = 0;
    if (m_handles.empty()) {
        Sleep(timeout);
        return scheduledFirst;
    }
    return WaitForHandles(timeout) || scheduledFirst;
}

}  // namespace CryptoPP
