// The program's own dialog for formatting the selected card.
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLineEdit;
class QLabel;

class TFormatDialog : public QDialog {
    Q_OBJECT
public:
    // currentFileSystem is the card's file system as the volume reports it
    // ("FAT", "FAT32", "exFAT"); the dialog proposes to keep it (FAT12 and
    // FAT16 cards are proposed FAT32, the smallest choice offered).
    TFormatDialog(const QString& cardText, const QString& currentFileSystem = QString(), QWidget* parent = nullptr);
    QComboBox* fileSystem = nullptr;  // "FAT32" or "exFAT"
    QLineEdit* label = nullptr;
    QLabel* warning = nullptr;
};

// The choice ("FAT32" or "exFAT") proposed for a card with this file system.
QString ProposedFileSystem(const QString& currentFileSystem);

// Shows the dialog for a card and formats it when the user confirms, but only
// while the card is still the one the dialog named when it opened. Returns
// -3 (not formatable), -2 (cancelled), -1 (failed; a message box said why)
// or 0 (done).
int RunFormatDialog(QWidget* parent, const std::string& volumeName);
