#include "foundation/thread_object.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

namespace {

struct Trace {
    int before = 0, run = 0, after = 0, destroyed = 0;
    std::string caught;  // what the work saw of a guarded call
};

class Work : public ThreadObject {
public:
    Work(Trace& t, std::function<void(Work&)> body = nullptr) : trace(t), work(std::move(body)) {}
    ~Work() override { ++trace.destroyed; }
    void BeforeRun() override {
        ++trace.before;
        if (failBefore) throw std::runtime_error("before");
    }
    void Run() override {
        ++trace.run;
        if (work) work(*this);
    }
    void AfterRun() override { ++trace.after; }
    void StartThread() override { StartThreadImpl(this); }

    Trace& trace;
    std::function<void(Work&)> work;
    bool failBefore = false;
};

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

TEST(ThreadObjectTest, RunsOnceAndSignalsCompletion) {
    Trace trace;
    Work* w = new Work(trace);
    EXPECT_FALSE(w->IsRunning());
    EXPECT_FALSE(Signalled(w->CompletionEvent()));
    w->AddRef();  // the holder's reference
    w->StartThread();
    EXPECT_TRUE(Signalled(w->CompletionEvent()));
    EXPECT_FALSE(w->IsRunning());
    EXPECT_EQ(1, trace.before);
    EXPECT_EQ(1, trace.run);
    EXPECT_EQ(1, trace.after);
    EXPECT_EQ(0, trace.destroyed);  // the holder still has it
    w->Release();
    EXPECT_EQ(1, trace.destroyed);
}

TEST(ThreadObjectTest, TheRunsOwnReferenceIsTheLastOne) {
    Trace trace;
    (new Work(trace))->StartThread();
    EXPECT_EQ(1, trace.run);
    EXPECT_EQ(1, trace.destroyed);
}

TEST(ThreadObjectTest, FailuresOfTheWorkAreSwallowed) {
    const std::function<void(Work&)> failures[] = {
        [](Work&) { throw std::runtime_error("work failed"); },
        [](Work&) { throw 42; },
        [](Work&) {
            volatile int* nowhere = nullptr;
            *nowhere = 1;  // arrives as a translated access violation
        },
    };
    for (const auto& failure : failures) {
        Trace trace;
        Work* w = new Work(trace, failure);
        w->AddRef();
        w->StartThread();
        EXPECT_EQ(1, trace.after);
        EXPECT_TRUE(Signalled(w->CompletionEvent()));
        EXPECT_FALSE(w->IsRunning());
        w->Release();
        EXPECT_EQ(1, trace.destroyed);
    }
}

TEST(ThreadObjectTest, GuardsRefuseCallsDuringTheWork) {
    Trace trace;
    Work* w = new Work(trace, [](Work& self) {
        try {
            self.StartThread();
        } catch (const ThreadErr& e) {
            self.trace.caught = e.what();
        }
        try {
            self.ThrowIfRunning("ResolveHostName::SetHost()");
        } catch (const ThreadErr& e) {
            self.trace.caught += std::string("|") + e.what();
        }
    });
    w->AddRef();
    w->StartThread();
    EXPECT_EQ("StartThreadImpl(): the thread is already running|ResolveHostName::SetHost(): thread is running",
              trace.caught);
    EXPECT_EQ(1, trace.run);
    EXPECT_NO_THROW(w->ThrowIfRunning("ResolveHostName::SetHost()"));
    w->Release();
}

TEST(ThreadObjectTest, AFailedBeforeRunLeavesTheObjectIdle) {
    Trace trace;
    Work* w = new Work(trace);
    w->AddRef();
    w->failBefore = true;
    EXPECT_THROW(w->StartThread(), std::runtime_error);
    EXPECT_FALSE(w->IsRunning());
    EXPECT_FALSE(Signalled(w->CompletionEvent()));
    EXPECT_EQ(0, trace.run);
    // Not stuck as running, and the run's reference is gone: one start works, one release ends it.
    w->failBefore = false;
    w->StartThread();
    EXPECT_EQ(1, trace.run);
    EXPECT_EQ(0, trace.destroyed);
    w->Release();
    EXPECT_EQ(1, trace.destroyed);

    // Without a holder the failed start is the end of the object.
    Trace alone;
    Work* orphan = new Work(alone);
    orphan->failBefore = true;
    EXPECT_THROW(orphan->StartThread(), std::runtime_error);
    EXPECT_EQ(1, alone.destroyed);
}

}  // namespace
