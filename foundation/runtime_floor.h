// What the toolchain's libraries call in the C runtime that msvcrt.dll of Windows NT 4.0 and
// 2000 lacks, provided by the program itself so that it loads there. The 32-bit programs link
// runtime_floor.cpp, which puts each function into the import slot the libraries call through;
// the functions are built on calls that every supported system exports.
#pragma once

#include <sys/stat.h>

// _fstat64 (msvcrt.dll of Windows XP and later), which libstdc++'s file streams call to learn
// whether a file is a regular one and how large it is: the type, size, link count, read-only
// state and times of an open descriptor, as msvcrt.dll reports them. -1 with errno EBADF for a
// descriptor that is not open.
int FileStatus64(int fd, struct _stat64* status);
