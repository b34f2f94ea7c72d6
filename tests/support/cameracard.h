// Cards of known cameras for the tests of the card's camera: photos made here
// with known Exif data, written with the Exif library (a JPEG drawn with Qt, a
// small CR2, which is a TIFF file, and a CR3, an ISO media file whose Canon box
// holds the library's TIFF blocks as the cameras write it), and build
// catalogues and archives named the way builds are named for each camera.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

enum class PhotoKind { Jpeg, Cr2, Cr3 };

struct PhotoSpec {
    PhotoKind kind = PhotoKind::Jpeg;
    std::string model;      // Exif model; none when empty
    std::string firmware;   // the Canon maker note's firmware text; none when empty
    int ageSeconds = 0;     // modification time: this long before now
    size_t imageBytes = 0;  // image data after the metadata (JPEG: after its end marker)
};

// Writes the photo at path, making its folder; false when anything failed.
bool WritePhoto(const std::string& path, const PhotoSpec& spec);

struct CatalogueBuild {
    const char* name;
    const char* archive;  // the archive's file name
    bool develop;         // in develop.inf, else in legacy.inf
};
// "Nightly 7" (no camera) and builds for the 5D Mark III on 1.1.3 and 1.2.3
// in develop.inf; one for the 550D on 1.0.9 in legacy.inf.
const std::vector<CatalogueBuild>& CameraBuilds();
// The catalogue's text; each archive's address is base + its file name.
std::string CameraCatalogue(bool develop, const std::string& base);
// A build archive (made by Info-ZIP zip) holding autoexec.bin and one
// firmware file; false when zip failed.
bool WriteBuildArchive(const std::string& path);

}  // namespace testsupport
