// One string or multi-string registry value read or written in one call; a registry
// failure becomes an InstallError with the call's failure sentence.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// REG_SZ or REG_EXPAND_SZ; environment references are expanded.
std::string ReadRegString(HKEY root, const std::string& subkey, const std::string& valueName);
// REG_EXPAND_SZ when expand is set, else REG_SZ. True when this call created the key.
bool WriteRegString(HKEY root, const std::string& subkey, const std::string& valueName, const std::string& value,
                    bool expand);
std::vector<std::string> ReadRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName);
bool WriteRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName,
                         const std::vector<std::string>& values);
