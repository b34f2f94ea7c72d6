#include "ui/urllink.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

std::function<void(const QString&)> TURLLink::openLink = [](const QString& link) {
    QDesktopServices::openUrl(QUrl(link));  // a failure is ignored
};

TURLLink::TURLLink(QWidget* parent)
    : QLabel(parent), savedFont_(font())
{
    setCursor(Qt::PointingHandCursor);
}

void TURLLink::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    if (hovered_)
        return;  // a second enter without a leave keeps the saved look
    savedFont_ = font();  // the normal look as it is now
    savedPalette_ = palette();
    setFont(focusFont_);
    if (FocusColor.isValid()) {
        QPalette hot = palette();
        hot.setColor(QPalette::WindowText, FocusColor);
        setPalette(hot);
    }
    adjustSize();
    hovered_ = true;
    emit OnMouseEnter(this);
}

void TURLLink::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    if (!hovered_)
        return;
    setFont(savedFont_);
    setPalette(savedPalette_);
    adjustSize();
    hovered_ = false;
    emit OnMouseLeave(this);
}

void TURLLink::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()))
        return;
    if (OnClick) {
        OnClick();
        return;
    }
    if (!Link.isEmpty() && openLink)
        openLink(Link);
}
