// Small file-system questions of the installer, on narrow (ANSI) paths.
#pragma once

#include <cstddef>
#include <exception>
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
// Replaces a file's content by bytes, whole or not at all (see ReplaceWithWrittenFile);
// false, with the last error set, on failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// The name beside path under which its new content is written before it replaces path.
std::string TemporaryPathFor(const std::string& path);
// The failure of a file being written: which file, which call, and the system's reason.
class FileWriteError : public std::exception {
public:
    FileWriteError(const std::string& path, const char* call, unsigned long error);
    // "Writing '<path>' failed: " + Reason()
    const char* what() const noexcept override { return message_.c_str(); }
    // "<call>() failed: OS error <code>: <text>"
    std::string Reason() const { return message_.substr(reasonStart_); }
    unsigned long error;

private:
    std::string message_;
    size_t reasonStart_;
};
// Puts a file in place whole or not at all: write(temporary) creates TemporaryPathFor(path)
// anew (over a stale one that an interrupted run left) and writes the new content to it,
// which then takes the place of path in one rename, so an interruption or a failed write
// leaves path as it was. On failure the temporary is removed and the exception passes on; a
// failed rename throws FileWriteError.
template <class Write>
void ReplaceWithWrittenFile(const std::string& path, Write&& write);
void MoveIntoPlace(const std::string& temporary, const std::string& path);
void RemoveTemporary(const std::string& temporary);

// The directory as an absolute, canonical path: relative to the current directory, with
// forward slashes, "." and ".." components, trailing dots and blanks resolved the way the
// system resolves them, and no trailing backslash except a root's. Unchanged when the
// system cannot resolve it (the directory step then reports the path as given).
std::string AbsoluteDirectoryPath(const std::string& dir);
// The system's Program Files folder, else "C:\\Program Files".
std::string GetProgramFilesDir();

template <class Write>
void ReplaceWithWrittenFile(const std::string& path, Write&& write)
{
    const std::string temporary = TemporaryPathFor(path);
    try {
        write(temporary);
        MoveIntoPlace(temporary, path);
    } catch (...) {
        RemoveTemporary(temporary);
        throw;
    }
}
