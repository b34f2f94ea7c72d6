// Save on loop-device cards under the conditions of a real desktop: cards
// arriving and leaving, a download still running, a write-protected or full
// card, an install that fails half-way, a card that drops writes, and the
// boot-record backups with their restore.
#include "cardops/journal.h"
#include "cardwindow.h"
#include "platform/cardaccess.h"
#include "platform/volumes.h"
#include "support/cardfiles.h"

#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QRadioButton>
#include <QShortcut>
#include <QUrl>
#include <chrono>
#include <csignal>
#include <thread>

using namespace cardwindow;

namespace {

bool WaitUntil(const std::function<bool()>& done, int ms)
{
    return QTest::qWaitFor(done, ms);
}

// A zip archive made with Info-ZIP from files given as name -> content.
bool MakeBuild(const std::string& folder, const std::string& zipPath,
               const std::vector<std::pair<std::string, std::string>>& files)
{
    for (const auto& [name, content] : files) {
        fs::create_directories(fs::path(folder + "/" + name).parent_path());
        WriteFile(folder + "/" + name, content);
    }
    std::vector<std::string> argv{"sh", "-c", "cd '" + folder + "' && zip -q -r -X '" + zipPath + "' ."};
    return testsupport::RunCommand(argv) == 0;
}

std::string Incompressible(size_t size)
{
    std::string data(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return data;
}

// Puts a build archive into the window's work folder as a finished download
// of the chosen development build.
void OfferBuild(TfMain& w, const std::string& zipPath)
{
    fs::copy_file(zipPath, w.WorkFolder + "build.zip", fs::copy_options::overwrite_existing);
    w.rbDevelop->setChecked(true);
    w.lZIPname->setText(QStringLiteral("build.zip"));
    w.lZIPname->show();
}

class SaveSafety : public CardWindow {
protected:
    void SetUp() override
    {
        CardWindow::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        ASSERT_TRUE(temp_.isValid());
        // A fresh user: no settings, an empty work folder, no old backups.
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/cache").toLocal8Bit());
    }
    std::string Temp(const std::string& name) const { return (temp_.path() + "/").toStdString() + name; }
    QTemporaryDir temp_;
};

TEST_F(SaveSafety, CardsArrivingAndLeavingKeepTheLoadedCardSelected)
{
    NEW_CARD(mine, {.fsType = "FAT32", .label = "MYCARD"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *mine));
    Click(w.sbCHDK);           // the user's choice, not yet saved
    w.markersChanged = false;  // even a refresh that may reload must keep the card

    // A camera card arrives in a second reader: it is listed, but the card
    // the user looks at stays loaded and selected.
    NEW_CARD(eos, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(WaitUntil([&] { return EntryIndex(w, *eos) >= 0; }, 8000)) << "the arriving card was not listed";
    EXPECT_EQ(w.DriveName, mine->name());
    EXPECT_TRUE(w.cbDrives->currentText().startsWith(QString::fromStdString(mine->name() + ": ")));
    EXPECT_TRUE(w.sbCHDK->isChecked()) << "the card was loaded again";

    // The loaded card leaves: now the camera card is chosen.
    ASSERT_TRUE(mine->Detach()) << mine->error();
    ASSERT_TRUE(WaitUntil([&] { return w.DriveName != mine->name(); }, 8000)) << "the gone card stayed loaded";
    EXPECT_EQ(w.cbDrives->currentText().contains(QStringLiteral("EOS_DIGITAL")), true);
}

TEST_F(SaveSafety, SaveWaitsForTheWholeDownloadAndIgnoresAltFMeanwhile)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    // The archive takes a few seconds to arrive.
    const std::string www = Temp("www");
    fs::create_directories(www + "/ML/builds");
    const std::string autoexec = Incompressible(120000);
    ASSERT_TRUE(MakeBuild(Temp("src"), www + "/ML/builds/slow.zip",
                          {{"autoexec.bin", autoexec}, {"ML/MODULES/X.MO", std::string(30000, 'm')}}));
    const std::string portFile = Temp("port");
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(FLINTOR_CARD_TESTS_DIR "/trickle_server.py"), QStringLiteral("--root"),
                  QString::fromStdString(www), QStringLiteral("--port-file"), QString::fromStdString(portFile),
                  QStringLiteral("--delay-ms"), QStringLiteral("300")});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(portFile); }, 10000)) << "the server did not start";
    std::string port;
    std::ifstream(portFile) >> port;
    WriteFile(www + "/ML/develop.inf",
              "Slow build;http://127.0.0.1:" + port + "/ML/builds/slow.zip;2020.01.01 10:00:00\r\n");
    WriteFile(www + "/ML/legacy.inf",
              "Slow build;http://127.0.0.1:" + port + "/ML/builds/slow.zip;2020.01.01 10:00:00\r\n");

    appconfig::Options options;
    options.includeLoop = true;
    options.catalogueHost = QString::fromStdString("127.0.0.1:" + port);
    window_ = std::make_unique<TfMain>(options);
    TfMain& w = *window_;
    w.show();
    int formats = 0;
    w.formatCard = [&](const std::string&) {
        ++formats;
        return static_cast<int>(platform::FormatCancelled);
    };
    ASSERT_TRUE(ChooseCard(w, *card));
    ASSERT_TRUE(WaitUntil([&] { return w.ArchiveFetchPending() && w.queue.ActiveKind() != core::FetchKind::None; }, 20000))
        << "the download did not start: " << w.lML->text().toStdString() << " / " << Panel(w, 3).toStdString()
        << " / builds " << w.cbDevelop->count() << " / zip " << w.lZIPname->text().toStdString();
    Click(w.sbML);
    ASSERT_TRUE(w.cbCardLabel->isChecked() && w.cbBootLabel->isChecked());
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

    // Alt+F while Save waits for the archive.
    bool pressed = false;
    QTimer::singleShot(300, &w, [&] {
        pressed = w.saving;
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    });
    ClickSave(w);
    EXPECT_TRUE(pressed) << "Save did not wait";
    EXPECT_EQ(formats, 0) << "Alt+F ran during Save";
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_EQ(w.lML->text(), QStringLiteral("ML succesfully installed"));
    ASSERT_TRUE(card->Mount()) << card->error();
    std::ifstream in(card->mountPoint() + "/autoexec.bin", std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got.size(), autoexec.size());
    EXPECT_TRUE(got == autoexec) << "the card got another or a partial archive";
    EXPECT_EQ(At(card->ReadDevice(0, 512), 0x47, 11), "EOS_DEVELOP");
    // After the Save, Alt+F works again.
    QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(formats, 1);
    server.kill();
    server.waitForFinished();
}

TEST_F(SaveSafety, InstallCutShortIsUndoneWhenTheWindowStartsAndTheStatusBarSaysSo)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    const testsupport::Tree before = testsupport::TreeOf(card->mountPoint());
    // What an install stopped while unpacking leaves: its journal in the
    // work folder and a file under its temporary name.
    cardops::Journal journal;
    platform::Volume volume;
    ASSERT_TRUE(platform::Cards().FindVolume(card->name(), &volume));
    journal.identity = volume.identity;
    journal.operation = cardops::Operation::Install;
    journal.phase = cardops::Phase::Unpack;
    journal.token = "ABC";
    journal.layoutIndex = core::LayoutFat32;
    const Bytes region = card->ReadDevice(0, kRegion);
    std::copy(region.begin(), region.end(), journal.before.begin());
    journal.after = journal.before;
    journal.files = {{"autoexec.bin", "~ABC0000.TMP", "", 5, 0}};
    const std::string work = StartWindow()->WorkFolder;
    ASSERT_TRUE(cardops::WriteJournal(cardops::JournalPath(work, volume.identity), journal, nullptr));
    testsupport::WriteWhole(card->mountPoint() + "/~ABC0000.TMP", "start");

    window_ = StartWindow();
    // The status bar said it; the catalogue fetches have spoken since, and
    // the whole text stays in its tip.
    EXPECT_TRUE(window_->StatusBar->toolTip().contains(QStringLiteral("was cut short")));
    EXPECT_EQ(testsupport::TreeOf(card->mountPoint()), before);
}

TEST_F(SaveSafety, WriteProtectedCardChangesNothing)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    Click(w.sbCHDK);
    ASSERT_EQ(testsupport::RunCommand({"blockdev", "--setro", card->diskDevice()}), 0);
    const Bytes before = card->ReadImage(0, static_cast<size_t>(card->volumeSize()));
    const QString shown = ClickSaveExpectingError(w);
    testsupport::RunCommand({"blockdev", "--setrw", card->diskDevice()});
    EXPECT_TRUE(shown.contains(QString::fromStdString(card->name()))) << shown.toStdString();
    EXPECT_TRUE(Panel(w, 3).startsWith(QStringLiteral(" Write failed. "))) << Panel(w, 3).toStdString();
    EXPECT_TRUE(card->ReadImage(0, static_cast<size_t>(card->volumeSize())) == before) << "the image changed";
    EXPECT_TRUE(w.bSave->isEnabled()) << "the window stayed locked";
}

TEST_F(SaveSafety, BuildThatDoesNotFitOrFailsHalfWayLeavesNoFilesAndNoMarkers)
{
    NEW_CARD(card, {.fsType = "FAT16", .label = "EOS_DIGITAL", .sizeBytes = 16ull << 20});
    ASSERT_TRUE(card->Mount()) << card->error();
    WriteFile(card->mountPoint() + "/keep.jpg", "a photo");
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    const Bytes region = card->ReadDevice(0, kRegion);

    // Too big: 20 MB that do not compress, on a 16 MB card.
    ASSERT_TRUE(MakeBuild(Temp("big"), Temp("big.zip"), {{"autoexec.bin", Incompressible(20u << 20)}}));
    OfferBuild(w, Temp("big.zip"));
    Click(w.sbML);
    QString shown = ClickSaveExpectingError(w);
    EXPECT_TRUE(shown.contains(QStringLiteral("free"))) << shown.toStdString();
    EXPECT_EQ(card->ReadDevice(0, kRegion), region);
    EXPECT_FALSE(fs::exists(card->mountPoint() + "/autoexec.bin"));

    // Fails half-way: a folder on the card is in the way of a file.
    fs::create_directories(card->mountPoint() + "/ML/DATA/BLOCKED");
    ASSERT_TRUE(MakeBuild(Temp("half"), Temp("half.zip"),
                          {{"autoexec.bin", std::string(40000, 'a')},
                           {"ML/DATA/A.DAT", std::string(5000, 'd')},
                           {"ML/DATA/BLOCKED", "a file"}}));
    OfferBuild(w, Temp("half.zip"));
    shown = ClickSaveExpectingError(w);
    EXPECT_TRUE(shown.contains(QStringLiteral("BLOCKED"))) << shown.toStdString();
    // Found before anything was unpacked.
    EXPECT_EQ(w.lML->text(), QStringLiteral("ML not installed"));
    EXPECT_EQ(card->ReadDevice(0, kRegion), region) << "markers written after a failed install";
    EXPECT_FALSE(fs::exists(card->mountPoint() + "/autoexec.bin"));
    EXPECT_FALSE(fs::exists(card->mountPoint() + "/ML/DATA/A.DAT"));
    EXPECT_TRUE(fs::exists(card->mountPoint() + "/keep.jpg"));
}

TEST_F(SaveSafety, CardThatDropsWritesIsReportedAsFailed)
{
    // An image behind a file system that acknowledges writes and keeps
    // nothing, attached as a loop device.
    const std::string image = Temp("dropped.img");
    ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", "40M", image}), 0);
    ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "EOS_DIGITAL", image}), 0);
    const std::string mnt = Temp("dropfs");
    fs::create_directories(mnt);
    QProcess fuse;
    fuse.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(FLINTOR_CARD_TESTS_DIR "/dropwrites_fs.py"),
                                                    QString::fromStdString(image), QString::fromStdString(mnt)});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(mnt + "/card.img"); }, 10000))
        << fuse.readAllStandardError().toStdString();
    std::string loop;
    ASSERT_EQ(testsupport::RunCommand({"losetup", "-f", "--show", mnt + "/card.img"}, &loop), 0) << loop;
    while (!loop.empty() && loop.back() == '\n')
        loop.pop_back();
    const std::string name = loop.substr(5);
    const auto cleanup = [&] {
        testsupport::RunCommand({"losetup", "-d", loop});
        testsupport::RunCommand({"fusermount", "-u", mnt});
        fuse.waitForFinished(5000);
    };

    window_ = StartWindow();
    TfMain& w = *window_;
    const int index = w.cbDrives->findText(QString::fromStdString(name + ": "), Qt::MatchStartsWith);
    if (index < 0) {
        cleanup();
        FAIL() << "the card over the dropping file system is not listed";
    }
    w.cbDrives->setCurrentIndex(index);
    emit w.cbDrives->activated(index);
    Click(w.sbCHDK);
    const QString shown = ClickSaveExpectingError(w);
    EXPECT_TRUE(shown.contains(QStringLiteral("did not keep"))) << shown.toStdString();
    EXPECT_TRUE(Panel(w, 3).startsWith(QStringLiteral(" Write failed. "))) << Panel(w, 3).toStdString();
    window_.reset();
    cleanup();
}

TEST_F(SaveSafety, LocalBuildsFromTheCommandLineAndByDropAreInstalledWhole)
{
    NEW_CARD(card, {.fsType = "exFAT", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    const std::string first = Incompressible(50000);
    ASSERT_TRUE(MakeBuild(Temp("one"), Temp("mine.zip"), {{"autoexec.bin", first}, {"ML/README.TXT", "one"}}));
    appconfig::Options options;
    options.includeLoop = true;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");
    options.localBuild = QString::fromStdString(Temp("mine.zip"));
    window_ = std::make_unique<TfMain>(options);
    TfMain& w = *window_;
    w.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.queue.Count() == 0; }, 10000));
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.lZIPname->text(), QStringLiteral("mine.zip"));
    Click(w.sbML);
    ClickSave(w);
    ASSERT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_EQ(At(card->ReadDevice(0, kRegion), 0x82, 11), "EOS_DEVELOP");
    ASSERT_TRUE(card->Mount()) << card->error();
    {
        // Closed again before the next Save: an open file keeps the card busy.
        std::ifstream in(card->mountPoint() + "/autoexec.bin", std::ios::binary);
        EXPECT_TRUE(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) == first);
    }

    // Cleared (files removed), then another archive dropped on the window.
    Click(w.sbML);
    ASSERT_FALSE(ClickSaveAnswering(w, QMessageBox::Yes).isEmpty());
    ASSERT_TRUE(card->Mount()) << card->error();
    ASSERT_FALSE(fs::exists(card->mountPoint() + "/autoexec.bin"));
    w.cbDrivesChange();
    ASSERT_TRUE(MakeBuild(Temp("two"), Temp("dropped.zip"), {{"autoexec.bin", "second build"}}));
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(Temp("dropped.zip")))});
    const QPoint at(w.width() / 2, w.height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &drop);
    EXPECT_EQ(w.lZIPname->text(), QStringLiteral("dropped.zip"));
    Click(w.sbML);
    ClickSave(w);
    ASSERT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    ASSERT_TRUE(card->Mount()) << card->error();
    std::ifstream again(card->mountPoint() + "/autoexec.bin", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()), "second build");
}

class BackupRestore : public SaveSafety, public ::testing::WithParamInterface<const char*> {};

TEST_P(BackupRestore, RestoreFromTheSaveMenuBringsTheRegionBackByteForByte)
{
    const std::string fsType = GetParam();
    NEW_CARD(card,
             {.fsType = fsType, .label = "EOS_DIGITAL", .sizeBytes = fsType == "FAT12" ? (4ull << 20) : (64ull << 20)});
    const Bytes original = card->ReadDevice(0, kRegion);
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    Click(w.cbBootLabel);
    ClickSave(w);
    ASSERT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    ASSERT_NE(card->ReadDevice(0, kRegion), original);

    // The Save button's menu offers the latest backup; the question names the card.
    QString asked;
    QString offered;
    QTimer answer;
    answer.setInterval(50);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            ASSERT_FALSE(menu->actions().isEmpty());
            offered = menu->actions().first()->text();
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
        } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            asked = box->text();
            box->button(QMessageBox::Yes)->click();
        }
    });
    answer.start();
    emit w.bSave->customContextMenuRequested(w.bSave->rect().center());
    answer.stop();
    EXPECT_TRUE(offered.startsWith(QStringLiteral("Restore the boot record of "))) << offered.toStdString();
    EXPECT_TRUE(asked.contains(QString::fromStdString(card->name()))) << asked.toStdString();
    EXPECT_TRUE(Panel(w, 3).startsWith(QStringLiteral(" Write succesful"))) << Panel(w, 3).toStdString();
    EXPECT_EQ(card->ReadDevice(0, kRegion), original) << "the restored region differs from the original";
    std::string out;
    if (fsType == "exFAT")
        EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card->device()}, &out), 0) << out;
    else
        EXPECT_EQ(testsupport::RunCommand({"fsck.fat", "-n", card->device()}, &out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(Cards, BackupRestore, ::testing::Values("FAT12", "FAT16", "FAT32", "exFAT"));

}  // namespace
