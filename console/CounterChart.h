#pragma once

// A small line chart of one counter over time, drawn with QPainter in the colours of the
// palette (light or dark): a title, the latest value, the highest value as the scale, and a
// line through the samples with a gap where a sample has no value. Hovering shows the time
// and the value of the nearest sample. The samples stand across the chart by their time, so a
// pause between refreshes shows as a longer stretch.

#include <QDateTime>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

struct TChartPoint {
    QDateTime Time;              // shown when hovered
    std::int64_t At = 0;         // where it stands across the chart: milliseconds, ascending
    std::optional<double> Value; // none: a gap in the line
};

class TCounterChart final : public QWidget {
    Q_OBJECT
public:
    explicit TCounterChart(const QString& title, QWidget* parent = nullptr);

    // `decimals` after the point in the values shown.
    void SetDecimals(int decimals) { decimals_ = decimals; }
    void SetPoints(std::vector<TChartPoint> points);
    const std::vector<TChartPoint>& Points() const { return points_; }
    const QString& Title() const { return title_; }

    // The sample nearest to x (in the widget's pixels), or -1 when there is none.
    int PointNear(int x) const;
    // What hovering over x shows: "hh:mm:ss: value", or nothing.
    QString HoverText(int x) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QRect PlotRect() const;
    // The horizontal position of the point at i.
    double XOf(std::size_t i) const;
    double ScaleTop() const;
    QString ValueText(double value) const;

    QString title_;
    int decimals_ = 0;
    std::vector<TChartPoint> points_;
};
