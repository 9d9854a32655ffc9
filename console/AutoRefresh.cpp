#include "AutoRefresh.h"

#include "ConfigStore.h"
#include "GridModel.h"
#include "RequestRunner.h"
#include "ViewSupport.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QBoxLayout>
#include <QByteArray>
#include <QDataStream>
#include <QEvent>
#include <QIODevice>
#include <QItemSelection>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QScrollBar>
#include <QSet>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QWidget>

#include <algorithm>
#include <string>

namespace {

std::string SettingName(const QString& key) {
    return key.toStdString();
}

bool IsOffered(int seconds) {
    return std::find(TAutoRefresh::kIntervals.begin(), TAutoRefresh::kIntervals.end(), seconds) !=
           TAutoRefresh::kIntervals.end();
}

// A key as bytes, so that many keys are looked up at once through a hash.
QByteArray KeyBytes(const QVariant& key) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << key;
    return bytes;
}

// A clock face: the theme's, or one drawn in the colours of the palette, so that the toggle
// does not look like the Refresh button beside it.
QIcon ClockIcon(const QPalette& palette) {
    const QIcon themed = QIcon::fromTheme(QStringLiteral("chronometer"));
    if (!themed.isNull())
        return themed;
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const double unit = size / 24.0;
        painter.setPen(QPen(palette.color(QPalette::WindowText), 2 * unit));
        painter.setBrush(palette.color(QPalette::Base));
        const QPointF centre(size / 2.0, size / 2.0);
        painter.drawEllipse(centre, 9 * unit, 9 * unit);
        painter.setPen(
            QPen(palette.color(QPalette::Highlight), 2 * unit, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(centre, centre + QPointF(0, -6 * unit));
        painter.drawLine(centre, centre + QPointF(4.5 * unit, 2.5 * unit));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

TAutoRefresh::TAutoRefresh(const QString& viewName, QObject* parent)
    : QObject(parent), key_(viewName + QStringLiteral("/AutoRefreshSec")) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });

    if (const IConfigStore* store = CurrentConfigStore()) {
        const TConfigValue value = store->Read(SettingName(key_));
        bool ok = false;
        const int seconds = QString::fromStdString(value.Text).toInt(&ok);
        if (value.Kind == TConfigValueKind::String && ok && IsOffered(seconds))
            seconds_ = seconds;
    }

    ToggleAct =
        new QAction(ClockIcon(QApplication::palette()), QStringLiteral("&Auto Refresh"), this);
    ToggleAct->setObjectName(QStringLiteral("AutoRefreshAct"));
    ToggleAct->setCheckable(true);
    connect(ToggleAct, &QAction::toggled, this, [this](bool checked) { SetOn(checked); });

    IntervalMenu = new QMenu;
    IntervalMenu->setObjectName(QStringLiteral("AutoRefreshMenu"));
    connect(this, &QObject::destroyed, IntervalMenu, [menu = IntervalMenu] { delete menu; });
    intervalGroup_ = new QActionGroup(this);
    intervalGroup_->setExclusive(true);
    static constexpr const char* kCaptions[] = {"Every &2 Seconds", "Every &5 Seconds",
                                                "Every 1&0 Seconds", "Every &30 Seconds",
                                                "Every &60 Seconds"};
    for (std::size_t i = 0; i < kIntervals.size(); ++i) {
        const int seconds = kIntervals[i];
        QAction* action = IntervalMenu->addAction(QString::fromLatin1(kCaptions[i]));
        action->setObjectName(QStringLiteral("AutoRefresh%1Act").arg(seconds));
        action->setCheckable(true);
        action->setChecked(seconds == seconds_);
        intervalGroup_->addAction(action);
        // Picking an interval is asking for the ticks at that interval.
        connect(action, &QAction::triggered, this, [this, seconds] {
            SetIntervalSeconds(seconds);
            SetOn(true);
        });
        IntervalActs.push_back(action);
    }
    ToggleAct->setToolTip(QStringLiteral("Auto Refresh (every %1 seconds)").arg(seconds_));
}

QToolButton* TAutoRefresh::AddTo(QToolBar* bar) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QStringLiteral("AutoRefreshButton"));
    button->setDefaultAction(ToggleAct);
    button->setMenu(IntervalMenu);
    button->setPopupMode(QToolButton::MenuButtonPopup);
    button->setToolButtonStyle(bar->toolButtonStyle());
    bar->addWidget(button);
    // The clock is drawn again in the colours of a new palette (light to dark and back).
    button->installEventFilter(this);
    return button;
}

bool TAutoRefresh::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::PaletteChange)
        if (auto* button = qobject_cast<QToolButton*>(watched))
            ToggleAct->setIcon(ClockIcon(button->palette()));
    return QObject::eventFilter(watched, event);
}

void TAutoRefresh::SetOn(bool on) {
    if (on_ != on) {
        on_ = on;
        if (on_ && status_.startsWith(QStringLiteral("Auto refresh stopped")))
            SetStatus(QString());
    }
    if (ToggleAct->isChecked() != on_) {
        const QSignalBlocker blocker(ToggleAct);
        ToggleAct->setChecked(on_);
    }
    if (on_)
        Arm();
    else
        timer_.stop();
}

void TAutoRefresh::SetIntervalSeconds(int seconds) {
    if (!IsOffered(seconds))
        return;
    for (std::size_t i = 0; i < kIntervals.size(); ++i)
        IntervalActs[i]->setChecked(kIntervals[i] == seconds);
    ToggleAct->setToolTip(QStringLiteral("Auto Refresh (every %1 seconds)").arg(seconds));
    if (seconds == seconds_)
        return;
    seconds_ = seconds;
    // A store that refuses the value costs only the memory of it.
    if (IConfigStore* store = CurrentConfigStore())
        store->WriteString(SettingName(key_), std::to_string(seconds));
    if (on_)
        Arm();
}

void TAutoRefresh::SetTickMilliseconds(int milliseconds) {
    tickMilliseconds_ = std::max(0, milliseconds);
    if (on_)
        Arm();
}

void TAutoRefresh::Arm() {
    if (!on_ || running_)
        return;
    timer_.start(tickMilliseconds_ > 0 ? tickMilliseconds_ : seconds_ * 1000);
}

void TAutoRefresh::Tick() {
    if (!on_)
        return;
    if (running_ || (MayRefresh && !MayRefresh())) {
        Arm();
        return;
    }
    Run(true);
}

bool TAutoRefresh::Run(bool automatic) {
    // A refresh that waits for the server lets events through; one never starts inside another.
    if (running_ || !Refresh)
        return false;
    running_ = true;
    timer_.stop();
    const QTime started = Now();
    const bool ok = Refresh(automatic);
    running_ = false;
    if (ok) {
        SetStatus(RefreshedText(Now()));
    } else if (automatic && on_) {
        // Its box has been shown; no more until the administrator turns it on again.
        SetOn(false);
        SetStatus(StoppedText(started));
    }
    Arm();
    return ok;
}

void TAutoRefresh::SetStatus(const QString& text) {
    if (text == status_)
        return;
    status_ = text;
    emit StatusChanged(status_);
}

QTime TAutoRefresh::Now() const {
    return Clock ? Clock() : QTime::currentTime();
}

QString TAutoRefresh::RefreshedText(const QTime& time) {
    return QStringLiteral("Refreshed at ") + time.toString(QStringLiteral("hh:mm:ss"));
}

QString TAutoRefresh::StoppedText(const QTime& time) {
    return QStringLiteral("Auto refresh stopped: the refresh at ") +
           time.toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(" failed.");
}

bool TAutoRefresh::WindowMayRefresh(const QWidget* window) {
    if (window == nullptr || !window->isVisible() || window->isMinimized())
        return false;
    // Another request of the console (or a broker wait) runs: the tick comes again later.
    if (ConsoleRequestRunning())
        return false;
    const QWidget* modal = QApplication::activeModalWidget();
    return modal == nullptr || modal == window;
}

TAutoRefresh* AddAutoRefresh(QWidget* view, QToolBar* bar, std::function<bool(bool)> load) {
    auto* control = new TAutoRefresh(view->objectName(), view);
    control->AddTo(bar);
    control->MayRefresh = [view] { return TAutoRefresh::WindowMayRefresh(view); };
    control->Refresh = std::move(load);
    return control;
}

QLabel* AddStatusLine(QBoxLayout* layout, TAutoRefresh* control) {
    auto* line = new QLabel;
    line->setObjectName(QStringLiteral("StatusLine"));
    layout->addWidget(line);
    QObject::connect(control, &TAutoRefresh::StatusChanged, line, &QLabel::setText);
    return line;
}

// ---- the place of a grid

TGridPlace SaveGridPlace(const QTableView* grid) {
    TGridPlace place;
    const QAbstractItemModel* model = grid->model();
    const QItemSelectionModel* selection = grid->selectionModel();
    if (model == nullptr || selection == nullptr)
        return place;
    const QModelIndex current = selection->currentIndex();
    if (current.isValid()) {
        place.CurrentKey = model->data(current, kGridKeyRole);
        place.CurrentRow = current.row();
        place.CurrentColumn = current.column();
    }
    for (const QModelIndex& index : selection->selectedRows())
        place.SelectedKeys.push_back(model->data(index, kGridKeyRole));
    place.Vertical = grid->verticalScrollBar()->value();
    place.Horizontal = grid->horizontalScrollBar()->value();
    return place;
}

void RestoreGridPlace(QTableView* grid, const TGridPlace& place) {
    QAbstractItemModel* model = grid->model();
    QItemSelectionModel* selection = grid->selectionModel();
    if (model == nullptr || selection == nullptr)
        return;
    const int rows = model->rowCount();
    const int columns = model->columnCount();
    QSet<QByteArray> selectedKeys;
    for (const QVariant& key : place.SelectedKeys)
        if (key.isValid())
            selectedKeys.insert(KeyBytes(key));
    const QByteArray currentKey =
        place.CurrentKey.isValid() ? KeyBytes(place.CurrentKey) : QByteArray();
    int current = -1;
    // Selected rows next to each other make one range.
    QItemSelection selected;
    int runStart = -1;
    const auto endRun = [&](int end) {
        if (runStart >= 0)
            selected.select(model->index(runStart, 0), model->index(end - 1, columns - 1));
        runStart = -1;
    };
    for (int row = 0; row < rows && columns > 0; ++row) {
        const QVariant key = model->data(model->index(row, 0), kGridKeyRole);
        const QByteArray bytes = key.isValid() ? KeyBytes(key) : QByteArray();
        if (current < 0 && !currentKey.isEmpty() && bytes == currentKey)
            current = row;
        if (!bytes.isEmpty() && selectedKeys.contains(bytes)) {
            if (runStart < 0)
                runStart = row;
        } else {
            endRun(row);
        }
    }
    endRun(rows);

    // The scroll range follows the new rows before the position is put back.
    grid->doItemsLayout();
    if (current >= 0) {
        const QModelIndex index =
            model->index(current, std::clamp(place.CurrentColumn, 0, columns - 1));
        selection->select(selected, QItemSelectionModel::ClearAndSelect);
        selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    } else if (place.CurrentRow >= 0 && rows > 0) {
        const int row = std::min(place.CurrentRow, rows - 1);
        selection->setCurrentIndex(
            model->index(row, std::clamp(place.CurrentColumn, 0, columns - 1)),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    } else {
        selection->clearSelection();
        selection->clearCurrentIndex();
    }
    grid->verticalScrollBar()->setValue(place.Vertical);
    grid->horizontalScrollBar()->setValue(place.Horizontal);
}
