#include "installer/file_association.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/exceptions.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <cstring>
#include <exception>

namespace {

const char ClassesKeyPath[] = "SOFTWARE\\Classes";

} // namespace

std::string ReadableProgId(const std::string& progId)
{
    std::string readable = progId;
    const size_t firstDot = readable.find('.');
    if (firstDot == std::string::npos)
        return progId;
    readable[firstDot] = ' ';
    const size_t secondDot = readable.find('.', firstDot + 1);
    if (secondDot == std::string::npos)
        return progId;
    readable[secondDot] = ' ';
    const size_t lastDot = readable.rfind('.');
    if (lastDot == std::string::npos)
        return progId;
    readable[lastDot] = ' ';
    return readable;
}

FileAssociationStep::FileAssociationStep(const std::string& progId, const std::string& extension,
                                         const std::string& description, const std::string& defaultIcon,
                                         const std::vector<FileAssociationVerb>& verbs)
    : progIdKeyPath(CombinePath(ClassesKeyPath, progId)),
      extensionKeyPath(CombinePath(ClassesKeyPath, extension)),
      extension(extension)
{
    Register(progId, description, defaultIcon, verbs);
}

bool FileAssociationStep::Register(const std::string& progId, const std::string& description,
                                   const std::string& defaultIcon, const std::vector<FileAssociationVerb>& verbs)
{
    std::string current;
    try {
        current = ReadRegString(HKEY_LOCAL_MACHINE, extensionKeyPath, "");
    } catch (const std::exception&) {
    }
    if (!current.empty() && _stricmp(current.c_str(), progId.c_str()) != 0) {
        PrintLine("Extension '" + extension + "' already associated with " + ReadableProgId(current));
    } else {
        PrintLine("Registering file association for extension " + extension);
        extensionWasOurs = !current.empty();
        if (!WriteKey(extensionKeyPath, progId))
            return false;
        AppendUninstallClause("-delRegKey=HKEY_LOCAL_MACHINE\\" + extensionKeyPath);
        extensionWritten = true;
    }

    if (!WriteKey(progIdKeyPath, description) || !WriteKey(progIdKeyPath + "\\DefaultIcon", defaultIcon))
        return false;
    if (verbs.empty())
        return true;
    const std::string shellKeyPath = progIdKeyPath + "\\Shell";
    if (!WriteKey(shellKeyPath, verbs.front().name))
        return false;
    for (const FileAssociationVerb& verb : verbs) {
        const std::string verbKeyPath = shellKeyPath + "\\" + verb.name;
        if (!WriteKey(verbKeyPath, verb.name) || !WriteKey(verbKeyPath + "\\command", verb.command))
            return false;
    }
    return true;
}

// Creates or opens the key and sets its default value; false after a passed-over failure.
bool FileAssociationStep::WriteKey(const std::string& path, const std::string& defaultValue)
{
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return Fail("RegCreateKeyExA() failed: " + SystemErrorText(rc).text);
    auto closeKey = MakeGuard(RegCloseKey, key);
    rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(defaultValue.c_str()),
                        static_cast<DWORD>(defaultValue.size() + 1));
    if (rc != ERROR_SUCCESS)
        return Fail("RegSetValueExA() failed: " + SystemErrorText(rc).text);
    return true;
}

// An abort leaves no extension key of ours pointing at a half-written ProgID: the step is
// not destroyed when its constructor throws, so it undoes its extension key itself.
bool FileAssociationStep::Fail(const std::string& reason)
{
    try {
        ReportFailure(reason);
    } catch (...) {
        RollBack();
        throw;
    }
    return false;
}

void FileAssociationStep::ReportFailure(const std::string& reason)
{
    PassOrAbort({"Warning: registering file associaton for extension '" + extension +
                     "' failed.\nReason: " + reason + ".\nDo you want to continue with the installation anyway?",
                 "Registering File Association Failed", "registering file association failed",
                 "Warning: registering file association for extension '" + extension + "' failed. Reason: " + reason,
                 "Registering file association for extension '" + extension + "' failed. Reason: " + reason +
                     ", aborting",
                 ExitFileAssociation});
}

FileAssociationStep::~FileAssociationStep()
{
    RollBack();
}

void FileAssociationStep::RollBack()
{
    if (!ShouldRollBack(extensionWritten && !extensionWasOurs))
        return;
    extensionWritten = false;
    PrintLine("Rollback: removing previously created file association for extension " + extension);
    const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, extensionKeyPath.c_str());
    if (rc == ERROR_SUCCESS)
        return;
    ReportRollbackFailure("Removing file association failed: " + SystemErrorText(rc).text,
                          "Unable to remove previously created file association for extenstion '" + extension +
                              "'.\nReason: " + SystemErrorText(rc).text,
                          "Removing File Association Failed");
}
