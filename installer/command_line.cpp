#include "installer/command_line.h"

#include "installer/installer_state.h"

#include <cstring>
#include <stdexcept>

namespace {

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// An empty argument is neither an option nor a value: it throws std::out_of_range, which
// main reports like any other exception.
bool IsOption(const std::string& arg)
{
    if (arg.empty())
        throw std::out_of_range("Reading the command line failed: an argument is empty (\"\"); "
                                "an option or a value was expected");
    return arg[0] == '/' || arg[0] == '-';
}

} // namespace

ArgumentVector CollectArguments(int argc, char** argv)
{
    ArgumentVector args;
    if (argc < 2) {
        installerState.interactive = true;
        return args;
    }
    for (int i = 1; i < argc; ++i)
        if (argv[i])
            args.emplace_back(argv[i]);
    if (args.empty())
        installerState.interactive = true;
    return args;
}

void ParseOptions(ArgumentVector& args)
{
    installerState.interactive = true;
    installerState.force = installerState.noRollback = installerState.acceptEula = false;
    bool haveDirectory = false;
    if (args.empty())
        throw SilentExit(ExitBadCommandLine);
    installerState.interactive = false;

    size_t index = 0;
    while (index < args.size()) {
        if (!IsOption(args[index])) {
            ++index;
            continue;
        }
        const std::string name = args[index].substr(1);
        if (EqualsNoCase(name, "force")) {
            installerState.force = true;
        } else if (EqualsNoCase(name, "accepteula")) {
            installerState.acceptEula = true;
        } else if (EqualsNoCase(name, "norollback")) {
            installerState.noRollback = true;
        } else if (EqualsNoCase(name, "installdir")) {
            args.erase(args.begin() + index);
            if (index >= args.size())
                throw SilentExit(ExitBadCommandLine);
            installerState.installDir = args[index];
            haveDirectory = true;
        } else if (EqualsNoCase(name, "?") || EqualsNoCase(name, "h") || EqualsNoCase(name, "help")) {
            throw SilentExit(ExitHelp);
        } else {
            ++index;
            continue;
        }
        args.erase(args.begin() + index);
    }
    if (!haveDirectory)
        throw SilentExit(ExitBadCommandLine);
}

std::string TakeOptionValue(ArgumentVector& args, const std::string& name)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (!IsOption(args[i]) || !EqualsNoCase(args[i].substr(1), name.c_str()))
            continue;
        if (i + 1 >= args.size())
            return std::string();
        std::string value = args[i + 1];
        args.erase(args.begin() + i, args.begin() + i + 2);
        return value;
    }
    return std::string();
}
