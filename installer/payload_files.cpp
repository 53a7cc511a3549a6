#include "installer/payload_files.h"

#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/reboot_delete.h"

#include <cryptopp/files.h>
#include <cryptopp/zlib.h>

#include <windows.h>

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

void PayloadFileList::Commit()
{
    for (PayloadFileStep& step : steps)
        step.Commit();
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
    Write(resourceId, existed);
    CancelPendingDelete(path);
}

namespace {

[[noreturn]] void ThrowResourceError(const char* call)
{
    throw InstallError(std::string(call) + " failed: " + OsErrorExceptionText(GetLastError()));
}

} // namespace

void WritePayloadFile(int resourceId, const std::string& path)
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
    // The file is created or truncated here and closed when the decompressor goes. Its
    // writes need no gathering: one write per file measured no faster under Wine.
    CryptoPP::ZlibDecompressor decompressor(new CryptoPP::FileSink(path.c_str(), true));
    decompressor.Put(static_cast<const CryptoPP::byte*>(bytes), size);
    decompressor.MessageEnd();
}

void PayloadFileStep::Write(int resourceId, bool existed)
{
    try {
        WritePayloadFile(resourceId, path);
    } catch (...) {
        // A file this step created must not stay behind half written; no rollback covers it,
        // since a step whose constructor throws is never destroyed.
        if (!existed)
            DeleteFileA(path.c_str());
        throw;
    }
}

PayloadFileStep::~PayloadFileStep()
{
    if (ShouldRollBack(true))
        RemoveCreatedObject(FileSystemObject::PayloadFile, path);
}
