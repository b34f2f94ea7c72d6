// The camera of a card folder, read from the Exif data of its newest photos:
// which photos count, which one wins, and damaged or hostile photos.
#include "camera/cardcamera.h"
#include "support/photos.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <variant>

namespace fs = std::filesystem;
using testsupport::PhotoKind;
using testsupport::PhotoSpec;

namespace {

// A JPEG whose Exif segment holds a little-endian TIFF block with one entry
// {tag, type, count, value or offset} in its first directory (at 8), which
// links to next, and then tail (at 26); comments of 300 kB come first when
// asked for.
std::string Jpeg(uint32_t tag, uint32_t type, uint32_t count, uint32_t value, uint32_t next, std::string tail,
                 bool comments = false)
{
    const auto Le = [](uint32_t value, int width) {
        std::string bytes;
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<char>(value >> (8 * i)));
        return bytes;
    };
    const std::string tiff = "II*" + std::string(1, '\0') + Le(8, 4) + Le(1, 2) + Le(tag, 2) + Le(type, 2) +
                             Le(count, 4) + Le(value, 4) + Le(next, 4) + tail;
    std::string jpeg = "\xFF\xD8";
    for (int i = 0; comments && i < 5; ++i)
        jpeg += "\xFF\xFE" + std::string{char(60002 >> 8), char(60002 & 0xFF)} + std::string(60000, 'c');
    const size_t size = tiff.size() + 8;
    return jpeg + "\xFF\xE1" + std::string{char(size >> 8), char(size)} + "Exif" + std::string(2, '\0') + tiff +
           "\xFF\xD9";
}

TEST(CardCamera, NewestReadablePhotoNamesTheCamera)
{
    using File = std::variant<PhotoSpec, std::string>;  // a photo made here, or bytes newer than those
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, File>> files;
        std::string line;
    };
    const PhotoSpec mk3{PhotoKind::Jpeg, "Canon EOS 5D Mark III", "Firmware Version 1.2.3", 100};
    const std::string mk3Line = "Canon EOS 5D Mark III firmware 1.2.3", damaged = "\xFF\xD8\xFF\xE1 no Exif data";
    const uint32_t kAscii = 2, kLong = 4, kModel = 0x0110, kExifIfd = 0x8769;
    const std::string sixD = std::string("Canon EOS 6D", 13);
    const Case cases[] = {
        {"CR2",
         {{"DCIM/100CANON/IMG_0002.CR2", PhotoSpec{PhotoKind::Cr2, "Canon EOS 550D", "Firmware Version 1.0.9"}}},
         "Canon EOS 550D firmware 1.0.9"},
        {"CR3 with image data past the bytes read",
         {{"DCIM/100CANON/IMG_0003.CR3",
           PhotoSpec{PhotoKind::Cr3, "Canon EOS R", "Firmware Version 1.8.0", 0, 3 << 20}}},
         "Canon EOS R firmware 1.8.0"},
        {"no maker note, names in lower case",
         {{"dcim/100canon/img_0004.jpeg", PhotoSpec{PhotoKind::Jpeg, "Canon EOS M", ""}}},
         "Canon EOS M"},
        {"newest wins across folders",
         {{"DCIM/100CANON/IMG_9999.JPG", PhotoSpec{PhotoKind::Jpeg, "Canon EOS 550D", "Firmware Version 1.0.8", 500}},
          {"DCIM/101CANON/IMG_0001.CR2", PhotoSpec{PhotoKind::Cr2, "Canon EOS 550D", "Firmware Version 1.0.9", 10}},
          {"DCIM/102CANON/IMG_0001.JPG", mk3}},
         "Canon EOS 550D firmware 1.0.9"},
        {"JPEG; hostile photos (offset outside the data, huge count, directories in a loop) are passed over",
         {{"DCIM/100CANON/IMG_0001.JPG", mk3},
          {"DCIM/100CANON/IMG_0002.JPG", Jpeg(kModel, kAscii, 13, 0xFFFFFF00, 0, sixD)},
          {"DCIM/100CANON/IMG_0003.JPG", Jpeg(kModel, kAscii, 0x7FFFFFFF, 26, 0, sixD)},
          {"DCIM/100CANON/IMG_0004.JPG", Jpeg(kExifIfd, kLong, 1, 8, 8, "")}},
         mk3Line},
        {"at most four photos are read",
         {{"DCIM/100CANON/IMG_0001.JPG", mk3},
          {"DCIM/100CANON/IMG_0002.JPG", damaged},
          {"DCIM/100CANON/IMG_0003.JPG", damaged},
          {"DCIM/100CANON/IMG_0004.CR2", damaged},
          {"DCIM/100CANON/IMG_0005.CR3", damaged}},
         "-"},
        {"no photo in place: videos, too deep, hidden, outside DCIM",
         {{"DCIM/100CANON/MVI_0001.MOV", mk3},
          {"DCIM/100CANON/OLD/IMG_0001.JPG", mk3},
          {"DCIM/100CANON/._IMG_0001.JPG", mk3},
          {"PHOTOS/IMG_0001.JPG", mk3}},
         "-"},
        {"Exif data in the first bytes",
         {{"DCIM/100CANON/IMG_0001.JPG", Jpeg(kModel, kAscii, 13, 26, 0, sixD)}},
         "Canon EOS 6D"},
        {"Exif data past the first 256 KiB",
         {{"DCIM/100CANON/IMG_0001.JPG", Jpeg(kModel, kAscii, 13, 26, 0, sixD, true)}},
         "-"},
    };
    char folder[] = "/tmp/flintor-camera-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const fs::path root = folder;
    for (const Case& c : cases) {
        fs::remove_all(root);
        int age = 50;
        for (const auto& [name, file] : c.files) {
            const fs::path path = root / name;
            if (const PhotoSpec* photo = std::get_if<PhotoSpec>(&file)) {
                ASSERT_TRUE(testsupport::WritePhoto(path.string(), *photo)) << c.what;
                continue;
            }
            fs::create_directories(path.parent_path());
            std::ofstream(path, std::ios::binary) << std::get<std::string>(file);
            fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(--age));
        }
        EXPECT_EQ(camera::CameraLine(camera::ReadCardCamera(root.string()).camera), c.line) << c.what;
    }
    fs::remove_all(root);
}

}  // namespace
