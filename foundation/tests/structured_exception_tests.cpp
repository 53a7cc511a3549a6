#include "foundation/structured_exception.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// The same tests run twice: with the vectored handler of Windows XP and later, and as on
// older systems, where our own faults reach us only after every frame has passed them on.
#if defined(ORVIDEX_OWN_FAULTS_AFTER_FRAMES)
constexpr OwnFaults ownFaults = OwnFaults::AfterFrames;
#else
constexpr OwnFaults ownFaults = OwnFaults::VectoredWhereAvailable;
#endif

class FaultTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        InstallStructuredExceptionTranslator(ownFaults);
        InstallAllocationFailureHandler();
    }
};

// Opaque to the optimiser, so the faults happen at run time.
volatile int zero = 0;
volatile int minusOne = -1;
int* volatile nullPointer = nullptr;
volatile int sink;

struct Witness {
    int* destroyed;
    ~Witness() { ++*destroyed; }
};

__attribute__((noinline)) int DivideWithWitness(int a, int* destroyed)
{
    Witness w{destroyed};
    return a / zero;
}

__attribute__((noinline)) int Divide(int a, int b)
{
    return a / b;  // a leaf frame without a stack frame of its own
}

__attribute__((noinline)) void WriteThroughNull(int* destroyed)
{
    Witness w{destroyed};
    std::string keepsTheFrameBusy(100, 'x');
    *nullPointer = static_cast<int>(keepsTheFrameBusy.size());
}

TEST_F(FaultTest, IntegerDivisionByZeroArrivesAtTheFaultWithDestructorsRun)
{
    int destroyed = 0;
    try {
        Witness outer{&destroyed};
        sink = DivideWithWitness(7, &destroyed);
        FAIL() << "no exception";
    } catch (const SE_IntDivideByZero& e) {
        EXPECT_EQ(e.code, 0xC0000094u);
        EXPECT_STREQ(e.what(), "EXCEPTION_INT_DIVIDE_BY_ZERO");
    }
    EXPECT_EQ(destroyed, 2);
}

TEST_F(FaultTest, FaultsInLeafFramesAreCaughtAsTheBaseAndAsStdException)
{
    EXPECT_THROW(sink = Divide(1, zero), StructuredException);
    try {
        sink = Divide(INT_MIN, minusOne);  // Wine raises this as a division by zero
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "EXCEPTION_INT_DIVIDE_BY_ZERO");
    }
}

TEST_F(FaultTest, AccessViolationUnwindsAndCanBeCaughtRepeatedly)
{
    for (int round = 0; round < 3; ++round) {
        int destroyed = 0;
        try {
            WriteThroughNull(&destroyed);
            FAIL() << "no exception";
        } catch (const SE_AccessViolation& e) {
            EXPECT_STREQ(e.what(), "EXCEPTION_ACCESS_VIOLATION");
        }
        EXPECT_EQ(destroyed, 1);
    }
}

// RaiseException is code of another module: what reaches our image from it is what a fault in a
// loaded library's entry point would send.
void Raise(DWORD code)
{
    CallForeign([code] { RaiseException(code, 0, 0, nullptr); });
}

TEST_F(FaultTest, RaisedTableCodesArriveAsTheirClass)
{
    struct Case {
        DWORD code;
        const char* name;
    };
    const Case cases[] = {
        {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},
        {0x80000004u, "EXCEPTION_SINGLE_STEP"},
        {0xC0000025u, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
        {0xC0000093u, "EXCEPTION_FLT_UNDERFLOW"},
    };
    for (const Case& c : cases) {
        try {
            Raise(c.code);
            ADD_FAILURE() << std::hex << c.code << ": no exception";
        } catch (const StructuredException& e) {
            EXPECT_EQ(e.code, c.code);
            EXPECT_STREQ(e.what(), c.name);
        }
    }
    EXPECT_THROW(Raise(0xC0000005u), SE_AccessViolation);
    EXPECT_THROW(Raise(0x80000004u), SE_SingleStep);
    EXPECT_THROW(Raise(0xC0000025u), SE_NoncontinuableException);
}

TEST_F(FaultTest, OtherRaisedCodesArriveAsThePlainBase)
{
    int destroyed = 0;
    try {
        Witness w{&destroyed};
        Raise(0xE0001234u);
        FAIL() << "no exception";
    } catch (const SE_AccessViolation&) {
        FAIL() << "wrong class";
    } catch (const StructuredException& e) {
        EXPECT_EQ(e.code, 0xE0001234u);
        EXPECT_STREQ(e.what(), "unrecognized structured exception");
    }
    EXPECT_EQ(destroyed, 1);
}

TEST_F(FaultTest, ForeignCallsPassOurOwnExceptionsAndResultsThrough)
{
    int result = 0;
    CallForeign([&] { result = lstrlenA("four"); });
    EXPECT_EQ(result, 4);
    EXPECT_THROW(CallForeign([] { throw std::runtime_error("ours"); }), std::runtime_error);
    // A fault of our own inside the call is translated where it happens, destructors and all.
    int destroyed = 0;
    EXPECT_THROW(CallForeign([&] { WriteThroughNull(&destroyed); }), SE_AccessViolation);
    EXPECT_EQ(destroyed, 1);
    // The guard leaves the thread's handler chain as it found it: system functions that
    // catch their own faults still do.
    EXPECT_EQ(lstrlenA(reinterpret_cast<LPCSTR>(16)), 0);
}

TEST_F(FaultTest, FaultsThatSystemFunctionsHandleStayTheirs)
{
    // Both catch the access violation themselves; the translator must not take it first.
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(16), 4));
        EXPECT_EQ(lstrlenA(reinterpret_cast<LPCSTR>(16)), 0);
    }
    const int readable = 1;
    EXPECT_FALSE(IsBadReadPtr(&readable, sizeof readable));
}

void ReportAndExit(const StructuredException& fault)
{
    std::fprintf(stderr, "fatal: %s\n", fault.what());
    std::fflush(stderr);
    ExitProcess(150);
}

TEST_F(FaultTest, FaultsThatCannotContinueEndThroughTheFatalHandler)
{
    // Report and end with 150, no crash dialog.
    SetFatalFaultHandler(ReportAndExit);
    EXPECT_EXIT(RaiseException(0xE0004321u, EXCEPTION_NONCONTINUABLE, 0, nullptr), ::testing::ExitedWithCode(150),
                "fatal: unrecognized structured exception");
    EXPECT_EXIT(RaiseException(0xC0000005u, EXCEPTION_NONCONTINUABLE, 0, nullptr), ::testing::ExitedWithCode(150),
                "fatal: EXCEPTION_ACCESS_VIOLATION");
    SetFatalFaultHandler(nullptr);
}

TEST_F(FaultTest, UnhandledFaultsOutsideOurImageAndForeignCalls)
{
    SetFatalFaultHandler(ReportAndExit);
#if defined(__x86_64__)
    // Windows' unwinder reaches our frames from anywhere: the filter throws at the fault.
    EXPECT_THROW(RaiseException(0xC0000005u, 0, 0, nullptr), SE_AccessViolation);
    EXPECT_THROW(RaiseException(0xE0001234u, 0, 0, nullptr), StructuredException);
#else
    // Ours cannot leave another module's frames: reported, and the process ends.
    EXPECT_EXIT(RaiseException(0xC0000005u, 0, 0, nullptr), ::testing::ExitedWithCode(150),
                "fatal: EXCEPTION_ACCESS_VIOLATION");
#endif
    SetFatalFaultHandler(nullptr);
}

DWORD WINAPI ThrowUncaught(void*)
{
    throw std::runtime_error("nobody catches this");
}

void RunThreadThatThrows()
{
    HANDLE thread = CreateThread(nullptr, 0, ThrowUncaught, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
}

TEST_F(FaultTest, AnUncaughtCppExceptionStillEndsInTerminate)
{
    // The filter lets libgcc's own exception continue, so std::terminate ends the process.
    EXPECT_EXIT(RunThreadThatThrows(), ::testing::ExitedWithCode(3), "");
}

TEST_F(FaultTest, CodesTheSystemHandlesItselfStayUntouched)
{
    // OutputDebugString raises 0x40010006 and handles it; nothing may be thrown.
    EXPECT_NO_THROW(OutputDebugStringA("fault test\n"));
}

TEST_F(FaultTest, TranslatorThrowsEveryTableClassAndCopiesKeepTheCode)
{
    const uint32_t codes[] = {0xC0000005u, 0x80000003u, 0x80000002u, 0x80000004u, 0xC000008Cu, 0xC000008Du,
                              0xC000008Eu, 0xC000008Fu, 0xC0000090u, 0xC0000091u, 0xC0000092u, 0xC0000093u,
                              0xC0000094u, 0xC0000095u, 0xC0000096u, 0xC0000025u, 0x12345678u};
    for (uint32_t code : codes) {
        try {
            StructuredExceptionTranslator(code, nullptr);
        } catch (const StructuredException& e) {
            StructuredException copy = e;
            EXPECT_EQ(copy.code, code);
            EXPECT_STREQ(copy.what(), StructuredExceptionName(code));
            EXPECT_EQ(std::string(e.what()) != "unrecognized structured exception", IsTranslatedStructuredException(code));
        }
    }
    EXPECT_STREQ(StructuredExceptionName(0xC0000096u), "EXCEPTION_PRIV_INSTRUCTION");
    EXPECT_THROW(StructuredExceptionTranslator(0xC0000095u, nullptr), SE_IntOverflow);
    EXPECT_THROW(StructuredExceptionTranslator(0x80000003u, nullptr), SE_Breakpoint);
}

TEST_F(FaultTest, FailedAllocationThrowsBadAllocationAsStdBadAlloc)
{
    try {
        std::vector<char> huge;
        huge.reserve(SIZE_MAX / 2 - 64);
        FAIL() << "no exception";
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "bad allocation");
    }
    // Requests the runtime refuses before asking the new-handler say the same.
    try {
        volatile size_t size = SIZE_MAX - 16;
        void* p = ::operator new(size);
        ::operator delete(p);
        FAIL() << "no exception";
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "bad allocation");
    }
    EXPECT_EQ(new (std::nothrow) char[SIZE_MAX / 2 - 64], nullptr);
}

} // namespace
