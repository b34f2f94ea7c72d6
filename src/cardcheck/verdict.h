// Whether a card is fast enough for a recording mode. A RAW video mode
// needs width x height x bits / 8 x frames per second bytes per second; the
// camera's card interface caps what any card can give it.
#pragma once

#include <string>
#include <vector>

namespace cardcheck {

struct RecordingMode {
    std::string name;  // "1920x1080 14-bit 23.976 fps"
    int width = 0;
    int height = 0;
    int bits = 0;
    double fps = 0;
};

// The camera's card interface: what the fastest card can reach through it.
struct CameraInterface {
    std::string key;   // "sd", "cf"
    std::string name;  // "SD card cameras"
    double bytesPerSecond = 0;
};

struct ModeVerdict {
    RecordingMode mode;
    double bytesPerSecond = 0;
    // One per camera interface, in CameraInterfaces() order: "enough",
    // "limited by the camera", "too slow", or "not known" (a reader slower
    // than the mode needs).
    std::vector<std::string> verdicts;
};

double DataRate(const RecordingMode& mode);
const std::vector<RecordingMode>& RecordingModes();
const std::vector<CameraInterface>& CameraInterfaces();

// The verdict for one mode: what the camera cannot reach is "limited by the
// camera" whatever the card; otherwise the card's sustained write speed
// decides, unless the reader capped the measurement below the mode's need.
std::string Judge(double modeRate, double cardWrite, double cameraLimit, bool speedIsLowerBound);

std::vector<ModeVerdict> JudgeModes(double cardWriteBytesPerSecond, bool speedIsLowerBound);

}  // namespace cardcheck
