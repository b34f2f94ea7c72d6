// The picture of a card check's result: speed over the card's address range
// (reads and writes), and below it a map of the tested regions coloured by
// what they showed, with the real size marked on a counterfeit card.
#pragma once

#include <QWidget>

#include "cardcheck/result.h"

class CardCheckView : public QWidget {
    Q_OBJECT
public:
    explicit CardCheckView(QWidget* parent = nullptr);

    void SetResult(const cardcheck::CheckResult& result);
    void Clear();
    bool empty() const { return size_ == 0; }

    QSize sizeHint() const override { return QSize(520, 210); }

    // The colour each region state is drawn in (for the legend and tests).
    static QColor StateColor(cardcheck::RegionState state);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    uint64_t size_ = 0;
    uint64_t realBytes_ = 0;  // marked when the card is smaller than it claims
    std::vector<cardcheck::SpeedSample> samples_;
    std::vector<cardcheck::Region> regions_;
};
