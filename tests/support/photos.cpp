#include "support/photos.h"

#include <QImage>
#include <exiv2/exiv2.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string Box(const char* type, const std::string& payload)
{
    const uint32_t size = static_cast<uint32_t>(8 + payload.size());
    std::string box{char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
    return box + std::string(type, 4) + payload;
}

// A TIFF block holding tags in its first directory ("Exif.Image.0xNNNN").
std::string Tiff(const std::vector<std::pair<uint16_t, std::string>>& tags)
{
    Exiv2::ExifData exif;
    for (const auto& [tag, text] : tags) {
        Exiv2::AsciiValue value(text);
        exif.add(Exiv2::ExifKey(tag, "Image"), &value);
    }
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return std::string(blob.begin(), blob.end());
}

std::string Cr3(const PhotoSpec& photo)
{
    std::string canon = std::string("\x85\xc0\xb6\x87\x82\x0f\x11\xe0\x81\x11\xf4\xce\x46\x2b\x6a\x48", 16) +
                        Box("CNCV", "CanonCR3_001/00.09.00/00.00.00") +
                        Box("CMT1", Tiff({{0x010f, "Canon"}, {0x0110, photo.model}}));
    if (!photo.firmware.empty())
        canon += Box("CMT3", Tiff({{0x0007, photo.firmware}}));
    return Box("ftyp", std::string("crx \0\0\0\1crx isom", 16)) + Box("moov", Box("uuid", canon)) +
           Box("mdat", std::string(photo.imageBytes, '\x5a'));
}

bool WriteExif(const std::string& path, const PhotoSpec& photo)
{
    try {
        auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.Make"] = "Canon";
        exif["Exif.Image.Model"] = photo.model;
        if (!photo.firmware.empty())
            exif["Exif.Canon.FirmwareVersion"] = photo.firmware;
        image->writeMetadata();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool WritePhoto(const std::string& path, const PhotoSpec& photo)
{
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    bool written = false;
    if (photo.kind == PhotoKind::Jpeg) {
        QImage picture(32, 24, QImage::Format_RGB32);
        picture.fill(QColor(40, 90, 160));
        written = picture.save(QString::fromStdString(path), "JPG") && WriteExif(path, photo);
    } else {
        // CR2: a TIFF file whose header carries "CR", version 2, and whose
        // first directory (width and height 8) follows at offset 16.
        static const char kCr2[] = "II*\0\x10\0\0\0CR\x02\0\0\0\0\0\x02\0"
                                   "\0\x01\x03\0\x01\0\0\0\x08\0\0\0\x01\x01\x03\0\x01\0\0\0\x08\0\0\0\0\0\0\0";
        const std::string bytes = photo.kind == PhotoKind::Cr3 ? Cr3(photo) : std::string(kCr2, sizeof kCr2 - 1);
        written = std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())).good();
        written = written && (photo.kind == PhotoKind::Cr3 || WriteExif(path, photo));
    }
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(photo.ageSeconds), ec);
    return written && !ec;
}

}  // namespace testsupport
