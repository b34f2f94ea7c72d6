// What the window tests on loop-device cards share: starting the window as
// the program starts, choosing a card, clicking Save and answering its
// questions, and the fixture that owns the cards.
#pragma once

#include "support/loopcard.h"
#include "ui/buttonart.h"
#include "ui/formatdialog.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::LoopCard;
using testsupport::LoopCardOptions;
using Bytes = std::vector<uint8_t>;

namespace cardwindow {

constexpr size_t kRegion = 24 * 512;

inline Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

inline std::string At(const Bytes& bytes, size_t offset, size_t count)
{
    if (offset + count > bytes.size())
        return "<out of range>";
    return std::string(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + count));
}

inline std::string VbrAt(const TfMain& w, size_t offset, size_t count)
{
    return std::string(w.markers.boot.VBR.begin() + static_cast<long>(offset),
                       w.markers.boot.VBR.begin() + static_cast<long>(offset + count));
}

const std::string kSpaces8(8, ' ');

// An exFAT region without the bytes its mounted driver keeps its state in
// (volume flags and use percentage, in both regions).
inline Bytes WithoutDriverState(Bytes region)
{
    for (size_t base : {size_t{0}, size_t{12 * 512}})
        for (size_t at : {size_t{106}, size_t{107}, size_t{112}})
            if (base + at < region.size())
                region[base + at] = 0;
    return region;
}

// The FAT32 boot region after a Save that wrote the boot sector: its backup
// (sector 6) holds the same, every other sector is as it was.
inline void ExpectOnlyBootSectorAndBackupWritten(const Bytes& after, const Bytes& before)
{
    EXPECT_EQ(At(after, 6 * 512, 512), At(after, 0, 512)) << "the backup boot sector differs from the boot sector";
    EXPECT_EQ(At(after, 512, 5 * 512), At(before, 512, 5 * 512));
    EXPECT_EQ(At(after, 7 * 512, 17 * 512), At(before, 7 * 512, 17 * 512));
}

// A window started as the program starts, with loop devices listed and the
// catalogue fetches pointed at a closed local port. Waits until the fetches
// have failed, so no download is in the way of a Save.
inline std::unique_ptr<TfMain> StartWindow()
{
    appconfig::Options options;
    options.includeLoop = true;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");
    auto w = std::make_unique<TfMain>(options);
    w->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    const bool settled = QTest::qWaitFor([&] { return w->queue.Count() == 0; }, 10000);
    EXPECT_TRUE(settled) << "the catalogue fetches did not end";
    QTest::qWait(50);
    return w;
}

inline int EntryIndex(const TfMain& w, const LoopCard& card)
{
    const QString prefix = QString::fromStdString(card.name()) + QStringLiteral(": ");
    for (int i = 0; i < w.cbDrives->count(); ++i) {
        if (w.cbDrives->itemText(i).startsWith(prefix))
            return i;
    }
    return -1;
}

// Chooses the card in the list as the user does (the list's activated signal).
inline bool ChooseCard(TfMain& w, const LoopCard& card)
{
    const int index = EntryIndex(w, card);
    if (index < 0)
        return false;
    if (w.cbDrives->currentIndex() != index || w.DriveName != card.name()) {
        w.cbDrives->setCurrentIndex(index);
        emit w.cbDrives->activated(index);
    }
    return w.DriveName == card.name();
}

inline void Click(QWidget* widget)
{
    QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, widget->rect().center());
}

// Clicks Save and fails the test when a message box comes up that nobody
// expected (it is closed so the test goes on).
inline void ClickSave(TfMain& w)
{
    bool unexpected = false;
    QString said;
    QTimer guard;
    guard.setInterval(100);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            unexpected = true;
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                said = box->text();
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                box->button(box->standardButtons().testFlag(QMessageBox::No) ? QMessageBox::No : QMessageBox::Ok)
                    ->click();
            else
                modal->close();
        }
    });
    guard.start();
    Click(w.bSave);
    guard.stop();
    EXPECT_FALSE(unexpected) << "Save showed a message box: " << said.toStdString();
}

// Clicks Save and answers the removal question with the given button.
// Returns the question's text ("" when none came).
inline QString ClickSaveAnswering(TfMain& w, QMessageBox::StandardButton answer)
{
    QString asked;
    QTimer answerer;
    answerer.setInterval(50);
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        asked = box->windowTitle() + QStringLiteral("|") + box->text();
        if (QAbstractButton* b = box->button(answer))
            b->click();
        else
            box->reject();
    });
    answerer.start();
    Click(w.bSave);
    answerer.stop();
    return asked;
}

// Clicks Save on a card made Magic-Lantern-bootable with no build to
// install: the window asks first; Yes writes the markers.
inline void ClickSaveWithoutBuild(TfMain& w)
{
    const QString asked = ClickSaveAnswering(w, QMessageBox::Yes);
    EXPECT_TRUE(asked.contains(QStringLiteral("no Magic Lantern build is ready"))) << asked.toStdString();
}

// Clicks Save that must fail: the error comes as a message box, whose text
// is returned.
inline QString ClickSaveExpectingError(TfMain& w)
{
    const QString shown = ClickSaveAnswering(w, QMessageBox::Ok);
    EXPECT_FALSE(shown.isEmpty()) << "no message box";
    return shown;
}

inline QString Panel(const TfMain& w, int index)
{
    return w.StatusBar->panel(index).text;
}

inline void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// What fsck.fat -n finds on a FAT32 card whose sector 0 carries the markers,
// without the two findings that come with them: the backup boot sector
// (never written) differs, in marker places only, and the boot sector's label
// field (EOS_DEVELOP) differs from the root folder's label. Anything else is
// returned.
inline std::string FatComplaintsBesidesMarkers(const std::string& output)
{
    const auto inMarkerPlace = [](unsigned long offset) {
        return (offset >= 0x47 && offset < 0x52) || (offset >= 0x5C && offset < 0x64) ||
               (offset >= 0x1E0 && offset < 0x1E8) || (offset >= 0x1F0 && offset < 0x1F6);
    };
    std::string rest;
    std::istringstream lines(output);
    std::string line;
    bool inBackupDiff = false;
    while (std::getline(lines, line)) {
        if (line.find("differences between boot sector and its backup") != std::string::npos) {
            inBackupDiff = true;
            continue;
        }
        if (inBackupDiff) {
            if (line.find("Not automatically fixing this.") != std::string::npos) {
                inBackupDiff = false;
                continue;
            }
            // "  76:45/49, 77:56/47, ..." after "Differences: (offset:original/backup)"
            const size_t listStart = line.find("Differences:");
            std::string list = listStart == std::string::npos ? line : line.substr(line.find(')', listStart) + 1);
            std::istringstream items(list);
            std::string item;
            while (std::getline(items, item, ',')) {
                const size_t colon = item.find(':');
                if (colon == std::string::npos)
                    continue;
                const unsigned long offset = std::stoul(item.substr(0, colon));
                if (!inMarkerPlace(offset))
                    rest += "backup differs outside the marker places at " + std::to_string(offset) + "\n";
            }
            continue;
        }
        if (line.find("label 'EOS_DEVELOP' stored in boot sector") != std::string::npos ||
            line.find("Auto-copying volume label from root directory") != std::string::npos)
            continue;
        if (line.rfind("fsck.fat", 0) == 0 || line.find(" files, ") != std::string::npos || line.empty() ||
            line == "Leaving filesystem unchanged.")
            continue;
        rest += line + "\n";
    }
    return rest;
}

class CardWindow : public ::testing::Test {
protected:
    void SetUp() override { FLINTOR_REQUIRE_LOOP_AND_FUSE(); }

    LoopCard* NewCard(const LoopCardOptions& options)
    {
        cards_.push_back(std::make_unique<LoopCard>());
        LoopCard* card = cards_.back().get();
        if (!card->Create(options)) {
            ADD_FAILURE() << "card " << options.fsType << " " << options.label << ": " << card->error();
            return nullptr;
        }
        return card;
    }

    void TearDown() override
    {
        window_.reset();
        cards_.clear();
    }

    std::unique_ptr<TfMain> window_;
    std::vector<std::unique_ptr<LoopCard>> cards_;
};

#define NEW_CARD(var, ...)                                                                                             \
    LoopCard* var = NewCard(__VA_ARGS__);                                                                              \
    ASSERT_NE(var, nullptr);

}  // namespace cardwindow
