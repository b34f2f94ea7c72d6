// Every message box of the window goes through here: its text is plain text,
// so a name from an archive or a text from a server shows as it is and is
// never rendered as HTML.
#pragma once

#include <QMessageBox>

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                        const QString& text, QMessageBox::StandardButtons buttons = QMessageBox::Ok);
