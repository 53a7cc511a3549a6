#include "foundation/command_line.h"

#include "foundation/encoding_conversion.h"

#include <windows.h>
#include <shellapi.h>

std::vector<std::string> Utf8Arguments()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (!wide)
        return args;
    for (int i = 1; i < count; ++i)
        args.push_back(WideToUtf8(wide[i]));
    LocalFree(wide);
    return args;
}
