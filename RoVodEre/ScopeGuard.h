// Guards that run a one-argument clean-up (RegCloseKey, CloseHandle, a member function...)
// at scope exit. A clean-up that throws is silenced, so an exception already in flight is
// never replaced. A guard can be moved but not copied; the moved-from guard does nothing.
#pragma once

class ScopeGuardBase {
public:
    void Dismiss() const { dismissed_ = true; }

protected:
    ScopeGuardBase() : dismissed_(false) {}
    ScopeGuardBase(ScopeGuardBase&& other) : dismissed_(other.dismissed_) { other.Dismiss(); }
    ScopeGuardBase(const ScopeGuardBase&) = delete;
    ScopeGuardBase& operator=(const ScopeGuardBase&) = delete;
    ~ScopeGuardBase() {}

    // Runs the clean-up once at most; whatever it throws is dropped.
    template <class Cleanup>
    void RunOnce(Cleanup cleanup) {
        if (dismissed_) return;
        dismissed_ = true;
        try {
            cleanup();
        } catch (...) {
        }
    }

    mutable bool dismissed_;
};

template <class Fun, class Arg>
class ScopeGuard : public ScopeGuardBase {
public:
    ScopeGuard(Fun fun, Arg arg) : fun_(fun), arg_(arg) {}
    ScopeGuard(ScopeGuard&& other) = default;
    ~ScopeGuard() { Execute(*this); }

    static void Execute(ScopeGuard& guard) {
        guard.RunOnce([&guard] { guard.fun_(guard.arg_); });
    }

private:
    Fun fun_;
    Arg arg_;
};

template <class Fun, class Arg>
ScopeGuard<Fun, Arg> MakeGuard(Fun fun, Arg arg) {
    return ScopeGuard<Fun, Arg>(fun, arg);
}

template <class Obj, class MemFun, class Arg>
class ObjScopeGuard : public ScopeGuardBase {
public:
    ObjScopeGuard(Obj& obj, MemFun memFun, Arg arg) : obj_(obj), memFun_(memFun), arg_(arg) {}
    ObjScopeGuard(ObjScopeGuard&& other) = default;
    ~ObjScopeGuard() { Execute(*this); }

    static void Execute(ObjScopeGuard& guard) {
        guard.RunOnce([&guard] { (guard.obj_.*guard.memFun_)(guard.arg_); });
    }

private:
    Obj& obj_;
    MemFun memFun_;
    Arg arg_;
};

template <class Obj, class MemFun, class Arg>
ObjScopeGuard<Obj, MemFun, Arg> MakeObjGuard(Obj& obj, MemFun memFun, Arg arg) {
    return ObjScopeGuard<Obj, MemFun, Arg>(obj, memFun, arg);
}
