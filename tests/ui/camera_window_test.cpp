// The card's camera in the window: the content line, the build lists'
// preselection, and Save's question for a build made for another camera or
// firmware. The card is held in memory; its files are a folder of photos.
#include "cards/cardwindow.h"
#include "support/cameracard.h"
#include "support/fakecards.h"

#include <QSettings>

using namespace cardwindow;
using testsupport::PhotoKind;

namespace {

class CameraWindow : public ::testing::Test {
protected:
    static inline Bytes fresh_;  // a FAT32 boot region made by mkfs.fat
    fs::path dir_;
    testsupport::FakeCards* cards_ = nullptr;
    std::unique_ptr<TfMain> w_;

    static void SetUpTestSuite()
    {
        const std::string image = (fs::temp_directory_path() / "flintor-camera-window.img").string();
        ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "64M", image}), 0);
        ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}), 0);
        std::ifstream in(image, std::ios::binary);
        fresh_.resize(64 * 512);
        in.read(reinterpret_cast<char*>(fresh_.data()), static_cast<std::streamsize>(fresh_.size()));
        fs::remove(image);
    }

    void SetUp() override
    {
        char folder[] = "/tmp/flintor-camera-window-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor")).setValue("lastDev", "Nightly 7");
    }

    void TearDown() override
    {
        w_.reset();
        platform::SetCards(nullptr);
        fs::remove_all(dir_);
    }

    fs::path Card() const { return dir_ / "card"; }

    // Starts the window on a card whose newest photo comes from this camera
    // (no photo for an empty model), and loads both build catalogues, whose
    // archives are in the work folder already.
    void Start(const std::string& model, const std::string& firmware)
    {
        fs::create_directories(Card());
        if (!model.empty()) {
            ASSERT_TRUE(testsupport::WritePhoto((Card() / "DCIM/100CANON/IMG_0001.JPG").string(),
                                                {PhotoKind::Jpeg, model, "Firmware Version " + firmware, 60}));
        }
        auto cards = std::make_unique<testsupport::FakeCards>();
        cards->image = fresh_;
        cards->volume = {.name = "sdz1",
                         .device = "/dev/sdz1",
                         .label = "EOS_DIGITAL",
                         .fsName = "FAT32",
                         .sizeBytes = 64 << 20,
                         .sectorSize = 512,
                         .mountPoint = Card().string(),
                         .identity = "8:1:FAT32"};
        cards->mountRoot = Card().string();
        cards_ = cards.get();
        platform::SetCards(std::move(cards));
        w_ = StartWindow();
        for (const testsupport::CatalogueBuild& build : testsupport::CameraBuilds())
            ASSERT_TRUE(testsupport::WriteBuildArchive(w_->WorkFolder + build.archive));
        for (const bool develop : {true, false}) {
            const std::string path = (dir_ / (develop ? "develop.inf" : "legacy.inf")).string();
            std::ofstream(path) << testsupport::CameraCatalogue(develop, "http://127.0.0.1:9/ML/");
            (develop ? w_->DevelopOptions(QString::fromStdString(path))
                     : w_->LegacyOptions(QString::fromStdString(path)));
        }
    }
};

TEST_F(CameraWindow, ContentLineAndTheBuildForTheCamera)
{
    struct Case {
        std::string model, firmware, line;
        bool develop;
        int index;
        std::string archive;
    };
    const Case cases[] = {
        {"Canon EOS 5D Mark III", "1.2.3", "Canon EOS 5D Mark III firmware 1.2.3", true, 2,
         "magiclantern-Nightly.2018Jul03.5D3123.zip"},
        {"Canon EOS 5D Mark III", "1.1.3", "Canon EOS 5D Mark III firmware 1.1.3", true, 1,
         "magiclantern-Nightly.2018Jul03.5D3113.zip"},
        // Only the legacy list has it: that list is used.
        {"Canon EOS REBEL T2i", "1.0.9", "Canon EOS REBEL T2i firmware 1.0.9", false, 0,
         "magiclantern-v2.3.550D109.zip"},
        // No build for it: the remembered one stays.
        {"Canon EOS 6D", "1.1.6", "Canon EOS 6D firmware 1.1.6", true, 0, "nightly-7.zip"},
        {"", "", "-", true, 0, "nightly-7.zip"},
    };
    for (const Case& c : cases) {
        Start(c.model, c.firmware);
        EXPECT_EQ(w_->lCameraName->text().toStdString(), c.line) << c.model;
        EXPECT_EQ(w_->rbDevelop->isChecked(), c.develop) << c.model;
        EXPECT_EQ((c.develop ? w_->cbDevelop : w_->cbNightly)->currentIndex(), c.index) << c.model;
        EXPECT_EQ(w_->lZIPname->text().toStdString(), c.archive) << c.model;
        TearDown();
        SetUp();
    }
}

TEST_F(CameraWindow, TheUsersChoiceWinsAndIsRemembered)
{
    Start("Canon EOS 5D Mark III", "1.2.3");
    ASSERT_EQ(w_->cbDevelop->currentIndex(), 2);
    w_->cbDevelop->setCurrentIndex(0);
    w_->cbDevelopChange();
    // Another camera's photo arrives on the card: the line follows, the choice stays.
    ASSERT_TRUE(testsupport::WritePhoto((Card() / "DCIM/100CANON/IMG_0002.JPG").string(),
                                        {PhotoKind::Jpeg, "Canon EOS 550D", "Firmware Version 1.0.9"}));
    w_->RefreshContentLabels();
    EXPECT_EQ(w_->lCameraName->text(), QStringLiteral("Canon EOS 550D firmware 1.0.9"));
    EXPECT_TRUE(w_->rbDevelop->isChecked());
    EXPECT_EQ(w_->cbDevelop->currentIndex(), 0);
    w_->close();
    EXPECT_EQ(QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor")).value("lastDev").toString(),
              QStringLiteral("Nightly 7"));
}

TEST_F(CameraWindow, SaveAsksBeforeInstallingABuildForAnotherCameraOrFirmware)
{
    struct Case {
        std::string model, firmware;
        int build;         // chosen in the development list
        const char* asks;  // in the question; nullptr: no question
        QMessageBox::StandardButton answer;
        bool installed;
    };
    const Case cases[] = {
        {"Canon EOS 5D Mark III", "1.2.3", 2, nullptr, QMessageBox::Ok, true},
        {"Canon EOS 5D Mark III", "1.2.3", 0, nullptr, QMessageBox::Ok, true},
        {"Canon EOS 550D", "1.0.9", 2, "were taken with the Canon EOS 550D", QMessageBox::No, false},
        {"Canon EOS 5D Mark III", "1.1.3", 2, "Update the camera's firmware to 1.2.3 first", QMessageBox::Yes, true},
    };
    for (const Case& c : cases) {
        Start(c.model, c.firmware);
        Click(w_->rbDevelop);
        w_->cbDevelop->setCurrentIndex(c.build);
        w_->cbDevelopChange();
        Click(w_->sbML);
        ASSERT_TRUE(w_->cbCardLabel->isChecked());
        const QString asked = ClickSaveAnswering(*w_, c.answer);
        if (c.asks) {
            EXPECT_TRUE(asked.contains(QString::fromLatin1(c.asks)) && asked.contains(QStringLiteral("anyway?")))
                << asked.toStdString();
        } else {
            EXPECT_EQ(asked, QString()) << c.model;
        }
        EXPECT_EQ(fs::exists(Card() / "autoexec.bin"), c.installed) << c.model;
        EXPECT_EQ(cards_->CallIndex("write") >= 0, c.installed) << c.model;
        TearDown();
        SetUp();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/cache")).toLocal8Bit());
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
