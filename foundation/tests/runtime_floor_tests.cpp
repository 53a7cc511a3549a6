#include "foundation/runtime_floor.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>

namespace {

using Fstat64 = int(__cdecl*)(int, struct _stat64*);

// msvcrt.dll's own _fstat64, which this system exports: the answers to match.
Fstat64 SystemFstat64()
{
    return reinterpret_cast<Fstat64>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_fstat64")));
}

std::string TemporaryFile(const char* name, const char* content)
{
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    const std::string path = std::string(directory) + name;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fputs(content, file);
    std::fclose(file);
    return path;
}

void ExpectSameStatus(int fd, const char* what)
{
    SCOPED_TRACE(what);
    struct _stat64 ours {}, system {};
    ASSERT_EQ(SystemFstat64()(fd, &system), 0);
    ASSERT_EQ(FileStatus64(fd, &ours), 0);
    EXPECT_EQ(ours.st_mode, system.st_mode);
    EXPECT_EQ(ours.st_size, system.st_size);
    EXPECT_EQ(ours.st_nlink, system.st_nlink);
    EXPECT_EQ(ours.st_mtime, system.st_mtime);
}

TEST(RuntimeFloorTest, FileStatusAnswersAsTheSystemsRuntime)
{
    ASSERT_NE(SystemFstat64(), nullptr);
    const std::string path = TemporaryFile("orvidex-floor-file.txt", "12345");
    const std::string readOnly = TemporaryFile("orvidex-floor-read-only.txt", "");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);

    const int file = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    const int empty = _open(readOnly.c_str(), _O_RDONLY | _O_BINARY);
    const int device = _open("NUL", _O_RDONLY);
    int pipe[2];
    ASSERT_EQ(_pipe(pipe, 64, _O_BINARY), 0);
    ExpectSameStatus(file, "regular file");
    ExpectSameStatus(empty, "read-only empty file");
    ExpectSameStatus(device, "character device");
    ExpectSameStatus(pipe[0], "pipe");

    for (int fd : {file, empty, device, pipe[0], pipe[1]})
        _close(fd);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(readOnly.c_str());
    DeleteFileA(path.c_str());

    struct _stat64 status {};
    errno = 0;
    EXPECT_EQ(FileStatus64(file, &status), -1);
    EXPECT_EQ(errno, EBADF);
}

#if defined(__i386__)
TEST(RuntimeFloorTest, TheLibrariesCallOursInsteadOfTheSystemsRuntime)
{
    // A 32-bit call of _fstat64 goes through the import slot that runtime_floor.cpp fills.
    EXPECT_EQ(reinterpret_cast<void*>(&_fstat64), reinterpret_cast<void*>(&FileStatus64));
}
#endif

} // namespace
