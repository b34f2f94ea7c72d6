// The camera a card comes from, told by the newest photos in its DCIM folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "camera/cameras.h"

namespace camera {

// Loading stays fast on a full card: only the names in DCIM and its folders
// are listed (with their times), and only the first bytes of a few photos are
// read. The Exif data of JPEG, CR2 and CR3 photos sits near their start.
constexpr size_t kPhotosTried = 4;
constexpr size_t kPhotoBytes = 256 * 1024;

// The photos (".jpg", ".jpeg", ".cr2", ".cr3" in any letter case) in the
// DCIM folder below root and in its folders one level down, newest first (by
// modification time, then by name), at most count of them. Names starting
// with "." and symbolic links to folders are left out.
std::vector<std::string> NewestPhotos(const std::string& root, size_t count);

struct CardCamera {
    CameraInfo camera;  // the model is empty when no photo names one
    std::string photo;  // the photo it was read from
};

// The camera of the newest photo that names one, among the kPhotosTried
// newest. Each is opened for reading only, and at most kPhotoBytes of it are
// read.
CardCamera ReadCardCamera(const std::string& root);

}  // namespace camera
