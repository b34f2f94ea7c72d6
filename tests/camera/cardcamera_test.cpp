// The camera of a card folder, read from the Exif data of its newest photos:
// which photos count, which one wins, and damaged or hostile photos.
#include "camera/cardcamera.h"
#include "camera/photoexif.h"
#include "support/cameracard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <variant>

namespace fs = std::filesystem;
using testsupport::PhotoKind;
using testsupport::PhotoSpec;

namespace {

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const fs::path& path, const std::string& bytes, int ageSeconds)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(ageSeconds));
}

std::string Le(uint32_t value, int width)
{
    std::string bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
}

// A little-endian TIFF block whose first directory, at offset 8, holds
// entries {tag, type, count, value or offset} and links to next.
std::string Tiff(const std::vector<std::array<uint32_t, 4>>& entries, uint32_t next, const std::string& tail = "")
{
    std::string tiff = "II*\0" + Le(8, 4) + Le(static_cast<uint32_t>(entries.size()), 2);
    for (const auto& e : entries)
        tiff += Le(e[0], 2) + Le(e[1], 2) + Le(e[2], 4) + Le(e[3], 4);
    return tiff + Le(next, 4) + tail;
}

// A JPEG that is only its Exif segment around a TIFF block.
std::string JpegAround(const std::string& tiff)
{
    const std::string app1 = "Exif" + std::string(2, '\0') + tiff;
    const size_t size = app1.size() + 2;
    return "\xFF\xD8\xFF\xE1" + std::string{char(size >> 8), char(size)} + app1 + "\xFF\xD9";
}

const uint32_t kAscii = 2, kLong = 4;
const std::string kModelAt26 = "Canon EOS 6D";  // text right after a one-entry directory

class CardCamera : public ::testing::Test {
protected:
    fs::path root;
    void SetUp() override
    {
        char folder[] = "/tmp/flintor-camera-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root = folder;
    }
    void TearDown() override { fs::remove_all(root); }
    std::string Line() const { return camera::CameraLine(camera::ReadCardCamera(root.string()).camera); }
};

TEST_F(CardCamera, NewestReadablePhotoNamesTheCamera)
{
    using File = std::variant<PhotoSpec, std::string>;  // a photo made here, or raw bytes
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, File>> files;
        std::string line;
    };
    const PhotoSpec mk3{PhotoKind::Jpeg, "Canon EOS 5D Mark III", "Firmware Version 1.2.3", 100};
    const std::string notAPhoto = "\xFF\xD8\xFF\xE1 this is no Exif data at all";
    const Case cases[] = {
        {"JPEG", {{"DCIM/100CANON/IMG_0001.JPG", mk3}}, "Canon EOS 5D Mark III firmware 1.2.3"},
        {"CR2",
         {{"DCIM/100CANON/IMG_0002.CR2", PhotoSpec{PhotoKind::Cr2, "Canon EOS 550D", "Firmware Version 1.0.9"}}},
         "Canon EOS 550D firmware 1.0.9"},
        {"CR3 with image data past the bytes read",
         {{"DCIM/100CANON/IMG_0003.CR3",
           PhotoSpec{PhotoKind::Cr3, "Canon EOS R", "Firmware Version 1.8.0", 0, 3 << 20}}},
         "Canon EOS R firmware 1.8.0"},
        {"no maker note",
         {{"DCIM/100CANON/IMG_0004.JPG", PhotoSpec{PhotoKind::Jpeg, "Canon EOS M", ""}}},
         "Canon EOS M"},
        {"names in lower case", {{"dcim/100canon/img_0005.jpeg", mk3}}, "Canon EOS 5D Mark III firmware 1.2.3"},
        {"newest wins across folders",
         {{"DCIM/100CANON/IMG_9999.JPG", PhotoSpec{PhotoKind::Jpeg, "Canon EOS 550D", "Firmware Version 1.0.8", 500}},
          {"DCIM/101CANON/IMG_0001.CR2", PhotoSpec{PhotoKind::Cr2, "Canon EOS 550D", "Firmware Version 1.0.9", 10}},
          {"DCIM/102CANON/IMG_0001.JPG", mk3}},
         "Canon EOS 550D firmware 1.0.9"},
        {"a damaged newest photo is passed over",
         {{"DCIM/100CANON/IMG_0001.JPG", mk3}, {"DCIM/100CANON/IMG_0002.JPG", notAPhoto}},
         "Canon EOS 5D Mark III firmware 1.2.3"},
        {"at most four photos are read",
         {{"DCIM/100CANON/IMG_0001.JPG", mk3},
          {"DCIM/100CANON/IMG_0002.JPG", notAPhoto},
          {"DCIM/100CANON/IMG_0003.JPG", notAPhoto},
          {"DCIM/100CANON/IMG_0004.JPG", notAPhoto},
          {"DCIM/100CANON/IMG_0005.JPG", notAPhoto}},
         "-"},
        {"no DCIM folder", {{"PHOTOS/IMG_0001.JPG", mk3}}, "-"},
        {"empty DCIM folder", {{"DCIM/100CANON/.keep", std::string()}}, "-"},
        {"only videos", {{"DCIM/100CANON/MVI_0001.MOV", mk3}, {"DCIM/100CANON/MVI_0002.MP4", mk3}}, "-"},
        {"too deep", {{"DCIM/100CANON/OLD/IMG_0001.JPG", mk3}}, "-"},
        {"hidden copy", {{"DCIM/100CANON/._IMG_0001.JPG", mk3}}, "-"},
        {"empty file", {{"DCIM/100CANON/IMG_0001.JPG", std::string()}}, "-"},
        {"not a photo", {{"DCIM/100CANON/IMG_0001.CR3", std::string(5000, '\x07')}}, "-"},
        {"model offset outside the data",
         {{"DCIM/100CANON/IMG_0001.JPG", JpegAround(Tiff({{0x0110, kAscii, 13, 0xFFFFFF00}}, 0))}},
         "-"},
        {"huge model count",
         {{"DCIM/100CANON/IMG_0001.JPG", JpegAround(Tiff({{0x0110, kAscii, 0x7FFFFFFF, 26}}, 0, kModelAt26))}},
         "-"},
        {"directories in a loop",
         {{"DCIM/100CANON/IMG_0001.JPG", JpegAround(Tiff({{0x8769, kLong, 1, 8}}, 8))},
          {"DCIM/100CANON/IMG_0002.CR2", Tiff({{0x8769, kLong, 1, 8}}, 8)}},
         "-"},
    };
    for (const Case& c : cases) {
        fs::remove_all(root);
        int age = 50;  // raw files are newer than the photos made here
        for (const auto& [name, file] : c.files) {
            if (const PhotoSpec* spec = std::get_if<PhotoSpec>(&file)) {
                ASSERT_TRUE(testsupport::WritePhoto((root / name).string(), *spec)) << c.what;
            } else {
                Write(root / name, std::get<std::string>(file), age);
            }
            --age;
        }
        EXPECT_EQ(Line(), c.line) << c.what;
    }
}

TEST_F(CardCamera, NewestPhotosComeByTimeThenName)
{
    for (const auto& [name, age] : std::vector<std::pair<const char*, int>>{{"DCIM/100CANON/IMG_0001.JPG", 50},
                                                                            {"DCIM/100CANON/IMG_0002.CR2", 30},
                                                                            {"DCIM/101CANON/A.JPG", 30},
                                                                            {"DCIM/101CANON/B.txt", 0},
                                                                            {"DCIM/IMG_0003.jpg", 40}})
        Write(root / name, "x", age);
    const std::string dcim = (root / "DCIM").string();
    EXPECT_EQ(
        camera::NewestPhotos(root.string(), 3),
        (std::vector<std::string>{dcim + "/101CANON/A.JPG", dcim + "/100CANON/IMG_0002.CR2", dcim + "/IMG_0003.jpg"}));
    EXPECT_TRUE(camera::NewestPhotos("", 3).empty());
}

// Only the first bytes are read: Exif data behind 300 kB of comments is not
// found, though the library finds it in the whole file.
TEST_F(CardCamera, OnlyThePhotosFirstBytesAreRead)
{
    const fs::path made = root / "made.jpg";
    ASSERT_TRUE(testsupport::WritePhoto(made.string(), {PhotoKind::Jpeg, "Canon EOS 6D", "Firmware Version 1.1.6"}));
    std::string jpeg = Read(made);
    std::string comments;
    for (int i = 0; i < 5; ++i)
        comments += "\xFF\xFE" + std::string{char(60002 >> 8), char(60002 & 0xFF)} + std::string(60000, 'c');
    jpeg.insert(2, comments);
    Write(root / "DCIM/100CANON/IMG_0001.JPG", jpeg, 0);
    const camera::ExifTexts whole =
        camera::ReadExifTexts(reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    EXPECT_EQ(whole.model, "Canon EOS 6D");
    EXPECT_EQ(Line(), "-");
}

}  // namespace
