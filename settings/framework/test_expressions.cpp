#include "settings/framework/test_expressions.h"

#include <cwchar>

#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"
#include "settings/framework/language_text.h"

namespace {

enum Comparison { kGe = 0, kLe = 1, kGt = 2, kLt = 3, kEq = 4, kNe = 5 };
enum OperatorClass { kNumeric, kStringCompare, kStringCaseInsensitive };

template <class T>
bool Holds(Comparison op, const T& left, const T& right)
{
    switch (op) {
    case kGe: return !(left < right);
    case kLe: return !(right < left);
    case kGt: return right < left;
    case kLt: return left < right;
    case kEq: return left == right;
    case kNe: return !(left == right);
    }
    return false;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// Code units compared as unsigned 16-bit values, a proper prefix first.
struct UnitString {
    std::u16string units;
    explicit UnitString(const std::wstring& text) : units(text.begin(), text.end()) {}
    bool operator<(const UnitString& other) const { return units < other.units; }
    bool operator==(const UnitString& other) const { return units == other.units; }
};

}  // namespace

bool IsolatedEvaluator::Test(Evaluator& entry, const std::wstring& test, RootEvaluator& root)
{
    if (test.empty()) throw EvaluationErr(L"Test expression is empty");
    if (!IsTrimmed(test)) throw EvaluationErr(L"Test expression '" + test + L"' is not trimmed");
    const std::wstring invalid = L"Invalid test expression '" + test + L"' - ";

    std::wstring left, rest;
    wchar_t c = SplitAtSeparator(test, test.find_first_of(L"!=<> \t"), left, rest);
    if (left.empty()) throw EvaluationErr(invalid + L"left-hand part is empty");
    if (rest.empty()) throw EvaluationErr(invalid + L"no operator supplied");

    Comparison op = kEq;
    OperatorClass opClass = kNumeric;
    wchar_t next = rest[0];
    if ((c == L'>' || c == L'<') && next == L'=') {
        op = c == L'>' ? kGe : kLe;
        rest.erase(0, 1);
    } else if (c == L'>' || c == L'<') {
        op = c == L'>' ? kGt : kLt;
    } else if ((c == L'=' || c == L'!') && next == L'=') {
        op = c == L'=' ? kEq : kNe;
        rest.erase(0, 1);
    } else if (c == L'=' || c == L'!') {
        throw EvaluationErr(invalid + L"unrecognized operator type");
    } else {
        rest = TrimLeadingWhitespace(rest);
        static const struct {
            const wchar_t* symbol;
            Comparison op;
        } symbols[] = {{L">=", kGe}, {L"<=", kLe}, {L">", kGt}, {L"<", kLt}, {L"==", kEq}, {L"!=", kNe}};
        bool found = false;
        // Two-character operators first, so that ">=" is not read as ">".
        for (const auto& s : symbols) {
            if (std::wcslen(s.symbol) == 2 && StartsWith(rest, s.symbol)) {
                op = s.op;
                rest.erase(0, 2);
                found = true;
                break;
            }
        }
        if (!found && (StartsWith(rest, L">") || StartsWith(rest, L"<"))) {
            op = rest[0] == L'>' ? kGt : kLt;
            rest.erase(0, 1);
            found = true;
        }
        if (!found) {
            static const struct {
                const wchar_t* word;
                Comparison op;
            } words[] = {{L"ge", kGe}, {L"le", kLe}, {L"gt", kGt}, {L"lt", kLt}, {L"eq", kEq}, {L"ne", kNe}};
            std::wstring word, remainder;
            SplitAtSeparator(rest, rest.find_first_of(L" \t"), word, remainder);
            bool caseInsensitive = word.size() == 3 && word[2] == L'i';
            std::wstring stem = caseInsensitive ? word.substr(0, 2) : word;
            for (const auto& w : words) {
                if (stem == w.word) {
                    op = w.op;
                    opClass = caseInsensitive ? kStringCaseInsensitive : kStringCompare;
                    found = true;
                }
            }
            if (!found) throw EvaluationErr(invalid + L"no recognized operator present");
            rest = remainder;
        }
    }
    const std::wstring rightText = TrimLeadingWhitespace(rest);

    ExpressionResult leftValue;
    entry.Expression(left, root, std::wstring(), std::wstring(), leftValue);
    ExpressionResult rightValue;
    root.Evaluate(rightText, rightValue, RootEvaluator::kValueContext);

    if (opClass == kNumeric) {
        if (leftValue.type == ExpressionResult::kLiteral) {
            if (rightValue.type != ExpressionResult::kLiteral) {
                throw EvaluationErr(L"The left-hand side of test expression '" + test +
                                    L"' is a literal, while the right-hand side is not; literal can only be "
                                    L"compared to a literal");
            }
            if (op != kEq && op != kNe) throw EvaluationErr(invalid + L"invalid operator for comparison of literal values");
            return Holds(op, leftValue.text, rightValue.text);
        }
        if (rightValue.type == ExpressionResult::kLiteral) {
            throw EvaluationErr(L"The right-hand side of test expression '" + test +
                                L"' is a literal, while the left-hand side is not; literal can only be compared "
                                L"to a literal");
        }
        auto isNumeric = [](const ExpressionResult& r) {
            return r.type == ExpressionResult::kNumber || r.type == ExpressionResult::kIpAddress;
        };
        if (!isNumeric(leftValue)) {
            throw EvaluationErr(L"The left-hand side of test expression '" + test +
                                L"' is a string and cannot be compared numerically; use a string comparison operator");
        }
        if (!isNumeric(rightValue)) {
            throw EvaluationErr(L"The right-hand side of test expression '" + test +
                                L"' is a string and cannot be compared numerically; use a string comparison operator");
        }
        return Holds(op, leftValue.number, rightValue.number);
    }

    if (leftValue.type != ExpressionResult::kString || rightValue.type != ExpressionResult::kString)
        throw EvaluationErr(invalid + L"string comparison attempted with non-string arguments");
    std::wstring leftText, rightTextValue;
    leftValue.ToString(leftText, false);
    rightValue.ToString(rightTextValue, false);
    if (opClass == kStringCaseInsensitive) {
        leftText = LowerCaseAscii(leftText);
        rightTextValue = LowerCaseAscii(rightTextValue);
    }
    return Holds(op, UnitString(leftText), UnitString(rightTextValue));
}

std::wstring IsolatedEvaluator::DescribeTestExpressions(const std::wstring& indent)
{
    return indent + L"Example test expression:\r\n" + indent +
           L"  someType.someList.(name eqi \"steve\").someValue 123\r\n" + indent +
           L"affects the first entry of someList where the 'name' member is \"Steve\".\r\n" + indent +
           L"Numeric comparison operators: > < >= <= == !=\r\n" + indent +
           L"String comparison operators: gt lt ge le eq ne\r\n" + indent +
           L"Case-insensitive string comparison operators: gti lti gei lei eqi nei\r\n";
}
