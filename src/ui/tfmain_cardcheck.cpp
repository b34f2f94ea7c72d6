// The card check from the window: "Check card..." in the card list's context
// menu, and at start-up the offer to put back what an interrupted check left
// overwritten.
#include "cardcheck/recovery.h"
#include "core/driveentry.h"
#include "platform/cardaccess.h"
#include "ui/cardcheckdialog.h"
#include "ui/messagebox.h"
#include "ui/tfmain.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QProgressDialog>
#include <QThread>

void TfMain::ConnectCardCheck()
{
    auto* check = new QAction(QStringLiteral("Check card..."), cbDrives);
    check->setObjectName(QStringLiteral("actionCheckCard"));
    cbDrives->setContextMenuPolicy(Qt::ActionsContextMenu);
    cbDrives->addAction(check);
    connect(check, &QAction::triggered, this, [this] { OpenCardCheck(); });
    askRestore = [this](const QString& question) {
        return ShowMessage(this, QMessageBox::Question, QStringLiteral("Interrupted card check"), question,
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
    };
}

void TfMain::OpenCardCheck()
{
    platform::Volume card;
    const std::string name = core::EntryVolumeName(cbDrives->currentText().toStdString());
    if (name.empty() || saving || !platform::Cards().FindVolume(name, &card)) {
        log(QStringLiteral("No card to check."));
        return;
    }
    CardCheckDialog dialog(card, WorkFolder, this);
    if (beforeCardCheck)
        beforeCardCheck(&dialog);
    dialog.exec();
    // The check may have unmounted the card or erased it: look again.
    bRefreshClick();
}

void TfMain::OfferInterruptedChecks()
{
    if (WorkFolder.empty() || cardcheck::ListJournals(WorkFolder).empty())
        return;
    for (const cardcheck::Interrupted& it : cardcheck::FindInterrupted(platform::Cards(), WorkFolder)) {
        const QString card = QString::fromStdString(it.header.card);
        if (it.name.empty()) {
            erslog(QStringLiteral("An interrupted card check of %1 kept its data: put that card in and start again.")
                       .arg(card));
            continue;
        }
        const QString question = QStringLiteral("A card check of %1 (%2) was interrupted before it had put the "
                                                "card's data back.\n\nPut the data back now?")
                                     .arg(card, QString::fromStdString(it.header.created));
        if (!askRestore || !askRestore(question))
            continue;
        QProgressDialog wait(QStringLiteral("Putting the card's data back..."), QString(), 0, 0, this);
        wait.setWindowModality(Qt::WindowModal);
        wait.show();
        cardcheck::RecoverResult result;
        QThread* worker = QThread::create([&] { result = cardcheck::Recover(platform::Cards(), it); });
        worker->start();
        while (!worker->wait(50))
            QApplication::processEvents();
        delete worker;
        if (result.ok)
            log(QString::fromStdString(result.text));
        else
            erslog(QString::fromStdString(result.text));
    }
    bRefreshClick();
}
