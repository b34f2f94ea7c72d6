// Bringing a card whose Save was cut short (the program killed, the power
// gone) to the state before or after that Save, from the journal the Save
// kept in the work folder. Both programs run it at start for every card that
// is present and whenever a card is loaded or named.
//
// Recovery only ever deletes or renames the operation's own temporary and
// set-aside files (their names carry the operation's token) and the folders
// it made, and it checks the card against the journal before it acts: a
// copy of the card (same identity, none of those files) is left alone.
//   install, unpack:  the temporary files and made folders are deleted
//   install, commit:  the renames are finished, the boot record is written,
//                     the set-aside files are deleted
//   install, cleanup: the set-aside files are deleted
//   remove:           when the boot record is the one the removal writes
//                     (or a write of it was cut short, which is finished),
//                     the build's files are deleted
//   boot record only: a write that was cut short is finished
#pragma once

#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace cardops {

struct RecoveryReport {
    std::string name;      // the card
    bool found = false;    // a journal of this card was there
    bool changed = false;  // the card was changed
    bool settled = false;  // the journal is gone: the card is as before or as after the Save
    std::string message;   // what was done, for the user; empty when no journal was found
};

RecoveryReport Recover(platform::CardAccess& cards, const std::string& workFolder, const std::string& name);

// Recover for every listed card with a journal.
std::vector<RecoveryReport> RecoverAll(platform::CardAccess& cards, const std::string& workFolder);

}  // namespace cardops
