// TURLLink: a label that behaves as a hyperlink. While the pointer is over it
// it shows FocusFont; a click (or Enter or Space while it has the focus)
// opens Link with the desktop's default handler.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QString>
#include <functional>

// The contrast ratio of two colours (1 to 21), from their relative
// luminances as the web accessibility guidelines define them.
double ContrastRatio(const QColor& a, const QColor& b);

// A text colour that can be read on background: wanted itself when it stands
// out by at least minRatio; otherwise fallback (the palette's link colour, say)
// when that does; otherwise wanted mixed towards white or black until it does.
QColor ReadableColor(const QColor& wanted, const QColor& background, const QColor& fallback, double minRatio = 4.5);

class TURLLink : public QLabel {
    Q_OBJECT
public:
    explicit TURLLink(QWidget* parent = nullptr);

    // Setting copies the attributes of the given font.
    void setFocusFont(const QFont& font) { focusFont_ = font; }
    const QFont& FocusFont() const { return focusFont_; }
    QString Link;
    // Text colour while hovered; an invalid colour keeps the normal one.
    QColor FocusColor;

    // Replaces the link behaviour of a click when set.
    std::function<void()> OnClick;
    // How a link is opened; the desktop's default handler unless replaced.
    static std::function<void(const QString&)> openLink;

    bool hovered() const { return hovered_; }

signals:
    void OnMouseEnter(QObject* sender);
    void OnMouseLeave(QObject* sender);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Activate();
    // Keeps the text colour readable on the current background. The colour
    // the owner chose is kept and shown wherever it is readable, so a light
    // theme shows the designed colours and a dark one a readable variant.
    void KeepReadable();
    void SetTextColor(const QColor& color);
    // Takes the new theme's palette after a theme change.
    void FollowTheme();

    QFont focusFont_;
    QFont savedFont_;
    QPalette savedPalette_;
    bool hovered_ = false;
    QColor designColor_;       // the text colour the owner set (or inherited)
    QColor appliedColor_;      // the colour this label put in its palette
    bool ownerColor_ = false;  // designColor_ was set by the owner
    bool adjusting_ = false;
    bool followThemeOnLeave_ = false;
};
