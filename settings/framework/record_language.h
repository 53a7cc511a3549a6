// The record side of the settings language: MemberMapEvaluator::Instruction and
// Expression live in record_language.cpp; this is what lists reuse of it.
#pragma once

#include <string>

class Evaluator;
class RootEvaluator;

// The "*" or "%" script lines of the nested object that a record holds as member name:
// dotted instructions (name + "." + line) for up to two lines, a "With name { ... }" block
// for more.
std::wstring DescribeEvaluatorMembers(const std::wstring& query, Evaluator& nested, RootEvaluator& root,
                                      const std::wstring& path, const std::wstring& indent, const std::wstring& name);
