// RootEvaluator::Evaluate: the text of a value becomes a number, an IPv4 address, a string,
// the result of an absolute path or a literal word.
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"
#include "settings/framework/language_text.h"
#include "settings/framework/test_expressions.h"

namespace {

const wchar_t kLanguageHelpBeforeTests[] =
    L"- The \"?\" query will display possible instructions and queries at the root\r\n"
    L"  level. The \"*\" query will display current values of the whole hierarchy.\r\n"
    L"  The \"%\" query will do the same, but without values that equal defaults.\r\n"
    L"- The \"SetDefaults\" instruction will reset the whole hierarchy to defaults.\r\n"
    L"- Most nested types understand the following special query types:\r\n"
    L"    <type>.? for a list of possible instructions and queries\r\n"
    L"    <type>.* for the current values of all contained elements\r\n"
    L"    <type>.% for the list of those values that differ from their defaults\r\n"
    L"- Most nested types understand the following special instruction:\r\n"
    L"    <type>.SetDefaults to set that type and its descendants to their defaults\r\n"
    L"- Contained types are referenced by appending their names to their parents,\r\n"
    L"  separated by a single dot, e.g.: 'someType.someSubType.?'\r\n"
    L"- Test expressions are possible in some contexts\r\n";

const wchar_t kLanguageHelpAfterTests[] =
    L"- 'With' clauses provide easier access to deeply nested settings. For example:\r\n"
    L"    With someType.list.(name eqi \"Default\") {\r\n"
    L"      fileNameSetting \"c:\\\\SomeFile\"\r\n"
    L"      With listenSks.New {\r\n"
    L"        listenIntf 10.10.10.1\r\n"
    L"        listenPort 5554\r\n"
    L"      }\r\n"
    L"      listenSks.NewCommit\r\n"
    L"    }\r\n"
    L"  This has identical effects to:\r\n"
    L"    someType.list.(name eqi \"Default\").fileNameSetting \"c:\\\\SomeFile\"\r\n"
    L"    someType.list.(name eqi \"Default\").listenSks.New.listenIntf 10.10.10.1\r\n"
    L"    someType.list.(name eqi \"Default\").listenSks.New.listenPort 5554\r\n"
    L"    someType.list.(name eqi \"Default\").listenSks.NewCommit\r\n"
    L"- The \"WithClauses\" query shows the currently active With clauses.\r\n";

bool StartsNumber(wchar_t c) { return c == L'+' || (c >= L'0' && c <= L'9'); }

}  // namespace

void RootEvaluator::Evaluate(const std::wstring& source, ExpressionResult& result, int mode)
{
    const std::wstring text = TrimWhitespace(source);
    if (text.empty()) {
        if (mode == kValueContext) throw EvaluationErr(L"RootEvaluator: expression is empty");
        result.Clear();
        result.type = ExpressionResult::kString;
        result.text = kLanguageHelpBeforeTests + IsolatedEvaluator::DescribeTestExpressions(L"  ") +
                      kLanguageHelpAfterTests;
        return;
    }

    if (StartsNumber(text[0])) {
        bool isAddress = false;
        std::uint32_t number = 0;
        std::wstring failure = ReadNumberOrAddress(text, isAddress, number);
        if (!failure.empty()) throw EvaluationErr(failure);
        result.type = isAddress ? ExpressionResult::kIpAddress : ExpressionResult::kNumber;
        result.number = number;
        return;
    }

    if (text[0] == L'"') {
        std::wstring value;
        std::wstring failure = ReadQuotedString(text, value);
        if (!failure.empty()) throw EvaluationErr(failure);
        result.type = ExpressionResult::kString;
        result.text = value;
        return;
    }

    if (text[0] == L'$') {
        AskRoot(TrimLeadingWhitespace(text.substr(1)), result);
        return;
    }

    if (mode == kValueContext) {
        result.type = ExpressionResult::kLiteral;
        result.text = text;
    } else if (mode == kQueryContext) {
        if (text == L"WithClauses") {
            result.type = ExpressionResult::kString;
            result.text.clear();
            for (std::size_t end : withEnds_) result.text.append(withPrefix_, 0, end).append(L"\r\n");
            if (withEnds_.empty()) result.text = L"No With clauses are currently active.";
        } else {
            AskRoot(CurrentWithPrefix() + text, result);
        }
    } else {
        throw EvaluationErr(L"RootEvaluator: unrecognized context value");
    }
}

void RootEvaluator::AskRoot(const std::wstring& query, ExpressionResult& result)
{
    // A text that nests deeper than any setting needs is refused before it exhausts the stack.
    if (nesting_ >= kMaxNesting)
        throw EvaluationErr(L"RootEvaluator: expression nests more than " + UIntToWString(kMaxNesting, 10, 0) +
                            L" paths deep");
    ++nesting_;
    try {
        root_->Expression(query, *this, std::wstring(), std::wstring(), result);
    } catch (...) {
        --nesting_;
        throw;
    }
    --nesting_;
}

void RootEvaluator::ScriptInstruction(const std::wstring& line)
{
    const std::wstring trimmed = TrimWhitespace(line);
    const std::wstring withKeyword = L"With ";
    const std::wstring opening = L" {";
    if (trimmed.size() > withKeyword.size() + opening.size() && trimmed.compare(0, withKeyword.size(), withKeyword) == 0 &&
        trimmed.compare(trimmed.size() - opening.size(), opening.size(), opening) == 0) {
        const std::wstring path =
            TrimWhitespace(trimmed.substr(withKeyword.size(), trimmed.size() - withKeyword.size() - opening.size()));
        if (path.empty()) throw EvaluationErr(L"RootEvaluator: With clause '" + trimmed + L"' names no path");
        OpenWith(path);
        return;
    }
    if (trimmed == L"}") {
        if (withEnds_.empty()) throw EvaluationErr(L"RootEvaluator: '}' does not close any With clause");
        withEnds_.pop_back();
        withPrefix_.resize(withEnds_.empty() ? 0 : withEnds_.back());
        return;
    }
    root_->Instruction(withPrefix_.empty() ? line : withPrefix_ + TrimLeadingWhitespace(line), *this);
}

void RootEvaluator::OpenWith(const std::wstring& path)
{
    if (withEnds_.size() >= static_cast<std::size_t>(kMaxNesting))
        throw EvaluationErr(L"RootEvaluator: With clauses nest more than " + UIntToWString(kMaxNesting, 10, 0) +
                            L" levels deep");
    withEnds_.reserve(kMaxNesting);
    withPrefix_.append(path).append(L".");
    withEnds_.push_back(withPrefix_.size());
}
