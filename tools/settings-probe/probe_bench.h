// Timed runs for scripts/bench-settings: decoding a whole-settings message with many host
// rules, and reading a script of deeply nested With clauses. Each prints its figures as
// "name value" lines on standard output.
#pragma once

#include <cstdint>

// A message whose host rule list holds count rules, written in list order or reversed:
// the rule list alone and then the whole message decoded rounds times each. Returns the
// exit code.
int BenchDecode(std::uint32_t count, bool reverse, int rounds);

// A script of depth nested With clauses around one instruction, read rounds times on the
// test tree; also the peak private memory before and after. Returns the exit code.
int BenchWith(std::uint32_t depth, int rounds);
