// Names of the values of one enumeration in the settings language. Each enumeration is a
// class of which exactly one object exists, built at start-up.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "RoVodEre/NoCrtCore.h"

class EnumInfo {
public:
    explicit EnumInfo(const std::wstring& typeName) : typeName_(typeName) {}
    virtual ~EnumInfo() {}

    const std::wstring& TypeName() const { return typeName_; }

    // A primary name (used on output) and an alternate one (accepted on input only). An
    // existing name or value keeps its first entry.
    void AddValue(const std::wstring& name, std::uint32_t value);
    void AddAlternateName(const std::wstring& name, std::uint32_t value);

    // Exact, case-sensitive lookup of a primary or alternate name.
    bool NameToValue(const std::wstring& name, std::uint32_t& value) const;
    // The primary name of a value.
    bool ValueToName(std::uint32_t value, std::wstring& name) const;

    // "name (value)" entries separated by ", ".
    std::wstring DescribeValues(const std::vector<std::wstring>& names) const;
    // The type name with its primary names and, on a line of their own, the alternates.
    std::wstring Describe() const;

private:
    void InsertName(const std::wstring& name, std::uint32_t value) { names_.insert(std::make_pair(name, value)); }
    void InsertValue(std::uint32_t value, const std::wstring& name) { values_.insert(std::make_pair(value, name)); }

    std::wstring typeName_;
    std::map<std::wstring, std::uint32_t> names_;
    std::map<std::uint32_t, std::wstring> values_;
};

// At most one object of T at a time.
template <class T>
class Singleton {
public:
    class AlreadyExists : public std::exception {};

    Singleton() {
        if (exists_) throw AlreadyExists();
        exists_ = true;
    }
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;
    ~Singleton() { exists_ = false; }

private:
    static inline bool exists_ = false;
};

// "Boolean": false (0), true (1).
class BooleanEnumInfo : public EnumInfo, public Singleton<BooleanEnumInfo>, public ObjectBase {
public:
    BooleanEnumInfo();
    static const BooleanEnumInfo& Instance();
};

// "AuthType": pwdOrKey (0), pwdAndKey (1).
class AuthTypeEnumInfo : public EnumInfo, public Singleton<AuthTypeEnumInfo>, public ObjectBase {
public:
    AuthTypeEnumInfo();
    static const AuthTypeEnumInfo& Instance();
};

// "DefaultYesNo": default (0), yes (1), no (2); true and false read as yes and no.
class DefaultYesNoEnumInfo : public EnumInfo, public Singleton<DefaultYesNoEnumInfo>, public ObjectBase {
public:
    DefaultYesNoEnumInfo();
    static const DefaultYesNoEnumInfo& Instance();
};
