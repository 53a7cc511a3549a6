#include "installer/payload_files.h"

#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/reboot_delete.h"

#include <cryptopp/filters.h>
#include <cryptopp/zlib.h>

#include <windows.h>

#include <algorithm>
#include <string>

const PayloadFile PayloadFiles[PayloadFileCount] = {
    {103, "Orvidex.exe"},
    {104, "raridava.exe"},
    {105, "rivurere.exe"},
    {130, "zirazove.exe"},
    {125, "duzaz.exe"},
    {108, "scp.exe"},
    {106, "zidovi.exe"},
    {107, "mlterms.exe"},
    {131, "ocfg.exe"},
    {132, "OrvidexCfgManip.dll"},
    {136, "mlPwd.exe"},
    {133, "mlRun.exe"},
    {134, "SftpPluginSample.dll"},
    {135, "SftpPluginSample.cpp"},
    {110, ""},
};

std::string PayloadFileList::TargetPath(size_t index)
{
    const std::string name = PayloadFiles[index].fileName;
    return name.empty() ? std::string() : CombinePath(installerState.installDir, name);
}

void PayloadFileList::Write(size_t index)
{
    steps[index].emplace(PayloadFiles[index].resourceId, TargetPath(index));
}

void PayloadFileList::Commit()
{
    for (std::optional<PayloadFileStep>& step : steps)
        if (step)
            step->Commit();
}

PayloadFileStep::PayloadFileStep(int resourceId, const std::string& target)
    : path(target.empty() ? installerState.uninstallerPath : target)
{
    if (_stricmp(path.c_str(), installerState.mainExePath.c_str()) == 0)
        AppendUninstallClause("-delMainFile=" + path);
    else
        AppendUninstallClause("-delFile=" + path);

    const bool existed = PathExists(path);
    if (existed) {
        committed = true;  // it was there before: never deleted, also when overwritten
        PassOrAbort({"Warning: '" + path +
                         "' already exists.\nDo you want it to be overwritten?\nClicking 'Yes' will overwrite the "
                         "file, clicking 'No' will abort the installation.",
                     "Target File Exists", "file already exists",
                     "Warning: '" + path + "' already exists, will be overwritten",
                     "Target file '" + path + "' already exists, aborting", ExitPayloadExists});
    }
    PrintLine("Installing " + path);
    Write(resourceId);
    CancelPendingDelete(path);
}

namespace {

[[noreturn]] void ThrowResourceError(const char* call)
{
    throw InstallError(std::string(call) + " failed: " + OsErrorExceptionText(GetLastError()));
}

// The end of the decompressor: writes what arrives into an open file and reports a failed
// write with the file it was meant for and the system's reason.
class FileWriter : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    // file is written; target names it in messages.
    FileWriter(const std::string& file, const std::string& target) : target_(target)
    {
        handle_ = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            throw FileWriteError(target_, "CreateFileA", GetLastError());
    }
    ~FileWriter() override { Close(); }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    size_t Put2(const CryptoPP::byte* bytes, size_t length, int messageEnd, bool) override
    {
        while (length > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(handle_, bytes, chunk, &written, nullptr))
                throw FileWriteError(target_, "WriteFile", GetLastError());
            if (written == 0)
                throw FileWriteError(target_, "WriteFile", ERROR_WRITE_FAULT);
            bytes += written;
            length -= written;
        }
        // A write the system held back can still fail when the file is closed.
        if (messageEnd && !Close())
            throw FileWriteError(target_, "CloseHandle", GetLastError());
        return 0;
    }

private:
    bool Close()
    {
        if (handle_ == INVALID_HANDLE_VALUE)
            return true;
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) != 0;
    }

    std::string target_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Decompresses the resource into file, naming target in messages.
void Decompress(int resourceId, const std::string& file, const std::string& target)
{
    const HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(resourceId), "BINARY");
    if (!resource)
        ThrowResourceError("FindResourceA()");
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    if (!loaded)
        ThrowResourceError("LoadResource()");
    const void* bytes = LockResource(loaded);
    if (!bytes)
        ThrowResourceError("LockResource()");
    const DWORD size = SizeofResource(nullptr, resource);
    if (size == 0)
        ThrowResourceError("SizeofResource()");
    try {
        // The file is closed when the decompressor goes. Its writes need no gathering: one
        // write per file measured no faster under Wine.
        CryptoPP::ZlibDecompressor decompressor(new FileWriter(file, target));
        decompressor.Put(static_cast<const CryptoPP::byte*>(bytes), size);
        decompressor.MessageEnd();
    } catch (const CryptoPP::Exception& e) {
        throw InstallError("Writing '" + target + "' failed: decompressing resource " + std::to_string(resourceId) +
                           " failed: " + e.what());
    }
}

} // namespace

void WritePayloadFile(int resourceId, const std::string& path)
{
    ReplaceWithWrittenFile(path, [&](const std::string& temporary) { Decompress(resourceId, temporary, path); });
}

void PayloadFileStep::Write(int resourceId)
{
    // The file is never seen half written: the step's own file or the earlier one stays
    // whole until the new content is complete. No rollback covers a failure here, since a
    // step whose constructor throws is never destroyed.
    WritePayloadFile(resourceId, path);
}

PayloadFileStep::~PayloadFileStep()
{
    if (ShouldRollBack(true))
        RemoveCreatedObject(FileSystemObject::PayloadFile, path);
}
