#pragma once

// "Databases": the databases the server has defined, the details of the selected one and the
// results held on it.

#include "ConsoleRequests.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <vector>

class QAction;
class QLineEdit;
class QPlainTextEdit;
class QTableView;

struct TDBResultRow {
    QString Kind;
    QString UserName;
    QString Desc; // always empty
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
    std::uint16_t ResCount = 0;
    std::vector<TDBResultRow> ResList;
};

// "ID", "Database Name", "Staus".
class TDBModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Reset(std::vector<TDBRow> rows);
    const std::vector<TDBRow>& Rows() const { return rows_; }

private:
    std::vector<TDBRow> rows_;
};

// "Kind", "User Name", "Description" of one database.
class TDBResultModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Show(const std::vector<TDBResultRow>* rows);

private:
    const std::vector<TDBResultRow>* rows_ = nullptr;
};

class TDBListForm final : public QDialog {
    Q_OBJECT
public:
    explicit TDBListForm(QWidget* parent = nullptr);

    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }

    int CurrentRow() const;
    void SetCurrentRow(int row);

    TDBModel* Databases;
    TDBResultModel* Results;
    QTableView* DBGrid;
    QTableView* ResultGrid;
    QAction* RefreshAct;
    QLineEdit* PathEdit;
    QLineEdit* ResCountEdit;
    QLineEdit* ChildHoodEdit;
    QPlainTextEdit* ChildListMemo;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowCurrent();
};
