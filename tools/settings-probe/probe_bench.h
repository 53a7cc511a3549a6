// Timed runs for scripts/bench-settings. Each prints its figures as "name value" lines on
// standard output and returns the exit code.
#pragma once

#include <cstdint>
#include <string>

// What a benchmark message holds many of: host accept rules or accounts.
enum class BenchEntries { kHosts, kAccounts };

// Writes to file a whole-settings message that holds count distinct entries (count 0: the
// most that a stored settings value can hold) and prints its size, the entry count and
// where the entries' records lie ("records-at", "record-bytes").
int BenchMake(BenchEntries what, std::uint32_t count, const std::string& file);

// Decodes the message in file once into a fresh settings holder and destroys the tree
// again: the decode and destroy times, the peak resident memory that decoding added and
// the private memory that the decoded tree holds.
int BenchLoad(BenchEntries what, std::uint32_t count, const std::string& file);

// The yardstick of BenchLoad over the same bytes, with the same figures: the count records
// at offset, each recordBytes long, read into a std::vector of plain structs (host rules)
// or each copied into a std::string of its own (accounts).
int BenchPlain(BenchEntries what, std::uint32_t count, const std::string& file, std::uint32_t offset,
               std::uint32_t recordBytes);

// A script of depth nested With clauses around one instruction, read rounds times on the
// test tree; also the peak resident memory before and after.
int BenchWith(std::uint32_t depth, int rounds);
