// "Check card...": the card check for the card chosen in the card list. The
// modes are explained in one sentence each, with what they do to the card;
// the check runs on a worker thread with progress and the time left, and its
// result shows in words, as a picture and as verdicts per recording mode.
#pragma once

#include <QDialog>

#include <atomic>
#include <functional>
#include <string>

#include "cardcheck/cardcheck.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QThread;
class CardCheckView;

class CardCheckDialog : public QDialog {
    Q_OBJECT
public:
    CardCheckDialog(const platform::Volume& card, const std::string& workFolder, QWidget* parent = nullptr);
    ~CardCheckDialog() override;

    // Controls, for the keyboard and for tests.
    QRadioButton* modeButtons[4] = {};  // read, quick, speed, full
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QPushButton* closeButton = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* phase = nullptr;
    QLabel* summary = nullptr;
    QLabel* verdicts = nullptr;
    CardCheckView* view = nullptr;

    // Asks before the full test erases the card; the default shows a box
    // naming the card. Tests answer it themselves.
    std::function<bool(const QString& question)> confirmErase;
    // Options for the checks it runs (tests: a virtual clock).
    cardcheck::Options options;

    bool running() const { return worker_ != nullptr; }
    const cardcheck::CheckResult& result() const { return result_; }
    void Start();
    void Stop();

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    cardcheck::Mode ChosenMode() const;
    void ShowProgress(const cardcheck::Progress& p);
    void ShowResult();
    void SetRunning(bool running);
    static QString VerdictTable(const cardcheck::CheckResult& result);

    platform::Volume card_;
    std::string workFolder_;
    QThread* worker_ = nullptr;
    std::atomic<bool> stop_{false};
    cardcheck::CheckResult result_;
};
