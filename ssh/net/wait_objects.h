// The wait side of non-blocking networking: objects that cannot go on report the handles
// they wait for into a container, and the owner of the loop waits on the container.
// Crypto++'s Waitable interface names these two classes without defining them; they are
// ours, in its namespace, so that every BufferedTransformation can take part.
#pragma once

#include "ssh/net/wait_tracer.h"

#include <windows.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace CryptoPP {

// Why an object waits, as a chain of texts from the innermost caller outwards.
class CallStack {
public:
    CallStack(const char* info, const CallStack* parent) : m_info(info), m_parent(parent) {}
    const char* Info() const { return m_info; }
    const CallStack* Parent() const { return m_parent; }
    // The texts from this entry outwards, separated by " / ".
    std::string Format() const;

private:
    const char* m_info;
    const CallStack* m_parent;
};

// An entry that also names which of several objects of one kind is asked.
class CallStackWithNumber : public CallStack {
public:
    CallStackWithNumber(const char* info, unsigned long number, const CallStack& parent)
        : CallStack(info, &parent), m_number(number) {}
    unsigned long Number() const { return m_number; }

private:
    unsigned long m_number;
};

// What the last wait learnt of a handle: whether it was signalled when the wait ended. An
// object that knows its handle was not signalled then has nothing new to ask the system for.
enum class HandleState : unsigned char { Unknown, Clear, Signalled };

class WaitObjectContainer {
public:
    // The most handles one system wait covers.
    static const size_t kHandlesPerSystemWait = MAXIMUM_WAIT_OBJECTS;
    // The most handles one wait of the container covers: 64 groups of 63, each waited on by
    // one thread together with one event of its own (the calling thread's group waits with
    // the event that the helpers signal; each helper's with the event that ends its wait).
    static const size_t kMaxHandles = kHandlesPerSystemWait * (kHandlesPerSystemWait - 1);
    static unsigned MaxWaitObjects() { return static_cast<unsigned>(kMaxHandles); }
    // Waits in a row that return at once before the tracer hears of it (and again after as
    // many more).
    static const unsigned long kNoWaitLoopPasses = 10000;

    explicit WaitObjectContainer(WaitObjectsTracer* tracer = nullptr);
    ~WaitObjectContainer();
    WaitObjectContainer(const WaitObjectContainer&) = delete;
    WaitObjectContainer& operator=(const WaitObjectContainer&) = delete;

    void Clear();
    // The handle is not owned and must outlive the wait; a wait must not change its state (an
    // auto-reset event would be reset by the helper that saw it). When state is given, the
    // wait stores there whether the handle was signalled as it ended.
    void AddHandle(HANDLE handle, const CallStack& callStack, HandleState* state = nullptr);
    // Some object can go on at once: the next wait returns without waiting.
    void SetNoWait(const CallStack& callStack);
    // Some object must be asked again after this many milliseconds at the latest.
    void ScheduleEvent(unsigned long milliseconds, const CallStack& callStack);

    // Waits until a handle is signalled, the scheduled time comes or the time-out passes
    // (INFINITE for none). True unless only the time-out passed. Throws CryptoPP::Exception
    // when more than kMaxHandles were added or the wait itself fails.
    bool Wait(unsigned long milliseconds);

    const std::vector<HANDLE>& Handles() const { return m_handles; }
    // The formatted call stack of each handle, in the same order.
    const std::vector<std::string>& HandleReasons() const { return m_reasons; }
    bool NoWait() const { return m_noWait; }
    const std::string& NoWaitReason() const { return m_noWaitReason; }
    // The earliest scheduled time from now in milliseconds, INFINITE when none.
    unsigned long ScheduledMilliseconds() const { return m_scheduled; }

private:
    class Helpers;

    void CountNoWait();
    // One system wait on the handles from first on (at most one group); the index found
    // signalled, or m_handles.size() when none was.
    size_t FirstSignalled(size_t first, size_t count, DWORD timeout);
    // Waits on every handle, through the helpers when they are more than one group holds.
    bool WaitForHandles(DWORD timeout);
    // The first handle from position on that is signalled now, looking no further than end
    // (one system call per group); m_handles.size() when none is.
    size_t NextSignalled(size_t position, size_t end);
    // Tells every handle's state holder what the wait found: the handles before the first
    // signalled one (m_handles.size() when none was, ~0 when not known yet) were not.
    void ReportStates(size_t firstSignalled);

    WaitObjectsTracer* m_tracer;
    unsigned long m_noWaitPasses = 0;
    std::vector<HANDLE> m_handles;
    std::vector<std::string> m_reasons;
    std::vector<HandleState*> m_states;
    std::unordered_map<HANDLE, size_t> m_positions;
    bool m_noWait;
    std::string m_noWaitReason;
    unsigned long m_scheduled;
    std::unique_ptr<Helpers> m_helpers;
};

}  // namespace CryptoPP
