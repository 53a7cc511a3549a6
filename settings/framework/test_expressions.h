// Test expressions: "left operator right", where left is a query on one list entry, right a
// value, and the operator compares numerically, as strings, or as strings without regard to
// the case of ASCII letters. Lists select entries with them.
#pragma once

#include <string>

class Evaluator;
class RootEvaluator;

class IsolatedEvaluator {
public:
    // Whether the test holds for entry; every failure throws EvaluationErr.
    static bool Test(Evaluator& entry, const std::wstring& test, RootEvaluator& root);
    // The help text of the tests, each line after indent.
    static std::wstring DescribeTestExpressions(const std::wstring& indent);
};
