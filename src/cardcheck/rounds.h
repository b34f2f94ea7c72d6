// A round of probing: write probe data over a set of ranges, highest address
// first, flush, read back a set of ranges and judge every 512-byte unit.
//
// Writing from the top down matters on a card that stores two addresses in
// one place: the lower address is written last, so its data is what the
// place keeps, and the higher (fake) address is the one that reads back
// wrong. A unit that was not written but shows this round's data for
// another address tells the same about that address.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "cardcheck/extents.h"
#include "cardcheck/probe.h"
#include "cardcheck/result.h"
#include "cardcheck/session.h"

namespace cardcheck {

struct RoundPlan {
    ExtentSet writes;  // unit-aligned; kept in the journal first when journaled
    ExtentSet reads;   // read back after the writes (written or only watched)
    bool journaled = true;
    uint64_t chunkBytes = 1ull << 20;
    std::string phase;  // for the progress display
};

struct RoundOutcome {
    // What the units read back showed.
    ExtentSet ok, changed, overwritten, unreadable;
    // Addresses proven to lose data: written units that did not read back
    // as written, and addresses whose data turned up at another place.
    ExtentSet bad;
    // Pairs of addresses the card stores in one place: (higher, lower).
    std::vector<std::pair<uint64_t, uint64_t>> aliases;
    std::vector<Piece> writePieces, readPieces;
    bool stopped = false;  // the user stopped the check
    bool failed = false;   // the session failed (reason in the result)
    uint64_t FirstBad() const;
};

// Runs the round with the key; the outcome's sets cover only what the plan
// read. Returns false when it stopped or failed.
bool RunRound(Session& session, const ProbeKey& key, RoundPlan& plan, RoundOutcome* out);

// Paints what the outcome read over the regions found so far (disjoint,
// in address order).
void PaintRegions(const RoundOutcome& outcome, std::vector<Region>* regions);

}  // namespace cardcheck
