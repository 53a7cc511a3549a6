#include "foundation/random_source.h"

#include <cstring>

namespace {

const LONG kInitialisedMarker = 0x471BC622;

// Zero before first use: nothing here needs a constructor to run.
struct ProviderState {
    volatile LONG marker;
    CRITICAL_SECTION lock;
    LONG useCount;
    HCRYPTPROV provider;
};
ProviderState state;

NoCrtRandom::AcquireFunction acquireFunction = CryptAcquireContextA;

bool IsInitialised() { return InterlockedExchangeAdd(&state.marker, 0) == kInitialisedMarker; }

}  // namespace

NoCrtRandomException::NoCrtRandomException(const NoCrtString& text) : message(text) {}

NoCrtRandomException::NoCrtRandomException(const NoCrtRandomException& src) : std::exception(src), message(src.message) {}

const char* NoCrtRandomException::what() const noexcept { return message.af_ ? "" : message.c_str(); }

NoCrtRandom::NoCrtRandom() {
    if (!Init(initInfo)) {
        NoCrtString text("NoCrtRandom::Init() failed with the following error info:\n");
        NoCrtString described = initInfo.Describe("\n");
        if (!text.af_ && !described.af_) text.append(described);
        if (described.af_ && !text.af_) text.af_ = described.af_;
        throw NoCrtRandomException(text);
    }
}

NoCrtRandom::~NoCrtRandom() { Uninit(); }

NoCrtRandom::AcquireFunction NoCrtRandom::SetAcquireFunction(AcquireFunction acquire) {
    AcquireFunction previous = acquireFunction;
    acquireFunction = acquire ? acquire : CryptAcquireContextA;
    return previous;
}

bool NoCrtRandom::Init(ErrorInfo& info) {
    if (IsInitialised()) {
        EnterCriticalSection(&state.lock);
        ++state.useCount;
        LeaveCriticalSection(&state.lock);
        return true;
    }
    // First user: the entry function makes it on the main thread before anything else runs.
    InitializeCriticalSection(&state.lock);
    InterlockedExchange(&state.marker, kInitialisedMarker);
    EnterCriticalSection(&state.lock);
    state.useCount = 1;
    state.provider = 0;
    if (acquireFunction(&state.provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        LeaveCriticalSection(&state.lock);
        return true;
    }
    // Leave nothing that would let a later Init count up on a provider that is not there.
    state.provider = 0;
    state.useCount = 0;
    InterlockedExchange(&state.marker, 0);
    LeaveCriticalSection(&state.lock);
    DeleteCriticalSection(&state.lock);
    info.AddError("NoCrtRandom::Init() - CryptAcquireContext() failed");
    return false;
}

void NoCrtRandom::Uninit() {
    if (!IsInitialised()) return;
    EnterCriticalSection(&state.lock);
    if (--state.useCount != 0) {
        LeaveCriticalSection(&state.lock);
        return;
    }
    CryptReleaseContext(state.provider, 0);
    state.provider = 0;
    InterlockedExchange(&state.marker, 0);
    LeaveCriticalSection(&state.lock);
    DeleteCriticalSection(&state.lock);
}

bool NoCrtRandom::GenRandom(unsigned char* buffer, std::uint32_t count, ErrorInfo& info) {
    if (!IsInitialised()) {
        info.AddError("NoCrtRandom::GenRandom() - not initialized");
        return false;
    }
    if (count == 0) return true;
    if (!CryptGenRandom(state.provider, count, buffer)) {
        info.AddError("NoCrtRandom::GenRandom() - CryptGenRandom() failed");
        return false;
    }
    return true;
}

bool RandomWipe(datavect<unsigned char>& v, ErrorInfo& info) {
    std::uint32_t capacity = v.capacity();  // checks the vector's mark
    bool ok = NoCrtRandom::GenRandom(v.p_, capacity, info);
    if (!ok && capacity) std::memset(v.p_, 0, capacity);
    v.resize(0);
    return ok;
}

void RandomWipeBuffer(void* p, std::uint32_t bytes) {
    ErrorInfo dropped;
    if (!NoCrtRandom::GenRandom(static_cast<unsigned char*>(p), bytes, dropped)) std::memset(p, 0, bytes);
}
