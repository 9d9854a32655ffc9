#include "ErrLogFormU.h"

#include "RequestRunner.h"
#include "ViewRules.h"
#include "ViewSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

TLogView::TLogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    SetPlainText(QString());
}

void TLogView::SetPlainText(QString text) {
    text_ = std::move(text);
    starts_.clear();
    starts_.push_back(0);
    widestLine_ = 0;
    int lineStart = 0;
    const QChar* data = text_.constData();
    const int size = static_cast<int>(text_.size());
    for (int i = 0; i < size; ++i) {
        if (data[i] == QLatin1Char('\n')) {
            widestLine_ = std::max(widestLine_, i - lineStart);
            lineStart = i + 1;
            starts_.push_back(lineStart);
        }
    }
    widestLine_ = std::max(widestLine_, size - lineStart);
    anchor_ = cursor_ = -1;
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    UpdateScrollBars();
    viewport()->update();
}

QString TLogView::Line(int index) const {
    if (index < 0 || index >= LineCount())
        return {};
    const int from = starts_[static_cast<std::size_t>(index)];
    const int to = index + 1 < LineCount() ? starts_[static_cast<std::size_t>(index) + 1] - 1
                                           : static_cast<int>(text_.size());
    return text_.mid(from, to - from);
}

std::pair<int, int> TLogView::Selection() const {
    if (anchor_ < 0)
        return {-1, -1};
    return {std::min(anchor_, cursor_), std::max(anchor_, cursor_)};
}

void TLogView::SelectAll() {
    anchor_ = 0;
    cursor_ = LineCount() - 1;
    viewport()->update();
}

void TLogView::Copy() const {
    const auto [first, last] = Selection();
    if (first < 0)
        return;
    const int from = starts_[static_cast<std::size_t>(first)];
    const int to = last + 1 < LineCount() ? starts_[static_cast<std::size_t>(last) + 1]
                                          : static_cast<int>(text_.size());
    QApplication::clipboard()->setText(text_.mid(from, to - from));
}

int TLogView::LineHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

void TLogView::UpdateScrollBars() {
    const int visible = std::max(1, viewport()->height() / LineHeight());
    verticalScrollBar()->setRange(0, std::max(0, LineCount() - visible));
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setSingleStep(1);
    const int charWidth = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('M')));
    const int width = widestLine_ * charWidth + 2 * charWidth;
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    horizontalScrollBar()->setSingleStep(charWidth);
}

int TLogView::LineAt(int y) const {
    return std::clamp(verticalScrollBar()->value() + y / LineHeight(), 0, LineCount() - 1);
}

void TLogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int height = LineHeight();
    const int first = verticalScrollBar()->value();
    const int count = viewport()->height() / height + 2;
    const int x =
        fontMetrics().horizontalAdvance(QLatin1Char(' ')) - horizontalScrollBar()->value();
    const auto [selFirst, selLast] = Selection();
    const QPalette& pal = palette();
    for (int i = 0; i < count && first + i < LineCount(); ++i) {
        const int line = first + i;
        const QRect row(0, i * height, viewport()->width(), height);
        const bool selected = line >= selFirst && line <= selLast && selFirst >= 0;
        if (selected)
            painter.fillRect(row, pal.brush(QPalette::Highlight));
        painter.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
        // Each line reads left to right, Farsi words included.
        painter.drawText(QRect(x, row.top(), std::max(row.width() - x, 1 << 20), height),
                         Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine |
                             Qt::TextForceLeftToRight,
                         Line(line));
    }
}

void TLogView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBars();
}

void TLogView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        UpdateScrollBars();
}

void TLogView::MoveCursor(int line, bool extend) {
    if (LineCount() == 0)
        return;
    line = std::clamp(line, 0, LineCount() - 1);
    if (!extend || anchor_ < 0)
        anchor_ = line;
    cursor_ = line;
    QScrollBar* bar = verticalScrollBar();
    if (line < bar->value())
        bar->setValue(line);
    else if (line >= bar->value() + bar->pageStep())
        bar->setValue(line - bar->pageStep() + 1);
    viewport()->update();
}

void TLogView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    const bool extend = (event->modifiers() & Qt::ShiftModifier) != 0;
    const int at = cursor_ < 0 ? verticalScrollBar()->value() : cursor_;
    const int page = verticalScrollBar()->pageStep();
    switch (event->key()) {
    case Qt::Key_Up:
        MoveCursor(at - 1, extend);
        break;
    case Qt::Key_Down:
        MoveCursor(cursor_ < 0 ? at : at + 1, extend);
        break;
    case Qt::Key_PageUp:
        MoveCursor(at - page, extend);
        break;
    case Qt::Key_PageDown:
        MoveCursor(at + page, extend);
        break;
    case Qt::Key_Home:
        if (event->modifiers() & Qt::ControlModifier)
            MoveCursor(0, extend);
        else
            horizontalScrollBar()->setValue(0);
        break;
    case Qt::Key_End:
        if (event->modifiers() & Qt::ControlModifier)
            MoveCursor(LineCount() - 1, extend);
        else
            horizontalScrollBar()->setValue(horizontalScrollBar()->maximum());
        break;
    case Qt::Key_Left:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        break;
    case Qt::Key_Right:
        horizontalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && LineCount() > 0)
        MoveCursor(LineAt(event->position().toPoint().y()),
                   (event->modifiers() & Qt::ShiftModifier) != 0);
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) && LineCount() > 0)
        MoveCursor(LineAt(event->position().toPoint().y()), true);
}

TErrorLogForm::TErrorLogForm(QWidget* parent) : TCenteredDialog(parent) {
    setObjectName(QStringLiteral("ErrorLogForm"));
    setWindowTitle(QStringLiteral("Error Log"));
    resize(760, 460);

    LogMemo = new TLogView;
    LogMemo->setObjectName(QStringLiteral("LogMemo"));
    LogMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    LogMemo->setFont(fixed);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(LogMemo);
}

bool TErrorLogForm::RefreshView() {
    // The log is read into a text of its own: a cancelled read leaves the memo as it was.
    std::string text;
    std::uint16_t result = kExchangeFailed;
    if (!RunServerRequest([&text, &result] { result = ReadWholeServerErrorLog(1, text); }))
        return false;
    LogMemo->Clear();
    text_ = std::move(text);
    const bool complete = result == kExchangeDone;
    // One paragraph per line: the memo takes the text with plain line feeds.
    QString shown = ServerLines(text_);
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1);
    LogMemo->SetPlainText(std::move(shown));
    return complete;
}
