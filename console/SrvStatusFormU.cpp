#include "SrvStatusFormU.h"

#include "CounterChart.h"
#include "MessageDialogs.h"
#include "RequestRunner.h"
#include "ViewRules.h"
#include "ViewSupport.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A scroll area that asks for the whole size of what it holds, so that the window opens with
// nothing to scroll when the screen has room for it (a plain one asks for at most a few
// dozen lines).
class TWholeScrollArea final : public QScrollArea {
public:
    QSize sizeHint() const override {
        const int frame = 2 * frameWidth();
        return widget() != nullptr ? widget()->sizeHint() + QSize(frame, frame)
                                   : QScrollArea::sizeHint();
    }
};

} // namespace

TServerStatusForm::TServerStatusForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ServerStatusForm"));
    setWindowTitle(QStringLiteral("Server Status"));

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    AutoRefresh = AddAutoRefresh(this, bar, [this](bool) { return Load(); });
    SaveHistoryAct = AddIconAction(bar, "SaveHistoryAct", "Save History...", "document-save",
                                   QStyle::SP_DialogSaveButton);
    SaveHistoryAct->setText(QStringLiteral("Save &History..."));
    SaveHistoryAct->setShortcut(QKeySequence::Save);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });
    connect(SaveHistoryAct, &QAction::triggered, this, [this] { SaveHistoryActExecute(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);

    // Without a frame and with the window's spacing, the groups stand where they would stand
    // in the window itself.
    GroupsArea = new TWholeScrollArea;
    GroupsArea->setObjectName(QStringLiteral("GroupsArea"));
    GroupsArea->setFrameShape(QFrame::NoFrame);
    GroupsArea->setWidgetResizable(true);
    // Reachable from the keyboard: arrows, Page Up and Page Down, Home and End scroll it.
    GroupsArea->setFocusPolicy(Qt::StrongFocus);
    auto* groups = new QWidget;
    groups->setObjectName(QStringLiteral("Groups"));
    auto* groupsLayout = new QVBoxLayout(groups);
    groupsLayout->setContentsMargins(0, 0, 0, 0);
    groupsLayout->setSpacing(layout->spacing());

    // The values are laid out in columns by their own blanks, so they take a fixed-pitch font.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    // The value columns of all four groups line up under each other.
    const std::vector<TStatusLine> lines = ServerStatusLines(TServerStatusBlock{});
    int captionWidth = 0;
    for (const TStatusLine& line : lines)
        captionWidth =
            std::max(captionWidth, fontMetrics().horizontalAdvance(Utf8Text(line.Caption)));
    QGroupBox* group = nullptr;
    QGridLayout* grid = nullptr;
    int row = 0;
    for (const TStatusLine& line : lines) {
        if (group == nullptr || group->title() != Utf8Text(line.Group)) {
            group = new QGroupBox(Utf8Text(line.Group));
            grid = new QGridLayout(group);
            grid->setColumnMinimumWidth(0, captionWidth);
            grid->setColumnStretch(2, 1);
            grid->setHorizontalSpacing(24);
            groupsLayout->addWidget(group);
            row = 0;
        }
        auto* caption = new QLabel(Utf8Text(line.Caption));
        auto* value = new QLabel;
        value->setFont(fixed);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setObjectName(QStringLiteral("Value%1").arg(ValueLabels.size()));
        // Room for the widest value, "Defined = 65535, Currently Open = 65535".
        value->setMinimumWidth(
            QFontMetrics(fixed).horizontalAdvance(QString(40, QLatin1Char('0'))));
        grid->addWidget(caption, row, 0);
        grid->addWidget(value, row, 1);
        ++row;
        CaptionLabels.push_back(caption);
        ValueLabels.push_back(value);
    }

    auto* charts = new QWidget;
    charts->setObjectName(QStringLiteral("Charts"));
    auto* chartsLayout = new QGridLayout(charts);
    chartsLayout->setContentsMargins(0, 0, 0, 0);
    const char* const titles[] = {"Requests per Second", "Connected Clients", "Results Held",
                                  "Databases Open"};
    for (int i = 0; i < 4; ++i) {
        auto* chart = new TCounterChart(QString::fromLatin1(titles[i]));
        chart->setObjectName(QStringLiteral("Chart%1").arg(i));
        chartsLayout->addWidget(chart, i / 2, i % 2);
        Charts.push_back(chart);
    }
    Charts[0]->SetDecimals(1);

    groupsLayout->addStretch();
    GroupsArea->setWidget(groups);
    layout->addWidget(GroupsArea, 1);
    // Below the groups and outside their scroll area: on a short screen the groups scroll and
    // the charts stay in view.
    layout->addWidget(charts);
    StatusLine = AddStatusLine(layout, AutoRefresh);
    resize(sizeHint());
}

void TServerStatusForm::FitInto(const QRect& available) {
    // The frame that the window system draws around the window counts against the screen.
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room = available.size() - frame;
    QSize size = this->size();
    if (size.height() > room.height()) {
        size.setHeight(room.height());
        // The vertical scroll bar takes its width beside the groups rather than from them.
        size.rwidth() += GroupsArea->verticalScrollBar()->sizeHint().width();
    }
    size = size.boundedTo(room).expandedTo(minimumSizeHint());
    if (size != this->size())
        resize(size);
}

bool TServerStatusForm::RefreshView() {
    return AutoRefresh->Run(false);
}

namespace {

// Milliseconds on a clock that never goes back, for the rates of the history.
std::int64_t SteadyMilliseconds() {
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

} // namespace

bool TServerStatusForm::Load() {
    TServerStatusBlock block{};
    if (RunConsoleRequest([&block] { return GetServerStatus(1, block); }) != TExchangeResult::Done)
        return false;
    const std::vector<TStatusLine> lines = ServerStatusLines(block);
    for (std::size_t i = 0; i < lines.size() && i < ValueLabels.size(); ++i)
        ValueLabels[i]->setText(Utf8Text(lines[i].Value));
    AddSample(block, QDateTime::currentDateTime(), SteadyMilliseconds());
    return true;
}

void TServerStatusForm::AddSample(const TServerStatusBlock& block, const QDateTime& time,
                                  std::int64_t elapsed) {
    history_.Add(block, time, elapsed);
    UpdateCharts();
}

void TServerStatusForm::UpdateCharts() {
    std::vector<TChartPoint> rates, clients, results, databases;
    const std::size_t count = history_.Size();
    for (auto* series : {&rates, &clients, &results, &databases})
        series->reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const TStatusSample& s = history_[i];
        rates.push_back({s.Time, s.Elapsed, history_.RequestsPerSecond(i)});
        clients.push_back({s.Time, s.Elapsed, static_cast<double>(s.Block.ClientCount)});
        results.push_back(
            {s.Time, s.Elapsed, static_cast<double>(TStatusHistory::ResultsHeld(s.Block))});
        databases.push_back(
            {s.Time, s.Elapsed, static_cast<double>(TStatusHistory::DatabasesOpen(s.Block))});
    }
    Charts[0]->SetPoints(std::move(rates));
    Charts[1]->SetPoints(std::move(clients));
    Charts[2]->SetPoints(std::move(results));
    Charts[3]->SetPoints(std::move(databases));
}

void TServerStatusForm::ClearHistory() {
    history_.Clear();
    UpdateCharts();
}

void TServerStatusForm::SaveHistoryActExecute() {
    const QString fileName = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save History"), QStringLiteral("status-history.csv"),
        QStringLiteral("CSV Files (*.csv);;All Files (*)"));
    if (!fileName.isEmpty())
        SaveHistory(fileName);
}

bool TServerStatusForm::SaveHistory(const QString& fileName) {
    const std::optional<QString> failure = WriteWholeFile(fileName, history_.Csv());
    if (!failure)
        return true;
    ShowMessageBox("Could not save the history to '" + fileName.toStdString() +
                   "': " + failure->toStdString() + ".");
    return false;
}

void TServerStatusForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QScreen* target = screen();
    if (target != nullptr)
        FitInto(target->availableGeometry());
    CenterOnScreen(this);
    GroupsArea->setFocus();
}
