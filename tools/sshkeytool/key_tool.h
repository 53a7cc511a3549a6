// The commands of sshkeytool, apart from the console: each takes its arguments as UTF-8 and
// writes its report to `out`; failures are thrown with a text for the user.
#pragma once

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// A bad command line: the usage text follows the message.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const char KeyToolUsage[];

// Runs the command named by args[0]; the result is the process exit code.
int RunKeyTool(const std::vector<std::string>& args, std::ostream& out);
