#include "foundation/structured_exception.h"

#include "foundation/dll_loader.h"

#include <string>

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

namespace {

// Our own image: the program (or library) this code is linked into.
extern "C" IMAGE_DOS_HEADER __ImageBase;

bool IsInOwnImage(const void* address)
{
    const auto base = reinterpret_cast<uintptr_t>(&__ImageBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + __ImageBase.e_lfanew);
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= base && at - base < nt->OptionalHeader.SizeOfImage;
}

bool CanRedirect(const EXCEPTION_RECORD* record)
{
    return (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0 && record->ExceptionCode != EXCEPTION_STACK_OVERFLOW;
}

} // namespace

// The faulting thread continues in a stub, as if the faulting instruction had called it: the
// stub pushes the faulting address + 1 as its return address (so the unwinder looks up the
// faulting instruction itself) and calls this function with the code. The push is the stub's
// own: the handler writes nothing below the faulting stack pointer, where the system keeps
// the exception's records while it dispatches.
extern "C" [[noreturn]] void orvidex_throw_structured_exception(unsigned int code)
{
    StructuredExceptionTranslator(code, nullptr);
}

#if defined(__x86_64__)

// The return address arrives in rdx and the code in ecx. Each stub reserves the callee's home
// space and keeps the call aligned; which stub depends on the alignment of the stack at the
// fault.
extern "C" void orvidex_fault_stub_rsp0();
extern "C" void orvidex_fault_stub_rsp8();

asm(R"(
    .text
    .p2align 4
    .globl orvidex_fault_stub_rsp0
    .def orvidex_fault_stub_rsp0; .scl 2; .type 32; .endef
orvidex_fault_stub_rsp0:
    pushq %rdx
    .seh_proc orvidex_fault_stub_rsp0_called
orvidex_fault_stub_rsp0_called:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    call orvidex_throw_structured_exception
    int3
    .seh_endproc

    .p2align 4
    .globl orvidex_fault_stub_rsp8
    .def orvidex_fault_stub_rsp8; .scl 2; .type 32; .endef
orvidex_fault_stub_rsp8:
    pushq %rdx
    .seh_proc orvidex_fault_stub_rsp8_called
orvidex_fault_stub_rsp8_called:
    subq $32, %rsp
    .seh_stackalloc 32
    .seh_endprologue
    call orvidex_throw_structured_exception
    int3
    .seh_endproc
)");

namespace {

// Windows' own unwinder walks any module, so a throw can start anywhere.
bool CanUnwindFrom(const void*)
{
    return true;
}

LONG RedirectToThrow(EXCEPTION_POINTERS* pointers)
{
    CONTEXT* context = pointers->ContextRecord;
    context->Rdx = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>((context->Rsp & 15) == 0 ? orvidex_fault_stub_rsp0 : orvidex_fault_stub_rsp8);
    context->Rcx = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

#elif defined(__i386__)

// The return address arrives in edx and the code in ecx; the stub aligns the stack for the
// call, as GCC's code expects, and its unwind table tells how to reach the faulting frame.
extern "C" void orvidex_fault_stub();

asm(R"(
    .text
    .p2align 4
    .globl _orvidex_fault_stub
    .def _orvidex_fault_stub; .scl 2; .type 32; .endef
_orvidex_fault_stub:
    pushl %edx
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    andl $-16, %esp
    subl $12, %esp
    pushl %ecx
    call _orvidex_throw_structured_exception
    int3
    .cfi_endproc
)");

// libgcc's own lookup of the unwind table entry that covers an address.
struct DwarfEhBases {
    void* tbase;
    void* dbase;
    void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases);

namespace {

// The DWARF unwinder knows our image's tables only: a throw can start where they cover the
// faulting instruction, nowhere else.
bool CanUnwindFrom(const void* address)
{
    DwarfEhBases bases;
    return IsInOwnImage(address) && _Unwind_Find_FDE(const_cast<void*>(address), &bases) != nullptr;
}

LONG RedirectToThrow(EXCEPTION_POINTERS* pointers)
{
    CONTEXT* context = pointers->ContextRecord;
    context->Edx = context->Eip + 1;
    context->Eip = reinterpret_cast<DWORD>(orvidex_fault_stub);
    context->Ecx = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

// Frames of other modules carry no tables for our unwinder, so a fault in them is caught at
// the call that entered them, as a __try block would catch it: the guard's frame registers a
// handler in the thread's chain, which lets the other module's own handlers unwind (RtlUnwind)
// and resumes the guard's frame with the code. Returns 1 then, 0 when run returned.
extern "C" int orvidex_call_guarded(void (*run)(void*), void* context, uint32_t* code);

asm(R"(
    .text
    .p2align 4
    .globl _orvidex_call_guarded
    .def _orvidex_call_guarded; .scl 2; .type 32; .endef
_orvidex_call_guarded:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl %ebp                      # record + 8: this frame, for the way back
    pushl $_orvidex_guard_handler   # record + 4
    pushl %fs:0                     # record + 0: the next record
    movl %esp, %fs:0
    andl $-16, %esp
    subl $12, %esp
    pushl 12(%ebp)
    call *8(%ebp)
    leal -24(%ebp), %esp
    xorl %eax, %eax
.Lorvidex_guard_leave:
    popl %fs:0
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret

    .p2align 4
    .def _orvidex_guard_handler; .scl 3; .type 32; .endef
_orvidex_guard_handler:
    movl 4(%esp), %eax              # the exception record
    testl $6, 4(%eax)               # unwinding: nothing to do here
    jnz 1f
    pushl %ebp                      # a fault of our own code that no vectored handler took:
    movl %esp, %ebp                 # thrown where it happened, as that handler would
    andl $-16, %esp
    subl $8, %esp
    pushl 16(%ebp)                  # the context
    pushl 8(%ebp)                   # the record
    call _orvidex_redirect_own_fault
    movl %ebp, %esp
    popl %ebp
    testl %eax, %eax
    jz 3f
    xorl %eax, %eax                 # ExceptionContinueExecution
    ret
3:  movl 4(%esp), %eax
    movl 8(%esp), %ecx              # our record
    pushl (%eax)                    # code and record kept on the stack: RtlUnwind may
    pushl %ecx                      # change any register but esp
    pushl $0
    pushl %eax
    pushl $2f
    pushl %ecx
    call _RtlUnwind@16
2:  popl %ecx
    popl %edx
    movl %ecx, %esp
    movl 8(%ecx), %ebp
    movl 16(%ebp), %eax
    movl %edx, (%eax)
    movl $1, %eax
    jmp .Lorvidex_guard_leave
1:  movl $1, %eax                   # ExceptionContinueSearch
    ret
)");

#else
#error "structured exception translation is written for x86 and x86_64"
#endif

namespace {

ULONG_PTR InstructionPointer(const CONTEXT* context)
{
#if defined(__x86_64__)
    return context->Rip;
#else
    return context->Eip;
#endif
}

// Runs before any frame's own handler, so it takes only faults of our own code: system
// functions that catch faults themselves (IsBadReadPtr, lstrlenA) must still see theirs.
LONG CALLBACK TranslateOwnFaults(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const void* at = reinterpret_cast<const void*>(InstructionPointer(pointers->ContextRecord));
    if (!IsTranslatedStructuredException(record->ExceptionCode) || !CanRedirect(record) ||
        !IsInOwnImage(record->ExceptionAddress) || !CanUnwindFrom(at))
        return EXCEPTION_CONTINUE_SEARCH;
    return RedirectToThrow(pointers);
}

LONG WINAPI ReportUnhandledException(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // An uncaught C++ exception: libgcc calls std::terminate once RaiseException returns,
    // as the runtime's own filter lets it.
    if (IsGccUnwindCode(record->ExceptionCode))
        return (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) ? EXCEPTION_CONTINUE_SEARCH
                                                                    : EXCEPTION_CONTINUE_EXECUTION;
    if (CanRedirect(record) && CanUnwindFrom(reinterpret_cast<const void*>(InstructionPointer(pointers->ContextRecord))))
        return RedirectToThrow(pointers);
    if (fatalFaultHandler)
        fatalFaultHandler(StructuredException(record->ExceptionCode));
    // No crash dialog: end the process with the exception code.
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

namespace {

using AddVectoredHandler = PVOID(WINAPI*)(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);

// Windows XP and later have vectored handlers; the program must load without them.
AddVectoredHandler FindAddVectoredExceptionHandler()
{
    static const DllLoader kernel32(true, AnsiString("kernel32.dll"), true);
    if (!kernel32.module)
        return nullptr;
    try {
        return reinterpret_cast<AddVectoredHandler>(
            reinterpret_cast<void*>(DllLoader::GetProcAddress(kernel32.module, "AddVectoredExceptionHandler")));
    } catch (const std::exception&) {
        return nullptr;
    }
}

bool AddOwnFaultsHandler(OwnFaults ownFaults)
{
    if (ownFaults != OwnFaults::VectoredWhereAvailable)
        return false;
    const AddVectoredHandler add = FindAddVectoredExceptionHandler();
    return add && add(1, TranslateOwnFaults);
}

} // namespace

void InstallStructuredExceptionTranslator(OwnFaults ownFaults)
{
    static const bool vectored = AddOwnFaultsHandler(ownFaults);
    (void)vectored;
    SetUnhandledExceptionFilter(ReportUnhandledException);
}

#if defined(__i386__)

// The guard's frame handler asks first whether the fault is one of our own code that it can
// throw where it happened: 1 when the context now continues into the throw.
extern "C" int orvidex_redirect_own_fault(EXCEPTION_RECORD* record, CONTEXT* context)
{
    EXCEPTION_POINTERS pointers{record, context};
    return TranslateOwnFaults(&pointers) == EXCEPTION_CONTINUE_EXECUTION;
}

namespace {

struct ForeignCall {
    void (*body)(void*);
    void* context;
    std::exception_ptr thrown;
};

// No C++ exception may cross the guard's frame, which has no unwind table: it is carried
// across instead.
void RunForeignCall(void* call) noexcept
{
    auto* c = static_cast<ForeignCall*>(call);
    try {
        c->body(c->context);
    } catch (...) {
        c->thrown = std::current_exception();
    }
}

} // namespace

void CallForeignCode(void (*body)(void*), void* context)
{
    ForeignCall call{body, context, nullptr};
    uint32_t code = 0;
    if (orvidex_call_guarded(RunForeignCall, &call, &code))
        StructuredExceptionTranslator(code, nullptr);
    if (call.thrown)
        std::rethrow_exception(call.thrown);
}

#else

// Windows' unwinder walks foreign frames: the unhandled-exception filter throws from the fault
// itself.
void CallForeignCode(void (*body)(void*), void* context)
{
    body(context);
}

#endif
