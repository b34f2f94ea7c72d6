#include "cardcheck/report.h"

#include <cstdio>

#include "cardcheck/cardcheck.h"
#include "cardcheck/modes.h"
#include "core/driveentry.h"

namespace cardcheck {

namespace {

std::string Exact(uint64_t bytes)
{
    return ByteText(bytes) + " (" + std::to_string(bytes) + " bytes)";
}

std::string CapacityWords(const CapacityFinding& c)
{
    if (c.verdict == "genuine")
        return "The card holds what it claims: " + ByteText(c.claimedBytes) + ".";
    if (c.verdict == "counterfeit") {
        std::string text = "Counterfeit: only the first " + ByteText(c.realBytes) + " of the claimed " +
                           ByteText(c.claimedBytes) + " are real" + (c.exact ? "" : " (at most)") + ". ";
        if (c.behaviour == "wraps")
            return text + "Data written past " + ByteText(c.lossStartsAt) +
                   " lands on the card's first bytes and destroys what is there.";
        return text + "Data written past " + ByteText(c.lossStartsAt) + " is lost.";
    }
    if (c.verdict == "faulty")
        return (c.behaviour == "unreadable" ? "The card cannot be read in places, the first at "
                                            : "The card loses written data in places, the first at ") +
               ByteText(c.lossStartsAt) + ".";
    return "A failure at " + ByteText(c.lossStartsAt) +
           " did not show again with new data: the card cannot be relied on.";
}

std::string SpeedWords(const CheckResult& r)
{
    const SpeedFinding& s = r.speed;
    std::string text =
        "Sustained write speed " + SpeedText(s.writeBytesPerSecond) + ", read " + SpeedText(s.readBytesPerSecond) + ".";
    if (r.speedIsLowerBound)
        text += " The card sits in a USB 2.0 reader, which is slower than many cards: the card may be faster.";
    return text;
}

}  // namespace

std::string StateName(RegionState state)
{
    switch (state) {
    case RegionState::Ok:
        return "ok";
    case RegionState::Changed:
        return "changed";
    case RegionState::Overwritten:
        return "overwritten";
    case RegionState::Unreadable:
        break;
    }
    return "unreadable";
}

std::string Summary(const CheckResult& r)
{
    if (r.outcome == Outcome::NotDone)
        return "The check could not be done: " + r.error + (r.restored ? " The card's data was put back." : "");
    std::string text;
    switch (r.mode) {
    case Mode::Read: {
        uint64_t unreadable = 0, first = 0;
        for (const Region& region : r.regions)
            if (region.state == RegionState::Unreadable) {
                first = unreadable == 0 ? region.offset : first;
                unreadable += region.length;
            }
        text = unreadable == 0 ? "Every sample could be read."
                               : ByteText(unreadable) + " cannot be read, the first at " + ByteText(first) + ".";
        text += " Read speed " + SpeedText(r.speed.readMedianBytesPerSecond) + " (the slowest samples " +
                SpeedText(r.speed.readBytesPerSecond) + ").";
        break;
    }
    case Mode::Quick:
        text = CapacityWords(r.capacity);
        break;
    case Mode::Speed:
        text = SpeedWords(r);
        if (r.outcome == Outcome::Failed && !r.notes.empty())
            text += " " + r.notes.front() + ".";
        break;
    case Mode::Full:
        text = CapacityWords(r.capacity) + " " + SpeedWords(r);
        break;
    }
    if (r.restored)
        text += " Everything on the card was put back as it was.";
    if (r.erased)
        text += " The card was erased: format it before use.";
    return text;
}

std::string TextReport(const CheckResult& r)
{
    std::string out;
    const auto line = [&out](const std::string& text) { out += text + "\n"; };
    const platform::Volume& v = r.card;
    line("Card: " + core::EntryText(v.name, v.label, v.fsName, v.sizeBytes) + " (" + v.device + ")");
    line("Check: " + ModeName(r.mode) + ", " + std::to_string(static_cast<int>(r.seconds + 0.5)) + " s, " +
         ByteText(r.bytesRead) + " read, " + ByteText(r.bytesWritten) + " written");
    line("Result: " + Summary(r));
    if (!r.uncached)
        line("Note: the card could not be read past the system's cache; figures may be too high.");
    const CapacityFinding& c = r.capacity;
    if (c.tested && r.outcome != Outcome::NotDone) {
        line("Capacity: " + c.verdict + ", claimed " + Exact(c.claimedBytes) + ", usable " + Exact(c.realBytes) +
             (c.exact ? "" : ", at most"));
        if (c.verdict != "genuine")
            line("  Data starts to be lost at byte " + std::to_string(c.lossStartsAt) +
                 (c.behaviour == "wraps" ? ", where writes land at byte " + std::to_string(c.wrapsTo)
                                         : " (" + c.behaviour + ")"));
    }
    const SpeedFinding& s = r.speed;
    if (s.tested && r.outcome != Outcome::NotDone) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "Speed (%s): write %s sustained (median %s), read %s (median %s); first %s left out",
                      s.method.c_str(), SpeedText(s.writeBytesPerSecond).c_str(),
                      SpeedText(s.writeMedianBytesPerSecond).c_str(), SpeedText(s.readBytesPerSecond).c_str(),
                      SpeedText(s.readMedianBytesPerSecond).c_str(), ByteText(s.skippedBytes).c_str());
        line(text);
    }
    if (!r.verdicts.empty()) {
        // Columns as wide as "limited by the camera".
        char text[160];
        std::string head = "  Recording mode                        MB/s";
        for (const CameraInterface& camera : CameraInterfaces()) {
            std::snprintf(text, sizeof text, "  %-22s", camera.name.c_str());
            head += text;
        }
        line(head);
        for (const ModeVerdict& m : r.verdicts) {
            std::snprintf(text, sizeof text, "  %-36s %5.1f", m.mode.name.c_str(), m.bytesPerSecond / 1e6);
            std::string row = text;
            for (const std::string& verdict : m.verdicts) {
                std::snprintf(text, sizeof text, "  %-22s", verdict.c_str());
                row += text;
            }
            while (!row.empty() && row.back() == ' ')
                row.pop_back();
            line(row);
        }
    }
    int shown = 0;
    for (const Region& region : r.regions) {
        if (region.state == RegionState::Ok || ++shown > 20)
            continue;
        line("  " + StateName(region.state) + ": bytes " + std::to_string(region.offset) + " to " +
             std::to_string(region.offset + region.length - 1) + " (" + ByteText(region.length) + ")");
    }
    if (shown > 20)
        line("  ... and " + std::to_string(shown - 20) + " more ranges (--json lists all)");
    for (const std::string& note : r.notes)
        line("Note: " + note);
    return out;
}

}  // namespace cardcheck
