// The wait side of non-blocking networking: objects that cannot go on report the handles
// they wait for into a container, and the owner of the loop waits on the container.
// Crypto++'s Waitable interface names these two classes without defining them; they are
// ours, in its namespace, so that every BufferedTransformation can take part.
#pragma once

#include "ssh/net/wait_tracer.h"

#include <windows.h>

#include <string>
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

class WaitObjectContainer {
public:
    // The most handles one wait can cover (the system's limit for one wait call).
    static const size_t kMaxHandles = MAXIMUM_WAIT_OBJECTS;
    // Waits in a row that return at once before the tracer hears of it (and again after as
    // many more).
    static const unsigned long kNoWaitLoopPasses = 10000;

    explicit WaitObjectContainer(WaitObjectsTracer* tracer = nullptr) : m_tracer(tracer) { Clear(); }

    void Clear();
    // The handle is not owned and must outlive the wait.
    void AddHandle(HANDLE handle, const CallStack& callStack);
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
    void CountNoWait();

    WaitObjectsTracer* m_tracer;
    unsigned long m_noWaitPasses = 0;
    std::vector<HANDLE> m_handles;
    std::vector<std::string> m_reasons;
    bool m_noWait;
    std::string m_noWaitReason;
    unsigned long m_scheduled;
};

}  // namespace CryptoPP
