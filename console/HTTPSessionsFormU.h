#pragma once

// "HTTP Sessions": the sessions a broker holds for the chosen servers, with each session's
// user, kind, centre, last request time and the database resources it holds; a session can
// be logged out. The broker login dialog hands it the servers and their passwords and loads
// it before showing it.

#include "HTTPSessions.h"

#include <QAbstractTableModel>
#include <QDialog>

class QAction;
class QLabel;
class QSplitter;
class QTableView;
class QToolBar;
class QWidget;

// A length in pixels at 96 dots per inch, scaled to the screen the widget is on.
int ScreenPixels(const QWidget* widget, int pixelsAt96);

// The session table: one column, "User Name", showing ServerUserName (also as the tool tip).
class TSessionModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Reset(std::vector<THTTPSessionRow> rows);
    const std::vector<THTTPSessionRow>& Rows() const { return rows_; }

private:
    std::vector<THTTPSessionRow> rows_;
};

// The resources of one session: "DB ID", "Database Name", "Append File ID", "Edit File ID".
class TDBResourceModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Shows the resources of one session (none for nothing); they must outlive the showing.
    void Show(const std::vector<TDBResourceRow>* rows);

private:
    const std::vector<TDBResourceRow>* rows_ = nullptr;
};

class TSessionListForm final : public QDialog {
    Q_OBJECT
public:
    explicit TSessionListForm(QWidget* parent = nullptr);

    // The servers to query, the rows and the current row.
    TSessionList& List() { return list_; }

    void ClearServers() { list_.ClearServers(); }
    void AddServer(const std::string& serverName, const std::string& password) {
        list_.AddServer(serverName, password);
    }
    // Loads both tables for the servers given; a failed load keeps them as they were.
    // False also when another exchange of this window is still waiting.
    bool RefreshSessions();
    void RefreshActExecute() { RefreshSessions(); }
    // Shows the rows that a load of the session list put in List(), the first one current.
    void SessionsLoaded();
    // Asks, logs the current session out and removes its row.
    void DelSessionActExecute();
    void UpdateSessionCountLabel();

    // The current session's row, or -1.
    int CurrentRow() const;
    void SetCurrentRow(int row);
    // True while a session-list or logout query of this window waits.
    bool Busy() const { return busy_; }

    TSessionModel* Sessions;
    TDBResourceModel* Resources;
    QToolBar* SessionListBar;
    QAction* RefreshAct;
    QAction* DelSessionAct;
    QTableView* GenGrid;
    QSplitter* Splitter1;
    QLabel* TotalSessionCountLbl;
    QLabel* SessionKindFld;
    QLabel* ECenterNameFld;
    QLabel* LastAccessTimeFld;
    QTableView* DBResourceListGrid;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowCurrent();
    void SetBusy(bool busy);

    TSessionList list_;
    bool busy_ = false;
};
