// The fifteen files of the product, carried as zlib-compressed resources of type "BINARY"
// and written into the installation directory.
#pragma once

#include "installer/install_step.h"

#include <cstddef>
#include <optional>
#include <string>

// One payload file: written from its resource, deleted again in a rollback unless it
// existed before.
class PayloadFileStep : public InstallStep {
public:
    // An empty path means the uninstaller's path. Throws SilentExit with 104 for an existing
    // file that may not be overwritten, InstallError for a missing resource or a bad stream,
    // and FileWriteError for a file that cannot be written.
    PayloadFileStep(int resourceId, const std::string& path);
    ~PayloadFileStep();

private:
    void Write(int resourceId);

    std::string path;
};

// Puts the decompressed bytes of the resource at path, whole or not at all: an earlier file
// there stays as it was until the new one is complete (ReplaceWithWrittenFile). Throws
// InstallError for a missing resource or a bad stream and FileWriteError for a file that
// cannot be written; every message names the file.
void WritePayloadFile(int resourceId, const std::string& path);

struct PayloadFile {
    int resourceId;
    const char* fileName;  // empty: the uninstaller
};

constexpr size_t PayloadFileCount = 15;
extern const PayloadFile PayloadFiles[PayloadFileCount];

// The fifteen steps, written in table order and rolled back in reverse. The list starts
// empty and is filled one file at a time, so that the installer can journal it before the
// first file is written: a run that ends without unwinding still undoes the files written.
class PayloadFileList {
public:
    // Writes the file of table entry index; entries are written in table order.
    void Write(size_t index);
    void Commit();

private:
    static std::string TargetPath(size_t index);

    // Destroyed in reverse table order: the uninstaller first, "Orvidex.exe" last.
    std::optional<PayloadFileStep> steps[PayloadFileCount];
};
