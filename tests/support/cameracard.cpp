#include "support/cameracard.h"

#include "support/loopcard.h"

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

std::string Cr3(const PhotoSpec& spec)
{
    std::vector<std::pair<uint16_t, std::string>> ifd0{{0x010f, "Canon"}};
    if (!spec.model.empty())
        ifd0.push_back({0x0110, spec.model});
    std::string canon = std::string("\x85\xc0\xb6\x87\x82\x0f\x11\xe0\x81\x11\xf4\xce\x46\x2b\x6a\x48", 16) +
                        Box("CNCV", "CanonCR3_001/00.09.00/00.00.00") + Box("CMT1", Tiff(ifd0)) +
                        Box("CMT2", Tiff({{0x9003, "2020:01:02 03:04:05"}}));
    if (!spec.firmware.empty())
        canon += Box("CMT3", Tiff({{0x0007, spec.firmware}}));
    return Box("ftyp", std::string("crx \0\0\0\1crx isom", 16)) + Box("moov", Box("uuid", canon)) +
           Box("mdat", std::string(spec.imageBytes, '\x5a'));
}

bool WriteExif(const std::string& path, const PhotoSpec& spec)
{
    try {
        auto image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        Exiv2::ExifData& exif = image->exifData();
        exif["Exif.Image.Make"] = "Canon";
        if (!spec.model.empty())
            exif["Exif.Image.Model"] = spec.model;
        exif["Exif.Photo.DateTimeOriginal"] = "2020:01:02 03:04:05";
        if (!spec.firmware.empty())
            exif["Exif.Canon.FirmwareVersion"] = spec.firmware;
        image->writeMetadata();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

bool WritePhoto(const std::string& path, const PhotoSpec& spec)
{
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    bool written = false;
    if (spec.kind == PhotoKind::Jpeg) {
        QImage picture(32, 24, QImage::Format_RGB32);
        picture.fill(QColor(40, 90, 160));
        written = picture.save(QString::fromStdString(path), "JPG") && WriteExif(path, spec);
    } else {
        // CR2: a TIFF file whose header carries "CR", version 2, and whose
        // first directory (width and height 8) follows at offset 16.
        static const char kCr2[] = "II*\0\x10\0\0\0CR\x02\0\0\0\0\0\x02\0"
                                   "\0\x01\x03\0\x01\0\0\0\x08\0\0\0\x01\x01\x03\0\x01\0\0\0\x08\0\0\0\0\0\0\0";
        const std::string bytes = spec.kind == PhotoKind::Cr3 ? Cr3(spec) : std::string(kCr2, sizeof kCr2 - 1);
        {
            std::ofstream out(path, std::ios::binary);
            written = out.write(bytes.data(), std::streamsize(bytes.size())).flush().good();
        }
        written = written && (spec.kind == PhotoKind::Cr3 || WriteExif(path, spec));
    }
    if (written && spec.kind != PhotoKind::Cr3 && spec.imageBytes > 0)
        written = std::ofstream(path, std::ios::binary | std::ios::app)
                      .write(std::string(spec.imageBytes, '\x5a').data(), std::streamsize(spec.imageBytes))
                      .good();
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(spec.ageSeconds), ec);
    return written && !ec;
}

const std::vector<CatalogueBuild>& CameraBuilds()
{
    static const std::vector<CatalogueBuild> builds = {
        {"Nightly 7", "nightly-7.zip", true},
        {"Nightly 5D3 1.1.3", "magiclantern-Nightly.2018Jul03.5D3113.zip", true},
        {"Nightly 5D3 1.2.3", "magiclantern-Nightly.2018Jul03.5D3123.zip", true},
        {"v2.3 550D", "magiclantern-v2.3.550D109.zip", false},
    };
    return builds;
}

std::string CameraCatalogue(bool develop, const std::string& base)
{
    std::string text;
    for (const CatalogueBuild& build : CameraBuilds())
        if (build.develop == develop)
            text += std::string(build.name) + ";" + base + build.archive + ";2020.01.01 00:00:00\r\n";
    return text;
}

bool WriteBuildArchive(const std::string& path)
{
    const fs::path folder = fs::path(path).parent_path() / (fs::path(path).filename().string() + ".files");
    std::error_code ec;
    fs::create_directories(folder, ec);
    std::ofstream(folder / "autoexec.bin", std::ios::binary) << std::string(8, '\0') << "Magic Lantern camera test";
    std::ofstream(folder / "5D3-123.fir", std::ios::binary) << "firmware";
    const int status = RunCommand({"sh", "-c", "cd \"$1\" && zip -q -X \"$2\" autoexec.bin 5D3-123.fir", "sh",
                                   folder.string(), fs::absolute(path).string()});
    fs::remove_all(folder, ec);
    return status == 0;
}

}  // namespace testsupport
