#pragma once

// "Databases": the databases the server has defined, the details of the selected one and the
// results held on it.

#include "ConsoleRequests.h"

#include "GridView.h"

#include <QString>
#include <vector>

class QLineEdit;
class QPlainTextEdit;
class QSplitter;
class QTableView;
class TGridProxy;

struct TDBResultRow {
    QString Kind;
    QString UserName;
    QString Desc;                // always empty
    std::uint8_t KindNumber = 0; // as the server sent it, for export
};

struct TDBRow {
    QString Name;
    std::uint16_t Id = 0;
    QString Path;
    QString Status;
    bool IsParent = false;
    std::uint16_t ChildCount = 0;
    QString ChildHoodStr;
    QString ChildListStr; // lines separated by CR LF
    std::vector<std::uint16_t> ChildIds;
    std::uint16_t ResCount = 0;
    std::vector<TDBResultRow> ResList;
};

// "ID", "Database Name", "Staus".
using TDBModel = TGridModel<TDBRow>;
// "Kind", "User Name", "Description" of the current database.
using TDBResultModel = TGridModel<TDBResultRow>;

class TDBListForm final : public TGridView {
    Q_OBJECT
public:
    explicit TDBListForm(QWidget* parent = nullptr);

    TDBModel* Databases;
    TDBResultModel* Results;
    TGridProxy* DBProxy;
    TGridProxy* ResultProxy;
    QSplitter* Splitter;
    QTableView* DBGrid;
    QTableView* ResultGrid;
    QLineEdit* PathEdit;
    QLineEdit* ResCountEdit;
    QLineEdit* ChildHoodEdit;
    QPlainTextEdit* ChildListMemo;

private:
    // An automatic load keeps the current database by its id.
    bool Load(bool keepPlace) override;
    void ShowCurrent() override;
};
