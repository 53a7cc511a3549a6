#include <windows.h>

#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "RoVodEre/OwningPtr.h"
#include "RoVodEre/ScopeGuard.h"

namespace {

bool IsOpenKey(HKEY key) {
    return RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
}

HKEY OpenSoftwareKey() {
    HKEY key = NULL;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key));
    EXPECT_TRUE(IsOpenKey(key));
    return key;
}

TEST(ScopeGuardTest, ClosesKeyOnNormalExitAndOnException) {
    HKEY key = OpenSoftwareKey();
    { auto guard = MakeGuard(RegCloseKey, key); }
    EXPECT_FALSE(IsOpenKey(key));

    key = OpenSoftwareKey();
    try {
        auto guard = MakeGuard(RegCloseKey, key);
        throw std::runtime_error("leaving");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(IsOpenKey(key));
}

std::vector<int> g_calls;
void Record(int value) { g_calls.push_back(value); }
void Throw(int) { throw std::runtime_error("cleanup failed"); }

ScopeGuard<void (*)(int), int> GuardReturnedByName(int value) {
    auto guard = MakeGuard(Record, value);
    return guard;
}

TEST(ScopeGuardTest, RunsOnceWhateverHappens) {
    g_calls.clear();
    {
        auto guard = GuardReturnedByName(1);
        auto moved = std::move(guard);
        auto dismissed = MakeGuard(Record, 2);
        dismissed.Dismiss();
    }
    EXPECT_EQ(std::vector<int>{1}, g_calls);

    // A throwing clean-up is silenced, also while another exception is in flight.
    EXPECT_NO_THROW({ auto guard = MakeGuard(Throw, 0); });
    try {
        auto guard = MakeGuard(Throw, 0);
        throw std::logic_error("first");
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("first", e.what());
    }
}

struct Closer {
    std::vector<int> closed;
    void Close(int handle) { closed.push_back(handle); }
    void Fail(int) { throw 5; }
};

TEST(ObjScopeGuardTest, CallsMemberOnceUnlessDismissed) {
    Closer closer;
    {
        auto guard = MakeObjGuard(closer, &Closer::Close, 3);
        auto moved = std::move(guard);
        auto dismissed = MakeObjGuard(closer, &Closer::Close, 4);
        dismissed.Dismiss();
        auto failing = MakeObjGuard(closer, &Closer::Fail, 0);
    }
    EXPECT_EQ(std::vector<int>{3}, closer.closed);
}

int g_deleted = 0;
struct Counted {
    virtual ~Counted() { ++g_deleted; }
};
struct DerivedCounted : Counted {
    ~DerivedCounted() override { ++g_deleted; }
};

TEST(OwningPtrTest, DeletesSingleObjectsAndArrays) {
    g_deleted = 0;
    { OwningPtr<Counted> single(new DerivedCounted, false); }
    EXPECT_EQ(2, g_deleted);
    g_deleted = 0;
    {
        OwningPtr<Counted> array(new Counted[3], true);
        EXPECT_TRUE(array.IsArray());
    }
    EXPECT_EQ(3, g_deleted);
    { OwningPtr<char> bytes(new char[16], true); }
    { OwningPtr<Counted> none(nullptr, false); }

    g_deleted = 0;
    Counted* kept = new Counted;
    {
        OwningPtr<Counted> holder(kept, false);
        EXPECT_EQ(kept, holder.Release());
        EXPECT_EQ(kept, holder.get());
    }
    EXPECT_EQ(0, g_deleted);
    delete kept;
}

TEST(DeleteGuardTest, DeletesWhatTheVariableHoldsAtExit) {
    g_deleted = 0;
    Counted first;
    Counted* p = &first;
    Counted* other = new Counted;
    {
        DeleteGuard<Counted> guard(&p);
        p = other;  // the guard deletes this one
    }
    EXPECT_EQ(1, g_deleted);
    p = nullptr;

    g_deleted = 0;
    Counted* q = new Counted;
    Counted* original = q;
    {
        DeleteGuard<Counted> guard(&q);
        q = nullptr;
    }
    {
        DeleteGuard<Counted> guard(&original);
        guard.Dismiss();
    }
    EXPECT_EQ(0, g_deleted);
    delete original;
}

}  // namespace
