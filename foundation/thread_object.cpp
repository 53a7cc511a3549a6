#include "foundation/thread_object.h"

#include "foundation/exceptions.h"
#include "foundation/structured_exception.h"

ThreadObject::ThreadObject() : refCount(0), running(false), completionEvent(nullptr) {
    completionEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!completionEvent) {
        DWORD code = GetLastError();
        throw ThreadErr("ThreadObject: CreateEvent() failed - " + OsErrorMessage(code).text);
    }
}

ThreadObject::~ThreadObject() { CloseHandle(completionEvent); }

void ThreadObject::AddRef() { InterlockedIncrement(&refCount); }

void ThreadObject::Release() {
    if (InterlockedDecrement(&refCount) == 0) delete this;
}

void ThreadObject::ThrowIfRunning(const std::string& operationName) const {
    if (running) throw ThreadErr(operationName + ": thread is running");
}

// Has the signature of a thread start routine so that the work could move to a thread of
// its own without changing its shape.
DWORD WINAPI ThreadObjectBody(LPVOID parameter) {
    ThreadObject* t = static_cast<ThreadObject*>(parameter);
    InstallStructuredExceptionTranslator();
    try {
        t->Run();
    } catch (...) {
    }
    try {
        t->AfterRun();
    } catch (...) {
    }
    t->running = false;
    SetEvent(t->completionEvent);
    try {
        t->Release();  // the run's reference: the object may be gone after this
    } catch (...) {
    }
    return 0;
}

void StartThreadImpl(ThreadObject* t) {
    if (t->running) throw ThreadErr("StartThreadImpl(): the thread is already running");
    t->running = true;
    t->AddRef();
    try {
        t->BeforeRun();
    } catch (...) {
        t->running = false;
        t->Release();
        throw;
    }
    ThreadObjectBody(t);
}
