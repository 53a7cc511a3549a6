// Hardware faults and exhausted memory as ordinary C++ exceptions.
//
// GCC has no structured-exception translator hook, so InstallStructuredExceptionTranslator
// builds one. A vectored handler takes the faults of the code table below that happen in our
// own image and makes the faulting thread continue as if the faulting instruction had called
// a function that throws the matching exception; with every frame built with
// -fnon-call-exceptions the stack then unwinds normally from the point of the fault. Faults
// elsewhere first meet the handlers of the code they happen in (system functions such as
// IsBadReadPtr catch their own); those that nothing handles reach an unhandled-exception
// filter. On x86_64 the filter throws the same way from wherever the fault happened. On i686
// the DWARF unwinder knows our image's frames only: a fault in another module becomes an
// exception at the CallForeign that entered it, and one outside any such call is reported
// through the fatal-fault handler, which ends the process.
//
// Vectored handlers exist from Windows XP on; the program looks the call up and, on older
// systems, takes its own faults once no frame has handled them: in the filter, or on i686 in
// the frame of the CallForeign they happen under.
#pragma once

#include <windows.h>

#include <cstdint>
#include <exception>
#include <new>
#include <type_traits>

// The name of a structured exception code, "unrecognized structured exception" for others.
const char* StructuredExceptionName(uint32_t code);

class StructuredException : public std::exception {
public:
    explicit StructuredException(uint32_t exceptionCode) : code(exceptionCode) {}
    const char* what() const noexcept override { return StructuredExceptionName(code); }

    uint32_t code;
};

#define ORVIDEX_STRUCTURED_EXCEPTION(Name, Code) \
    class Name : public StructuredException { \
    public: \
        Name() : StructuredException(Code) {} \
    };

ORVIDEX_STRUCTURED_EXCEPTION(SE_AccessViolation, 0xC0000005u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_Breakpoint, 0x80000003u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_DatatypeMisalignment, 0x80000002u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_SingleStep, 0x80000004u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_ArrayBoundsExceeded, 0xC000008Cu)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltDenormalOperand, 0xC000008Du)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltDivideByZero, 0xC000008Eu)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltInexactResult, 0xC000008Fu)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltInvalidOperation, 0xC0000090u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltOverflow, 0xC0000091u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltStackCheck, 0xC0000092u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_FltUnderflow, 0xC0000093u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_IntDivideByZero, 0xC0000094u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_IntOverflow, 0xC0000095u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_PrivInstruction, 0xC0000096u)
ORVIDEX_STRUCTURED_EXCEPTION(SE_NoncontinuableException, 0xC0000025u)

#undef ORVIDEX_STRUCTURED_EXCEPTION

// Whether the code is one of the sixteen of the table.
bool IsTranslatedStructuredException(uint32_t code);

// Throws the subclass object of the code, else a StructuredException with it. The
// exception pointers are ignored.
[[noreturn]] void StructuredExceptionTranslator(unsigned int code, EXCEPTION_POINTERS* pointers);

// libstdc++'s bad_alloc says "std::bad_alloc"; ours says "bad allocation".
class BadAllocation : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "bad allocation"; }
};

// The new-handler: a failed new throws BadAllocation (a std::bad_alloc).
[[noreturn]] void OnAllocationFailure();

// Runs body, which calls into another module (a loaded library's entry point): a structured
// exception that this code leaves unhandled leaves here as the translator throws it. An
// exception body throws passes through unchanged.
void CallForeignCode(void (*body)(void*), void* context);
template <class Body>
void CallForeign(Body&& body)
{
    CallForeignCode([](void* b) { (*static_cast<std::remove_reference_t<Body>*>(b))(); }, &body);
}

// Who sees a fault of our own code first: a vectored handler where the system has them, or
// the frames between the fault and the filter, as on systems without them.
enum class OwnFaults { VectoredWhereAvailable, AfterFrames };
// Process-wide; installing again changes nothing, and the first installation's choice stays.
void InstallStructuredExceptionTranslator(OwnFaults ownFaults = OwnFaults::VectoredWhereAvailable);
// Called by the unhandled-exception filter for a fault it cannot throw (on i686, one outside
// our image and outside CallForeign); meant to report it and end the process.
using FatalFaultHandler = void (*)(const StructuredException& fault);
void SetFatalFaultHandler(FatalFaultHandler handler);
void InstallAllocationFailureHandler();
