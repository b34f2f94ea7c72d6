// A check's result in words (the window and the command line) and as JSON
// (--json; the format is versioned and documented in the README).
#pragma once

#include <string>

#include "cardcheck/result.h"

namespace cardcheck {

// Version of the JSON format; it grows when fields are added, and changes
// meaning only with a new major number.
constexpr int kJsonVersion = 1;

// One or two sentences: the verdict in plain words.
std::string Summary(const CheckResult& result);
// The whole result for a terminal, line by line.
std::string TextReport(const CheckResult& result);
std::string JsonReport(const CheckResult& result);

std::string StateName(RegionState state);

}  // namespace cardcheck
