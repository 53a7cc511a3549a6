// The association of exported settings files (".ovs") with the settings editor, for all
// users under HKEY_LOCAL_MACHINE\SOFTWARE\Classes. An extension owned by another ProgID is
// left alone.
#pragma once

#include "installer/install_step.h"
#include "installer/registry_values.h"

#include <windows.h>

#include <string>
#include <vector>

struct FileAssociationVerb {
    std::string name;     // the verb's key name and display text
    std::string command;  // its command line
};

class FileAssociationStep : public InstallStep {
public:
    // Throws SilentExit with 112 unless the failure is passed over (Yes, "/Force").
    FileAssociationStep(const std::string& progId, const std::string& extension, const std::string& description,
                        const std::string& defaultIcon, const std::vector<FileAssociationVerb>& verbs);
    ~FileAssociationStep();

    void ReportFailure(const std::string& reason);

private:
    // How one key stood before the step set its default value: a rollback deletes a key
    // the step created and puts back the earlier default value of one that existed.
    struct KeyBefore {
        std::string path;
        bool created = false;
        bool hadDefault = false;
        StoredRegistryValue defaultValue;
    };

    // False after a failure that was passed over: the remaining keys are not written.
    bool Register(const std::string& description, const std::string& defaultIcon,
                  const std::vector<FileAssociationVerb>& verbs);
    bool WriteKey(const std::string& path, const std::string& defaultValue, std::vector<KeyBefore>& written);
    bool Fail(const std::string& reason);
    void RollBack();
    // Undoes the writes in reverse order; the first failure's code, else ERROR_SUCCESS.
    static LONG UndoWrites(const std::vector<KeyBefore>& writes);

    std::string progId;
    std::string progIdKeyPath;
    std::string extensionKeyPath;
    std::string extension;
    // The keys each part wrote, in order; empty when it wrote nothing.
    std::vector<KeyBefore> extensionWrites;
    std::vector<KeyBefore> progIdWrites;
};

// The ProgID for display: with three dots or more, the first, second and last become blanks.
std::string ReadableProgId(const std::string& progId);
