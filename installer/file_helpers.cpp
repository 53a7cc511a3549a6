#include "installer/file_helpers.h"

#include "RoVodEre/ScopeGuard.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <windows.h>

#include <cstring>
#include <exception>

std::string CombinePath(const std::string& dir, const std::string& name)
{
    if (!dir.empty()) {
        const char last = dir.back();
        if (last == '\\' || last == '/' || last == ':')
            return dir + name;
    }
    return dir + "\\" + name;
}

bool PathExists(const std::string& path)
{
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsDirectoryEmpty(const std::string& dir)
{
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA(CombinePath(dir, "*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    const auto closeSearch = MakeGuard(FindClose, search);
    do {
        if (std::strcmp(data.cFileName, ".") != 0 && std::strcmp(data.cFileName, "..") != 0)
            return false;
    } while (FindNextFileA(search, &data));
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes)
{
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const auto closeFile = MakeGuard(CloseHandle, file);
    DWORD high = 0;
    const DWORD size = GetFileSize(file, &high);
    if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    // Only small files (links) are kept this way.
    if (high != 0 || size > 64 * 1024 * 1024) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    bytes.resize(size);
    DWORD read = 0;
    if (!bytes.empty() && !ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
        return false;
    if (read != bytes.size()) {
        SetLastError(ERROR_READ_FAULT);
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes)
{
    try {
        ReplaceWithWrittenFile(path, [&](const std::string& temporary) {
            const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                throw FileWriteError(path, "CreateFileA", GetLastError());
            const auto closeFile = MakeGuard(CloseHandle, file);
            DWORD written = 0;
            if (!bytes.empty() && !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
                throw FileWriteError(path, "WriteFile", GetLastError());
            if (written != bytes.size())
                throw FileWriteError(path, "WriteFile", ERROR_WRITE_FAULT);
        });
    } catch (const FileWriteError& e) {
        SetLastError(e.error);
        return false;
    }
    return true;
}

std::string TemporaryPathFor(const std::string& path) { return path + ".new"; }

FileWriteError::FileWriteError(const std::string& path, const char* call, unsigned long errorCode)
    : error(errorCode), message_("Writing '" + path + "' failed: ")
{
    reasonStart_ = message_.size();
    message_ += std::string(call) + "() failed: " + OsErrorExceptionText(errorCode);
}

void MoveIntoPlace(const std::string& temporary, const std::string& path)
{
    // One rename that replaces the file, on the NT family. Looked up at run time: the other
    // platforms' kernel32 lacks it or fails it, and there the old file goes first.
    using MoveFileExFunction = BOOL(WINAPI*)(const char*, const char*, DWORD);
    const auto moveFileEx = reinterpret_cast<MoveFileExFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "MoveFileExA")));
    if (moveFileEx) {
        if (moveFileEx(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
            return;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
            throw FileWriteError(path, "MoveFileExA", GetLastError());
    }
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        throw FileWriteError(path, "DeleteFileA", GetLastError());
    if (!MoveFileA(temporary.c_str(), path.c_str()))
        throw FileWriteError(path, "MoveFileA", GetLastError());
}

void RemoveTemporary(const std::string& temporary)
{
    const DWORD error = GetLastError();  // a failure being reported must keep its code
    DeleteFileA(temporary.c_str());
    SetLastError(error);
}

std::string AbsoluteDirectoryPath(const std::string& dir)
{
    if (dir.empty())
        return dir;
    const DWORD needed = GetFullPathNameA(dir.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return dir;
    std::string full(needed, '\0');
    const DWORD length = GetFullPathNameA(dir.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return dir;
    full.resize(length);
    // A root keeps its backslash: a drive's (C:\) and a share's (\\server\share\).
    size_t rootLength = 0;
    if (full.size() >= 3 && full[1] == ':' && full[2] == '\\') {
        rootLength = 3;
    } else if (full.compare(0, 2, "\\\\") == 0) {
        const size_t share = full.find('\\', 2);
        const size_t end = share == std::string::npos ? std::string::npos : full.find('\\', share + 1);
        rootLength = end == std::string::npos ? full.size() : end + 1;
    }
    while (full.size() > rootLength && full.back() == '\\')
        full.pop_back();
    return full;
}

std::string GetProgramFilesDir()
{
    try {
        return ReadRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
    } catch (const std::exception&) {
        return "C:\\Program Files";
    }
}
