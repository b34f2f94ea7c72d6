#include "ui/buttonart.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

constexpr int kStateWidth = 133;
constexpr int kStateHeight = 75;

enum State { Up = 0, Disabled = 1, Pressed = 2, Down = 3 };

QColor Grey(const QColor& c)
{
    const int g = qGray(c.rgb());
    return QColor(g, g, g).lighter(115);
}

// A small camera body with a lens.
void DrawCamera(QPainter& p, const QRectF& box, bool grey, bool lit)
{
    auto col = [&](const QColor& c) { return grey ? Grey(c) : c; };
    QPainterPath body;
    body.addRoundedRect(box.adjusted(0, box.height() * 0.18, 0, 0), 5, 5);
    QPainterPath hump;
    hump.addRoundedRect(
        QRectF(box.center().x() - box.width() * 0.18, box.top(), box.width() * 0.36, box.height() * 0.3), 3, 3);
    QLinearGradient g(box.topLeft(), box.bottomLeft());
    g.setColorAt(0, col(QColor(90, 94, 104)));
    g.setColorAt(1, col(QColor(28, 30, 36)));
    p.setPen(QPen(col(QColor(10, 10, 14)), 1.2));
    p.setBrush(g);
    p.drawPath(body.united(hump));
    const QPointF c(box.center().x(), box.top() + box.height() * 0.6);
    const qreal r = box.height() * 0.3;
    QRadialGradient lens(c, r);
    lens.setColorAt(0, col(lit ? QColor(140, 255, 160) : QColor(120, 170, 255)));
    lens.setColorAt(0.45, col(QColor(30, 60, 120)));
    lens.setColorAt(1, col(QColor(8, 8, 12)));
    p.setBrush(lens);
    p.setPen(QPen(col(QColor(170, 170, 180)), 2));
    p.drawEllipse(c, r, r);
    p.setBrush(col(QColor(220, 60, 50)));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(box.left() + 7, box.top() + box.height() * 0.32), 2.5, 2.5);
}

// A lantern with a flame.
void DrawLantern(QPainter& p, const QRectF& box, bool grey, bool lit)
{
    auto col = [&](const QColor& c) { return grey ? Grey(c) : c; };
    const qreal cx = box.center().x();
    p.setPen(QPen(col(QColor(60, 50, 30)), 2));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(cx - 7, box.top(), 14, 12), 0, 180 * 16);
    QRectF glass(cx - box.width() * 0.32, box.top() + 10, box.width() * 0.64, box.height() - 16);
    QLinearGradient g(glass.topLeft(), glass.topRight());
    const QColor glow = lit ? QColor(255, 236, 140) : QColor(255, 214, 110);
    g.setColorAt(0, col(glow.darker(130)));
    g.setColorAt(0.5, col(glow));
    g.setColorAt(1, col(glow.darker(140)));
    p.setBrush(g);
    p.setPen(QPen(col(QColor(70, 55, 25)), 1.5));
    p.drawRoundedRect(glass, 4, 4);
    QPainterPath flame;
    const qreal fy = glass.bottom() - 4;
    flame.moveTo(cx, glass.top() + glass.height() * 0.2);
    flame.cubicTo(cx + 8, fy - 10, cx + 6, fy, cx, fy);
    flame.cubicTo(cx - 6, fy, cx - 8, fy - 10, cx, glass.top() + glass.height() * 0.2);
    QRadialGradient fg(QPointF(cx, fy - 6), 12);
    fg.setColorAt(0, col(QColor(255, 255, 230)));
    fg.setColorAt(0.6, col(QColor(255, 150, 30)));
    fg.setColorAt(1, col(QColor(220, 70, 10)));
    p.setBrush(fg);
    p.setPen(Qt::NoPen);
    p.drawPath(flame);
    p.setBrush(col(QColor(60, 50, 30)));
    p.drawRect(QRectF(glass.left() - 2, glass.top() - 2, glass.width() + 4, 4));
    p.drawRect(QRectF(glass.left() - 2, glass.bottom() - 2, glass.width() + 4, 4));
}

void DrawState(QPainter& p, ButtonArt art, int state)
{
    const QRectF cell(state * kStateWidth, 0, kStateWidth, kStateHeight);
    const bool grey = state == Disabled;
    const bool lit = state == Down;
    const int shift = state == Pressed ? 1 : 0;

    // Face
    QLinearGradient face(cell.topLeft(), cell.bottomLeft());
    QColor top = art == ButtonArt::Chdk ? QColor(214, 228, 247) : QColor(250, 236, 206);
    QColor bottom = art == ButtonArt::Chdk ? QColor(150, 178, 220) : QColor(226, 184, 120);
    if (state == Pressed) {
        top = top.darker(112);
        bottom = bottom.darker(112);
    } else if (state == Down) {
        top = art == ButtonArt::Chdk ? QColor(196, 240, 200) : QColor(255, 244, 170);
        bottom = art == ButtonArt::Chdk ? QColor(110, 196, 120) : QColor(240, 196, 70);
    }
    if (grey) {
        top = Grey(top);
        bottom = Grey(bottom);
    }
    face.setColorAt(0, top);
    face.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawRoundedRect(cell.adjusted(1, 1, -1, -1), 7, 7);

    // Bevel: raised for up, sunken for pressed and down.
    const bool sunken = state == Pressed || state == Down;
    QPen light(QColor(255, 255, 255, grey ? 120 : 200), 1.5);
    QPen dark(QColor(0, 0, 0, grey ? 60 : 110), 1.5);
    const QRectF b = cell.adjusted(1.5, 1.5, -1.5, -1.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(sunken ? dark : light);
    p.drawLine(QPointF(b.left() + 6, b.top()), QPointF(b.right() - 6, b.top()));
    p.drawLine(QPointF(b.left(), b.top() + 6), QPointF(b.left(), b.bottom() - 6));
    p.setPen(sunken ? light : dark);
    p.drawLine(QPointF(b.left() + 6, b.bottom()), QPointF(b.right() - 6, b.bottom()));
    p.drawLine(QPointF(b.right(), b.top() + 6), QPointF(b.right(), b.bottom() - 6));

    // Picture and caption
    const QRectF pic(cell.left() + 10 + shift, cell.top() + 14 + shift, 44, 46);
    if (art == ButtonArt::Chdk)
        DrawCamera(p, pic.adjusted(0, 6, 0, -4), grey, lit);
    else
        DrawLantern(p, pic, grey, lit);

    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(art == ButtonArt::Chdk ? 19 : 13);
    p.setFont(f);
    const QColor ink = grey ? QColor(150, 150, 150) : QColor(30, 36, 52);
    const QRectF text(cell.left() + 58 + shift, cell.top() + 8 + shift, 70, 44);
    p.setPen(grey ? Qt::NoPen : QPen(QColor(255, 255, 255, 150)));
    p.setPen(ink);
    if (art == ButtonArt::Chdk)
        p.drawText(text, Qt::AlignCenter, QStringLiteral("CHDK"));
    else
        p.drawText(text, Qt::AlignCenter, QStringLiteral("Magic\nLantern"));

    // A mark that says the card is set up for this add-on.
    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(9);
    p.setFont(small);
    const QRectF foot(cell.left() + 54 + shift, cell.top() + 52 + shift, 76, 16);
    if (state == Down) {
        // Inks dark enough for small text on every face (contrast at least 4.5).
        p.setPen(QColor(0, 70, 10));
        p.drawText(foot, Qt::AlignCenter, QStringLiteral("\u2714 bootable"));
    } else {
        p.setPen(grey ? QColor(160, 160, 160) : QColor(40, 44, 56));
        p.drawText(foot, Qt::AlignCenter, QStringLiteral("not bootable"));
    }
}

}  // namespace

QPixmap ButtonStrip(ButtonArt art)
{
    QPixmap strip(4 * kStateWidth, kStateHeight);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    for (int state = 0; state < 4; ++state)
        DrawState(p, art, state);
    return strip;
}

QIcon ProgramIcon()
{
    // The installed program shows the icon of its menu entry; a build that
    // is not installed draws a small one of its own.
    const QIcon installed = QIcon::fromTheme(QStringLiteral("org.example.Flintor"));
    if (!installed.isNull())
        return installed;
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal s = size / 32.0;
        // An SD card with a cut corner and a spark.
        QPainterPath card;
        card.moveTo(6 * s, 2 * s);
        card.lineTo(26 * s, 2 * s);
        card.lineTo(26 * s, 30 * s);
        card.lineTo(2 * s, 30 * s);
        card.lineTo(2 * s, 7 * s);
        card.closeSubpath();
        p.setBrush(QColor(40, 70, 140));
        p.setPen(QPen(QColor(15, 25, 60), 1));
        p.drawPath(card);
        p.setBrush(QColor(230, 190, 60));
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 4; ++i)
            p.drawRect(QRectF((8 + i * 4) * s, 4 * s, 2.5 * s, 6 * s));
        QPainterPath spark;
        spark.moveTo(18 * s, 12 * s);
        spark.lineTo(11 * s, 21 * s);
        spark.lineTo(16 * s, 21 * s);
        spark.lineTo(13 * s, 28 * s);
        spark.lineTo(21 * s, 18 * s);
        spark.lineTo(16 * s, 18 * s);
        spark.closeSubpath();
        p.setBrush(QColor(255, 140, 30));
        p.drawPath(spark);
        icon.addPixmap(pm);
    }
    return icon;
}

TImageButton::TImageButton(ButtonArt art, QWidget* parent) : QToolButton(parent), strip_(ButtonStrip(art))
{
    setCheckable(true);
    setAutoRaise(false);
}

int TImageButton::visibleState() const
{
    if (!isEnabled())
        return Disabled;
    if (isDown())
        return Pressed;
    if (isChecked())
        return Down;
    return Up;
}

void TImageButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect source(visibleState() * kStateWidth, 0, kStateWidth, kStateHeight);
    const QPoint at((width() - kStateWidth) / 2, (height() - kStateHeight) / 2);
    p.drawPixmap(at, strip_, source);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(2, 2, -3, -3));
    }
}

void TImageButton::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click arrives here instead of as a press.
    // A left double click opens the project's page; every right press counts
    // on its own, however quickly it follows the one before.
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
    else if (event->button() == Qt::RightButton)
        emit rightPressed();
}

void TImageButton::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton)
        emit rightPressed();
    QToolButton::mousePressEvent(event);
}
