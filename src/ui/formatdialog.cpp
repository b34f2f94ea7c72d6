#include "ui/formatdialog.h"

#include "core/driveentry.h"
#include "platform/cardaccess.h"
#include "ui/messagebox.h"
#include "ui/urllink.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

QString ProposedFileSystem(const QString& currentFileSystem)
{
    return currentFileSystem.compare(QLatin1String("exFAT"), Qt::CaseInsensitive) == 0 ? QStringLiteral("exFAT")
                                                                                       : QStringLiteral("FAT32");
}

TFormatDialog::TFormatDialog(const QString& cardText, const QString& currentFileSystem, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Format card"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(new QLabel(QStringLiteral("Card:"), this), new QLabel(cardText, this));
    fileSystem = new QComboBox(this);
    fileSystem->addItems({QStringLiteral("FAT32"), QStringLiteral("exFAT")});
    fileSystem->setCurrentText(ProposedFileSystem(currentFileSystem));
    // No mnemonic on F: Alt+F is the window's format key.
    form->addRow(QStringLiteral("File &system:"), fileSystem);
    label = new QLineEdit(QStringLiteral("EOS_DIGITAL"), this);
    label->setMaxLength(11);
    // Letters, digits and the few signs every FAT tool accepts in a label.
    label->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z0-9_ -]{0,11}")), label));
    form->addRow(QStringLiteral("Volume &label:"), label);
    layout->addLayout(form);
    warning = new QLabel(QStringLiteral("Formatting erases EVERYTHING on this card: pictures, "
                                        "firmware files and folders. This cannot be undone."),
                         this);
    warning->setWordWrap(true);
    QPalette pal = warning->palette();
    // Dark red on a light theme; a readable red on a dark one.
    pal.setColor(QPalette::WindowText,
                 ReadableColor(QColor(180, 0, 0), pal.color(QPalette::Window), QColor(255, 110, 100)));
    warning->setPalette(pal);
    layout->addWidget(warning);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    QPushButton* format = buttons->addButton(QStringLiteral("F&ormat"), QDialogButtonBox::AcceptRole);
    format->setObjectName(QStringLiteral("formatButton"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("&Cancel"));
    buttons->button(QDialogButtonBox::Cancel)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

int RunFormatDialog(QWidget* parent, const std::string& volumeName)
{
    platform::Volume volume;
    if (!platform::Cards().FindVolume(volumeName, &volume))
        return platform::FormatNotFormatable;
    const QString cardText = QString::fromStdString(
        core::EntryText(volume.name, volume.label, volume.fsName.empty() ? "?" : volume.fsName, volume.sizeBytes));
    TFormatDialog dialog(cardText, QString::fromStdString(volume.fsName), parent);
    if (dialog.exec() != QDialog::Accepted)
        return platform::FormatCancelled;
    // The card the dialog named, and no other: another card put in the same
    // reader meanwhile has another identity, and the backend refuses it.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const platform::FormatOutcome result =
        platform::Cards().Format(volumeName, volume.identity, dialog.fileSystem->currentText().toStdString(),
                                 dialog.label->text().trimmed().toUpper().toStdString());
    QApplication::restoreOverrideCursor();
    if (result.code == platform::FormatError)
        ShowMessage(
            parent, QMessageBox::Warning, QStringLiteral("Format card"),
            QStringLiteral("The card could not be formatted.\n%1").arg(QString::fromStdString(result.access.why)));
    return result.code;
}
