// ZIRor registry objects: each reads or writes one string or multi-string value in its
// constructor, throws RegException naming the call that failed, and closes its key when
// destroyed. Narrow texts throughout; an empty value name is the key's default value.
#pragma once

#include "foundation/ziror.h"

#include <string>
#include <vector>

namespace ZIRor {

class RegKey : public Win32CallResult {
public:
    ~RegKey() override;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // Each does nothing once a recorded call has failed; each throws RegException on failure.
    void Open(REGSAM access);
    void Create(REGSAM access, SECURITY_ATTRIBUTES* attributes);
    void SetValue(const std::string& valueName, DWORD type, const BYTE* data, DWORD size);

protected:
    RegKey(HKEY root, const std::string& path) : rootKey(root), subKey(path) {}
    // Records a failure of our own (wrong type, missing terminator) and throws.
    [[noreturn]] void Fail(const char* name, long code);
    void ThrowIfFailed() const;
    // Reads the value's bytes into valueData, checking its type; "readCallName" names the read.
    void QueryValue(const std::string& valueName, DWORD expectedType1, DWORD expectedType2,
                    const char* readCallName, std::vector<BYTE>& valueData, DWORD& valueType);

    HKEY rootKey;
    std::string subKey;
    bool opened = false;
    HKEY key = nullptr;
    DWORD disposition = 0;  // from Create: REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY
};

class OpenedRegKey : public RegKey {
protected:
    OpenedRegKey(HKEY root, const std::string& path) : RegKey(root, path) {}
};

// A REG_SZ or REG_EXPAND_SZ value; with expand, a REG_EXPAND_SZ value has its
// %-references replaced.
class RegReadString : public OpenedRegKey {
public:
    RegReadString(HKEY root, const std::string& path, const std::string& valueName, std::string& output, bool expand);

private:
    std::vector<BYTE> valueData;
    DWORD valueType = 0;
};

class RegReadMultiString : public OpenedRegKey {
public:
    RegReadMultiString(HKEY root, const std::string& path, const std::string& valueName,
                       std::vector<std::string>& output);

private:
    std::vector<BYTE> valueData;
    DWORD valueType = 0;
};

// Creates the key when missing; the terminating zero is written.
class RegWriteString : public RegKey {
public:
    RegWriteString(HKEY root, const std::string& path, const std::string& valueName, const std::string& text,
                   bool expand, SECURITY_ATTRIBUTES* attributes);
    bool CreatedKey() const { return disposition == REG_CREATED_NEW_KEY; }
};

class RegWriteMultiString : public RegKey {
public:
    RegWriteMultiString(HKEY root, const std::string& path, const std::string& valueName,
                        const std::vector<std::string>& texts, SECURITY_ATTRIBUTES* attributes);
    bool CreatedKey() const { return disposition == REG_CREATED_NEW_KEY; }
};

// The texts of REG_MULTI_SZ data: "a\0b\0\0" and "a\0b\0" give [a, b], "\0\0" gives [""],
// "" and "\0" give []. Returns false when the data does not end in a zero.
bool SplitMultiString(const std::vector<BYTE>& data, std::vector<std::string>& output);
// Each text with its zero, then one more zero; [] gives two zeros.
std::vector<BYTE> JoinMultiString(const std::vector<std::string>& texts);

} // namespace ZIRor
