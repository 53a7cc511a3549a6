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

// One registry value as stored: name, type and raw data. Names and strings are kept as the
// system holds them (UTF-16), so that a rollback puts back exactly what stood before.
struct StoredRegistryValue {
    std::wstring name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// The named value of an open key ("" is the default value); false when missing or unreadable.
bool ReadStoredValue(HKEY key, const std::wstring& name, StoredRegistryValue& value);
// Every value of the key; false when the key cannot be opened or read.
bool ReadStoredValues(HKEY root, const std::string& subkey, std::vector<StoredRegistryValue>& values);
// Writes the value back with its own type and bytes.
LONG WriteStoredValue(HKEY key, const StoredRegistryValue& value);
// Deletes every value of the open key (opened with KEY_QUERY_VALUE and KEY_SET_VALUE)
// whose name is not among keep, without regard to case; the first failure's code.
LONG DeleteValuesOtherThan(HKEY key, const std::vector<std::wstring>& keep);

// A key with everything under it, as stored; the name is empty for the tree's top.
struct StoredRegistryKey {
    std::wstring name;
    std::vector<StoredRegistryValue> values;
    std::vector<StoredRegistryKey> subkeys;
};

// The whole tree of the key; false when it is missing or any part of it cannot be read.
bool ReadStoredKey(HKEY root, const std::string& subkey, StoredRegistryKey& tree);
// Deletes whatever stands at subkey and writes the tree there; the first failure's code.
LONG ReplaceStoredKey(HKEY root, const std::string& subkey, const StoredRegistryKey& tree);
// Deletes the key with everything under it; ERROR_SUCCESS also when it is missing.
LONG DeleteKeyTree(HKEY root, const std::string& subkey);
