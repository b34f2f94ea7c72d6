#include "cardcheck/verdict.h"

namespace cardcheck {

double DataRate(const RecordingMode& mode)
{
    return static_cast<double>(mode.width) * mode.height * mode.bits / 8.0 * mode.fps;
}

const std::vector<RecordingMode>& RecordingModes()
{
    // Common RAW video choices, from the most demanding down.
    static const std::vector<RecordingMode> modes = {
        {"1920x1080 14-bit 23.976 fps", 1920, 1080, 14, 23.976}, {"1280x720 14-bit 50 fps", 1280, 720, 14, 50},
        {"1920x1080 12-bit 23.976 fps", 1920, 1080, 12, 23.976}, {"1920x818 14-bit 23.976 fps", 1920, 818, 14, 23.976},
        {"1920x1080 10-bit 23.976 fps", 1920, 1080, 10, 23.976}, {"1736x976 10-bit 23.976 fps", 1736, 976, 10, 23.976},
        {"1280x544 10-bit 23.976 fps", 1280, 544, 10, 23.976},
    };
    return modes;
}

const std::vector<CameraInterface>& CameraInterfaces()
{
    // What the fastest cameras of each kind reach through their card slot;
    // many SD cameras stop near 20 MB/s.
    static const std::vector<CameraInterface> interfaces = {
        {"sd", "SD card cameras", 40e6},
        {"cf", "CF card cameras", 95e6},
    };
    return interfaces;
}

std::string Judge(double modeRate, double cardWrite, double cameraLimit, bool speedIsLowerBound)
{
    if (modeRate > cameraLimit)
        return "limited by the camera";
    if (modeRate <= cardWrite)
        return "enough";
    return speedIsLowerBound ? "not known" : "too slow";
}

std::vector<ModeVerdict> JudgeModes(double cardWriteBytesPerSecond, bool speedIsLowerBound)
{
    std::vector<ModeVerdict> all;
    for (const RecordingMode& mode : RecordingModes()) {
        ModeVerdict v;
        v.mode = mode;
        v.bytesPerSecond = DataRate(mode);
        for (const CameraInterface& camera : CameraInterfaces())
            v.verdicts.push_back(
                Judge(v.bytesPerSecond, cardWriteBytesPerSecond, camera.bytesPerSecond, speedIsLowerBound));
        all.push_back(v);
    }
    return all;
}

}  // namespace cardcheck
