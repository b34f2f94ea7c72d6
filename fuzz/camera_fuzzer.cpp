// libFuzzer target: what Flintor does with the texts the Exif library hands
// it and with a catalogue's build names. The input is split at 0x1F bytes
// into a model text, a firmware text, a build's name and its address.
#include "camera/cameras.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Printable ASCII, at most 64 characters, single inner spaces only.
void CheckClean(const std::string& text)
{
    Check(text.size() <= 64);
    for (size_t i = 0; i < text.size(); ++i) {
        Check(text[i] >= 0x20 && text[i] <= 0x7E);
        Check(text[i] != ' ' || (i > 0 && i + 1 < text.size() && text[i - 1] != ' '));
    }
}

// "" or two to four dot-separated parts of one to three digits.
void CheckVersion(const std::string& version)
{
    if (version.empty())
        return;
    size_t parts = 1, digits = 0;
    for (char c : version) {
        if (c == '.') {
            Check(digits > 0);
            ++parts;
            digits = 0;
        } else {
            Check(IsDigit(c));
            Check(++digits <= 3);
        }
    }
    Check(digits > 0 && parts >= 2 && parts <= 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1F && pieces.size() < 4)
            pieces.emplace_back();
        else
            pieces.back().push_back(static_cast<char>(data[i]));
    }
    pieces.resize(4);
    const std::string &model = pieces[0], &firmware = pieces[1], &name = pieces[2], &url = pieces[3];

    const camera::CameraInfo cam = camera::CameraFromExif(model, firmware);
    CheckClean(cam.model);
    CheckVersion(cam.firmware);
    Check(!cam.model.empty() || cam.firmware.empty());
    CheckVersion(camera::FirmwareVersion(firmware));

    const camera::BuildTarget target = camera::TargetOfBuild(name, url);
    if (target.known()) {
        // Every code a name gives belongs to a model of the table, and the
        // firmware is one digit per part.
        Check(camera::CameraCode(camera::ModelOfCode(target.code)) == target.code);
        Check(target.firmware.size() == 5 && target.firmware[1] == '.' && target.firmware[3] == '.');
    } else {
        Check(target.firmware.empty());
    }

    const camera::Fit fit = camera::BuildFit(cam, target);
    if (fit == camera::Fit::Match)
        Check(camera::CameraCode(cam.model) == target.code && cam.firmware == target.firmware);
    const std::string why = camera::MismatchText(fit, cam, target, name);
    Check(why.empty() == (fit != camera::Fit::OtherCamera && fit != camera::Fit::OtherFirmware));

    const std::vector<core::TPorts> builds = {{name, url, "", ""}, {url, name, "", ""}};
    const int index = camera::CameraBuildIndex(builds, cam);
    Check(index >= -1 && index < 2);
    if (index >= 0) {
        const core::TPorts& build = builds[static_cast<size_t>(index)];
        Check(camera::BuildFit(cam, camera::TargetOfBuild(build.name, build.url)) == camera::Fit::Match);
    }
    const std::string line = camera::CameraLine(cam);
    Check(cam.model.empty() ? line == "-" : line.rfind(cam.model, 0) == 0);
    return 0;
}
