// The pictures of the program: its icon and the two preset buttons. Each
// button picture is a strip of four 133 x 75 states side by side: up,
// disabled, being clicked, down.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QToolButton>

enum class ButtonArt { Chdk, MagicLantern };

QPixmap ButtonStrip(ButtonArt art);  // 532 x 75
QIcon ProgramIcon();                 // the installed icon, else drawn 16 x 16 and 32 x 32

// A checkable button that paints one state of its picture strip.
class TImageButton : public QToolButton {
    Q_OBJECT
public:
    TImageButton(ButtonArt art, QWidget* parent = nullptr);
    // 0 up, 1 disabled, 2 being clicked, 3 down
    int visibleState() const;

signals:
    void doubleClicked();
    void rightPressed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPixmap strip_;
};
