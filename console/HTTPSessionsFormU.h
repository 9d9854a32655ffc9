#pragma once

// "HTTP Sessions": the sessions a broker holds for the chosen servers, with each session's
// user, kind, centre, last request time and the database resources it holds; a session can
// be logged out. The broker login dialog hands it the servers and their passwords and loads
// it before showing it.

#include "GridModel.h"
#include "HTTPSessions.h"
#include "ViewSupport.h"

class QAction;
class QLabel;
class QSplitter;
class QTableView;
class QToolBar;
class QWidget;
class TGridProxy;

// The session table: "User Name", showing ServerUserName (also as the tool tip).
using TSessionModel = TGridModel<THTTPSessionRow>;
// The resources of the current session: "DB ID", "Database Name", "Append File ID",
// "Edit File ID".
using TDBResourceModel = TGridModel<TDBResourceRow>;

class TSessionListForm final : public TCenteredDialog {
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

    // The current session's row in Sessions (and List()), or -1.
    int CurrentRow() const;
    // Makes the session shown at `row` (as sorted and filtered) current.
    void SetCurrentRow(int row);
    // True while a session-list or logout query of this window waits.
    bool Busy() const { return busy_; }

    TSessionModel* Sessions;
    TDBResourceModel* Resources;
    TGridProxy* SessionProxy;
    TGridProxy* ResourceProxy;
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

private:
    void ShowCurrent();
    void SetBusy(bool busy);

    TSessionList list_;
    bool busy_ = false;
};
