// The text rules of the card's camera: Exif texts, camera codes, build names,
// whether a build suits the camera, and the texts the user reads.
#include "camera/cameras.h"

#include <gtest/gtest.h>

using namespace camera;

namespace {

TEST(Cameras, ExifTextsGiveModelAndFirmware)
{
    struct Case {
        std::string model, firmware, wantModel, wantFirmware;
    };
    const Case cases[] = {
        {"Canon EOS 5D Mark III", "Firmware Version 1.2.3", "Canon EOS 5D Mark III", "1.2.3"},
        {std::string("Canon EOS 550D\0junk", 19), std::string("Firmware Version 1.0.9\0\0", 24), "Canon EOS 550D",
         "1.0.9"},
        {"  Canon\tEOS \x01 M \r\n", "Firmware Version 2.0.2 ", "Canon EOS M", "2.0.2"},
        {"Canon PowerShot G7 X", "Firmware Version 1.00", "Canon PowerShot G7 X", "1.00"},
        {"Canon EOS 6D", "Firmware Version 1.2.3.4.5", "Canon EOS 6D", "1.2.3.4"},
        {"Canon EOS 6D", "", "Canon EOS 6D", ""},
        {"Canon EOS 6D", "Firmware 12345.6 v2", "Canon EOS 6D", ""},
        {"Canon EOS 6D", "build 1.", "Canon EOS 6D", ""},
        {"Canon EOS 6D", "r.1.2 then 3.4", "Canon EOS 6D", "3.4"},
        {"", "Firmware Version 1.2.3", "", ""},  // no model, no camera
        {"\x01\x02\xff", "Firmware Version 1.2.3", "", ""},
        {std::string(300, 'A'), "1.2.3", std::string(64, 'A'), "1.2.3"},
        {std::string(63, 'A') + " B", "", std::string(63, 'A'), ""},
    };
    for (const Case& c : cases) {
        const CameraInfo camera = CameraFromExif(c.model, c.firmware);
        EXPECT_EQ(camera.model, c.wantModel) << c.model;
        EXPECT_EQ(camera.firmware, c.wantFirmware) << c.firmware;
    }
}

TEST(Cameras, ModelNamesGiveBuildCodes)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Canon EOS 5D Mark III", "5D3"},
        {"canon eos  rebel t2i", "550D"},
        {"Canon EOS Kiss X4", "550D"},
        {"Canon EOS 1100D", "1100D"},
        {"Canon EOS M", "EOSM"},
        {"Canon EOS M2", "EOSM2"},
        {"Canon EOS M50", ""},
        {"Canon EOS 5D Mark IV", ""},
        {"NIKON D750", ""},
        {"", ""},
    };
    for (const auto& [model, code] : cases)
        EXPECT_EQ(CameraCode(model), code) << model;
    EXPECT_EQ(ModelOfCode("5D3"), "Canon EOS 5D Mark III");
}

TEST(Cameras, BuildNamesGiveCameraAndFirmware)
{
    struct Case {
        const char* name;
        const char* url;
        const char* code;
        const char* firmware;
    };
    const Case cases[] = {
        {"", "http://h/ML/magiclantern-Nightly.2018Jul03.5D3123.zip", "5D3", "1.2.3"},
        {"", "http://h/magiclantern-Nightly.2018Jul03.550D109.zip", "550D", "1.0.9"},
        {"", "http://h/magiclantern-Nightly.2018Jul03.EOSM202.zip", "EOSM", "2.0.2"},
        {"", "http://h/magiclantern-Nightly.2018Jul03.EOSM2103.zip", "EOSM2", "1.0.3"},
        {"", "http://h/ml-1100D105.zip", "1100D", "1.0.5"},
        {"", "https://h/build.5d3113.zip?x=1", "5D3", "1.1.3"},
        {"magiclantern-Nightly.2018Jul03.60D111", "http://h/latest.zip", "60D", "1.1.1"},
        {"Nightly 5D2212", "http://h/ML/x-5D3113.zip", "5D3", "1.1.3"},  // the archive's name counts first
        {"Nightly 7", "http://h/ML/nightly-7.zip", "", ""},
        {"", "http://h/5D3123/build-5D31234.zip", "", ""},  // four digits; folders do not count
        {"5D3 1.2.3", "http://h/a.zip", "", ""},
        {"", "http://h/ML/M50110.zip", "", ""},
    };
    for (const Case& c : cases) {
        const BuildTarget target = TargetOfBuild(c.name, c.url);
        EXPECT_EQ(target.code, c.code) << c.name << " " << c.url;
        EXPECT_EQ(target.firmware, c.firmware) << c.name << " " << c.url;
    }
}

TEST(Cameras, FitOfBuildsForTheCamera)
{
    struct Case {
        CameraInfo camera;
        const char* build;
        Fit fit;
    };
    const Case cases[] = {
        {{"Canon EOS 5D Mark III", "1.2.3"}, "ml.5D3123.zip", Fit::Match},
        {{"Canon EOS REBEL T2i", "1.0.9"}, "ml.550D109.zip", Fit::Match},
        {{"Canon EOS 5D Mark III", "1.1.3"}, "ml.5D3123.zip", Fit::OtherFirmware},
        {{"Canon EOS 550D", "1.0.9"}, "ml.5D3123.zip", Fit::OtherCamera},
        {{"Canon EOS R", "1.8.0"}, "ml.5D3123.zip", Fit::OtherCamera},
        {{"Canon EOS 5D Mark III", ""}, "ml.5D3123.zip", Fit::Unknown},
        {{"", ""}, "ml.5D3123.zip", Fit::Unknown},
        {{"Canon EOS 5D Mark III", "1.2.3"}, "nightly-7.zip", Fit::Unknown},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BuildFit(c.camera, TargetOfName(c.build)), c.fit) << c.camera.model << " " << c.build;

    const std::vector<core::TPorts> builds = {{"Nightly 7", "http://h/nightly-7.zip", "2020.01.01", ""},
                                              {"a", "http://h/ml.5D3113.zip", "2020.01.01", ""},
                                              {"b", "http://h/ml.5D3123.zip", "2020.01.01", ""},
                                              {"c", "http://h/ml.550D109.zip", "2020.01.01", ""}};
    EXPECT_EQ(CameraBuildIndex(builds, {"Canon EOS 5D Mark III", "1.2.3"}), 2);
    EXPECT_EQ(CameraBuildIndex(builds, {"Canon EOS Kiss X4", "1.0.9"}), 3);
    EXPECT_EQ(CameraBuildIndex(builds, {"Canon EOS 5D Mark III", "1.0.0"}), -1);
    EXPECT_EQ(CameraBuildIndex(builds, {}), -1);
}

TEST(Cameras, TextsForTheUser)
{
    EXPECT_EQ(CameraLine({"Canon EOS 5D Mark III", "1.2.3"}), "Canon EOS 5D Mark III firmware 1.2.3");
    EXPECT_EQ(CameraLine({"Canon EOS 5D Mark III", ""}), "Canon EOS 5D Mark III");
    EXPECT_EQ(CameraLine({}), "-");

    const BuildTarget target = TargetOfName("ml.5D3123.zip");
    const CameraInfo oldFirmware{"Canon EOS 5D Mark III", "1.1.3"};
    EXPECT_EQ(MismatchText(Fit::OtherFirmware, oldFirmware, target, "ml.5D3123.zip"),
              "The build ml.5D3123.zip is made for the Canon EOS 5D Mark III with firmware 1.2.3, but the camera "
              "that took the photos on the card has firmware 1.1.3. Update the camera's firmware to 1.2.3 first: the "
              "camera does not start a build made for another firmware version.");
    EXPECT_EQ(MismatchText(Fit::OtherCamera, {"Canon EOS 550D", "1.0.9"}, target, "B"),
              "The build B is made for the Canon EOS 5D Mark III, but the photos on the card were taken with the "
              "Canon EOS 550D. The camera does not start a build made for another camera.");
    for (const Fit fit : {Fit::Match, Fit::Unknown})
        EXPECT_EQ(MismatchText(fit, oldFirmware, target, "B"), "");
}

}  // namespace
