// The card check in the window, on a simulated card: the dialog from the
// card list's context menu, its result picture, the question before the
// full test, and the offer at start-up to put back an interrupted check.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "cardcheck/journal.h"
#include "core/fileutil.h"
#include "platform/cardaccess.h"
#include "platform/workfolder.h"
#include "simcard.h"
#include "ui/cardcheckdialog.h"
#include "ui/cardcheckview.h"
#include "ui/tfmain.h"

namespace {

constexpr uint64_t MiB = 1ull << 20;

using testsupport::Fake;
using testsupport::SimCard;
using testsupport::SimCards;

struct CardCheckWindow : ::testing::Test {
    testsupport::VirtualClock clock;
    std::unique_ptr<SimCard> card;

    // The simulated card becomes the only card the program sees.
    void UseCard(uint64_t claimed, uint64_t real, Fake fake)
    {
        testsupport::SimCardSpec shape;
        shape.claimedBytes = claimed;
        shape.realBytes = real;
        shape.fake = fake;
        card = std::make_unique<SimCard>(shape, &clock);
        platform::SetCards(std::make_unique<SimCards>(card.get()));
    }
    void TearDown() override { platform::SetCards(nullptr); }

    std::unique_ptr<TfMain> StartWindow()
    {
        appconfig::Options options;
        options.catalogueHost = QStringLiteral("127.0.0.1:9");
        auto w = std::make_unique<TfMain>(options);
        w->show();
        return w;
    }

    // Runs a check in the dialog until it ends.
    void RunIn(CardCheckDialog& dialog, int mode)
    {
        dialog.options.clock = &clock;
        dialog.modeButtons[mode]->setChecked(true);
        dialog.startButton->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialog.running(); }, 120000));
    }
};

TEST_F(CardCheckWindow, ContextMenuOpensTheCheckAndShowsItsResult)
{
    UseCard(256 * MiB, 64 * MiB, Fake::Wrap);
    auto w = StartWindow();
    const QList<QAction*> actions = w->cbDrives->actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Check card..."));
    bool ran = false;
    w->beforeCardCheck = [&](CardCheckDialog* dialog) {
        QTimer::singleShot(0, dialog, [&, dialog] {
            EXPECT_TRUE(dialog->modeButtons[1]->isChecked());  // quick unless chosen otherwise
            RunIn(*dialog, 1);
            EXPECT_EQ(dialog->phase->text(), QStringLiteral("Failed"));
            EXPECT_TRUE(dialog->summary->text().startsWith(QStringLiteral("Counterfeit: only the first 67.1 MB")))
                << dialog->summary->text().toStdString();
            EXPECT_FALSE(dialog->view->empty());
            EXPECT_TRUE(dialog->closeButton->isEnabled());
            ran = true;
            dialog->close();
        });
    };
    actions[0]->trigger();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(card->Unchanged());
}

TEST_F(CardCheckWindow, FullTestAsksAndShowsSpeedAndVerdicts)
{
    UseCard(256 * MiB, 96 * MiB, Fake::Wrap);
    platform::Volume volume;
    ASSERT_TRUE(platform::Cards().FindVolume("sim0", &volume));
    QTemporaryDir work;
    CardCheckDialog dialog(volume, work.path().toStdString() + "/");
    QString asked;
    bool answer = false;
    dialog.confirmErase = [&](const QString& question) {
        asked = question;
        return answer;
    };
    dialog.show();
    RunIn(dialog, 3);
    EXPECT_TRUE(asked.contains(QStringLiteral("sim0: EOS_DIGITAL [exFAT] 268 MB"))) << asked.toStdString();
    EXPECT_TRUE(asked.contains(QStringLiteral("Everything on it will be lost")));
    EXPECT_EQ(card->bytesWritten, 0u);
    answer = true;
    RunIn(dialog, 3);
    EXPECT_GT(card->bytesWritten, 0u);
    EXPECT_TRUE(dialog.result().erased);
    EXPECT_TRUE(dialog.verdicts->text().contains(QStringLiteral("1920x1080 14-bit 23.976 fps")));
    EXPECT_TRUE(dialog.summary->text().contains(QStringLiteral("format it before use")));
    // FLINTOR_CARDCHECK_SHOT=FILE.png keeps a picture of the result.
    const QString shot = qEnvironmentVariable("FLINTOR_CARDCHECK_SHOT");
    if (!shot.isEmpty()) {
        QTest::qWait(200);
        EXPECT_TRUE(dialog.grab().save(shot));
    }
}

TEST_F(CardCheckWindow, StartOffersToPutBackAnInterruptedCheck)
{
    UseCard(256 * MiB, 64 * MiB, Fake::Wrap);
    std::string note;
    const std::string workFolder =
        platform::MakeWorkFolder(1, QCoreApplication::applicationFilePath().toStdString(), &note);
    cardcheck::CheckRequest request;
    request.name = "sim0";
    request.mode = cardcheck::Mode::Quick;
    request.workFolder = workFolder;
    request.options.clock = &clock;
    card->pullAfterBytesWritten = 20 * MiB;
    cardcheck::RunCheck(platform::Cards(), request);
    ASSERT_EQ(cardcheck::ListJournals(workFolder).size(), 1u);
    card->present = true;
    card->pullAfterBytesWritten = UINT64_MAX;

    auto w = StartWindow();
    QString asked;
    w->askRestore = [&](const QString& question) {
        asked = question;
        return true;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !asked.isEmpty(); }, 10000));
    EXPECT_TRUE(asked.contains(QStringLiteral("sim0: EOS_DIGITAL [exFAT] 268 MB"))) << asked.toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return cardcheck::ListJournals(workFolder).empty(); }, 30000));
    EXPECT_TRUE(card->Unchanged());
}

}  // namespace
