// Registering two payload files with the system: the server program as a Windows service
// (it registers itself on "/service" and removes itself on "/unregserver"), and the
// in-process COM server through its DllRegisterServer and DllUnregisterServer.
#pragma once

#include "installer/install_step.h"
#include "installer/registry_values.h"

#include <cstdint>
#include <string>
#include <vector>

// Runs a command line to its end; its exit code, or 9999 when that cannot be read.
// Throws InstallError when the process cannot be started.
uint32_t RunProcessAndWait(const std::string& commandLine);

// Load the DLL and call the entry point. Throw InstallError when the DLL cannot be loaded,
// lacks the entry point, or the entry point reports failure.
void CallDllRegisterServer(const std::string& dllPath);
void CallDllUnregisterServer(const std::string& dllPath);

class ServiceRegistrationStep : public InstallStep {
public:
    // Throws SilentExit with 110 unless the failure is passed over (interactive Yes, "/Force").
    explicit ServiceRegistrationStep(const std::string& path);
    ~ServiceRegistrationStep();

    // Asks, warns or aborts.
    void ReportFailure(const std::string& reason);
    // Never throws.
    void ReportRollbackFailure(const std::string& reason);

private:
    std::string path;
    bool registered = false;
};

class ServerRegistrationStep : public InstallStep {
public:
    // Throws SilentExit with 111 unless the failure is passed over.
    explicit ServerRegistrationStep(const std::string& path);
    ~ServerRegistrationStep();

private:
    // A key under HKEY_CLASSES_ROOT as it stood before the registration.
    struct KeyBefore {
        std::string path;
        StoredRegistryKey tree;
    };

    // Never throw. The first removes the classes of this server's file name that were not
    // there before the registration (with their ProgIDs and type libraries).
    void RemoveClassesWrittenSince() const;
    void RestoreEarlierRegistration() const;

    std::string path;
    bool registered = false;
    // An earlier release's registration of the server, which DllUnregisterServer in a rollback
    // removes along with ours: put back after it.
    std::vector<KeyBefore> earlierRegistration;
};

// The HKEY_CLASSES_ROOT keys of the classes whose in-process server is a file of the given
// name, in any folder, with the ProgIDs and type libraries they name.
std::vector<std::string> ClassKeysOfServer(const std::string& fileName);
