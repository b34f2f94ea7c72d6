// The result as JSON for scripts. See the README's "Checking a card" for the
// fields; kJsonVersion counts their changes.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "cardcheck/cardcheck.h"
#include "cardcheck/report.h"

namespace cardcheck {

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// Byte counts stay exact in a double up to 2^53.
double Num(uint64_t value)
{
    return static_cast<double>(value);
}

QJsonArray Numbers(const std::vector<double>& values)
{
    QJsonArray array;
    for (double v : values)
        array.append(v);
    return array;
}

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Passed:
        return "passed";
    case Outcome::Failed:
        return "failed";
    case Outcome::NotDone:
        break;
    }
    return "not done";
}

}  // namespace

std::string JsonReport(const CheckResult& r)
{
    QJsonObject o;
    o["format"] = "flintor-card-check";
    o["version"] = kJsonVersion;
    o["mode"] = Q(ModeName(r.mode));
    o["outcome"] = OutcomeName(r.outcome);
    o["summary"] = Q(r.summary);
    if (!r.error.empty())
        o["error"] = Q(r.error);
    QJsonObject card;
    card["name"] = Q(r.card.name);
    card["device"] = Q(r.card.device);
    card["label"] = Q(r.card.label);
    card["fileSystem"] = Q(r.card.fsName);
    card["sizeBytes"] = Num(r.card.sizeBytes);
    o["card"] = card;
    o["seconds"] = r.seconds;
    o["bytesRead"] = Num(r.bytesRead);
    o["bytesWritten"] = Num(r.bytesWritten);
    o["uncached"] = r.uncached;
    o["readerMbps"] = static_cast<int>(r.readerMbps);
    o["speedIsLowerBound"] = r.speedIsLowerBound;
    o["restored"] = r.restored;
    o["erased"] = r.erased;
    if (r.capacity.tested) {
        const CapacityFinding& c = r.capacity;
        QJsonObject cap;
        cap["verdict"] = Q(c.verdict);
        cap["claimedBytes"] = Num(c.claimedBytes);
        cap["realBytes"] = Num(c.realBytes);
        cap["exact"] = c.exact;
        cap["behaviour"] = Q(c.behaviour);
        cap["lossStartsAt"] = Num(c.lossStartsAt);
        if (c.behaviour == "wraps")
            cap["wrapsTo"] = Num(c.wrapsTo);
        o["capacity"] = cap;
    }
    if (r.speed.tested || r.mode == Mode::Read) {
        const SpeedFinding& s = r.speed;
        QJsonObject speed;
        if (r.speed.tested) {
            speed["method"] = Q(s.method);
            speed["writeBytesPerSecond"] = s.writeBytesPerSecond;
            speed["writeMedianBytesPerSecond"] = s.writeMedianBytesPerSecond;
            speed["skippedBytes"] = Num(s.skippedBytes);
            speed["measuredBytes"] = Num(s.measuredBytes);
            speed["writeWindows"] = Numbers(s.writeWindows);
            speed["readWindows"] = Numbers(s.readWindows);
        }
        speed["readBytesPerSecond"] = s.readBytesPerSecond;
        speed["readMedianBytesPerSecond"] = s.readMedianBytesPerSecond;
        o["speed"] = speed;
    }
    QJsonArray samples;
    for (const SpeedSample& s : r.samples) {
        QJsonObject sample;
        sample["offset"] = Num(s.offset);
        sample["length"] = Num(s.length);
        if (s.readBytesPerSecond > 0)
            sample["readBytesPerSecond"] = s.readBytesPerSecond;
        if (s.writeBytesPerSecond > 0)
            sample["writeBytesPerSecond"] = s.writeBytesPerSecond;
        samples.append(sample);
    }
    o["samples"] = samples;
    QJsonArray regions;
    for (const Region& region : r.regions) {
        QJsonObject part;
        part["offset"] = Num(region.offset);
        part["length"] = Num(region.length);
        part["state"] = Q(StateName(region.state));
        regions.append(part);
    }
    o["regions"] = regions;
    QJsonArray interfaces;
    for (const CameraInterface& camera : CameraInterfaces()) {
        QJsonObject c;
        c["key"] = Q(camera.key);
        c["name"] = Q(camera.name);
        c["bytesPerSecond"] = camera.bytesPerSecond;
        interfaces.append(c);
    }
    QJsonArray verdicts;
    for (const ModeVerdict& m : r.verdicts) {
        QJsonObject v;
        v["mode"] = Q(m.mode.name);
        v["width"] = m.mode.width;
        v["height"] = m.mode.height;
        v["bits"] = m.mode.bits;
        v["fps"] = m.mode.fps;
        v["bytesPerSecond"] = m.bytesPerSecond;
        QJsonObject per;
        for (size_t i = 0; i < m.verdicts.size() && i < CameraInterfaces().size(); ++i)
            per[Q(CameraInterfaces()[i].key)] = Q(m.verdicts[i]);
        v["verdicts"] = per;
        verdicts.append(v);
    }
    if (!r.verdicts.empty()) {
        o["cameraInterfaces"] = interfaces;
        o["recordingModes"] = verdicts;
    }
    QJsonArray notes;
    for (const std::string& note : r.notes)
        notes.append(Q(note));
    o["notes"] = notes;
    return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace cardcheck
