#include "foundation/runtime_floor.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <io.h>

namespace {

// Seconds since 1970 from a FILETIME (100-nanosecond units since 1601).
__time64_t UnixTime(const FILETIME& time)
{
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    const uint64_t unixEpoch = 116444736000000000ull;
    return ticks < unixEpoch ? 0 : static_cast<__time64_t>((ticks - unixEpoch) / 10000000u);
}

} // namespace

int FileStatus64(int fd, struct _stat64* status)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    std::memset(status, 0, sizeof *status);
    status->st_nlink = 1;
    switch (GetFileType(handle) & ~FILE_TYPE_REMOTE) {
    case FILE_TYPE_CHAR:
        status->st_mode = _S_IFCHR;
        status->st_dev = status->st_rdev = static_cast<_dev_t>(fd);
        return 0;
    case FILE_TYPE_PIPE:
        status->st_mode = _S_IFIFO;
        status->st_dev = status->st_rdev = static_cast<_dev_t>(fd);
        return 0;
    case FILE_TYPE_DISK:
        break;
    default:
        errno = EBADF;
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        errno = EBADF;
        return -1;
    }
    unsigned short mode = _S_IREAD;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        mode |= _S_IWRITE;
    mode |= (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? _S_IFDIR | _S_IEXEC : _S_IFREG;
    // The owner's permissions stand for the group's and everyone's too.
    status->st_mode = static_cast<unsigned short>(mode | ((mode & 0700) >> 3) | ((mode & 0700) >> 6));
    status->st_nlink = static_cast<short>(info.nNumberOfLinks);
    status->st_size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status->st_atime = UnixTime(info.ftLastAccessTime);
    status->st_mtime = UnixTime(info.ftLastWriteTime);
    status->st_ctime = UnixTime(info.ftCreationTime);
    return 0;
}

#if defined(__i386__)
// The import slot libstdc++ calls _fstat64 through: with it defined here, the linker takes no
// _fstat64 from msvcrt.dll.
extern "C" __attribute__((used)) int(__cdecl* const orvidexFstat64Slot)(int, struct _stat64*) __asm__(
    "__imp___fstat64") = FileStatus64;
#endif
