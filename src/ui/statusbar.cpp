#include "ui/statusbar.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolTip>

#include "ui/messagebox.h"

namespace {
// Room between a panel's edges and its text.
constexpr int kTextMargin = 2;
}  // namespace

TStatusBar::TStatusBar(QWidget* parent) : QWidget(parent), panels_(4)
{
    setFixedHeight(19);
    setAutoFillBackground(true);
}

void TStatusBar::setPanelText(int index, const QString& text)
{
    panels_.at(static_cast<size_t>(index)).text = text;
}

void TStatusBar::setPanelWidth(int index, int width)
{
    panels_.at(static_cast<size_t>(index)).width = width;
}

void TStatusBar::setPanelOwnerDrawn(int index, bool ownerDrawn)
{
    panels_.at(static_cast<size_t>(index)).ownerDrawn = ownerDrawn;
}

void TStatusBar::setBold(bool bold)
{
    QFont f = font();
    if (f.bold() == bold)
        return;
    f.setBold(bold);
    setFont(f);
}

QRect TStatusBar::panelRect(int index) const
{
    int x = 0;
    for (int i = 0; i < index; ++i)
        x += panels_[static_cast<size_t>(i)].width;
    const bool last = index == panelCount() - 1;
    const int w = last ? std::max(0, width() - x) : panels_[static_cast<size_t>(index)].width;
    return QRect(x, 0, w, height());
}

int TStatusBar::panelAt(const QPoint& pos) const
{
    for (int i = 0; i < panelCount(); ++i)
        if (panelRect(i).contains(pos))
            return i;
    return -1;
}

QString TStatusBar::panelToolTip(int index) const
{
    if (index < 0 || index >= panelCount())
        return QString();
    const Panel& p = panels_[static_cast<size_t>(index)];
    const QString whole = p.text.trimmed();
    if (p.ownerDrawn || whole.isEmpty())
        return QString();
    const int room = panelRect(index).width() - 2 * kTextMargin;
    return fontMetrics().horizontalAdvance(p.text) > room ? whole : QString();
}

bool TStatusBar::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const int index = panelAt(help->pos());
        const QString tip = panelToolTip(index);
        if (tip.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), PlainToolTip(tip), this, panelRect(index));
        }
        return true;
    }
    return QWidget::event(event);
}

void TStatusBar::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    for (int i = 0; i < panelCount(); ++i) {
        const QRect r = panelRect(i);
        if (r.width() <= 0)
            continue;
        const Panel& p = panels_[static_cast<size_t>(i)];
        if (p.ownerDrawn && drawPanel) {
            painter.save();
            drawPanel(this, painter, i, r);
            painter.restore();
        } else {
            painter.setPen(palette().color(QPalette::WindowText));
            // A text cut at the edge ends in an ellipsis; its tooltip holds it whole.
            const QRect textRect = r.adjusted(kTextMargin, 0, -kTextMargin, 0);
            const QString shown = fontMetrics().elidedText(p.text, Qt::ElideRight, textRect.width());
            painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, shown);
        }
        if (i < panelCount() - 1) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawLine(r.right(), 2, r.right(), height() - 3);
        }
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, 0, width(), 0);
}
