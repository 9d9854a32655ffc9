#pragma once

// "WEB Connections": the users who reach the server through the web gateway; a web
// connection can be deleted.

#include "ConsoleRequests.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <vector>

class QAction;
class QTableView;

struct TWebConnRow {
    std::string UserName; // the server's bytes
    std::int32_t UserId = 0;
    TDateTime LastAccessTime = 0;
};

// "User Name", "Last Access Time".
class TWebConnModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Reset(std::vector<TWebConnRow> rows);
    void Remove(int row);
    const std::vector<TWebConnRow>& Rows() const { return rows_; }

private:
    std::vector<TWebConnRow> rows_;
};

class TWebConnForm final : public QDialog {
    Q_OBJECT
public:
    explicit TWebConnForm(QWidget* parent = nullptr);

    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }
    void DeleteConnActExecute();

    int CurrentRow() const;
    void SetCurrentRow(int row);

    TWebConnModel* Connections;
    QTableView* ConnGrid;
    QAction* RefreshAct;
    QAction* DeleteConnAct;

protected:
    void showEvent(QShowEvent* event) override;
};
