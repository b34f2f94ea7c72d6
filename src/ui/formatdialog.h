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
    TFormatDialog(const QString& cardText, QWidget* parent = nullptr);
    QComboBox* fileSystem = nullptr;  // "FAT32" or "exFAT"
    QLineEdit* label = nullptr;
    QLabel* warning = nullptr;
};

// Shows the dialog for a card and formats it when the user confirms.
// Returns -3 (not formatable), -2 (cancelled), -1 (failed) or 0 (done).
int RunFormatDialog(QWidget* parent, const std::string& volumeName);
