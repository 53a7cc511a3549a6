// The program's own command line, for console tools.
#pragma once

#include <string>
#include <vector>

// The arguments after the program name, as UTF-8, read from the wide command line: file
// names, passphrases and comments keep every character, whatever the ANSI code page.
std::vector<std::string> Utf8Arguments();
