// The modes of the check, each a function on a session. Private to
// src/cardcheck.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardcheck/rounds.h"
#include "cardcheck/session.h"

namespace cardcheck {

// quick: the real capacity (result.capacity and regions). The caller puts
// the journal back.
bool ProbeCapacity(Session& session);
// read: samples over the whole card, read only.
bool ScanReads(Session& session);
// Where the speed test runs: through a test file under root (with room for
// it), or at device level when throughFiles is false.
struct SpeedPlace {
    bool throughFiles = false;
    std::string root;
    uint64_t room = 0;
};
// Decided once, before the card is opened or unmounted: the card's mount
// point and free space are only known while it is mounted.
SpeedPlace ChooseSpeedPlace(const platform::Volume& card, const Options& options);
// speed: through a test file or at device level, as chosen.
bool MeasureSpeed(Session& session, const SpeedPlace& place);
// full: writes and checks every byte.
bool TestWholeCard(Session& session);

// Bytes per second of each whole one-second window of the timed pieces,
// after the first skipBytes. A piece's bytes are spread evenly over its time.
std::vector<double> WindowSpeeds(const std::vector<Piece>& pieces, uint64_t skipBytes, double window = 1.0);
// The speed figures of timed writes and reads: the 5th percentile and the
// median of one-second windows (the first skipBytes written left out), or
// the average when there are no whole windows.
void FillSpeed(SpeedFinding* finding, const std::vector<Piece>& writes, const std::vector<Piece>& reads,
               uint64_t skipBytes);
// The p-th percentile (0..100) of the values, 0 for none.
double Percentile(std::vector<double> values, double p);
// Speed by position from timed pieces, folded into at most `bins` samples.
std::vector<SpeedSample> SamplesByPosition(const std::vector<Piece>& writes, const std::vector<Piece>& reads,
                                           uint64_t size, size_t bins);

// "8.00 GB", "64.0 MB", "512 kB", "100 bytes" (decimal, as on the card's
// label); and "12.3 MB/s".
std::string ByteText(uint64_t bytes);
std::string SpeedText(double bytesPerSecond);

}  // namespace cardcheck
