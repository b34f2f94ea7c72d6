#include "ui/urllink.h"

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace {

double Channel(double c)
{
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double Luminance(const QColor& color)
{
    const QColor c = color.toRgb();
    return 0.2126 * Channel(c.redF()) + 0.7152 * Channel(c.greenF()) + 0.0722 * Channel(c.blueF());
}

QColor Mix(const QColor& from, const QColor& to, double t)
{
    const QColor a = from.toRgb();
    const QColor b = to.toRgb();
    return QColor::fromRgbF(static_cast<float>(a.redF() + (b.redF() - a.redF()) * t),
                            static_cast<float>(a.greenF() + (b.greenF() - a.greenF()) * t),
                            static_cast<float>(a.blueF() + (b.blueF() - a.blueF()) * t));
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b)
{
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableColor(const QColor& wanted, const QColor& background, const QColor& fallback, double minRatio)
{
    if (!wanted.isValid() || ContrastRatio(wanted, background) >= minRatio)
        return wanted;
    if (fallback.isValid() && ContrastRatio(fallback, background) >= minRatio)
        return fallback;
    // Towards whichever end stands out more from the background; on any
    // background one of white and black reaches at least 4.58.
    const QColor end = ContrastRatio(Qt::white, background) >= ContrastRatio(Qt::black, background) ? QColor(Qt::white)
                                                                                                    : QColor(Qt::black);
    for (int step = 1; step <= 20; ++step) {
        const QColor mixed = Mix(wanted, end, step / 20.0);
        if (ContrastRatio(mixed, background) >= minRatio)
            return mixed;
    }
    return end;
}

std::function<void(const QString&)> TURLLink::openLink = [](const QString& link) {
    QDesktopServices::openUrl(QUrl(link));  // a failure is ignored
};

TURLLink::TURLLink(QWidget* parent) : QLabel(parent), savedFont_(font())
{
    setCursor(Qt::PointingHandCursor);
    // Reachable with Tab like any other control of the window.
    setFocusPolicy(Qt::TabFocus);
    KeepReadable();
    // A label with a colour of its own no longer follows the theme by
    // itself: watch for theme changes to keep the colour readable.
    if (qApp)
        qApp->installEventFilter(this);
}

bool TURLLink::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        // After the parents have taken the new palette.
        QMetaObject::invokeMethod(
            this, [this] { FollowTheme(); }, Qt::QueuedConnection);
    return QLabel::eventFilter(watched, event);
}

void TURLLink::FollowTheme()
{
    if (hovered_) {
        followThemeOnLeave_ = true;
        return;
    }
    QPalette p = parentWidget() ? parentWidget()->palette() : QApplication::palette(this);
    if (!ownerColor_)
        designColor_ = p.color(QPalette::WindowText);
    appliedColor_ = ReadableColor(designColor_, p.color(QPalette::Window), p.color(QPalette::Link));
    p.setColor(QPalette::WindowText, appliedColor_);
    adjusting_ = true;
    setPalette(p);
    adjusting_ = false;
}

void TURLLink::SetTextColor(const QColor& color)
{
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    adjusting_ = true;
    setPalette(p);
    adjusting_ = false;
}

void TURLLink::KeepReadable()
{
    const QColor shown = palette().color(QPalette::WindowText);
    if (!appliedColor_.isValid() || shown != appliedColor_) {
        designColor_ = shown;  // a colour the owner (or the theme) set
        ownerColor_ = appliedColor_.isValid();
    }
    const QColor fit = ReadableColor(designColor_, palette().color(QPalette::Window), palette().color(QPalette::Link));
    appliedColor_ = fit;
    if (fit != shown)
        SetTextColor(fit);
}

void TURLLink::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange && !adjusting_ && !hovered_)
        KeepReadable();
}

void TURLLink::enterEvent(QEnterEvent* event)
{
    QLabel::enterEvent(event);
    if (hovered_)
        return;           // a second enter without a leave keeps the saved look
    savedFont_ = font();  // the normal look as it is now
    savedPalette_ = palette();
    setFont(focusFont_);
    hovered_ = true;
    if (FocusColor.isValid())
        SetTextColor(ReadableColor(FocusColor, palette().color(QPalette::Window), palette().color(QPalette::Link)));
    adjustSize();
    emit OnMouseEnter(this);
}

void TURLLink::leaveEvent(QEvent* event)
{
    QLabel::leaveEvent(event);
    if (!hovered_)
        return;
    setFont(savedFont_);
    adjusting_ = true;
    setPalette(savedPalette_);
    adjusting_ = false;
    hovered_ = false;
    if (followThemeOnLeave_) {  // the theme changed meanwhile
        followThemeOnLeave_ = false;
        FollowTheme();
    }
    adjustSize();
    emit OnMouseLeave(this);
}

void TURLLink::Activate()
{
    if (OnClick) {
        OnClick();
        return;
    }
    if (!Link.isEmpty() && openLink)
        openLink(Link);
}

void TURLLink::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint()))
        return;
    Activate();
}

void TURLLink::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            Activate();
        event->accept();
        return;
    default:
        QLabel::keyPressEvent(event);
    }
}

void TURLLink::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = palette().color(QPalette::Window);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}
