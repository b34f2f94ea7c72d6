#include "ui/statusbar.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

TStatusBar::TStatusBar(QWidget* parent)
    : QWidget(parent), panels_(4)
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
            painter.drawText(r.adjusted(2, 0, -2, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, p.text);
        }
        if (i < panelCount() - 1) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawLine(r.right(), 2, r.right(), height() - 3);
        }
    }
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, 0, width(), 0);
}
