#include "installer/file_helpers.h"

#include "RoVodEre/ScopeGuard.h"
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
    const HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const auto closeFile = MakeGuard(CloseHandle, file);
    DWORD written = 0;
    if (!bytes.empty() && !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return false;
    if (written != bytes.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return true;
}

std::string GetProgramFilesDir()
{
    try {
        return ReadRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
    } catch (const std::exception&) {
        return "C:\\Program Files";
    }
}
