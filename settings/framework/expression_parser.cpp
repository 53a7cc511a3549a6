// The expression parser of RootEvaluator. SEAM: the settings language (branch
// settings-language) replaces this file with the real parser.
#include "settings/framework/expression.h"

void RootEvaluator::Evaluate(const std::wstring& text, ExpressionResult&, int)
{
    throw EvaluationErr(L"RootEvaluator: expression '" + text + L"': the settings language is not built in");
}
