// The installer's command line: options start with '/' or '-' and match a known name
// as a whole, without regard to ASCII case.
#pragma once

#include <string>
#include <vector>

using ArgumentVector = std::vector<std::string>;

// The arguments after the program name; sets installerState.interactive when there are none.
ArgumentVector CollectArguments(int argc, char** argv);

// Applies and removes the options it knows; throws SilentExit 200 (help) or 201.
void ParseOptions(ArgumentVector& args);

// Removes the first "/<name> <value>" pair and returns the value; "" when absent or last.
std::string TakeOptionValue(ArgumentVector& args, const std::string& name);
