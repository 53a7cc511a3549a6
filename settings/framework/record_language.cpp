// Instructions and queries of a record. SEAM: the settings language (branch
// settings-language) replaces this file with the real instruction and query code.
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"

void MemberMapEvaluator::Instruction(const std::wstring& text, RootEvaluator&)
{
    throw EvaluationErr(L"MemberMapEvaluator: Instruction '" + text + L"': the settings language is not built in");
}

void MemberMapEvaluator::Expression(const std::wstring& text, RootEvaluator&, const std::wstring&, const std::wstring&,
                                    ExpressionResult&)
{
    throw EvaluationErr(L"MemberMapEvaluator: Expression '" + text + L"': the settings language is not built in");
}
