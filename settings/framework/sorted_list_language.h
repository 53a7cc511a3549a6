// Instructions and queries of a sorted list: list-wide commands, the pending New entry, and
// entries addressed by id, by the first one that satisfies a test, or all at once; what
// follows an address goes to the entry's own language. Included by sorted_list_evaluator.h.
#pragma once

#include <algorithm>
#include <vector>

#include "settings/framework/language_text.h"
#include "settings/framework/record_language.h"
#include "settings/framework/test_expressions.h"

namespace sorted_list_language {

// Whether an address is an entry id: it begins with an ASCII digit.
inline bool IsIdAddress(const std::wstring& head) { return !head.empty() && head[0] >= L'0' && head[0] <= L'9'; }

// Whether rest can follow an address: not empty and not beginning with whitespace.
inline bool IsAddressTail(const std::wstring& rest) { return !rest.empty() && HasNoLeadingWhitespace(rest); }

const wchar_t kListHelp[] =
    L"Instructions:\r\n"
    L"  Clear, removes all entries, implies NewClear\r\n"
    L"  Erase(<test>), removes all entries that satisfy the condition\r\n"
    L"  New, references a new entry that has not yet been added to the list\r\n"
    L"    if the new entry has not yet been referenced or a previous new entry has\r\n"
    L"    just been committed or cleared, a new entry with a unique id is created\r\n"
    L"  CreateNewWithId <id>, explicitly creates a new entry with the specified id;\r\n"
    L"    the id must be non-zero, numeric, and unique across the current list\r\n"
    L"  NewClear, clears the entry referenced with 'New'\r\n"
    L"  NewCommit, commits the entry referenced with 'New' into the list\r\n"
    L"  All, executes the instruction on each of the list entries\r\n"
    L"  (<test>), references the first entry that satisfies the condition\r\n"
    L"  <id>, references the entry with the specified id\r\n"
    L"Queries:\r\n"
    L"  Count, returns the number of entries in the vector\r\n"
    L"  Count(<test>), returns the number of entries that satisfy the condition\r\n"
    L"  New, references a new entry that has not yet been added to the list\r\n"
    L"    if the new entry has not yet been referenced or a previous new entry has\r\n"
    L"    just been committed or cleared, a new entry with a unique id is created\r\n"
    L"  All, evaluates the query on all entries, returning a multi-line string\r\n"
    L"    if no query is specified, returns full names of entries with unique ids\r\n"
    L"  (<test>), references the first entry that satisfies the condition\r\n"
    L"  <id>, references the entry with the specified id\r\n"
    L"Test expressions:\r\n";

inline void SetReference(ExpressionResult& result, const std::wstring& path)
{
    result.type = ExpressionResult::kString;
    result.reference = 1;
    result.number = 0;
    result.text = path;
}

}  // namespace sorted_list_language

template <class T>
void SortedListEvaluator<T>::Instruction(const std::wstring& text, RootEvaluator& root)
{
    using namespace sorted_list_language;
    if (text.empty()) throw EvaluationErr(L"SortedListEvaluator: instruction is empty");
    const std::wstring fail = L"SortedListEvaluator: Instruction '" + text;
    if (!IsTrimmed(text)) throw EvaluationErr(fail + L"' is not trimmed");

    ListTextParts parts = SplitListText(text, L"(. \t");
    const std::wstring& head = parts.head;
    std::wstring& rest = parts.rest;

    if (head == L"SetDefaults") {
        SetDefaults(1);
        return;
    }
    if (head == L"Clear") {
        if (parts.separator) throw EvaluationErr(fail + L"': 'Clear' takes no parameters");
        Clear();
        return;
    }
    if (head == L"Erase") {
        if (parts.test.empty()) throw EvaluationErr(fail + L"': 'Erase' requires a test expression");
        if (!TrimWhitespace(rest).empty()) throw EvaluationErr(fail + L"': invalid characters following test expression");
        for (std::uint32_t i = 0; i < this->size();) {
            if (IsolatedEvaluator::Test(*this->at(i), parts.test, root)) this->EraseAt(i);
            else ++i;
        }
        return;
    }
    if (head == L"CreateNewWithId") {
        if (!parts.separator) throw EvaluationErr(fail + L"': CreateNewWithId requires an id to be specified");
        if (parts.separator != L' ' && parts.separator != L'\t')
            throw EvaluationErr(fail + L"': invalid separator character after 'CreateNewWithId'");
        const std::wstring idText = TrimWhitespace(rest);
        if (idText.empty()) throw EvaluationErr(fail + L"': CreateNewWithId requires an id to be specified");
        const std::uint32_t id = ParseEntryId(idText);
        if (id == 0) throw EvaluationErr(fail + L"': invalid new entry id, must be non-zero and numeric");
        switch (CreateNewWithId(id)) {
        case kStaged: return;
        case kInvalidId: throw EvaluationErr(fail + L"': new entry creation failed - the specified id is invalid");
        case kIdInUse: throw EvaluationErr(fail + L"': new entry creation failed - the specified id is not unique");
        default: throw EvaluationErr(fail + L"': an unexpected error occurred while creating the new entry");
        }
    }
    if (head == L"New") {
        if (parts.separator != L'.') throw EvaluationErr(fail + L"': invalid separator character after 'New'");
        New()->Instruction(rest, root);
        return;
    }
    if (head == L"NewCommit") {
        if (parts.separator) throw EvaluationErr(fail + L"': 'NewCommit' takes no parameters");
        switch (NewCommit()) {
        case kCommitted: return;
        case kDuplicateEntry:
            throw EvaluationErr(fail + L"': the new entry would be equal in order to another already in the list");
        case kIdInUse: throw EvaluationErr(fail + L"': the new entry would have a non-unique id");
        default: throw EvaluationErr(fail + L"': an unexpected error occured while inserting the new entry");
        }
    }
    if (head == L"NewClear") {
        if (parts.separator) throw EvaluationErr(fail + L"': 'NewClear' takes no parameters");
        NewClear();
        return;
    }
    if (head == L"All") {
        if (parts.separator != L'.') throw EvaluationErr(fail + L"': invalid separator character after 'All'");
        if (!IsAddressTail(rest))
            throw EvaluationErr(fail + L"': characters following 'All.' do not resemble an instruction");
        // An entry that moves is remembered, so that it is not changed twice when the walk
        // meets it again further on.
        std::vector<const T*> handled;
        for (std::uint32_t j = 0; j < this->size();) {
            T* entry = this->at(j);
            if (std::find(handled.begin(), handled.end(), entry) != handled.end()) {
                ++j;
                continue;
            }
            entry->Instruction(rest, root);
            if (ResortAfterInstruction(text, j)) handled.push_back(entry);
            else ++j;
        }
        return;
    }
    if (IsIdAddress(head)) {
        if (parts.separator != L'.') throw EvaluationErr(fail + L"': invalid characters following entry id");
        if (!IsAddressTail(rest))
            throw EvaluationErr(fail + L"': characters following '.' do not resemble an instruction");
        const std::uint32_t id = ParseEntryId(head);
        if (id == 0) throw EvaluationErr(fail + L"': invalid entry id, must be non-zero and numeric");
        const int index = this->FindIndexById(id);
        if (index >= 0) {
            this->at(static_cast<std::uint32_t>(index))->Instruction(rest, root);
            ResortAfterInstruction(rest, static_cast<std::uint32_t>(index));
        } else if (m_pNewEntry && m_pNewEntry->id == id && m_pNewEntry->entry) {
            m_pNewEntry->entry->Instruction(rest, root);
        } else {
            throw EvaluationErr(fail + L"': this list does not contain an entry with the specified id");
        }
        return;
    }
    if (!head.empty() || parts.test.empty())
        throw EvaluationErr(fail + L"': sequence '" + head + L"' could not be interpreted");
    if (rest.empty() || rest[0] != L'.') throw EvaluationErr(fail + L"': invalid characters following closing bracket");
    rest.erase(0, 1);
    if (!IsAddressTail(rest)) throw EvaluationErr(fail + L"': characters following ').' do not resemble an instruction");
    for (std::uint32_t i = 0; i < this->size(); ++i) {
        if (IsolatedEvaluator::Test(*this->at(i), parts.test, root)) {
            this->at(i)->Instruction(rest, root);
            ResortAfterInstruction(rest, i);
            return;
        }
    }
    throw EvaluationErr(fail + L"': no match found for '" + parts.test + L"'");
}

template <class T>
void SortedListEvaluator<T>::Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                                        const std::wstring& indent, ExpressionResult& result)
{
    using namespace sorted_list_language;
    if (text.empty()) throw EvaluationErr(L"SortedListEvaluator: expression is empty");
    const std::wstring fail = L"SortedListEvaluator: Expression '" + text;
    if (!IsTrimmed(text)) throw EvaluationErr(fail + L"' is not trimmed");

    ListTextParts parts = SplitListText(text, L"(.");
    const std::wstring& head = parts.head;
    std::wstring& rest = parts.rest;
    auto entryPath = [&](std::uint32_t id) { return JoinMemberPath(path, UIntToWString(id, 10, 0)); };

    if (head == L"?") {
        if (parts.separator) throw EvaluationErr(fail + L"': invalid characters after '?'");
        result.type = ExpressionResult::kString;
        result.number = 0;
        result.text = kListHelp + IsolatedEvaluator::DescribeTestExpressions(L"  ");
        return;
    }
    if (head == L"*" || head == L"%") {
        if (parts.separator) throw EvaluationErr(fail + L"': invalid characters after '*'");
        const bool changedOnly = head == L"%";
        std::wstring script;
        if (changedOnly && IsDefault()) {
            script = indent + L"SetDefaults\r\n";
        } else {
            script = indent + L"Clear\r\n";
            for (std::uint32_t i = 0; i < this->size(); ++i) {
                T* entry = this->at(i);
                script += indent + L"CreateNewWithId " + UIntToWString(this->IdAt(i), 10, 0) + L"\r\n";
                if (!changedOnly || !entry->IsDefault())
                    script += DescribeEvaluatorMembers(head, *entry, root, path, indent, L"New");
                script += indent + L"NewCommit\r\n";
            }
        }
        result.type = ExpressionResult::kString;
        result.number = 0;
        result.text = script;
        return;
    }
    if (head == L"Count") {
        std::uint32_t count = this->size();
        if (parts.separator == L'(') {
            if (!TrimLeadingWhitespace(rest).empty()) throw EvaluationErr(fail + L"': invalid characters after 'Count'");
            if (parts.test.empty()) throw EvaluationErr(fail + L"': 'Count' test expression is empty");
            count = 0;
            for (std::uint32_t i = 0; i < this->size(); ++i) count += IsolatedEvaluator::Test(*this->at(i), parts.test, root);
        } else if (parts.separator) {
            throw EvaluationErr(fail + L"': invalid separator character after 'Count'");
        }
        result.type = ExpressionResult::kNumber;
        result.number = count;
        result.text.clear();
        return;
    }
    if (head == L"New") {
        const std::uint32_t id = NewId();
        if (!parts.separator) {
            SetReference(result, entryPath(id));
            return;
        }
        if (parts.separator != L'.') throw EvaluationErr(fail + L"': invalid separator character after 'New'");
        m_pNewEntry->entry->Expression(rest, root, entryPath(id), std::wstring(), result);
        return;
    }
    if (head == L"All") {
        if (parts.separator && parts.separator != L'.')
            throw EvaluationErr(fail + L"': invalid separator character after 'All'");
        if (parts.separator && !IsAddressTail(rest))
            throw EvaluationErr(fail + L"': characters following 'All.' do not resemble an expression");
        std::wstring lines;
        for (std::uint32_t i = 0; i < this->size(); ++i) {
            if (!parts.separator) {
                lines += entryPath(this->IdAt(i)) + L"\r\n";
            } else {
                ExpressionResult value;
                this->at(i)->Expression(rest, root, entryPath(this->IdAt(i)), std::wstring(), value);
                std::wstring shown;
                value.ToString(shown, true);
                lines += shown + L"\r\n";
            }
        }
        result.type = ExpressionResult::kString;
        result.number = 0;
        result.text = lines;
        return;
    }
    if (IsIdAddress(head)) {
        if (parts.separator && parts.separator != L'.')
            throw EvaluationErr(fail + L"': invalid characters following entry id");
        if (parts.separator && !IsAddressTail(rest))
            throw EvaluationErr(fail + L"': characters following '.' do not resemble an expression");
        const std::uint32_t id = ParseEntryId(head);
        if (id == 0) throw EvaluationErr(fail + L"': invalid entry id, must be non-zero and numeric");
        const int index = this->FindIndexById(id);
        T* entry = nullptr;
        if (index >= 0) entry = this->at(static_cast<std::uint32_t>(index));
        else if (m_pNewEntry && m_pNewEntry->id == id) entry = m_pNewEntry->entry;
        if (!entry) throw EvaluationErr(fail + L"': this list does not contain an entry with the specified id");
        if (!parts.separator) SetReference(result, entryPath(id));
        else entry->Expression(rest, root, entryPath(id), std::wstring(), result);
        return;
    }
    if (!head.empty() || parts.test.empty())
        throw EvaluationErr(fail + L"': sequence '" + head + L"' could not be interpreted");
    const bool hasQuery = !TrimWhitespace(rest).empty();
    if (hasQuery) {
        if (rest[0] != L'.') throw EvaluationErr(fail + L"': invalid characters following closing bracket");
        rest.erase(0, 1);
        if (!IsAddressTail(rest))
            throw EvaluationErr(fail + L"': characters following ').' do not resemble an expression");
    }
    for (std::uint32_t i = 0; i < this->size(); ++i) {
        if (IsolatedEvaluator::Test(*this->at(i), parts.test, root)) {
            if (!hasQuery) SetReference(result, entryPath(this->IdAt(i)));
            else this->at(i)->Expression(rest, root, entryPath(this->IdAt(i)), std::wstring(), result);
            return;
        }
    }
    throw EvaluationErr(fail + L"': no match found for '" + parts.test + L"'");
}
