// Small file-system questions of the installer, on narrow (ANSI) paths.
#pragma once

#include <string>

// dir + name with one backslash between, none added after a trailing '\\', '/' or ':'
// ("C:" + "x" is the drive-relative "C:x"); an empty dir gives "\\" + name.
std::string CombinePath(const std::string& dir, const std::string& name);
// Anything by that name: a file or a directory.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// A directory with nothing but "." and "..", or one that cannot be searched.
bool IsDirectoryEmpty(const std::string& dir);
// A whole file's bytes; false, with the last error set, when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Replaces a file's content by bytes; false, with the last error set, on failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
// The system's Program Files folder, else "C:\\Program Files".
std::string GetProgramFilesDir();
