// Instructions and queries of a sorted list. SEAM: the settings language (branch
// settings-language) replaces this file with the real list language.
#pragma once

template <class T>
void SortedListEvaluator<T>::Instruction(const std::wstring& text, RootEvaluator&)
{
    throw EvaluationErr(L"SortedListEvaluator: Instruction '" + text + L"': the settings language is not built in");
}

template <class T>
void SortedListEvaluator<T>::Expression(const std::wstring& text, RootEvaluator&, const std::wstring&,
                                        const std::wstring&, ExpressionResult&)
{
    throw EvaluationErr(L"SortedListEvaluator: Expression '" + text + L"': the settings language is not built in");
}
