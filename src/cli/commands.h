// flintor-cli: the window's card work from a terminal, over the same core.
#pragma once

#include <string>
#include <vector>

namespace cli {

// ExitCardFailed: the card check found the card unfit.
enum ExitCode : int { ExitOk = 0, ExitFailure = 1, ExitUsage = 2, ExitCardFailed = 3 };

// Runs one command line (without the program name). Results go to stdout,
// messages to stderr.
int Run(const std::vector<std::string>& arguments);

std::string UsageText();

}  // namespace cli
