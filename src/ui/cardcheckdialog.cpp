#include "ui/cardcheckdialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QVBoxLayout>

#include "cardcheck/report.h"
#include "core/driveentry.h"
#include "platform/cardaccess.h"
#include "ui/cardcheckview.h"
#include "ui/messagebox.h"

namespace {

const cardcheck::Mode kModes[4] = {cardcheck::Mode::Read, cardcheck::Mode::Quick, cardcheck::Mode::Speed,
                                   cardcheck::Mode::Full};
const char* const kTitles[4] = {"&Read", "&Quick (real capacity)", "&Speed", "&Full test"};

QString Entry(const platform::Volume& v)
{
    return QString::fromStdString(core::EntryText(v.name, v.label, v.fsName, v.sizeBytes));
}

QString TimeLeft(double seconds)
{
    const int s = static_cast<int>(seconds + 0.5);
    return s >= 60 ? QStringLiteral("%1:%2 left").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'))
                   : QStringLiteral("%1 s left").arg(s);
}

}  // namespace

CardCheckDialog::CardCheckDialog(const platform::Volume& card, const std::string& workFolder, QWidget* parent)
    : QDialog(parent), card_(card), workFolder_(workFolder)
{
    setObjectName(QStringLiteral("CardCheckDialog"));
    setWindowTitle(tr("Check card"));
    // The modes on the left, the progress and the result on the right.
    auto* columns = new QHBoxLayout(this);
    auto* layout = new QVBoxLayout;
    auto* results = new QVBoxLayout;
    columns->addLayout(layout, 0);
    columns->addSpacing(12);
    columns->addLayout(results, 1);
    auto* heading = new QLabel(tr("Card: <b>%1</b>").arg(Entry(card).toHtmlEscaped()), this);
    layout->addWidget(heading);
    for (int i = 0; i < 4; ++i) {
        modeButtons[i] = new QRadioButton(tr(kTitles[i]), this);
        layout->addWidget(modeButtons[i]);
        const bool erases = kModes[i] == cardcheck::Mode::Full;
        auto* words =
            new QLabel(QString::fromStdString(cardcheck::ModeSentence(kModes[i])) + QStringLiteral("<br>") +
                           (erases ? QStringLiteral("<b style='color:#c0392b'>%1</b>") : QStringLiteral("<i>%1</i>"))
                               .arg(QString::fromStdString(cardcheck::ModeWrites(kModes[i]))),
                       this);
        words->setWordWrap(true);
        words->setFixedWidth(330);
        words->setContentsMargins(22, 0, 0, 4);
        layout->addWidget(words);
    }
    modeButtons[1]->setChecked(true);
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    startButton = new QPushButton(tr("S&tart"), this);
    stopButton = new QPushButton(tr("St&op"), this);
    closeButton = new QPushButton(tr("&Close"), this);
    for (QPushButton* b : {startButton, stopButton, closeButton})
        buttons->addWidget(b);
    layout->addLayout(buttons);

    auto* status = new QHBoxLayout;
    progress = new QProgressBar(this);
    progress->setRange(0, 1000);
    progress->setTextVisible(false);
    phase = new QLabel(this);
    phase->setMinimumWidth(230);
    status->addWidget(progress, 1);
    status->addWidget(phase);
    results->addLayout(status);
    summary = new QLabel(this);
    summary->setWordWrap(true);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    results->addWidget(summary);
    view = new CardCheckView(this);
    results->addWidget(view, 1);
    verdicts = new QLabel(this);
    verdicts->setTextFormat(Qt::RichText);
    results->addWidget(verdicts);
    results->addStretch(0);

    startButton->setDefault(true);
    connect(startButton, &QPushButton::clicked, this, &CardCheckDialog::Start);
    connect(stopButton, &QPushButton::clicked, this, &CardCheckDialog::Stop);
    connect(closeButton, &QPushButton::clicked, this, &CardCheckDialog::close);
    SetRunning(false);
    columns->setSizeConstraint(QLayout::SetMinimumSize);
    resize(960, 560);

    confirmErase = [this](const QString& question) {
        return ShowMessage(this, QMessageBox::Warning, tr("Full test"), question, QMessageBox::Yes | QMessageBox::No,
                           QMessageBox::No) == QMessageBox::Yes;
    };
}

CardCheckDialog::~CardCheckDialog()
{
    if (worker_) {
        stop_ = true;
        worker_->wait();
    }
}

cardcheck::Mode CardCheckDialog::ChosenMode() const
{
    for (int i = 0; i < 4; ++i)
        if (modeButtons[i]->isChecked())
            return kModes[i];
    return cardcheck::Mode::Quick;
}

void CardCheckDialog::Start()
{
    if (worker_)
        return;
    cardcheck::CheckRequest request;
    request.name = card_.name;
    request.mode = ChosenMode();
    request.workFolder = workFolder_;
    request.options = options;
    if (request.mode == cardcheck::Mode::Full) {
        const QString question = tr("The full test writes over the whole card %1 (%2).\n\nEverything on it will "
                                    "be lost. Erase the card and test it?")
                                     .arg(Entry(card_), QString::fromStdString(card_.device));
        if (!confirmErase || !confirmErase(question))
            return;
        request.eraseConfirmed = true;
    }
    stop_ = false;
    summary->clear();
    verdicts->clear();
    view->Clear();
    progress->setValue(0);
    phase->setText(tr("Starting..."));
    cardcheck::Hooks hooks;
    hooks.cancelled = [this] { return stop_.load(); };
    hooks.progress = [this](const cardcheck::Progress& p) {
        QMetaObject::invokeMethod(
            this, [this, p] { ShowProgress(p); }, Qt::QueuedConnection);
    };
    worker_ =
        QThread::create([this, request, hooks] { result_ = cardcheck::RunCheck(platform::Cards(), request, hooks); });
    connect(worker_, &QThread::finished, this, [this] {
        worker_->deleteLater();
        worker_ = nullptr;
        ShowResult();
        SetRunning(false);
    });
    SetRunning(true);
    worker_->start();
}

void CardCheckDialog::Stop()
{
    if (!worker_)
        return;
    stop_ = true;
    phase->setText(tr("Stopping; putting the card's data back..."));
}

void CardCheckDialog::ShowProgress(const cardcheck::Progress& p)
{
    if (!worker_)
        return;
    progress->setValue(static_cast<int>(p.fraction * 1000));
    QString text = QString::fromStdString(p.phase);
    if (p.secondsLeft >= 0)
        text += QStringLiteral(", ") + TimeLeft(p.secondsLeft);
    phase->setText(stop_ ? tr("Stopping; putting the card's data back...") : text);
}

void CardCheckDialog::ShowResult()
{
    progress->setValue(result_.outcome == cardcheck::Outcome::NotDone ? 0 : 1000);
    const bool passed = result_.outcome == cardcheck::Outcome::Passed;
    phase->setText(passed                                          ? tr("Passed")
                   : result_.outcome == cardcheck::Outcome::Failed ? tr("Failed")
                                                                   : tr("Not done"));
    QString text = QString::fromStdString(result_.summary).toHtmlEscaped();
    for (const std::string& note : result_.notes)
        text += QStringLiteral("<br><i>%1</i>").arg(QString::fromStdString(note).toHtmlEscaped());
    if (!result_.uncached)
        text += tr("<br><i>The card could not be read past the system's cache; the figures may be too high.</i>");
    summary->setText(text);
    if (result_.outcome != cardcheck::Outcome::NotDone && (!result_.regions.empty() || !result_.samples.empty()))
        view->SetResult(result_);
    if (!result_.verdicts.empty())
        verdicts->setText(VerdictTable(result_));
}

QString CardCheckDialog::VerdictTable(const cardcheck::CheckResult& result)
{
    QString table = QStringLiteral("<table cellspacing='0' cellpadding='4'><tr><th align='left'>%1</th><th>MB/s</th>")
                        .arg(tr("Recording mode"));
    for (const cardcheck::CameraInterface& camera : cardcheck::CameraInterfaces())
        table += QStringLiteral("<th align='left'>%1</th>").arg(QString::fromStdString(camera.name));
    table += QStringLiteral("</tr>");
    for (const cardcheck::ModeVerdict& m : result.verdicts) {
        table += QStringLiteral("<tr><td>%1</td><td align='right'>%2</td>")
                     .arg(QString::fromStdString(m.mode.name))
                     .arg(m.bytesPerSecond / 1e6, 0, 'f', 1);
        for (const std::string& v : m.verdicts) {
            const char* colour = v == "enough" ? "#2e8b3a" : v == "too slow" ? "#c0392b" : "#a06000";
            table += QStringLiteral("<td style='color:%1'>%2</td>").arg(colour, QString::fromStdString(v));
        }
        table += QStringLiteral("</tr>");
    }
    return table + QStringLiteral("</table>");
}

void CardCheckDialog::SetRunning(bool running)
{
    for (QRadioButton* b : modeButtons)
        b->setEnabled(!running);
    startButton->setEnabled(!running);
    stopButton->setEnabled(running);
    closeButton->setEnabled(!running);
}

void CardCheckDialog::closeEvent(QCloseEvent* event)
{
    // A running check first puts the card's data back.
    if (worker_) {
        Stop();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CardCheckDialog::reject()
{
    if (worker_) {
        Stop();
        return;
    }
    QDialog::reject();
}
