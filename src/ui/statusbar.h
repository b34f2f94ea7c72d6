// A four-panel status bar of the program's own. Panels have a text, a width
// and a style; the last panel always reaches the right edge. A panel drawn by
// its owner is painted through the drawPanel callback. A text too long for its
// panel ends in an ellipsis and shows whole as the panel's tooltip.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QPainter;

class TStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TStatusBar(QWidget* parent = nullptr);

    struct Panel {
        QString text;
        int width = 50;
        bool ownerDrawn = false;
    };

    int panelCount() const { return static_cast<int>(panels_.size()); }
    const Panel& panel(int index) const { return panels_[static_cast<size_t>(index)]; }
    void setPanelText(int index, const QString& text);
    void setPanelWidth(int index, int width);
    void setPanelOwnerDrawn(int index, bool ownerDrawn);
    // The rectangle of a panel in the bar's own coordinates.
    QRect panelRect(int index) const;
    void setBold(bool bold);
    bool bold() const { return font().bold(); }

    // The whole text of a panel whose text is cut at its edge; empty when the
    // text fits (or the panel is drawn by its owner).
    QString panelToolTip(int index) const;
    // The panel under a point of the bar, or -1.
    int panelAt(const QPoint& pos) const;

    // Called to paint an owner-drawn panel.
    std::function<void(TStatusBar* bar, QPainter& painter, int index, const QRect& rect)> drawPanel;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::vector<Panel> panels_;
};
