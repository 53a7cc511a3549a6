/* Preloaded into the emulated 32-bit Wine loader (scripts/i686-root).
 *
 * qemu-i386 delivers a guest's fault signals with an invalid trap number in the signal
 * context, and Wine picks the exception code by that number: every access violation would
 * arrive as an illegal instruction and every integer division by zero as a floating-point
 * fault. This library wraps the fault handlers Wine installs and fills in the trap number the
 * processor would have given, from the signal and its si_code. It is built without a C library
 * of its own (the machine has none for i386): the few glibc functions it calls are found in
 * the process at load time. */

typedef void (*handler_t)(int, void*, void*);

/* glibc's i386 struct sigaction. */
struct kaction {
    handler_t handler;
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

#define RTLD_NEXT ((void*)-1l)
#define SA_SIGINFO 4
#define SIGILL 4
#define SIGTRAP 5
#define SIGBUS 7
#define SIGFPE 8
#define SIGSEGV 11
#define NSIG 65

/* Offsets in glibc's i386 siginfo_t and ucontext_t (gregs[REG_TRAPNO]). */
#define SI_CODE(info) (((int*)(info))[2])
#define TRAPNO(uc) (*(int*)((char*)(uc) + 20 + 12 * 4))

void* dlsym(void*, const char*);
int unsetenv(const char*);

static handler_t wine_handlers[NSIG];

static int trap_number(int sig, int code)
{
    switch (sig) {
    case SIGSEGV: return (code == 1 || code == 2) ? 14 : 13; /* page fault, else protection */
    case SIGFPE: return code == 1 ? 0 : code == 2 ? 4 : 16;  /* divide, overflow, x87 */
    case SIGILL: return 6;                                   /* invalid opcode */
    case SIGTRAP: return code == 2 ? 1 : 3;                  /* single step, breakpoint */
    case SIGBUS: return 17;                                  /* alignment check */
    }
    return -1;
}

static void fix_trap(int sig, void* info, void* uc)
{
    int trap = TRAPNO(uc);
    if (trap < 0 || trap > 31)
        TRAPNO(uc) = trap_number(sig, SI_CODE(info));
    wine_handlers[sig](sig, info, uc);
}

int sigaction(int sig, const struct kaction* act, struct kaction* old)
{
    static int (*real)(int, const struct kaction*, struct kaction*);
    if (!real)
        real = (int (*)(int, const struct kaction*, struct kaction*))dlsym(RTLD_NEXT, "sigaction");
    if (act && (act->flags & SA_SIGINFO) && sig > 0 && sig < NSIG && trap_number(sig, 0) >= 0) {
        struct kaction wrapped = *act;
        wine_handlers[sig] = act->handler;
        wrapped.handler = fix_trap;
        return real(sig, &wrapped, old);
    }
    return real(sig, act, old);
}

/* Programs that Wine starts must not inherit the preload: the 64-bit ones cannot load it, and
 * the 32-bit ones get it again from the loader's wrapper. */
__attribute__((constructor)) static void forget_preload(void)
{
    unsetenv("LD_PRELOAD");
}
