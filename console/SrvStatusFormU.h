#pragma once

// "Server Status": the server's request, database, client and result counters in four framed
// groups of caption and value lines. The groups lie in a scroll area: the window opens at the
// size the groups take and can be resized; on a screen too small for it, it opens as large as
// the screen allows and the groups scroll. Below the groups, four charts draw the history of
// the counters over the refreshes of this connection.

#include "AutoRefresh.h"
#include "StatusHistory.h"

#include <QDialog>
#include <QString>
#include <vector>

class QAction;
class TCounterChart;
class QLabel;
class QRect;
class QScrollArea;

class TServerStatusForm final : public QDialog {
    Q_OBJECT
public:
    explicit TServerStatusForm(QWidget* parent = nullptr);

    // Rewrites every value from server 1 and records them in the history; a failed request
    // leaves them as they were.
    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }
    // Asks for a file and writes the history there as CSV.
    void SaveHistoryActExecute();
    // Writes the history as CSV; on failure the box says why and false is answered.
    bool SaveHistory(const QString& fileName);
    // Forgets the samples (a new connection starts a new history).
    void ClearHistory();
    // Records one sample and redraws the charts; every successful refresh does it with the
    // clocks' time.
    void AddSample(const TServerStatusBlock& block, const QDateTime& time, std::int64_t elapsed);
    const TStatusHistory& History() const { return history_; }

    // Makes the window fit into `available` (a screen's work area, frame included), keeping
    // its size where it fits; showing the window does it for the screen it is on.
    void FitInto(const QRect& available);

    QAction* RefreshAct;
    QAction* SaveHistoryAct;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine;
    // Requests per second, connected clients, results held, databases open.
    std::vector<TCounterChart*> Charts;
    // The scroll area over the four groups.
    QScrollArea* GroupsArea;
    // The caption and value labels, in the window's order.
    std::vector<QLabel*> CaptionLabels;
    std::vector<QLabel*> ValueLabels;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool Load();
    void UpdateCharts();

    TStatusHistory history_;
};
