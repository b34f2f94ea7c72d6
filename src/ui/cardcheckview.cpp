#include "ui/cardcheckview.h"

#include "cardcheck/report.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {

const QColor kRead(40, 110, 200);
const QColor kWrite(220, 120, 20);

QString ByteLabel(double bytes)
{
    if (bytes >= 1e9)
        return QStringLiteral("%1 GB").arg(bytes / 1e9, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(bytes / 1e6, 0, 'f', 0);
}

}  // namespace

CardCheckView::CardCheckView(QWidget* parent) : QWidget(parent)
{
    setMinimumSize(420, 210);
}

QColor CardCheckView::StateColor(cardcheck::RegionState state)
{
    switch (state) {
    case cardcheck::RegionState::Ok:
        return QColor(70, 170, 80);
    case cardcheck::RegionState::Changed:
        return QColor(235, 160, 30);
    case cardcheck::RegionState::Overwritten:
        return QColor(210, 50, 40);
    case cardcheck::RegionState::Unreadable:
        break;
    }
    return QColor(90, 30, 120);
}

void CardCheckView::SetResult(const cardcheck::CheckResult& result)
{
    size_ = result.card.sizeBytes;
    if (result.capacity.tested)
        size_ = std::max(size_, result.capacity.claimedBytes);
    realBytes_ = result.capacity.tested && result.capacity.verdict == "counterfeit" ? result.capacity.realBytes : 0;
    samples_ = result.samples;
    regions_ = result.regions;
    update();
}

void CardCheckView::Clear()
{
    size_ = realBytes_ = 0;
    samples_.clear();
    regions_.clear();
    update();
}

void CardCheckView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    p.fillRect(rect(), pal.color(QPalette::Base));
    if (size_ == 0)
        return;
    const QFontMetrics fm(font());
    const int left = fm.horizontalAdvance(QStringLiteral("000 MB/s")) + 8;
    const int right = width() - 10;
    const int mapHeight = 18;
    const int legend = fm.height() + 6;
    const int bottom = height() - legend - mapHeight - fm.height() - 10;
    const int top = 8;
    const auto x = [&](double offset) { return left + (right - left) * offset / static_cast<double>(size_); };

    // Speed over the address range.
    double peak = 1e6;
    for (const cardcheck::SpeedSample& s : samples_)
        peak = std::max({peak, s.readBytesPerSecond, s.writeBytesPerSecond});
    const auto y = [&](double speed) { return bottom - (bottom - top) * speed / (peak * 1.1); };
    p.setPen(pal.color(QPalette::Mid));
    p.drawLine(left, bottom, right, bottom);
    p.drawLine(left, top, left, bottom);
    p.setPen(pal.color(QPalette::Text));
    p.drawText(QRect(0, top - 4, left - 4, fm.height()), Qt::AlignRight,
               QStringLiteral("%1 MB/s").arg(peak * 1.1 / 1e6, 0, 'f', 0));
    p.drawText(QRect(0, bottom - fm.height(), left - 4, fm.height()), Qt::AlignRight, QStringLiteral("0"));
    for (const auto& [speedOf, colour] :
         {std::pair<double cardcheck::SpeedSample::*, QColor>{&cardcheck::SpeedSample::readBytesPerSecond, kRead},
          {&cardcheck::SpeedSample::writeBytesPerSecond, kWrite}}) {
        QPainterPath path;
        bool started = false;
        for (const cardcheck::SpeedSample& s : samples_) {
            if (s.*speedOf <= 0)
                continue;
            const QPointF at(x(static_cast<double>(s.offset) + s.length / 2.0), y(s.*speedOf));
            started ? path.lineTo(at) : path.moveTo(at);
            started = true;
        }
        p.setPen(QPen(colour, 1.6));
        p.drawPath(path);
        for (const cardcheck::SpeedSample& s : samples_)
            if (s.*speedOf > 0 && samples_.size() < 80)
                p.drawEllipse(QPointF(x(static_cast<double>(s.offset) + s.length / 2.0), y(s.*speedOf)), 2, 2);
    }

    // The map of tested regions; untested stays pale.
    const int mapTop = bottom + 6;
    p.fillRect(QRectF(left, mapTop, right - left, mapHeight), pal.color(QPalette::AlternateBase).darker(108));
    for (const cardcheck::Region& r : regions_) {
        const double from = x(static_cast<double>(r.offset));
        const double to = std::max(from + 1.0, x(static_cast<double>(r.offset + r.length)));
        p.fillRect(QRectF(from, mapTop, to - from, mapHeight), StateColor(r.state));
    }
    p.setPen(pal.color(QPalette::Text));
    p.drawText(QRect(left, mapTop + mapHeight + 2, 120, fm.height()), Qt::AlignLeft, QStringLiteral("0"));
    p.drawText(QRect(right - 140, mapTop + mapHeight + 2, 140, fm.height()), Qt::AlignRight,
               ByteLabel(static_cast<double>(size_)));
    if (realBytes_ > 0) {
        const double at = x(static_cast<double>(realBytes_));
        p.setPen(QPen(pal.color(QPalette::Text), 2, Qt::DashLine));
        p.drawLine(QPointF(at, top), QPointF(at, mapTop + mapHeight));
        p.drawText(QRectF(at + 4, top, 200, fm.height()), Qt::AlignLeft,
                   tr("real size %1").arg(ByteLabel(static_cast<double>(realBytes_))));
    }

    // Legend.
    int lx = left;
    const int ly = height() - legend + 2;
    const auto key = [&](const QColor& colour, const QString& text, bool line) {
        if (line)
            p.fillRect(QRect(lx, ly + fm.height() / 2 - 1, 14, 3), colour);
        else
            p.fillRect(QRect(lx, ly + 2, 12, fm.height() - 4), colour);
        p.setPen(pal.color(QPalette::Text));
        p.drawText(QPoint(lx + 17, ly + fm.ascent()), text);
        lx += 17 + fm.horizontalAdvance(text) + 12;
    };
    key(kRead, tr("read"), true);
    key(kWrite, tr("write"), true);
    for (cardcheck::RegionState s : {cardcheck::RegionState::Ok, cardcheck::RegionState::Changed,
                                     cardcheck::RegionState::Overwritten, cardcheck::RegionState::Unreadable})
        key(StateColor(s), QString::fromStdString(cardcheck::StateName(s)), false);
}
