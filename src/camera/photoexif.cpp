#include "camera/photoexif.h"

#include <exiv2/exiv2.hpp>

#include <climits>
#include <mutex>

namespace camera {

namespace {

std::string Value(const Exiv2::ExifData& exif, const char* key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end())
        return {};
    return it->toString();
}

}  // namespace

ExifTexts ReadExifTexts(const unsigned char* data, size_t size)
{
    static std::once_flag setUp;
    std::call_once(setUp, [] {
        // CR3 photos are ISO media files, which the library reads only when
        // asked to; its warnings about damaged photos are not the user's.
        Exiv2::enableBMFF(true);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    });
    ExifTexts texts;
    if (data == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX))
        return texts;
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(data, static_cast<long>(size));
        if (image.get() == nullptr)
            return texts;
        try {
            image->readMetadata();
        } catch (...) {
            // A photo cut short (only its first bytes were read) ends in an
            // error after its Exif data was decoded.
        }
        const Exiv2::ExifData& exif = image->exifData();
        texts.model = Value(exif, "Exif.Image.Model");
        texts.firmware = Value(exif, "Exif.Canon.FirmwareVersion");
    } catch (...) {
        return {};
    }
    return texts;
}

}  // namespace camera
