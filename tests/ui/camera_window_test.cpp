// The card's camera in the window: the content line, the build lists'
// preselection, and Save's question for a build made for another camera or
// firmware. The card is held in memory; its files are a folder of photos.
#include "cards/cardwindow.h"
#include "support/fakecards.h"
#include "support/photos.h"

#include <QSettings>

using namespace cardwindow;
using testsupport::PhotoKind;

namespace {

// "name;archive", in develop.inf (true) or legacy.inf
const std::pair<const char*, bool> kBuilds[] = {
    {"Nightly 7;nightly-7.zip", true},
    {"Nightly 5D3 1.1.3;magiclantern-Nightly.2018Jul03.5D3113.zip", true},
    {"Nightly 5D3 1.2.3;magiclantern-Nightly.2018Jul03.5D3123.zip", true},
    {"v2.3 550D;magiclantern-v2.3.550D109.zip", false},
};

class CameraWindow : public ::testing::Test {
protected:
    fs::path dir_;
    testsupport::FakeCards* cards_ = nullptr;
    std::unique_ptr<TfMain> w_;

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

    // Starts the window on a FAT32 card whose newest photo comes from this
    // camera, and loads both catalogues, whose archives (made by zip) are in
    // the work folder already.
    void Start(const std::string& model, const std::string& firmware)
    {
        const std::string image = (dir_ / "card.img").string(), build = (dir_ / "autoexec.bin").string();
        ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "64M", image}), 0);
        ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}), 0);
        ASSERT_TRUE(testsupport::WritePhoto((Card() / "DCIM/100CANON/IMG_0001.JPG").string(),
                                            {PhotoKind::Jpeg, model, "Firmware Version " + firmware, 60}));
        auto cards = std::make_unique<testsupport::FakeCards>();
        cards->image.resize(64 * 512);
        std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(cards->image.data()), 64 * 512);
        cards->volume = {"sdz1", "/dev/sdz1", "EOS_DIGITAL", "FAT32", 64 << 20, 512, Card().string(), "8:1:FAT32"};
        cards->mountRoot = Card().string();
        cards_ = cards.get();
        platform::SetCards(std::move(cards));
        w_ = StartWindow();
        std::ofstream(build) << std::string(8, '\0') << "Magic Lantern";
        for (const bool develop : {true, false}) {
            const fs::path list = dir_ / (develop ? "develop.inf" : "legacy.inf");
            std::ofstream catalogue(list);
            for (const auto& [line, inDevelop] : kBuilds) {
                const std::string name(line, std::strchr(line, ';')), archive = std::strchr(line, ';') + 1;
                if (inDevelop != develop)
                    continue;
                ASSERT_EQ(testsupport::RunCommand({"zip", "-q", "-j", w_->WorkFolder + archive, build}), 0);
                catalogue << name << ";http://127.0.0.1:9/ML/" << archive << ";2020.01.01\n";
            }
            catalogue.close();
            develop ? w_->DevelopOptions(QString::fromStdString(list))
                    : w_->LegacyOptions(QString::fromStdString(list));
        }
    }
};

// The build made for the camera is preselected; Save asks before it installs
// a build the user chose for another camera or firmware.
TEST_F(CameraWindow, PreselectionAndSavesQuestion)
{
    struct Case {
        std::string model, firmware;
        QString build;  // how the preselected build's archive ends
        int chosen;     // the development build the user chooses then, -1 for none
        QString asks;   // in Save's question; empty when none comes
        QMessageBox::StandardButton answer;
    };
    const Case cases[] = {
        {"Canon EOS 5D Mark III", "1.2.3", "5D3123.zip", -1, "", QMessageBox::Ok},
        {"Canon EOS REBEL T2i", "1.0.9", "550D109.zip", -1, "", QMessageBox::Ok},  // only in the legacy list
        {"Canon EOS 6D", "1.1.6", "nightly-7.zip", -1, "", QMessageBox::Ok},       // none: the remembered one
        {"Canon EOS 550D", "1.0.9", "550D109.zip", 2, "were taken with the Canon EOS 550D", QMessageBox::No},
        {"Canon EOS 5D Mark III", "1.1.3", "5D3113.zip", 2, "Update the camera's firmware to 1.2.3 first",
         QMessageBox::Yes},
    };
    for (const Case& c : cases) {
        Start(c.model, c.firmware);
        EXPECT_EQ(w_->lCameraName->text().toStdString(), c.model + " firmware " + c.firmware);
        EXPECT_TRUE(w_->lZIPname->text().endsWith(c.build)) << w_->lZIPname->text().toStdString();
        if (c.chosen >= 0) {
            Click(w_->rbDevelop);
            w_->cbDevelop->setCurrentIndex(c.chosen);
            w_->cbDevelopChange();
        }
        Click(w_->sbML);
        const QString asked = ClickSaveAnswering(*w_, c.answer);
        EXPECT_TRUE(c.asks.isEmpty() ? asked.isEmpty() : asked.contains(c.asks) && asked.endsWith("anyway?"))
            << asked.toStdString();
        const bool installed = c.answer != QMessageBox::No;
        EXPECT_EQ(fs::exists(Card() / "autoexec.bin"), installed) << c.model;
        EXPECT_EQ(cards_->CallIndex("write") >= 0, installed) << c.model;
        TearDown();
        SetUp();
    }
}

// The user's choice stays when another camera's photo arrives, and it is
// remembered.
TEST_F(CameraWindow, TheUsersChoiceWins)
{
    Start("Canon EOS 5D Mark III", "1.2.3");
    w_->cbDevelop->setCurrentIndex(1);
    w_->cbDevelopChange();
    ASSERT_TRUE(testsupport::WritePhoto((Card() / "DCIM/100CANON/IMG_0002.JPG").string(),
                                        {PhotoKind::Jpeg, "Canon EOS 550D", "Firmware Version 1.0.9"}));
    w_->RefreshContentLabels();
    EXPECT_EQ(w_->lCameraName->text(), QStringLiteral("Canon EOS 550D firmware 1.0.9"));
    EXPECT_TRUE(w_->rbDevelop->isChecked());
    EXPECT_EQ(w_->cbDevelop->currentIndex(), 1);
    w_->close();
    EXPECT_EQ(QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor")).value("lastDev").toString(),
              QStringLiteral("Nightly 5D3 1.1.3"));
}

}  // namespace
