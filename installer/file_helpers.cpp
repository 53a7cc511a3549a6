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

std::string GetProgramFilesDir()
{
    try {
        return ReadRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
    } catch (const std::exception&) {
        return "C:\\Program Files";
    }
}
