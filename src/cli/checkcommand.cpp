#include "cli/checkcommand.h"

#include <cstdio>
#include <iostream>

#include "cardcheck/cardcheck.h"
#include "cardcheck/recovery.h"
#include "cardcheck/report.h"
#include "cli/commands.h"
#include "cli/commandset.h"
#include "cli/target.h"
#include "core/driveentry.h"
#include "platform/cardaccess.h"
#include "platform/terminal.h"

namespace cli {

namespace {

// Ctrl+C and friends stop the check (with an InterruptCatcher alive); it
// still puts the card's data back and removes its test file before the
// program ends.
cardcheck::Hooks TerminalHooks()
{
    cardcheck::Hooks hooks;
    hooks.cancelled = [] { return platform::InterruptRequested(); };
    hooks.log = [](const std::string& text) { std::cerr << text << "\n"; };
    if (platform::StandardErrorIsTerminal()) {
        hooks.progress = [](const cardcheck::Progress& p) {
            char left[32] = "";
            if (p.secondsLeft >= 0)
                std::snprintf(left, sizeof left, ", %d:%02d left", static_cast<int>(p.secondsLeft) / 60,
                              static_cast<int>(p.secondsLeft) % 60);
            std::fprintf(stderr, "\r%3d%% %-44.44s%-14s", static_cast<int>(p.fraction * 100), p.phase.c_str(), left);
            std::fflush(stderr);
        };
    }
    return hooks;
}

bool ConfirmErase(const platform::Volume& card)
{
    if (!platform::StandardInputIsTerminal())
        return false;
    std::cerr << "The full test erases everything on "
              << core::EntryText(card.name, card.label, card.fsName, card.sizeBytes) << " (" << card.device
              << "). Type yes to erase it: ";
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "yes";
}

int Recover(const CheckArgs& args)
{
    platform::CardAccess& cards = platform::Cards();
    int status = ExitOk;
    int seen = 0;
    for (const cardcheck::Interrupted& it : cardcheck::FindInterrupted(cards, args.workFolder)) {
        if (!args.name.empty() && it.name != args.name)
            continue;
        ++seen;
        platform::InterruptCatcher interrupts;
        const cardcheck::RecoverResult r = cardcheck::Recover(cards, it, TerminalHooks());
        if (platform::StandardErrorIsTerminal())
            std::cerr << "\n";
        (r.ok ? std::cout : std::cerr) << r.text << "\n";
        if (!r.ok)
            status = ExitFailure;
    }
    if (seen == 0)
        std::cout << "No interrupted check " << (args.name.empty() ? "" : "of " + args.name + " ") << "to recover.\n";
    return status;
}

}  // namespace

bool ParseNeed(const std::string& text, double* bytesPerSecond)
{
    int width = 0, height = 0, bits = 0;
    double fps = 0, mb = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%dx%dx%d@%lf%c", &width, &height, &bits, &fps, &end) == 4 && width > 0 &&
        height > 0 && bits > 0 && fps > 0) {
        *bytesPerSecond = cardcheck::DataRate({text, width, height, bits, fps});
        return true;
    }
    if (std::sscanf(text.c_str(), "%lf%c", &mb, &end) == 1 && mb > 0) {
        *bytesPerSecond = mb * 1e6;
        return true;
    }
    return false;
}

int RunCheckCommand(const CheckArgs& args)
{
    if (args.recover)
        return Recover(args);
    cardcheck::CheckRequest request;
    request.name = args.name;
    request.workFolder = args.workFolder;
    request.neededBytesPerSecond = args.needBytesPerSecond;
    cardcheck::ParseMode(args.mode, &request.mode);
    platform::CardAccess& cards = platform::Cards();
    if (request.mode == cardcheck::Mode::Full) {
        platform::Volume card;
        if (!cards.FindVolume(args.name, &card)) {
            std::cerr << "flintor-cli: " << args.name << " is not a card any more\n";
            return ExitFailure;
        }
        request.eraseConfirmed = args.yes || ConfirmErase(card);
        if (!request.eraseConfirmed) {
            std::cerr << "flintor-cli: the full test erases the card: give --yes when no one can be asked. Nothing "
                         "was written.\n";
            return ExitFailure;
        }
    }
    platform::InterruptCatcher interrupts;
    const cardcheck::CheckResult result = cardcheck::RunCheck(cards, request, TerminalHooks());
    if (platform::StandardErrorIsTerminal())
        std::cerr << "\r" << std::string(64, ' ') << "\r";
    if (args.json)
        std::cout << cardcheck::JsonReport(result);
    else
        std::cout << cardcheck::TextReport(result);
    switch (result.outcome) {
    case cardcheck::Outcome::Passed:
        return ExitOk;
    case cardcheck::Outcome::Failed:
        return ExitCardFailed;
    case cardcheck::Outcome::NotDone:
        break;
    }
    return ExitFailure;
}

void NoteInterruptedChecks(const std::string& workFolder)
{
    if (workFolder.empty() || cardcheck::ListJournals(workFolder).empty())
        return;
    for (const cardcheck::Interrupted& it : cardcheck::FindInterrupted(platform::Cards(), workFolder)) {
        if (it.name.empty())
            std::cerr << "An interrupted check of " << it.header.card << " (" << it.header.created
                      << ") kept that card's data in " << it.journal << ". Put the card in and run 'flintor-cli "
                      << "check --recover' to put its data back.\n";
        else
            std::cerr << "An interrupted check of " << it.name << " (" << it.header.created
                      << ") has not put its data back yet. Run 'flintor-cli check " << it.name
                      << " --recover' to do it now.\n";
    }
}

int Check(const Args& args)
{
    CheckArgs check;
    check.json = args.Has("--json");
    check.yes = args.Has("--yes");
    check.recover = args.Has("--recover");
    if (args.Has("--mode")) {
        check.mode = args.Value("--mode");
        if (check.mode != "read" && check.mode != "quick" && check.mode != "speed" && check.mode != "full")
            return Usage("--mode takes read, quick, speed or full");
    }
    if (args.Has("--need") && !ParseNeed(args.Value("--need"), &check.needBytesPerSecond))
        return Usage("--need takes a speed in MB/s (87) or a recording mode (1920x1080x14@23.976)");
    if (args.positional.size() > 1 || (args.positional.empty() && !check.recover))
        return Usage("'check' needs one TARGET: a card name, a device path or an image file");
    if (!args.positional.empty()) {
        std::string error;
        bool usage = false;
        if (!ResolveTarget(args, args.positional[0], &check.name, &error, &usage))
            return usage ? Usage(error) : Fail(error);
    }
    check.workFolder = WorkFolder();
    return RunCheckCommand(check);
}

}  // namespace cli
