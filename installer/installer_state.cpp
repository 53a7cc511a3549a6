#include "installer/installer_state.h"

#include "foundation/exceptions.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

// Static initialisation order within this file is the declaration order below:
// ProductVersion must exist before UsageText embeds it.
const std::string ProductShortName = "Orvidex";
const std::string ProductDisplayName = "Morlune Orvidex";
const std::string ProductVersion = "3.32";
const std::string UsageText =
    "This program will install Morlune Orvidex " + ProductVersion + "\n"
    "on the machine it is being run on.\n"
    "\n"
    "Orvidex is an SSH2 server for Windows NT/2000/XP/2003.\n"
    "See https://www.orvidex.example/ for more information.\n"
    "\n"
    "This program must be run by a user with administrator privileges.\n"
    "If run without command line options, installation will be\n"
    "performed in interactive mode. If run with command line options,\n"
    "installation will be performed in unattended mode.\n"
    "\n"
    "Usage (unattended mode only):\n"
    " OrvidexInstaller /InstallDir <directory>\n"
    "                  [/AcceptEULA] [/Force] [/NoRollback]\n"
    "                  [/Settings <file>]\n";

InstallerState installerState;

const std::string UninstallKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string VendorKeyPath = "SOFTWARE\\Morlune";
const std::string SoftwareKeyPath = "SOFTWARE";

void PrintLine(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void StartWithoutWaiting(const std::string& commandLine)
{
    // CreateProcessA may write into the command line: a copy of its own.
    std::vector<char> writable(commandLine.begin(), commandLine.end());
    writable.push_back('\0');
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

void ReportWindowNotCreated(const std::string& what, unsigned long error)
{
    const std::string reason = error == 0 ? std::string("the system gave no reason") : OsErrorExceptionText(error);
    PrintLine("Creating the " + what + " failed: " + reason);
}

std::string OsErrorExceptionText(unsigned long error)
{
    return NarrowErrorText(OsErrorException(error)).text;
}
