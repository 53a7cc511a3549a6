#include "installer/file_association.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/exceptions.h"
#include "installer/file_helpers.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"

#include <cstring>
#include <exception>
#include <utility>

namespace {

const char ClassesKeyPath[] = "SOFTWARE\\Classes";

// A part of the association that a rollback could not remove (created) or put back.
void ReportUndoFailure(LONG rc, bool created, const std::string& part, const std::string& described)
{
    const std::string reason = SystemErrorText(rc).text;
    if (created)
        ReportRollbackFailure("Removing " + part + " failed: " + reason,
                              "Unable to remove previously created " + described + ".\nReason: " + reason,
                              "Removing File Association Failed");
    else
        ReportRollbackFailure("Restoring " + part + " failed: " + reason,
                              "Unable to restore previous " + described + ".\nReason: " + reason,
                              "Restoring File Association Failed");
}

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
    : progId(progId),
      progIdKeyPath(CombinePath(ClassesKeyPath, progId)),
      extensionKeyPath(CombinePath(ClassesKeyPath, extension)),
      extension(extension)
{
    Register(description, defaultIcon, verbs);
}

bool FileAssociationStep::Register(const std::string& description, const std::string& defaultIcon,
                                   const std::vector<FileAssociationVerb>& verbs)
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
        if (!WriteKey(extensionKeyPath, progId, extensionWrites))
            return false;
        AppendUninstallClause("-delRegKey=HKEY_LOCAL_MACHINE\\" + extensionKeyPath);
    }

    if (!WriteKey(progIdKeyPath, description, progIdWrites) ||
        !WriteKey(progIdKeyPath + "\\DefaultIcon", defaultIcon, progIdWrites))
        return false;
    if (verbs.empty())
        return true;
    const std::string shellKeyPath = progIdKeyPath + "\\Shell";
    if (!WriteKey(shellKeyPath, verbs.front().name, progIdWrites))
        return false;
    for (const FileAssociationVerb& verb : verbs) {
        const std::string verbKeyPath = shellKeyPath + "\\" + verb.name;
        if (!WriteKey(verbKeyPath, verb.name, progIdWrites) ||
            !WriteKey(verbKeyPath + "\\command", verb.command, progIdWrites))
            return false;
    }
    return true;
}

// Creates or opens the key and sets its default value, noting first how the key stood;
// false after a passed-over failure.
bool FileAssociationStep::WriteKey(const std::string& path, const std::string& defaultValue,
                                   std::vector<KeyBefore>& written)
{
    LONG rc = ERROR_SUCCESS;
    {
        HKEY key = nullptr;
        DWORD disposition = 0;
        rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             nullptr, &key, &disposition);
        if (rc != ERROR_SUCCESS)
            return Fail("RegCreateKeyExA() failed: " + SystemErrorText(rc).text);
        const auto closeKey = MakeGuard(RegCloseKey, key);
        KeyBefore before;
        before.path = path;
        before.created = disposition == REG_CREATED_NEW_KEY;
        if (!before.created)
            before.hadDefault = ReadStoredValue(key, L"", before.defaultValue);
        written.push_back(std::move(before));
        rc = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(defaultValue.c_str()),
                            static_cast<DWORD>(defaultValue.size() + 1));
    }
    // Reported with the key closed: an abort undoes it at once.
    if (rc != ERROR_SUCCESS)
        return Fail("RegSetValueExA() failed: " + SystemErrorText(rc).text);
    return true;
}

// An abort leaves nothing of this step behind, above all no extension key naming a
// half-written ProgID: the step is not destroyed when its constructor throws, so it undoes
// its writes itself.
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
    try {
        RollBack();
    } catch (...) {
    }
}

void FileAssociationStep::RollBack()
{
    if (!ShouldRollBack(!extensionWrites.empty() || !progIdWrites.empty()))
        return;
    // The extension goes first, so that it never names a ProgID that is half undone.
    if (!extensionWrites.empty()) {
        const bool created = extensionWrites.front().created;
        PrintLine((created ? "Rollback: removing previously created file association for extension "
                           : "Rollback: restoring previous file association for extension ") +
                  extension);
        const LONG rc = UndoWrites(extensionWrites);
        extensionWrites.clear();
        if (rc != ERROR_SUCCESS)
            ReportUndoFailure(rc, created, "file association",
                              (created ? "file association for extenstion '" : "file association for extension '") +
                                  extension + "'");
    }
    if (!progIdWrites.empty()) {
        const bool created = progIdWrites.front().created;
        PrintLine((created ? "Rollback: removing previously created ProgID " : "Rollback: restoring previous ProgID ") +
                  progId);
        const LONG rc = UndoWrites(progIdWrites);
        progIdWrites.clear();
        if (rc != ERROR_SUCCESS)
            ReportUndoFailure(rc, created, "ProgID", "ProgID '" + progId + "'");
    }
}

LONG FileAssociationStep::UndoWrites(const std::vector<KeyBefore>& writes)
{
    LONG result = ERROR_SUCCESS;
    // A created key's subkeys were all created after it, so they are gone before it is.
    for (auto write = writes.rbegin(); write != writes.rend(); ++write) {
        LONG rc = ERROR_SUCCESS;
        if (write->created) {
            rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, write->path.c_str());
        } else {
            HKEY key = nullptr;
            rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, write->path.c_str(), 0, KEY_SET_VALUE, &key);
            if (rc == ERROR_SUCCESS) {
                const auto closeKey = MakeGuard(RegCloseKey, key);
                if (write->hadDefault) {
                    rc = WriteStoredValue(key, write->defaultValue);
                } else {
                    rc = RegDeleteValueA(key, nullptr);
                    if (rc == ERROR_FILE_NOT_FOUND)
                        rc = ERROR_SUCCESS;
                }
            }
        }
        if (result == ERROR_SUCCESS)
            result = rc;
    }
    return result;
}
