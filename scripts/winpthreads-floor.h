/* Forced into every file of the thread library as scripts/setup builds it for the shipped
   32-bit program, which must load on Windows NT 4.0. The library's only calls newer than that
   are the vectored exception handlers of Windows XP, with which it names threads for a
   debugger; they are looked up at run time here, and without them a thread goes unnamed, as
   the library already does when the handler cannot be added. (Built for _WIN32_WINNT 0x0400, it
   measures time with QueryPerformanceCounter instead of Vista's GetTickCount64.) */
#include <windows.h>

static inline FARPROC floor_kernel32_entry(const char *name)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    return kernel32 ? GetProcAddress(kernel32, name) : NULL;
}

static inline PVOID WINAPI floor_AddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler)
{
    typedef PVOID(WINAPI * Add)(ULONG, PVECTORED_EXCEPTION_HANDLER);
    Add add = (Add)(void *)floor_kernel32_entry("AddVectoredExceptionHandler");
    return add ? add(first, handler) : NULL;
}

static inline ULONG WINAPI floor_RemoveVectoredExceptionHandler(PVOID handle)
{
    typedef ULONG(WINAPI * Remove)(PVOID);
    Remove remove = (Remove)(void *)floor_kernel32_entry("RemoveVectoredExceptionHandler");
    return remove ? remove(handle) : 0;
}

#define AddVectoredExceptionHandler floor_AddVectoredExceptionHandler
#define RemoveVectoredExceptionHandler floor_RemoveVectoredExceptionHandler
