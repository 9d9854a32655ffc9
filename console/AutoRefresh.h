#pragma once

// "Auto Refresh": the toolbar control of a server view that reloads the view on its own every
// few seconds, and the view's status line that tells when it last did.
//
// The control takes hooks, not globals: whether a refresh may run now (the view is shown and
// not minimised, no other request runs, no message box is open) and the refresh itself, which
// answers success or failure. The next tick is counted from the end of the last refresh, so
// ticks never pile up behind a slow server or an open box. A failed automatic refresh turns
// the control off: its box is shown once, by the refresh itself.
//
// An automatic refresh keeps the grids as the administrator left them: TGridPlace holds the
// keys of the current and selected rows and the scroll position of a grid, whatever sorting
// or filtering model sits between the grid and its rows.

#include <QObject>
#include <QString>
#include <QTime>
#include <QTimer>
#include <QVariant>

#include <array>
#include <functional>
#include <vector>

class QAction;
class QActionGroup;
class QBoxLayout;
class QLabel;
class QMenu;
class QTableView;
class QToolBar;
class QToolButton;
class QWidget;

class TAutoRefresh final : public QObject {
    Q_OBJECT
public:
    // The intervals the menu offers, in seconds.
    static constexpr std::array<int, 5> kIntervals = {2, 5, 10, 30, 60};
    static constexpr int kDefaultInterval = 10;

    // `viewName` names the view in the settings: its interval is kept as
    // "<viewName>/AutoRefreshSec".
    TAutoRefresh(const QString& viewName, QObject* parent);

    // False pauses the ticks: the tick that finds it false is skipped and the next one comes an
    // interval later. With none set, ticks always refresh.
    std::function<bool()> MayRefresh;
    // Reloads the view; `automatic` asks it to keep its rows' places. True on success.
    std::function<bool(bool automatic)> Refresh;

    // Adds the control to a toolbar: a toggle with a menu of intervals.
    QToolButton* AddTo(QToolBar* bar);

    // A refresh of the view: runs Refresh, writes the status line and counts the next tick from
    // the end of it. A manual refresh (the Refresh button, opening the view) runs with
    // `automatic` false. Answers what Refresh answered (false when one already runs).
    bool Run(bool automatic);

    bool IsOn() const { return on_; }
    // Turns the ticks on or off; turning it on clears a stop message from the status line.
    void SetOn(bool on);
    int IntervalSeconds() const { return seconds_; }
    // One of kIntervals (others are ignored); kept in the settings.
    void SetIntervalSeconds(int seconds);
    // Ticks every `milliseconds` instead of the chosen interval (tests); 0 goes back to it.
    void SetTickMilliseconds(int milliseconds);

    // What the view's status line shows.
    const QString& StatusText() const { return status_; }
    // The time a refresh is stamped with (tests fix it); the clock when none is set.
    std::function<QTime()> Clock;

    // The toggle, checked while on; the interval menu and its entries in kIntervals' order.
    QAction* ToggleAct;
    QMenu* IntervalMenu;
    std::vector<QAction*> IntervalActs;

    // "Refreshed at hh:mm:ss" and "Auto refresh stopped: the refresh at hh:mm:ss failed."
    static QString RefreshedText(const QTime& time);
    static QString StoppedText(const QTime& time);

    // The usual pause rule for a view window: shown, not minimised, and no other window modal
    // over it (a message box, a wait window).
    static bool WindowMayRefresh(const QWidget* window);

signals:
    void StatusChanged(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Tick();
    void Arm();
    void SetStatus(const QString& text);
    QTime Now() const;

    QString key_;
    QTimer timer_;
    QActionGroup* intervalGroup_;
    int seconds_ = kDefaultInterval;
    int tickMilliseconds_ = 0;
    bool on_ = false;
    bool running_ = false;
    QString status_;
};

// Where a grid stands: the keys (kGridKeyRole) of its current and selected rows, the current
// row's position and column, and its scroll position.
// A view's Auto Refresh: the control on its toolbar, paused by the view's own state, running
// `load` (told whether the refresh is automatic).
TAutoRefresh* AddAutoRefresh(QWidget* view, QToolBar* bar, std::function<bool(bool)> load);
// The view's status line at the end of `layout`, showing what the control says.
QLabel* AddStatusLine(QBoxLayout* layout, TAutoRefresh* control);

struct TGridPlace {
    QVariant CurrentKey;
    int CurrentRow = -1;
    int CurrentColumn = 0;
    std::vector<QVariant> SelectedKeys;
    int Vertical = 0;
    int Horizontal = 0;
};

TGridPlace SaveGridPlace(const QTableView* grid);
// Puts a reloaded grid back where it stood: the row with the current key becomes current again
// wherever it is now, the rows with the selected keys are selected again, and the scroll
// position comes back. When the current row has gone, the row now at its position becomes
// current (the last one when the grid got shorter). Nothing takes the focus.
void RestoreGridPlace(QTableView* grid, const TGridPlace& place);
