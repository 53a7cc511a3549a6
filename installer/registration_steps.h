// Registering two payload files with the system: the server program as a Windows service
// (it registers itself on "/service" and removes itself on "/unregserver"), and the
// in-process COM server through its DllRegisterServer and DllUnregisterServer.
#pragma once

#include "installer/install_step.h"

#include <cstdint>
#include <string>

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
    std::string path;
    bool registered = false;
};
