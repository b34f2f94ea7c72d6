#include "ui/messagebox.h"

#include <QApplication>
#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                        const QString& text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString PlainToolTip(const QString& text)
{
    if (!Qt::mightBeRichText(text))
        return text;
    QString escaped = text.toHtmlEscaped();
    escaped.replace(QLatin1String("\r\n"), QLatin1String("<br>"));
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    escaped.replace(QLatin1Char('\r'), QLatin1String("<br>"));
    return QStringLiteral("<qt>") + escaped + QStringLiteral("</qt>");
}

namespace {

class PlainToolTips : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::ToolTip || watched->inherits("TStatusBar"))
            return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget || !Qt::mightBeRichText(widget->toolTip()))
            return false;
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), PlainToolTip(widget->toolTip()), widget);
        return true;
    }
};

}  // namespace

void ShowToolTipsAsPlainText()
{
    static PlainToolTips* filter = nullptr;
    if (filter || !qApp)
        return;
    filter = new PlainToolTips(qApp);
    qApp->installEventFilter(filter);
}
