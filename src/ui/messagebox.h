// Every message box and tooltip of the window shows its text as plain text,
// so a name from an archive, a photo or a card, or a text from a server shows
// as it is and is never rendered as HTML.
#pragma once

#include <QMessageBox>

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                        const QString& text, QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// A tooltip text that shows as it is, also when it looks like HTML.
QString PlainToolTip(const QString& text);
// Makes every widget's tooltip show as plain text (once per program; the
// status bar shows its panels' tooltips itself, through PlainToolTip).
void ShowToolTipsAsPlainText();
