// Photos made here with known Exif data, written with the Exif library: a JPEG
// drawn with Qt, a small CR2 (a TIFF file), and a CR3 (an ISO media file whose
// Canon box holds the library's TIFF blocks, as the cameras write it).
#pragma once

#include <cstddef>
#include <string>

namespace testsupport {

enum class PhotoKind { Jpeg, Cr2, Cr3 };

struct PhotoSpec {
    PhotoKind kind = PhotoKind::Jpeg;
    std::string model;      // Exif model
    std::string firmware;   // the Canon maker note's firmware text; none when empty
    int ageSeconds = 0;     // modification time: this long before now
    size_t imageBytes = 0;  // CR3: image data after the metadata
};

// Writes the photo at path, making its folder; false when anything failed.
bool WritePhoto(const std::string& path, const PhotoSpec& photo);

}  // namespace testsupport
