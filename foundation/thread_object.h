// Work objects with the shape of a thread: started once, their work runs inside a
// catch-all body, completion is signalled on an event, and they are reference counted.
// No thread is created: StartThreadImpl runs the work on the calling thread, so the event
// is already set when the start returns.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

class ThreadErr : public std::exception {
public:
    explicit ThreadErr(const std::string& text) : message(text) {}
    const char* what() const noexcept override { return message.c_str(); }

    std::string message;
};

class ThreadObject {
public:
    // Reference count 0, not running, an unsignalled manual-reset completion event.
    // Throws ThreadErr when the event cannot be created.
    ThreadObject();
    virtual ~ThreadObject();
    ThreadObject(const ThreadObject&) = delete;
    ThreadObject& operator=(const ThreadObject&) = delete;

    virtual void BeforeRun() {}
    // The work; what it throws is dropped, so it reports through the derived object.
    virtual void Run() = 0;
    virtual void AfterRun() {}
    // Derived classes call StartThreadImpl(this).
    virtual void StartThread() = 0;

    void AddRef();
    // The last release destroys the object.
    void Release();

    // Guards accessors that must not run during the work: throws ThreadErr
    // "<name>: thread is running" while running.
    void ThrowIfRunning(const std::string& operationName) const;

    bool IsRunning() const { return running; }
    // Set when a run has finished; never reset.
    HANDLE CompletionEvent() const { return completionEvent; }

private:
    friend void StartThreadImpl(ThreadObject* t);
    friend DWORD WINAPI ThreadObjectBody(LPVOID parameter);

    volatile LONG refCount;
    bool running;
    HANDLE completionEvent;
};

// Runs t's work to the end on the calling thread. Throws ThreadErr
// "StartThreadImpl(): the thread is already running" when t is running. An exception from
// BeforeRun leaves t idle, without the run's reference, and passes to the caller.
void StartThreadImpl(ThreadObject* t);
