#include "foundation/structured_exception.h"

namespace {

struct CodeName {
    uint32_t code;
    const char* name;
};

const CodeName codeNames[] = {
    {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},
    {0x80000003u, "EXCEPTION_BREAKPOINT"},
    {0x80000002u, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000004u, "EXCEPTION_SINGLE_STEP"},
    {0xC000008Cu, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008Eu, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090u, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091u, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092u, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093u, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094u, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095u, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096u, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC0000025u, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
};

// The codes libgcc raises for its own C++ throws and unwinds ("GCC" in the low bytes).
bool IsGccUnwindCode(DWORD code)
{
    return (code & 0x00FFFFFFu) == 0x00474343u;
}

FatalFaultHandler fatalFaultHandler = nullptr;

} // namespace

const char* StructuredExceptionName(uint32_t code)
{
    for (const CodeName& entry : codeNames)
        if (entry.code == code)
            return entry.name;
    return "unrecognized structured exception";
}

bool IsTranslatedStructuredException(uint32_t code)
{
    for (const CodeName& entry : codeNames)
        if (entry.code == code)
            return true;
    return false;
}

void StructuredExceptionTranslator(unsigned int code, EXCEPTION_POINTERS*)
{
    switch (code) {
    case 0xC0000005u: throw SE_AccessViolation();
    case 0x80000003u: throw SE_Breakpoint();
    case 0x80000002u: throw SE_DatatypeMisalignment();
    case 0x80000004u: throw SE_SingleStep();
    case 0xC000008Cu: throw SE_ArrayBoundsExceeded();
    case 0xC000008Du: throw SE_FltDenormalOperand();
    case 0xC000008Eu: throw SE_FltDivideByZero();
    case 0xC000008Fu: throw SE_FltInexactResult();
    case 0xC0000090u: throw SE_FltInvalidOperation();
    case 0xC0000091u: throw SE_FltOverflow();
    case 0xC0000092u: throw SE_FltStackCheck();
    case 0xC0000093u: throw SE_FltUnderflow();
    case 0xC0000094u: throw SE_IntDivideByZero();
    case 0xC0000095u: throw SE_IntOverflow();
    case 0xC0000096u: throw SE_PrivInstruction();
    case 0xC0000025u: throw SE_NoncontinuableException();
    default: throw StructuredException(code);
    }
}

void OnAllocationFailure()
{
    throw BadAllocation();
}

void InstallAllocationFailureHandler()
{
    std::set_new_handler(OnAllocationFailure);
}

void SetFatalFaultHandler(FatalFaultHandler handler)
{
    fatalFaultHandler = handler;
}

#if defined(__x86_64__)

// The faulting thread continues in one of these stubs, as if the faulting instruction had
// called it: the return address is the faulting address + 1, so the unwinder looks up the
// faulting instruction itself. Each stub reserves the callee's home space below that
// return address (never touching the faulting frame) and keeps the call aligned; which
// stub depends on the alignment of the stack at the fault. The code arrives in ecx.
extern "C" [[noreturn]] void orvidex_throw_structured_exception(unsigned int code)
{
    StructuredExceptionTranslator(code, nullptr);
}

extern "C" void orvidex_fault_stub_rsp0();
extern "C" void orvidex_fault_stub_rsp8();

asm(R"(
    .text
    .p2align 4
    .globl orvidex_fault_stub_rsp0
    .def orvidex_fault_stub_rsp0; .scl 2; .type 32; .endef
    .seh_proc orvidex_fault_stub_rsp0
orvidex_fault_stub_rsp0:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call orvidex_throw_structured_exception
    int3
    .seh_endproc

    .p2align 4
    .globl orvidex_fault_stub_rsp8
    .def orvidex_fault_stub_rsp8; .scl 2; .type 32; .endef
    .seh_proc orvidex_fault_stub_rsp8
orvidex_fault_stub_rsp8:
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    call orvidex_throw_structured_exception
    int3
    .seh_endproc
)");

namespace {

LONG RedirectToThrow(EXCEPTION_POINTERS* pointers)
{
    CONTEXT* context = pointers->ContextRecord;
    const DWORD64 faultRsp = context->Rsp;
    context->Rsp = faultRsp - 8;
    *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>((faultRsp & 15) == 0 ? orvidex_fault_stub_rsp0 : orvidex_fault_stub_rsp8);
    context->Rcx = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool CanRedirect(const EXCEPTION_RECORD* record)
{
    return (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0 && record->ExceptionCode != EXCEPTION_STACK_OVERFLOW;
}

LONG CALLBACK TranslateTableFaults(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if (!IsTranslatedStructuredException(record->ExceptionCode) || !CanRedirect(record))
        return EXCEPTION_CONTINUE_SEARCH;
    return RedirectToThrow(pointers);
}

} // namespace

#endif

namespace {

LONG WINAPI ReportUnhandledException(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // An uncaught C++ exception takes its own road to std::terminate.
    if (IsGccUnwindCode(record->ExceptionCode))
        return EXCEPTION_CONTINUE_SEARCH;
#if defined(__x86_64__)
    if (CanRedirect(record))
        return RedirectToThrow(pointers);
#endif
    if (fatalFaultHandler)
        fatalFaultHandler(StructuredException(record->ExceptionCode));
    // No crash dialog: end the process with the exception code.
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void InstallStructuredExceptionTranslator()
{
#if defined(__x86_64__)
    static PVOID handler = AddVectoredExceptionHandler(1, TranslateTableFaults);
    (void)handler;
#endif
    SetUnhandledExceptionFilter(ReportUnhandledException);
}
