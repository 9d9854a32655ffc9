#include "ErrLogFormU.h"

#include "GridTools.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewRules.h"
#include "ViewSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStringMatcher>
#include <QTextLayout>
#include <QToolBar>
#include <QToolButton>
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
    // The marks of a find are made again for the new text.
    const QString find = std::move(find_);
    find_.clear();
    SetFindText(find);
    viewport()->update();
}

qsizetype TLogView::LineStart(int line) const {
    return starts_[static_cast<std::size_t>(line)];
}

qsizetype TLogView::LineEnd(int line) const {
    return line + 1 < LineCount() ? LineStart(line + 1) - 1 : text_.size();
}

int TLogView::LineOf(qsizetype position) const {
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), position);
    return std::max(0, static_cast<int>(after - starts_.begin()) - 1);
}

QString TLogView::Line(int index) const {
    if (index < 0 || index >= LineCount())
        return {};
    return text_.mid(LineStart(index), LineEnd(index) - LineStart(index));
}

std::pair<qsizetype, qsizetype> TLogView::Selection() const {
    if (anchor_ < 0 || anchor_ == cursor_)
        return {-1, -1};
    return {std::min(anchor_, cursor_), std::max(anchor_, cursor_)};
}

QString TLogView::SelectedText() const {
    const auto [from, to] = Selection();
    return from < 0 ? QString() : text_.mid(from, to - from);
}

void TLogView::Select(qsizetype from, qsizetype to) {
    anchor_ = std::clamp<qsizetype>(from, 0, text_.size());
    cursor_ = std::clamp<qsizetype>(to, 0, text_.size());
    ShowCursor();
    viewport()->update();
}

void TLogView::SelectAll() {
    anchor_ = 0;
    cursor_ = text_.size();
    viewport()->update();
}

void TLogView::Copy() const {
    const QString text = SelectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

int TLogView::TopLine() const {
    return verticalScrollBar()->value();
}

int TLogView::LineHeight() const {
    return std::max(1, fontMetrics().lineSpacing());
}

int TLogView::TextLeft() const {
    return fontMetrics().horizontalAdvance(QLatin1Char(' ')) - horizontalScrollBar()->value();
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

namespace {

// One line laid out as the view draws it: left to right, Farsi words included.
void LayOut(QTextLayout& layout, const QFont& font) {
    QTextOption option;
    option.setTextDirection(Qt::LeftToRight);
    option.setWrapMode(QTextOption::NoWrap);
    layout.setFont(font);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid())
        line.setLineWidth(1 << 24);
    layout.endLayout();
}

bool IsWordCharacter(QChar c) {
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c.isMark();
}

} // namespace

qsizetype TLogView::PositionAt(const QPoint& point) const {
    if (LineCount() == 0)
        return 0;
    const int line = LineAt(point.y());
    QTextLayout layout(Line(line));
    LayOut(layout, font());
    const QTextLine textLine = layout.lineAt(0);
    const int column = textLine.isValid() ? textLine.xToCursor(point.x() - TextLeft()) : 0;
    return LineStart(line) + column;
}

void TLogView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    const int height = LineHeight();
    const int first = verticalScrollBar()->value();
    const int count = viewport()->height() / height + 2;
    const int x = TextLeft();
    const auto [selFrom, selTo] = Selection();
    const QPalette& pal = palette();
    QTextCharFormat matchFormat;
    matchFormat.setBackground(QColor(255, 230, 120));
    matchFormat.setForeground(QColor(Qt::black));
    QTextCharFormat currentFormat;
    currentFormat.setBackground(QColor(255, 150, 50));
    currentFormat.setForeground(QColor(Qt::black));
    QTextCharFormat selectedFormat;
    selectedFormat.setBackground(pal.brush(QPalette::Highlight));
    selectedFormat.setForeground(pal.brush(QPalette::HighlightedText));
    painter.setPen(pal.color(QPalette::Text));
    const qsizetype findLength = find_.size();
    for (int i = 0; i < count && first + i < LineCount(); ++i) {
        const int line = first + i;
        const qsizetype from = LineStart(line);
        const qsizetype to = LineEnd(line);
        QList<QTextLayout::FormatRange> ranges;
        // The matches that touch this line.
        auto match = std::lower_bound(matches_.begin(), matches_.end(), from - findLength + 1);
        for (; match != matches_.end() && *match < to; ++match) {
            const qsizetype start = std::max(*match, from);
            const qsizetype end = std::min(*match + findLength, to);
            const bool current = currentMatch_ >= 0 && match - matches_.begin() == currentMatch_;
            ranges.push_back({static_cast<int>(start - from), static_cast<int>(end - start),
                              current ? currentFormat : matchFormat});
        }
        if (selFrom >= 0 && selFrom <= to && selTo > from) {
            const qsizetype start = std::max(selFrom, from);
            const qsizetype end = std::min(selTo, to);
            if (end > start)
                ranges.push_back({static_cast<int>(start - from), static_cast<int>(end - start),
                                  selectedFormat});
            // The line end of a selection that goes on is marked too.
            if (selTo > to && line + 1 < LineCount()) {
                QTextLayout probe(Line(line));
                LayOut(probe, font());
                const int endX = x + static_cast<int>(probe.lineAt(0).naturalTextWidth());
                painter.fillRect(QRect(endX, i * height,
                                       fontMetrics().horizontalAdvance(QLatin1Char(' ')), height),
                                 pal.brush(QPalette::Highlight));
            }
        }
        QTextLayout layout(Line(line));
        LayOut(layout, font());
        const QPointF origin(x, i * height + (height - fontMetrics().height()) / 2.0);
        layout.draw(&painter, origin, ranges);
        if (cursor_ >= 0 && hasFocus() && LineOf(cursor_) == line)
            layout.drawCursor(&painter, origin, static_cast<int>(cursor_ - from));
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

void TLogView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TLogView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TLogView::ShowCursor() {
    if (cursor_ < 0)
        return;
    const int line = LineOf(cursor_);
    QScrollBar* bar = verticalScrollBar();
    if (line < bar->value())
        bar->setValue(line);
    else if (line >= bar->value() + bar->pageStep())
        bar->setValue(line - bar->pageStep() + 1);
    QTextLayout layout(Line(line));
    LayOut(layout, font());
    const int caretX =
        static_cast<int>(layout.lineAt(0).cursorToX(static_cast<int>(cursor_ - LineStart(line))));
    const int margin = fontMetrics().horizontalAdvance(QLatin1Char(' '));
    QScrollBar* across = horizontalScrollBar();
    if (caretX + margin - across->value() < 0)
        across->setValue(caretX);
    else if (caretX + 2 * margin - across->value() > viewport()->width())
        across->setValue(caretX + 2 * margin - viewport()->width());
}

void TLogView::MoveCursor(qsizetype position, bool extend) {
    position = std::clamp<qsizetype>(position, 0, text_.size());
    if (!extend || anchor_ < 0)
        anchor_ = cursor_ < 0 || !extend ? position : cursor_;
    cursor_ = position;
    ShowCursor();
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
    const bool control = (event->modifiers() & Qt::ControlModifier) != 0;
    const qsizetype at = cursor_ >= 0 ? cursor_ : LineStart(std::min(TopLine(), LineCount() - 1));
    const int line = LineOf(at);
    const qsizetype column = at - LineStart(line);
    const auto toLine = [&](int target) {
        target = std::clamp(target, 0, LineCount() - 1);
        return std::min(LineStart(target) + column, LineEnd(target));
    };
    const int page = verticalScrollBar()->pageStep();
    switch (event->key()) {
    case Qt::Key_Up:
        MoveCursor(toLine(line - 1), extend);
        break;
    case Qt::Key_Down:
        MoveCursor(cursor_ < 0 ? at : toLine(line + 1), extend);
        break;
    case Qt::Key_PageUp:
        MoveCursor(toLine(line - page), extend);
        break;
    case Qt::Key_PageDown:
        MoveCursor(toLine(line + page), extend);
        break;
    case Qt::Key_Home:
        MoveCursor(control ? 0 : LineStart(line), extend);
        if (!control)
            horizontalScrollBar()->setValue(0);
        break;
    case Qt::Key_End:
        // Ctrl+End: the newest entries, at the end of the log.
        MoveCursor(control ? text_.size() : LineEnd(line), extend);
        break;
    case Qt::Key_Left:
        MoveCursor(cursor_ < 0 ? at : at - 1, extend);
        break;
    case Qt::Key_Right:
        MoveCursor(cursor_ < 0 ? at : at + 1, extend);
        break;
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TLogView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        MoveCursor(PositionAt(event->position().toPoint()),
                   (event->modifiers() & Qt::ShiftModifier) != 0);
}

void TLogView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) != 0)
        MoveCursor(PositionAt(event->position().toPoint()), true);
}

void TLogView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const qsizetype at = PositionAt(event->position().toPoint());
    qsizetype from = at;
    qsizetype to = at;
    const int line = LineOf(at);
    const qsizetype lineStart = LineStart(line);
    const qsizetype lineEnd = LineEnd(line);
    while (from > lineStart && IsWordCharacter(text_[from - 1]))
        --from;
    while (to < lineEnd && IsWordCharacter(text_[to]))
        ++to;
    if (from == to && to < lineEnd)
        ++to; // a sign alone
    Select(from, to);
}

// ---- find

void TLogView::SetFindText(const QString& text) {
    if (text == find_)
        return;
    find_ = text;
    matches_.clear();
    currentMatch_ = -1;
    if (!find_.isEmpty()) {
        const QStringMatcher matcher(find_, Qt::CaseInsensitive);
        // Matches do not overlap: the next is looked for after the end of the last.
        for (qsizetype at = matcher.indexIn(text_, 0); at >= 0;
             at = matcher.indexIn(text_, at + find_.size()))
            matches_.push_back(at);
    }
    viewport()->update();
}

void TLogView::SelectMatch(std::size_t index) {
    currentMatch_ = static_cast<qsizetype>(index);
    Select(matches_[index], matches_[index] + find_.size());
}

bool TLogView::FindNext() {
    if (matches_.empty())
        return false;
    const qsizetype after = cursor_ < 0 ? 0 : cursor_;
    auto next = std::lower_bound(matches_.begin(), matches_.end(), after);
    // The match that is selected now is passed over.
    if (next != matches_.end() && *next == after && Selection().first == after)
        ++next;
    SelectMatch(next == matches_.end() ? 0 : static_cast<std::size_t>(next - matches_.begin()));
    return true;
}

bool TLogView::FindPrevious() {
    if (matches_.empty())
        return false;
    const auto [selFrom, selTo] = Selection();
    const qsizetype before = selFrom >= 0 ? selFrom : std::max<qsizetype>(cursor_, 0);
    auto previous = std::lower_bound(matches_.begin(), matches_.end(), before);
    SelectMatch(previous == matches_.begin()
                    ? matches_.size() - 1
                    : static_cast<std::size_t>(previous - matches_.begin()) - 1);
    return true;
}

// ---- the window

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

    FindBar = new QWidget;
    FindBar->setObjectName(QStringLiteral("FindBar"));
    auto* findLayout = new QHBoxLayout(FindBar);
    findLayout->setContentsMargins(4, 4, 4, 4);
    auto* findLabel = new QLabel(QStringLiteral("Fi&nd:"));
    FindEdit = new QLineEdit;
    FindEdit->setObjectName(QStringLiteral("FindEdit"));
    FindEdit->setClearButtonEnabled(true);
    findLabel->setBuddy(FindEdit);
    auto* previousButton = new QToolButton;
    auto* nextButton = new QToolButton;
    MatchCountLbl = new QLabel;
    MatchCountLbl->setObjectName(QStringLiteral("MatchCountLbl"));
    findLayout->addWidget(findLabel);
    findLayout->addWidget(FindEdit, 1);
    findLayout->addWidget(previousButton);
    findLayout->addWidget(nextButton);
    findLayout->addWidget(MatchCountLbl);
    FindBar->hide();

    const auto makeAction = [this](const char* name, const char* text,
                                   QKeySequence::StandardKey key) {
        auto* action = new QAction(QString::fromLatin1(text), this);
        action->setObjectName(QString::fromLatin1(name));
        action->setShortcut(key);
        action->setShortcutContext(Qt::WindowShortcut);
        QWidget::addAction(action);
        return action;
    };
    CopyAct = makeAction("CopyAct", "&Copy", QKeySequence::Copy);
    CopyAct->setShortcutContext(Qt::WidgetShortcut);
    SelectAllAct = makeAction("SelectAllAct", "Select &All", QKeySequence::SelectAll);
    SelectAllAct->setShortcutContext(Qt::WidgetShortcut);
    FindAct = makeAction("FindAct", "&Find...", QKeySequence::Find);
    FindNextAct = makeAction("FindNextAct", "Find &Next", QKeySequence::FindNext);
    FindPreviousAct = makeAction("FindPreviousAct", "Find &Previous", QKeySequence::FindPrevious);
    SaveAsAct = makeAction("SaveAsAct", "&Save As...", QKeySequence::Save);
    previousButton->setDefaultAction(FindPreviousAct);
    nextButton->setDefaultAction(FindNextAct);
    previousButton->setArrowType(Qt::UpArrow);
    nextButton->setArrowType(Qt::DownArrow);
    LogMemo->setContextMenuPolicy(Qt::ActionsContextMenu);
    LogMemo->addActions({CopyAct, SelectAllAct, FindAct, SaveAsAct});

    connect(CopyAct, &QAction::triggered, this, [this] { LogMemo->Copy(); });
    connect(SelectAllAct, &QAction::triggered, this, [this] { LogMemo->SelectAll(); });
    connect(FindAct, &QAction::triggered, this, [this] {
        FindBar->show();
        const QString selected = LogMemo->SelectedText();
        if (!selected.isEmpty() && !selected.contains(QLatin1Char('\n')))
            FindEdit->setText(selected);
        FindEdit->setFocus(Qt::ShortcutFocusReason);
        FindEdit->selectAll();
    });
    connect(FindEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
        LogMemo->SetFindText(text);
        UpdateMatchCount();
    });
    connect(FindEdit, &QLineEdit::returnPressed, FindNextAct, &QAction::trigger);
    // Esc in the find bar closes it and goes back to the log; elsewhere it closes the window.
    auto* closeFind = new QAction(FindBar);
    closeFind->setShortcut(Qt::Key_Escape);
    closeFind->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    FindBar->addAction(closeFind);
    connect(closeFind, &QAction::triggered, this, [this] {
        FindBar->hide();
        LogMemo->setFocus(Qt::ShortcutFocusReason);
    });
    connect(FindNextAct, &QAction::triggered, this, [this] {
        LogMemo->FindNext();
        UpdateMatchCount();
    });
    connect(FindPreviousAct, &QAction::triggered, this, [this] {
        LogMemo->FindPrevious();
        UpdateMatchCount();
    });
    connect(SaveAsAct, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save As"), QStringLiteral("ErrorLog.txt"),
            QStringLiteral("Text files (*.txt);;All files (*)"));
        if (!path.isEmpty())
            SaveAs(path);
    });

    auto* bar = MakeIconToolBar(this);
    AutoRefresh = AddAutoRefresh(this, bar, [this](bool automatic) { return Load(automatic); });
    StatusLine = new QLabel;
    StatusLine->setObjectName(QStringLiteral("StatusLine"));
    StatusLine->setContentsMargins(6, 0, 6, 2);
    connect(AutoRefresh, &TAutoRefresh::StatusChanged, StatusLine, &QLabel::setText);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(LogMemo, 1);
    layout->addWidget(FindBar);
    layout->addWidget(StatusLine);
    UpdateMatchCount();
    KeepLayout(this, {});
}

void TErrorLogForm::UpdateMatchCount() {
    const qsizetype count = LogMemo->MatchCount();
    if (LogMemo->FindText().isEmpty())
        MatchCountLbl->clear();
    else if (count == 0)
        MatchCountLbl->setText(QStringLiteral("No matches"));
    else if (LogMemo->CurrentMatch() >= 0)
        MatchCountLbl->setText(
            QStringLiteral("%1 of %2").arg(LogMemo->CurrentMatch() + 1).arg(count));
    else
        MatchCountLbl->setText(count == 1 ? QStringLiteral("1 match")
                                          : QStringLiteral("%1 matches").arg(count));
}

bool TErrorLogForm::SaveAs(const QString& path) {
    QString text = LogMemo->toPlainText();
    if (!text.isEmpty())
        text += QLatin1Char('\n');
#if defined(_WIN32)
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
#endif
    return WriteWholeFileOrSay(path, text.toUtf8());
}

bool TErrorLogForm::RefreshView() {
    return AutoRefresh->Run(false);
}

bool TErrorLogForm::Load(bool keepPlace) {
    QScrollBar* vertical = LogMemo->verticalScrollBar();
    QScrollBar* horizontal = LogMemo->horizontalScrollBar();
    const int top = vertical->value();
    const int left = horizontal->value();
    const bool atEnd = top > 0 && top == vertical->maximum();
    // The log is read into a text of its own: the memo shows the old text until the new one is
    // there, and a cancelled read leaves it as it was.
    TServerText text;
    TExchangeResult result = TExchangeResult::Failed;
    if (!RunServerRequest([&text, &result] { result = ReadWholeServerErrorLog(1, text); }))
        return false;
    LogMemo->Clear();
    text_ = std::move(text);
    const bool complete = result == TExchangeResult::Done;
    // One paragraph per line: the memo takes the text with plain line feeds.
    QString shown = ServerLines(text_);
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1);
    LogMemo->SetPlainText(std::move(shown));
    UpdateMatchCount();
    if (keepPlace) {
        vertical->setValue(atEnd ? vertical->maximum() : top);
        horizontal->setValue(left);
    }
    return complete;
}
