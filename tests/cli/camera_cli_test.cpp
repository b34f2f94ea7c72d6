// flintor-cli and the card's camera: `show` names it, `install` without a
// build chooses the one made for it and refuses a build made for another
// camera or firmware unless --yes. The card is an image file whose files are
// a folder (--root); the catalogues come from a local server.
#include "support/cameracard.h"
#include "support/loopcard.h"
#include "testservers.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using testsupport::PhotoKind;

namespace {

class CameraCli : public ::testing::Test {
protected:
    static inline fs::path dir_;
    static inline std::unique_ptr<TestServer> server_;
    fs::path root_;

    static void SetUpTestSuite()
    {
        char folder[] = "/tmp/flintor-camera-cli-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
        const fs::path served = dir_ / "served/ML";
        fs::create_directories(served);
        for (const testsupport::CatalogueBuild& build : testsupport::CameraBuilds())
            ASSERT_TRUE(testsupport::WriteBuildArchive((served / build.archive).string()));
        server_ = std::make_unique<TestServer>(
            QStringLiteral("static_server.py"),
            QStringList{QStringLiteral("--root"), QString::fromStdString(dir_ / "served")});
        ASSERT_TRUE(server_->ok());
        const std::string base = server_->http(QStringLiteral("/ML/")).toStdString();
        std::ofstream(served / "develop.inf") << testsupport::CameraCatalogue(true, base);
        std::ofstream(served / "legacy.inf") << testsupport::CameraCatalogue(false, base);
        const std::string image = (dir_ / "card.img").string();
        ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "40M", image}), 0);
        ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}), 0);
    }
    static void TearDownTestSuite()
    {
        server_.reset();
        fs::remove_all(dir_);
    }

    // A fresh folder of the card's files, with one photo unless model is empty.
    void Card(const std::string& model, const std::string& firmware)
    {
        static int count = 0;
        root_ = dir_ / ("card" + std::to_string(++count));
        fs::create_directories(root_);
        if (!model.empty()) {
            ASSERT_TRUE(testsupport::WritePhoto((root_ / "DCIM/100CANON/IMG_0001.CR2").string(),
                                                {PhotoKind::Cr2, model, "Firmware Version " + firmware}));
        }
    }

    std::string Cli(const std::vector<std::string>& args, int* status)
    {
        // The catalogues' host is "127.0.0.1:PORT", whose "/ML/" folder is served.
        std::vector<std::string> argv = {FLINTOR_CLI, "--catalogue-host",
                                         "127.0.0.1:" + std::to_string(server_->port()), "--root", root_.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        *status = testsupport::RunCommand(argv, &out);
        return out;
    }
    std::string Image() const { return (dir_ / "card.img").string(); }
};

TEST_F(CameraCli, ShowNamesTheCamera)
{
    int status = -1;
    Card("Canon EOS 5D Mark III", "1.2.3");
    std::string out = Cli({"show", Image()}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("\nCamera: Canon EOS 5D Mark III firmware 1.2.3\n"), std::string::npos) << out;
    out = Cli({"show", Image(), "--json"}, &status);
    const QJsonObject camera = QJsonDocument::fromJson(QByteArray::fromStdString(out))["camera"].toObject();
    EXPECT_EQ(camera["model"].toString(), QStringLiteral("Canon EOS 5D Mark III")) << out;
    EXPECT_EQ(camera["firmware"].toString(), QStringLiteral("1.2.3")) << out;

    Card("", "");
    out = Cli({"show", Image()}, &status);
    EXPECT_NE(out.find("\nCamera: -\n"), std::string::npos) << out;
    out = Cli({"show", Image(), "--json"}, &status);
    const QJsonDocument json = QJsonDocument::fromJson(QByteArray::fromStdString(out));
    EXPECT_TRUE(json["camera"].isNull() && json["content"].isObject()) << out;
}

TEST_F(CameraCli, InstallChoosesTheCamerasBuildOrRefuses)
{
    const std::string dev5D3 = "Nightly 5D3 1.2.3";
    struct Case {
        std::string model, firmware;
        std::vector<std::string> args;
        int status;
        std::string says;
        bool firmwareFiles = false;  // a legacy build's firmware file is on the card
    };
    const Case cases[] = {
        {"Canon EOS 5D Mark III", "1.2.3", {}, 0, "The build for the Canon EOS 5D Mark III firmware 1.2.3: " + dev5D3},
        {"Canon EOS Kiss X4", "1.0.9", {}, 0, "Canon EOS Kiss X4 firmware 1.0.9: v2.3 550D", true},
        {"Canon EOS 5D Mark III", "1.0.0", {}, 1, "No build for the Canon EOS 5D Mark III firmware 1.0.0"},
        {"", "", {}, 1, "No photo in the DCIM folder"},
        {"Canon EOS 550D",
         "1.0.9",
         {"--develop", dev5D3},
         1,
         "were taken with the Canon EOS 550D. The camera does "
         "not start a build made for another camera. Give --yes"},
        {"Canon EOS 550D", "1.0.9", {"--develop", dev5D3, "--yes"}, 0, "were taken with the Canon EOS 550D"},
        {"Canon EOS 5D Mark III", "1.1.3", {"--develop", dev5D3}, 1, "Update the camera's firmware to 1.2.3 first"},
        {"Canon EOS 5D Mark III",
         "1.1.3",
         {"--build", (dir_ / "served/ML/magiclantern-Nightly.2018Jul03.5D3123.zip").string()},
         1,
         "Update the camera's firmware to 1.2.3 first"},
    };
    for (const Case& c : cases) {
        Card(c.model, c.firmware);
        std::vector<std::string> args = {"install", Image()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        int status = -1;
        const std::string out = Cli(args, &status);
        EXPECT_EQ(status, c.status) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_EQ(fs::exists(root_ / "autoexec.bin"), c.status == 0) << out;
        EXPECT_EQ(fs::exists(root_ / "5D3-123.fir"), c.firmwareFiles) << out;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
