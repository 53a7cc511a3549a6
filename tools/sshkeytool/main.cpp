// sshkeytool: generates SSH keys in the files other SSH software reads, prints fingerprints,
// and times the key operations. Errors go to standard error with a non-zero exit code.
#include "foundation/encoding_conversion.h"
#include "tools/sshkeytool/key_tool.h"

#include <windows.h>
#include <shellapi.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

// The arguments as UTF-8: file names, passphrases and comments keep every character.
std::vector<std::string> Utf8Arguments()
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    if (!wide) return args;
    for (int i = 1; i < count; ++i) args.push_back(WideToUtf8(wide[i]));
    LocalFree(wide);
    return args;
}

}  // namespace

int main()
{
    try {
        return RunKeyTool(Utf8Arguments(), std::cout);
    } catch (const UsageError& e) {
        std::cerr << "sshkeytool: " << e.what() << "\n" << KeyToolUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "sshkeytool: " << e.what() << "\n";
        return 1;
    }
}
