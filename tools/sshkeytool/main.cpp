// sshkeytool: generates SSH keys in the files other SSH software reads, prints fingerprints,
// and times the key operations. Errors go to standard error with a non-zero exit code.
#include "foundation/command_line.h"
#include "tools/sshkeytool/key_tool.h"

#include <exception>
#include <iostream>

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
