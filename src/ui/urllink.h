// TURLLink: a label that behaves as a hyperlink. While the pointer is over it
// it shows FocusFont; a click opens Link with the desktop's default handler.
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QLabel>
#include <QString>
#include <functional>

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

private:
    QFont focusFont_;
    QFont savedFont_;
    QPalette savedPalette_;
    bool hovered_ = false;
};
