#include "CounterChart.h"

#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <cmath>

TCounterChart::TCounterChart(const QString& title, QWidget* parent)
    : QWidget(parent), title_(title) {
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TCounterChart::SetPoints(std::vector<TChartPoint> points) {
    points_ = std::move(points);
    update();
}

QSize TCounterChart::sizeHint() const {
    const int line = fontMetrics().height();
    return {16 * line, 6 * line};
}

QSize TCounterChart::minimumSizeHint() const {
    const int line = fontMetrics().height();
    return {10 * line, 5 * line};
}

QRect TCounterChart::PlotRect() const {
    const int line = fontMetrics().height();
    // Below the title line; room on the left for the scale.
    const int left = fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 6;
    return QRect(left, line + 6, std::max(1, width() - left - 6),
                 std::max(1, height() - line - 12));
}

double TCounterChart::ScaleTop() const {
    double top = 0;
    for (const TChartPoint& p : points_)
        if (p.Value && std::isfinite(*p.Value))
            top = std::max(top, *p.Value);
    if (top <= 0)
        return 1;
    // A round figure at or above the highest value: 1, 2 or 5 times a power of ten.
    const double power = std::pow(10.0, std::floor(std::log10(top)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (step * power >= top)
            return step * power;
    return 10 * power;
}

QString TCounterChart::ValueText(double value) const {
    return QLocale::c().toString(value, 'f', decimals_);
}

double TCounterChart::XOf(std::size_t i) const {
    const QRect plot = PlotRect();
    const std::int64_t first = points_.front().At;
    const std::int64_t span = points_.back().At - first;
    if (span <= 0)
        return plot.left() + plot.width() / 2.0;
    return plot.left() + static_cast<double>(plot.width()) *
                             static_cast<double>(points_[i].At - first) / static_cast<double>(span);
}

int TCounterChart::PointNear(int x) const {
    if (points_.empty())
        return -1;
    // The points stand in ascending order: the nearest is beside the first one at or after x.
    std::size_t after = 0;
    while (after < points_.size() && XOf(after) < x)
        ++after;
    if (after == points_.size())
        return static_cast<int>(points_.size() - 1);
    if (after > 0 && x - XOf(after - 1) < XOf(after) - x)
        return static_cast<int>(after - 1);
    return static_cast<int>(after);
}

QString TCounterChart::HoverText(int x) const {
    const int index = PointNear(x);
    if (index < 0)
        return {};
    const TChartPoint& p = points_[static_cast<std::size_t>(index)];
    return p.Time.toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(": ") +
           (p.Value ? ValueText(*p.Value) : QStringLiteral("no value"));
}

void TCounterChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Base));
    painter.setPen(pal.color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));

    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    painter.setPen(pal.color(QPalette::Text));
    painter.drawText(QRect(6, 3, width() - 12, line), Qt::AlignLeft | Qt::AlignVCenter, title_);
    // The latest value beside the title.
    for (auto p = points_.rbegin(); p != points_.rend(); ++p)
        if (p->Value) {
            painter.drawText(QRect(6, 3, width() - 12, line), Qt::AlignRight | Qt::AlignVCenter,
                             ValueText(*p->Value));
            break;
        }

    const QRect plot = PlotRect();
    const double top = ScaleTop();
    // The scale: its top and zero, with faint lines across.
    QColor grid = pal.color(QPalette::Mid);
    grid.setAlpha(110);
    painter.setPen(QPen(grid, 1, Qt::DotLine));
    painter.drawLine(plot.topLeft(), plot.topRight());
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.setPen(pal.color(QPalette::PlaceholderText));
    const QRect scale(0, plot.top() - line / 2, plot.left() - 4, line);
    painter.drawText(scale, Qt::AlignRight | Qt::AlignVCenter, QLocale::c().toString(top, 'g', 6));
    painter.drawText(scale.translated(0, plot.height()), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("0"));

    if (points_.empty()) {
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("No samples yet"));
        return;
    }
    const auto at = [&](std::size_t i, double value) {
        const double x = XOf(i);
        const double y = plot.bottom() - static_cast<double>(plot.height()) * value / top;
        return QPointF(x, y);
    };
    QPainterPath path;
    bool drawing = false;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const std::optional<double>& v = points_[i].Value;
        if (!v || !std::isfinite(*v)) {
            drawing = false;
            continue;
        }
        const QPointF point = at(i, std::clamp(*v, 0.0, top));
        if (drawing)
            path.lineTo(point);
        else
            path.moveTo(point);
        drawing = true;
    }
    painter.setPen(QPen(pal.color(QPalette::Highlight), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    // A lone sample between gaps shows as a dot.
    painter.setBrush(pal.color(QPalette::Highlight));
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const bool alone = points_[i].Value && (i == 0 || !points_[i - 1].Value) &&
                           (i + 1 == points_.size() || !points_[i + 1].Value);
        if (alone)
            painter.drawEllipse(at(i, std::clamp(*points_[i].Value, 0.0, top)), 2.0, 2.0);
    }
}

void TCounterChart::mouseMoveEvent(QMouseEvent* event) {
    const QPoint position = event->position().toPoint();
    const QString text = HoverText(position.x());
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPosition().toPoint(), text, this);
}

void TCounterChart::leaveEvent(QEvent* event) {
    QToolTip::hideText();
    QWidget::leaveEvent(event);
}
