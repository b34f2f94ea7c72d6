#include "cardcheck/cardcheck.h"

#include <filesystem>

#include "cardcheck/modes.h"
#include "cardcheck/report.h"
#include "platform/carddevice.h"

namespace cardcheck {

bool ParseMode(const std::string& text, Mode* mode)
{
    for (Mode m : {Mode::Read, Mode::Quick, Mode::Speed, Mode::Full})
        if (text == ModeName(m)) {
            *mode = m;
            return true;
        }
    return false;
}

std::string ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Read:
        return "read";
    case Mode::Quick:
        return "quick";
    case Mode::Speed:
        return "speed";
    case Mode::Full:
        break;
    }
    return "full";
}

std::string ModeSentence(Mode mode)
{
    switch (mode) {
    case Mode::Read:
        return "Reads samples from the whole card and shows its read speed and any place that cannot be read.";
    case Mode::Quick:
        return "Finds out in a minute or two whether the card really holds what it claims.";
    case Mode::Speed:
        return "Measures how fast the card can write and read for a long time, as RAW video needs.";
    case Mode::Full:
        break;
    }
    return "Writes the whole card and checks every byte: the most thorough test, and the slowest.";
}

std::string ModeWrites(Mode mode)
{
    switch (mode) {
    case Mode::Read:
        return "Writes nothing.";
    case Mode::Quick:
        return "Writes to the card and puts everything back as it was.";
    case Mode::Speed:
        return "Writes a test file in the free space and removes it (or, when the card's files cannot be reached, "
               "writes to the card and puts everything back).";
    case Mode::Full:
        break;
    }
    return "Erases everything on the card.";
}

CheckResult RunCheck(platform::CardAccess& cards, const CheckRequest& request, const Hooks& hooks)
{
    CheckResult result;
    result.mode = request.mode;
    result.run = request.options.run != 0 ? request.options.run : NewRunNumber();
    Session s(cards, request, hooks, &result);
    const double started = s.clock().Now();
    const auto finish = [&] {
        result.seconds = s.clock().Now() - started;
        result.summary = Summary(result);
        return result;
    };
    if (!s.Find())
        return finish();
    const platform::Volume card = result.card;
    const std::string journal = JournalPath(request.workFolder, card.identity);
    std::error_code ec;
    if (!request.workFolder.empty() && std::filesystem::exists(journal, ec)) {
        s.Fail("An interrupted check left this card's data in " + journal +
               ". Put it back first (check --recover, or start the window).");
        return finish();
    }
    if (card.device.rfind("/dev/", 0) == 0)
        result.readerMbps = platform::ReaderLinkMbps(card.name);
    // What a USB 2.0 link carries is less than many cards can do.
    result.speedIsLowerBound = result.readerMbps > 0 && result.readerMbps <= 480;

    const SpeedPlace speedPlace = request.mode == Mode::Speed ? ChooseSpeedPlace(card, request.options) : SpeedPlace{};
    const bool files = speedPlace.throughFiles;
    const bool writes = request.mode != Mode::Read && !files;
    if (request.mode == Mode::Full && !request.eraseConfirmed) {
        s.Fail("The full test erases the card and needs the user's consent");
        return finish();
    }
    if (!files && !s.Open(writes))
        return finish();

    bool done = false;
    switch (request.mode) {
    case Mode::Read:
        done = ScanReads(s);
        break;
    case Mode::Quick:
        done = ProbeCapacity(s);
        if (done)
            result.outcome = result.capacity.verdict == "genuine" ? Outcome::Passed : Outcome::Failed;
        break;
    case Mode::Speed:
        done = MeasureSpeed(s, speedPlace);
        break;
    case Mode::Full:
        done = TestWholeCard(s);
        break;
    }
    // Whatever happened (stopped, failed, done), what was overwritten goes
    // back before the check ends.
    if (s.journaled() && !s.Restore())
        done = false;
    s.Close();
    if (!done) {
        result.outcome = Outcome::NotDone;
        if (result.error.empty())
            result.error = "The check was stopped";
    }
    if (writes && !card.mountPoint.empty() && request.mode != Mode::Full) {
        std::string where;
        if (!cards.Mount(result.card.name, &where).ok())
            result.notes.push_back(card.name + " was unmounted for the check; mount it again to see its files.");
    }
    return finish();
}

}  // namespace cardcheck
