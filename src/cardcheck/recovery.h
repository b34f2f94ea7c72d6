// Interrupted checks: a journal left in the work folder means a check was
// stopped (the program killed, the card pulled) before it had put the card's
// data back. The window looks at start-up and offers to put it back; the
// command line notes it and does it with "check --recover".
#pragma once

#include <string>
#include <vector>

#include "cardcheck/cardcheck.h"
#include "cardcheck/journal.h"

namespace cardcheck {

struct Interrupted {
    std::string journal;
    JournalHeader header;
    std::string name;  // the listed card it belongs to now; "" when that card is not there
};

// The journals of interrupted checks, each matched to a listed card when one
// is there: by identity, or (the check may have overwritten the file
// system's serial the identity includes) by name and size with this run's
// data found on the card.
std::vector<Interrupted> FindInterrupted(platform::CardAccess& cards, const std::string& workFolder);

struct RecoverResult {
    bool ok = false;
    std::string text;  // what was done, or why not
};

// Puts the card's data back, newest record first, checks it and deletes the
// journal; for an interrupted speed test through files, removes its test
// file. The card is unmounted for it, and must be shown to be the journal's.
RecoverResult Recover(platform::CardAccess& cards, const Interrupted& what, const Hooks& hooks = {});

}  // namespace cardcheck
