// The interface of everything the settings language can address, and the base of every
// settings record: a record declares its members once in a MemberMap, and from that map
// alone this base implements defaults, the default test, instructions and queries.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "settings/framework/member_info.h"

class ExpressionResult;
class RootEvaluator;

class Evaluator {
public:
    virtual ~Evaluator() {}
    // The display name of the type, shown by the "?" query of the record holding it.
    virtual void TypeName(std::wstring& out) const = 0;
    virtual void SetDefaults(int recurse) = 0;
    virtual bool IsDefault() = 0;
    // Applies one instruction; every failure throws EvaluationErr.
    virtual void Instruction(const std::wstring& text, RootEvaluator& root) = 0;
    // Evaluates one query into result. path is this object's dotted path from the root
    // (empty at the root); indent goes before every line of a "*" or "%" script.
    virtual void Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                            const std::wstring& indent, ExpressionResult& result) = 0;
    virtual void Init(HINSTANCE instance) = 0;
};

// The members of one record object. Each descriptor points into that very object, so a
// map is never shared or copied.
class MemberMap {
public:
    // Declaration order: listings and scripts follow it.
    std::vector<std::wstring> order;
    // By name (case-sensitive); lookups and the default walks use it.
    std::map<std::wstring, MemberInfo> members;

    // A name added twice keeps its first descriptor (and is listed twice in order).
    void Add(const MemberInfo& info);
    // An unknown name throws EvaluationErr.
    MemberInfo& At(const std::wstring& name);
};

// A change that a record variant makes to the members it declares (a default, a values
// query, a description).
typedef void (*MemberMapEdit)(MemberMap& map);

class MemberMapEvaluator : public Evaluator {
public:
    MemberMapEvaluator() {}
    // A copy builds a map of its own on first use; copying values is the record's business.
    MemberMapEvaluator(const MemberMapEvaluator&) : Evaluator() {}
    MemberMapEvaluator& operator=(const MemberMapEvaluator&) { return *this; }
    ~MemberMapEvaluator() override;

    void TypeName(std::wstring& out) const override { out = L"nested type"; }

    // Builds the map on first use.
    MemberMap& AccessMemberMap();
    // For records that change a default, values query or description after the map was
    // built. An unknown name throws EvaluationErr.
    MemberInfo& AccessMemberInfo(const std::wstring& name);
    // The variant's change, made to the map now if it is built and whenever it is built
    // later: a record that the language never reaches never builds one, which is most of
    // the cost of making it. Copies do not take the edit, as they do not take the map.
    void SetMemberMapEdit(MemberMapEdit edit);

    // Resets every member to its default; nested objects only when recurse is nonzero.
    void SetDefaults(int recurse) override;
    bool IsDefault() override;
    void Instruction(const std::wstring& text, RootEvaluator& root) override;
    void Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                    const std::wstring& indent, ExpressionResult& result) override;
    // Registers the "MemberMapEvaluator" window class once per process, then initialises
    // the nested evaluators.
    void Init(HINSTANCE instance) override;

    // Called after every successful instruction on the record and after a decoder filled
    // it; records override it to refresh state derived from their members.
    virtual void OnMembersChanged() {}
    // Adds one MemberInfo per member, in declaration order.
    virtual void BuildMemberMap(MemberMap& map) = 0;

private:
    std::unique_ptr<MemberMap> memberMap_;
    MemberMapEdit memberMapEdit_ = nullptr;
};

// The default that SetDefaults gives an encrypted member: the encryption of the empty text,
// with a fresh IV. A failure throws EvaluationErr.
void SetEncryptedDefault(CryptBlock& block);

// name alone when prefix is empty, else prefix + "." + name.
std::wstring JoinMemberPath(const std::wstring& prefix, const std::wstring& name);
