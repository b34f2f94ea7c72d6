// The text rules of the card's camera: Exif texts, camera codes, build names,
// and whether a build suits the camera.
#include "camera/cameras.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace camera;

namespace {

TEST(Cameras, ExifTextsGiveModelAndFirmware)
{
    const std::tuple<std::string, std::string, std::string, std::string> cases[] = {
        {"Canon EOS 5D Mark III", "Firmware Version 1.2.3", "Canon EOS 5D Mark III", "1.2.3"},
        {std::string("Canon EOS 550D\0junk", 19), std::string("Firmware Version 1.0.9\0x", 24), "Canon EOS 550D",
         "1.0.9"},
        {"  Canon\tEOS \x01 M\xff \r\n", "Firmware Version 2.0.2.7.1", "Canon EOS M", "2.0.2.7"},
        {"Canon EOS 6D", "Firmware 12345.6 v2 1. r.1.2 then 3.40", "Canon EOS 6D", "3.40"},
        {"", "Firmware Version 1.2.3", "", ""},  // no model, no camera
        {std::string(63, 'A') + " B", "1.2.3", std::string(63, 'A'), "1.2.3"},
    };
    for (const auto& [model, firmware, wantModel, wantFirmware] : cases) {
        const CameraInfo camera = CameraFromExif(model, firmware);
        EXPECT_EQ(camera.model, wantModel) << model;
        EXPECT_EQ(camera.firmware, wantFirmware) << firmware;
    }
    EXPECT_EQ(CameraLine({"Canon EOS 6D", "1.1.6"}), "Canon EOS 6D firmware 1.1.6");
    EXPECT_EQ(CameraLine({"Canon EOS 6D", ""}), "Canon EOS 6D");
    EXPECT_EQ(CameraLine({}), "-");
}

TEST(Cameras, ModelsAndBuildNamesGiveCodes)
{
    const std::pair<const char*, const char*> models[] = {
        {"canon eos  rebel t2i", "550D"}, {"Canon EOS Kiss X4", "550D"}, {"Canon EOS 5D Mark IV", ""}};
    for (const auto& [model, code] : models)
        EXPECT_EQ(CameraCode(model), code) << model;

    // name, address, code, firmware
    const std::tuple<const char*, const char*, const char*, const char*> builds[] = {
        {"", "http://h/ML/magiclantern-Nightly.2018Jul03.5D3123.zip", "5D3", "1.2.3"},
        {"", "http://h/magiclantern-Nightly.2018Jul03.EOSM202.zip", "EOSM", "2.0.2"},
        {"", "http://h/magiclantern-Nightly.2018Jul03.EOSM2103.zip", "EOSM2", "1.0.3"},
        {"", "https://h/ml-1100d105.zip?x=1", "1100D", "1.0.5"},
        {"Nightly 550D109", "http://h/latest.zip", "550D", "1.0.9"},
        {"Nightly 5D2212", "http://h/ML/x-5D3113.zip", "5D3", "1.1.3"},  // the archive's name counts first
        {"Nightly 7", "http://h/ML/nightly-7.zip", "", ""},
        {"5D3 1.2.3", "http://h/5D3123/build-5D31234.zip", "", ""},  // four digits; folders do not count
    };
    for (const auto& [name, url, code, firmware] : builds) {
        const BuildTarget target = TargetOfBuild(name, url);
        EXPECT_EQ(target.code, code) << url;
        EXPECT_EQ(target.firmware, firmware) << url;
    }
}

TEST(Cameras, BuildsFitTheCameraOrNot)
{
    const std::tuple<CameraInfo, const char*, Fit> cases[] = {
        {{"Canon EOS REBEL T2i", "1.0.9"}, "ml.550D109.zip", Fit::Match},
        {{"Canon EOS 5D Mark III", "1.1.3"}, "ml.5D3123.zip", Fit::OtherFirmware},
        {{"Canon EOS 550D", "1.0.9"}, "ml.5D3123.zip", Fit::OtherCamera},
        {{"Canon EOS R", "1.8.0"}, "ml.5D3123.zip", Fit::OtherCamera},
        {{"Canon EOS 5D Mark III", ""}, "ml.5D3123.zip", Fit::Unknown},
        {{"Canon EOS 5D Mark III", "1.2.3"}, "nightly-7.zip", Fit::Unknown},
    };
    for (const auto& [camera, build, fit] : cases) {
        const BuildTarget target = TargetOfName(build);
        EXPECT_EQ(BuildFit(camera, target), fit) << camera.model << " " << build;
        const bool mismatch = fit == Fit::OtherCamera || fit == Fit::OtherFirmware;
        EXPECT_EQ(MismatchText(fit, camera, target, build).find(build) != std::string::npos, mismatch) << build;
    }
    const std::vector<core::TPorts> builds = {{"a", "http://h/ml.5D3113.zip", "", ""},
                                              {"b", "http://h/ml.5D3123.zip", "", ""}};
    EXPECT_EQ(CameraBuildIndex(builds, {"Canon EOS 5D Mark III", "1.2.3"}), 1);
    EXPECT_EQ(CameraBuildIndex(builds, {"Canon EOS 5D Mark III", "1.0.0"}), -1);
}

}  // namespace
