// Which camera a card comes from, and which Magic Lantern build is made for
// it. Pure text rules: no files, no Exif library, no widgets.
//
// A build is made for one camera model and one firmware version. Its name
// says which: a token of letters and digits that is a camera code followed by
// exactly three digits, one per part of the firmware version:
//   magiclantern-Nightly.2018Jul03.5D3123.zip  ->  5D3, firmware 1.2.3
//   ...550D109.zip -> 550D, 1.0.9         ...EOSM202.zip -> EOSM, 2.0.2
// The camera codes and the model names cameras write into their photos are
// in the table of cameras.cpp (and in README.md).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/catalogue.h"

namespace camera {

// What the card's photos say about the camera that took them.
struct CameraInfo {
    std::string model;     // as the camera writes it ("Canon EOS 5D Mark III"); empty when unknown
    std::string firmware;  // "1.2.3"; empty when unknown
    bool operator==(const CameraInfo&) const = default;
};

// A camera's model and firmware texts as the Exif data holds them, cleaned:
// printable ASCII up to the first zero byte, runs of spaces as one, trimmed,
// at most 64 characters. The firmware is the first version number of two to
// four parts in its text ("Firmware Version 1.2.3" gives "1.2.3").
CameraInfo CameraFromExif(std::string_view model, std::string_view firmwareText);
std::string CleanExifText(std::string_view raw);
std::string FirmwareVersion(std::string_view text);

// The build code of a camera model ("Canon EOS REBEL T2i" gives "550D"); empty
// for a model the table does not hold. Letter case and spacing do not count.
std::string CameraCode(std::string_view model);
// The model name a code stands for ("5D3" gives "Canon EOS 5D Mark III").
std::string ModelOfCode(std::string_view code);

// The camera and firmware a build is made for, from its name.
struct BuildTarget {
    std::string code;      // "5D3"; empty when the name follows no known camera's rule
    std::string firmware;  // "1.2.3"
    bool known() const { return !code.empty(); }
};
BuildTarget TargetOfName(std::string_view text);
// The archive's file name in the address counts first, then the display name.
BuildTarget TargetOfBuild(const std::string& name, const std::string& url);

enum class Fit {
    Unknown,        // the camera or the build's camera cannot be told
    Match,          // same camera, same firmware
    OtherCamera,    // the build is made for another camera
    OtherFirmware,  // same camera, another firmware version
};
// A camera whose firmware is unknown fits a build for its model as Unknown.
Fit BuildFit(const CameraInfo& camera, const BuildTarget& target);

// Index of the first build made for this camera and firmware; -1 when none.
int CameraBuildIndex(const std::vector<core::TPorts>& builds, const CameraInfo& camera);

// The content line: "Canon EOS 5D Mark III firmware 1.2.3", the model alone
// when the firmware is unknown, "-" when the camera is unknown.
std::string CameraLine(const CameraInfo& camera);

// Why a build does not suit the camera, in plain words naming the build, the
// build's camera and firmware and the card's; empty unless fit is
// OtherCamera or OtherFirmware.
std::string MismatchText(Fit fit, const CameraInfo& camera, const BuildTarget& target, const std::string& build);

}  // namespace camera
