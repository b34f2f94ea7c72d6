// flintor-cli check: the card check from a terminal.
#pragma once

#include <string>

namespace cli {

struct CheckArgs {
    std::string name;  // the resolved card ("" with --recover alone: every interrupted check)
    std::string mode = "quick";
    bool json = false;
    bool yes = false;      // full: erase without asking
    bool recover = false;  // put back what interrupted checks overwrote
    double needBytesPerSecond = 0;
    std::string workFolder;
};

// Reads --need: a speed in MB/s ("87") or a recording mode
// ("1920x1080x14@23.976"). False when it is neither.
bool ParseNeed(const std::string& text, double* bytesPerSecond);

// Runs the check; returns the exit status: 0 passed, 3 the card failed, 1 the
// check could not be done.
int RunCheckCommand(const CheckArgs& args);

// Tells on stderr of journals that interrupted checks left, and how to put
// the cards' data back.
void NoteInterruptedChecks(const std::string& workFolder);

}  // namespace cli
