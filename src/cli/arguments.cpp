#include "cli/arguments.h"

#include <iostream>

#include "cli/commands.h"

namespace cli {

namespace {

const std::set<std::string> kValueOptions = {"--partition",  "--root",           "--preset",  "--label",   "--boot",
                                             "--boot-place", "--script",         "--build",   "--develop", "--legacy",
                                             "--from",       "--catalogue-host", "--backend", "--mode",    "--need"};
const std::set<std::string> kFlagOptions = {"--help", "--version", "--include-loop", "--json", "--yes", "--recover"};

// What each command accepts besides the global options.
const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"list", {"--json"}},
    {"show", {"--json"}},
    {"set", {"--preset", "--label", "--boot", "--boot-place", "--script", "--yes"}},
    {"install", {"--build", "--develop", "--legacy", "--yes"}},
    {"remove", {"--yes"}},
    {"builds", {"--legacy", "--json"}},
    {"backup", {}},
    {"restore", {"--from"}},
    {"backups", {"--json"}},
    {"check", {"--mode", "--json", "--yes", "--need", "--recover"}},
};
const std::set<std::string> kGlobalOptions = {"--help", "--version",        "--include-loop", "--partition",
                                              "--root", "--catalogue-host", "--backend"};

}  // namespace

platform::BackendChoice& Backend()
{
    static platform::BackendChoice choice = platform::BackendChoice::Auto;
    return choice;
}

int Usage(const std::string& text)
{
    std::cerr << "flintor-cli: " << text << "\nTry 'flintor-cli --help'.\n";
    return ExitUsage;
}

int Fail(const std::string& text)
{
    std::cerr << "flintor-cli: " << text << "\n";
    return ExitFailure;
}

void Note(const std::string& text)
{
    std::cerr << text << "\n";
}

bool ParseArgs(const std::vector<std::string>& arguments, Args* args, std::string* error)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string arg = arguments[i];
        if (arg.rfind("--", 0) == 0) {
            std::string value;
            bool hasValue = false;
            const size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasValue = true;
            }
            // "--legacy" is a flag for "builds" and takes a NAME for "install".
            const bool takesValue =
                kValueOptions.count(arg) && !(arg == "--legacy" && args->command != "install" && !hasValue);
            if (takesValue) {
                if (!hasValue) {
                    if (i + 1 >= arguments.size()) {
                        *error = arg + " needs a value";
                        return false;
                    }
                    value = arguments[++i];
                }
                args->values[arg] = value;
            } else if (kFlagOptions.count(arg) || arg == "--legacy") {
                if (hasValue) {
                    *error = arg + " takes no value";
                    return false;
                }
                args->flags.insert(arg);
            } else {
                *error = "Unknown option: " + arg;
                return false;
            }
        } else if (arg == "-h") {
            args->flags.insert("--help");
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "Unknown option: " + arg;
            return false;
        } else if (args->command.empty()) {
            args->command = arg;
        } else {
            args->positional.push_back(arg);
        }
    }
    return true;
}

bool OnOff(const Args& args, const std::string& option, core::Switch* out, std::string* error)
{
    if (!args.Has(option))
        return true;
    const std::string v = args.Value(option);
    if (v == "on")
        *out = core::Switch::On;
    else if (v == "off")
        *out = core::Switch::Off;
    else {
        *error = option + " takes on or off";
        return false;
    }
    return true;
}

std::string CheckOptions(const Args& args)
{
    const auto allowed = kCommandOptions.find(args.command);
    if (allowed == kCommandOptions.end())
        return "Unknown command: " + args.command;
    for (const auto& [option, value] : args.values)
        if (!kGlobalOptions.count(option) && !allowed->second.count(option))
            return option + " does not apply to '" + args.command + "'";
    for (const std::string& option : args.flags)
        if (!kGlobalOptions.count(option) && !allowed->second.count(option))
            return option + " does not apply to '" + args.command + "'";
    return "";
}

}  // namespace cli
