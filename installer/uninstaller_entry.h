// The product's entry in the system's list of installed programs: the command that starts
// its uninstaller and the parameter string that tells the uninstaller what to remove.
#pragma once

#include "installer/install_step.h"
#include "installer/registry_values.h"

#include <windows.h>

#include <string>
#include <vector>

class UninstallerRegistrationStep : public InstallStep {
public:
    // Throws SilentExit with 113 unless the failure is passed over (Yes, "/Force").
    UninstallerRegistrationStep(const std::string& keyName, const std::string& displayName,
                                const std::string& version);
    ~UninstallerRegistrationStep();

private:
    void Write(const std::string& keyName, const std::string& displayName, const std::string& version);
    void ReportFailure(const std::string& reason);
    void RollBack();
    LONG RestorePreviousEntry();

    std::string keyPath;
    bool written = false;
    // The entry that stood here before this run; a rollback puts it back.
    bool hadPreviousEntry = false;
    std::vector<StoredRegistryValue> previousEntry;
    // The key holds values of this run.
    bool keyWritten = false;
    bool rolledBack = false;
};
