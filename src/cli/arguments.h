// The command line of flintor-cli: its options, how they are read, and the
// three ways a command ends (a result, a failure, a bad command line).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/markerpresets.h"
#include "platform/cardaccess.h"

namespace cli {

struct Args {
    std::string command;
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options with a value
    std::set<std::string> flags;                // options without one
    bool Has(const std::string& option) const { return values.count(option) || flags.count(option); }
    std::string Value(const std::string& option) const
    {
        const auto it = values.find(option);
        return it == values.end() ? std::string() : it->second;
    }
};

// Reads the arguments (without the program name); false with *error for an
// unknown option or a missing value.
bool ParseArgs(const std::vector<std::string>& arguments, Args* args, std::string* error);
// Empty when every option given applies to the command (or to all of them),
// otherwise the usage error. Unknown commands are refused too.
std::string CheckOptions(const Args& args);

// --label/--boot/--script: "on" or "off"; false with *error for anything else.
bool OnOff(const Args& args, const std::string& option, core::Switch* out, std::string* error);

// How cards are reached (--backend; FLINTOR_BACKEND and then auto otherwise).
platform::BackendChoice& Backend();

// The ends of a command: a bad command line (2), a failure (1), both told on
// stderr; Note writes a line for the user on stderr.
int Usage(const std::string& text);
int Fail(const std::string& text);
void Note(const std::string& text);

}  // namespace cli
