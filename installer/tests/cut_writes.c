/* Preloaded (LD_PRELOAD) into the Wine processes of the interrupted-reinstallation test.
 * In the process whose command line names ORVIDEX_CUT_PROGRAM, it numbers the writes of the
 * main thread (write, writev and pwrite, each counted on its own) and then either
 *   logs each one to the file ORVIDEX_CUT_LOG: "<call> <number> <target> <first bytes>", the
 *   target being what the descriptor names (a file, a pipe to the wineserver), or
 *   kills the process with SIGKILL as it enters the write ORVIDEX_CUT_AT ("<call> <number>").
 * Every registry change and file operation of a Wine program is a request written to the
 * wineserver, and every piece of file data or console output a write of its own, so these
 * numbers name points anywhere in a run. Test support only: no product program loads it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

enum { CallWrite, CallWritev, CallPwrite, CallCount };
static const char* const callNames[CallCount] = {"write", "writev", "pwrite"};

static int state; /* 0 not decided, 1 counting, 2 not this process */
static unsigned long counts[CallCount];
static int cutCall = -1;
static unsigned long cutNumber;
static int logFd = -1;

static ssize_t (*realWrite)(int, const void*, size_t);

static void decide(void)
{
    const char* program = getenv("ORVIDEX_CUT_PROGRAM");
    char line[4096];
    ssize_t length = 0;
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        length = read(fd, line, sizeof line - 1);
        close(fd);
    }
    state = 2;
    if (!program || length <= 0)
        return;
    for (ssize_t i = 0; i < length; ++i)
        if (line[i] == '\0')
            line[i] = ' ';
    line[length] = '\0';
    if (!strstr(line, program))
        return;
    state = 1;
    const char* at = getenv("ORVIDEX_CUT_AT");
    if (at) {
        char name[16];
        if (sscanf(at, "%15s %lu", name, &cutNumber) == 2)
            for (int c = 0; c < CallCount; ++c)
                if (strcmp(name, callNames[c]) == 0)
                    cutCall = c;
    }
    const char* log = getenv("ORVIDEX_CUT_LOG");
    if (log)
        logFd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
}

static void note(int call, int fd, const void* bytes, size_t length)
{
    if (!realWrite)
        realWrite = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (state == 0)
        decide();
    if (state != 1 || syscall(SYS_gettid) != getpid())
        return;
    const unsigned long number = ++counts[call];
    if (call == cutCall && number == cutNumber)
        kill(getpid(), SIGKILL);
    if (logFd < 0)
        return;
    char link[64], target[1024], text[2048];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t targetLength = readlink(link, target, sizeof target - 1);
    target[targetLength > 0 ? targetLength : 0] = '\0';
    /* The first bytes, printable, for telling console lines apart. */
    char sample[41];
    size_t n = length < 40 ? length : 40;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = ((const unsigned char*)bytes)[i];
        sample[i] = c >= 32 && c < 127 && c != '\t' ? (char)c : '.';
    }
    sample[n] = '\0';
    const int size = snprintf(text, sizeof text, "%s\t%lu\t%s\t%s\n", callNames[call], number, target, sample);
    if (size > 0)
        realWrite(logFd, text, (size_t)size < sizeof text ? (size_t)size : sizeof text - 1);
}

ssize_t write(int fd, const void* bytes, size_t length)
{
    note(CallWrite, fd, bytes, length);
    return realWrite(fd, bytes, length);
}

ssize_t writev(int fd, const struct iovec* vector, int count)
{
    static ssize_t (*realWritev)(int, const struct iovec*, int);
    if (!realWritev)
        realWritev = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "writev");
    note(CallWritev, fd, count > 0 ? vector[0].iov_base : "", count > 0 ? vector[0].iov_len : 0);
    return realWritev(fd, vector, count);
}

static ssize_t positionedWrite(const char* name, int fd, const void* bytes, size_t length, off_t offset)
{
    ssize_t (*realPwrite)(int, const void*, size_t,
                          off_t) = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, name);
    note(CallPwrite, fd, bytes, length);
    return realPwrite(fd, bytes, length, offset);
}

ssize_t pwrite(int fd, const void* bytes, size_t length, off_t offset)
{
    return positionedWrite("pwrite", fd, bytes, length, offset);
}

ssize_t pwrite64(int fd, const void* bytes, size_t length, off_t offset)
{
    return positionedWrite("pwrite64", fd, bytes, length, offset);
}
