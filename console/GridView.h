#pragma once

// The parts that the console's views of a server list share: a toolbar with Refresh (and
// Delete where rows can be deleted), Auto Refresh and its status line; a grid over a model of
// the list, sorted and filtered through a proxy, with copy and export; the current row, whose
// details a view shows beside the grid; and the reload and delete that keep a sensible row
// current.

#include "AutoRefresh.h"
#include "GridModel.h"
#include "GridTools.h"
#include "RequestDispatcher.h"
#include "ViewSupport.h"

#include <QTableView>

#include <cstddef>
#include <functional>
#include <vector>

class QAction;
class QBoxLayout;
class QLabel;
class QLayout;
class QToolBar;

// A grid over its own model of `Row`s, as the form that made it knows them.
template <typename Row> struct TViewGrid {
    TGridModel<Row>* Model = nullptr;
    TGridProxy* Proxy = nullptr;
    QTableView* Grid = nullptr;
};

// A grid named `name` over a new model of `columns` (owned by `owner`), sorted and filtered
// through a TGridProxy, with the grid tools: its export writes each row with
// `writeJson(TJsonText& out, const Row& row)` into the list `listKey`.
template <typename Row, std::size_t N, typename TWriteJson>
TViewGrid<Row> MakeViewGrid(QObject* owner, const char* name, const TGridColumn<Row> (&columns)[N],
                            const char* listKey, TWriteJson writeJson) {
    TViewGrid<Row> made;
    made.Model = new TGridModel<Row>(columns, owner);
    made.Proxy = new TGridProxy(made.Model, owner);
    made.Grid = MakeGrid(name, made.Proxy);
    MakeGridTools(made.Grid, {listKey, [model = made.Model, writeJson](TJsonText& out, int row) {
                                  if (const Row* r = model->RowAt(row))
                                      writeJson(out, *r);
                              }});
    return made;
}

// Refresh on a view's toolbar: F5, named "RefreshAct", running `run`.
QAction* AddRefreshButton(QToolBar* bar, std::function<void()> run);
// A delete action on a view's toolbar, before `before` (at the end when none): Delete, named
// `objectName` with `toolTip`, running `run`.
QAction* AddDeleteButton(QToolBar* bar, const char* objectName, const char* toolTip,
                         std::function<void()> run, QAction* before = nullptr);

// A bold title centred above a table of details.
QLabel* MakeGridHeading(const char* text);
// A panel of `details` above a heading and its grid, the grid taking the room left.
QWidget* MakeDetailsPane(QLayout* details, QLabel* heading, QTableView* grid);

// A view of one server list: Refresh (F5, also the Auto Refresh control's load), an optional
// delete action (Delete), the status line, and the grid whose current row the view shows.
class TGridView : public TCenteredDialog {
public:
    // Reloads the list and makes its first row current; a failed load keeps the rows.
    bool RefreshView() { return AutoRefresh->Run(false); }
    void RefreshActExecute() { RefreshView(); }

    // The current row in the grid's model (whatever the sorting and filtering), or -1.
    int CurrentRow() const;
    // Makes the row shown at `row` (as sorted and filtered) current and shows it.
    void SetCurrentRow(int row);

    QAction* RefreshAct;
    TAutoRefresh* AutoRefresh;
    QLabel* StatusLine = nullptr;

protected:
    TGridView(QWidget* parent, const char* objectName, const char* title);

    // The load behind both refreshes; an automatic one (`keepPlace`) keeps the current row by
    // its key, the selection and the scroll position.
    virtual bool Load(bool keepPlace) = 0;
    // Shows the details of the current row (none by default).
    virtual void ShowCurrent() {}

    // Adds the delete action, named `objectName` with `toolTip`, running `run`.
    QAction* AddDeleteAction(const char* objectName, const char* toolTip,
                             std::function<void()> run);
    // The grid whose current row the view follows and shows.
    void SetMainGrid(QTableView* grid);
    // Lays the window out: the toolbar, `body` taking the room, and the status line.
    void SetBody(QWidget* body);

    // Puts freshly loaded rows in place: an automatic load keeps the current row and the
    // scroll position, a manual one makes the first row current.
    template <typename Row>
    void ShowRows(TGridModel<Row>* model, std::vector<Row> rows, bool keepPlace) {
        const TGridPlace place = SaveGridPlace(mainGrid_);
        model->Reset(std::move(rows));
        AfterReload(place, keepPlace);
    }

    // Asks `question`, then runs `remove(const Row& row)` for a copy of the current row (the
    // window stays live while the server answers); when the server did it (TExchangeResult::Done)
    // the row goes, and the one shown in its place (the last one when it was the last) becomes
    // current.
    template <typename Row, typename TRemove>
    void DeleteCurrentRow(TGridModel<Row>* model, const char* question, TRemove remove) {
        const int shown = ShownGridRow(mainGrid_);
        const int row = CurrentRow();
        if (row < 0 || !ConfirmDeletion(question))
            return;
        const Row* r = model->RowAt(row);
        if (r == nullptr)
            return;
        const Row copy = *r;
        if (remove(copy) != TExchangeResult::Done)
            return;
        model->Remove(row);
        SetCurrentRow(std::min(shown, mainGrid_->model()->rowCount() - 1));
    }

    QToolBar* ToolBar;

private:
    void AfterReload(const TGridPlace& place, bool keepPlace);

    QTableView* mainGrid_ = nullptr;
};
