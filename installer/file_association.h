// The association of exported settings files (".ovs") with the settings editor, for all
// users under HKEY_LOCAL_MACHINE\SOFTWARE\Classes. An extension owned by another ProgID is
// left alone.
#pragma once

#include "installer/install_step.h"

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
    // False after a failure that was passed over: the remaining keys are not written.
    bool Register(const std::string& progId, const std::string& description, const std::string& defaultIcon,
                  const std::vector<FileAssociationVerb>& verbs);
    bool WriteKey(const std::string& path, const std::string& defaultValue);
    bool Fail(const std::string& reason);
    void RollBack();

    std::string progIdKeyPath;
    std::string extensionKeyPath;
    std::string extension;
    bool extensionWritten = false;
    // The extension already named our ProgID before this run: a rollback keeps it.
    bool extensionWasOurs = false;
};

// The ProgID for display: with three dots or more, the first, second and last become blanks.
std::string ReadableProgId(const std::string& progId);
