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

    // Nested records that the map itself made (views onto plain fields of the record).
    std::vector<std::unique_ptr<Evaluator>> views;

    // A name added twice keeps its first descriptor (and is listed twice in order).
    void Add(const MemberInfo& info);
    // An unknown name throws EvaluationErr.
    MemberInfo& At(const std::wstring& name);
    // Takes view into the map's keeping and returns it.
    template <class View>
    View* Keep(std::unique_ptr<View> view)
    {
        View* kept = view.get();
        views.push_back(std::move(view));
        return kept;
    }
};

// A change that a record variant makes to the members it declares (a default, a values
// query, a description).
typedef void (*MemberMapEdit)(MemberMap& map);

// Records come from the small-block pages: a list holds thousands of small ones.
class MemberMapEvaluator : public Evaluator, public SmallBlockObject {
public:
    MemberMapEvaluator() : hasMemberMap_(false), memberMapEdit_(0) {}
    // A copy builds a map of its own on first use; copying values is the record's business.
    MemberMapEvaluator(const MemberMapEvaluator&) : Evaluator(), hasMemberMap_(false), memberMapEdit_(0) {}
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
    // A record holds no map of its own, only these two bytes (which share the padding
    // behind the operation table pointer with the record's first fields): most records of
    // a long list are never reached by the language, and a map costs many times the
    // record. The maps that are built live in a process-wide table keyed by the record.
    bool hasMemberMap_;
    // The variant's edit as its number in a process-wide table of edits; 0 for none.
    unsigned char memberMapEdit_;
};

// The default that SetDefaults gives an encrypted member: the encryption of the empty text,
// with a fresh IV. A failure throws EvaluationErr.
void SetEncryptedDefault(CryptBlock& block);

// name alone when prefix is empty, else prefix + "." + name.
std::wstring JoinMemberPath(const std::wstring& prefix, const std::wstring& name);

// A nested record made of plain fields that the record holding it keeps inline: the
// holder's map makes this view when the language first reaches the holder, so a record
// that it never reaches pays nothing for the nesting. Fields::AddMembers adds the members
// that point at the fields.
template <class Fields>
class FieldsView : public MemberMapEvaluator {
public:
    explicit FieldsView(Fields& fields) : fields_(fields) {}
    void BuildMemberMap(MemberMap& map) override { fields_.AddMembers(map); }

private:
    Fields& fields_;
};

// The nested member name of holder's map, made with FieldsView over fields.
template <class Fields>
MemberInfo NestedFields(MemberMap& map, const std::wstring& name, Fields& fields)
{
    return MemberInfo(name, map.Keep(std::unique_ptr<FieldsView<Fields>>(new FieldsView<Fields>(fields))));
}

// The record of a nested member, to give it a variant's edit; the member must be a record.
MemberMapEvaluator& NestedRecord(MemberMap& map, const std::wstring& name);
