// The camera's model and firmware texts of one photo, as the Exif library
// reads them from the photo's first bytes.
#pragma once

#include <cstddef>
#include <string>

namespace camera {

struct ExifTexts {
    std::string model;     // Exif's model name, as stored
    std::string firmware;  // the maker note's firmware text ("Firmware Version 1.2.3"), as stored
};

// Reads JPEG, CR2 and CR3 photos (and whatever else the library knows) from
// memory. The data may end anywhere in the file: what the library decoded
// before it stopped counts. Damaged or hostile data gives empty texts; this
// never throws.
ExifTexts ReadExifTexts(const unsigned char* data, size_t size);

}  // namespace camera
