// A directory the installation needs (the installation directory, the Start Menu folder):
// created, or an existing one accepted and never removed.
#pragma once

#include "installer/install_step.h"

#include <string>

class DirectoryStep : public InstallStep {
public:
    // checkEmpty: an existing directory must be empty (asked, or "/Force" to go on).
    // Throws SilentExit with 101, 102 or 103.
    DirectoryStep(const std::string& path, bool checkEmpty);
    ~DirectoryStep();

private:
    void AcceptExisting(bool checkEmpty);
    void Create();

    std::string path;
    bool created = false;
};
