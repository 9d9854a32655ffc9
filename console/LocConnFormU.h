#pragma once

// "Local Connections": the clients connected to the server directly, the details of the
// selected one and the results the server holds for it; a connection can be deleted.

#include "ConsoleRequests.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <vector>

class QAction;
class QLineEdit;
class QTableView;

struct TLocResultRow {
    QString Kind;
    QString DBName;
    QString Desc;
};

struct TLocConnRow {
    std::string UserName; // the server's bytes, sent back as they came by a delete
    std::int32_t SecurityNum = 0;
    QString Status;
    std::int32_t RequestsCount = 0;
    std::uint16_t ASyncRequests = 0;
    std::uint16_t ResultsCount = 0;
    TDateTime ConnectTime = 0;
    TDateTime LastRequestTime = 0;
    std::vector<TLocResultRow> ResList;
};

// The connections table: one column, "User Name".
class TLocConnModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void Reset(std::vector<TLocConnRow> rows);
    void Remove(int row);
    const std::vector<TLocConnRow>& Rows() const { return rows_; }

private:
    std::vector<TLocConnRow> rows_;
};

// The result table of one connection: "Kind", "Database", "Description".
class TLocResultModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Shows the rows of one connection (none for nothing); they must outlive the showing.
    void Show(const std::vector<TLocResultRow>* rows);

private:
    const std::vector<TLocResultRow>* rows_ = nullptr;
};

class TLocConnForm final : public QDialog {
    Q_OBJECT
public:
    explicit TLocConnForm(QWidget* parent = nullptr);

    // Reloads both tables from server 1; a failed load keeps the rows.
    bool RefreshView();
    void RefreshActExecute() { RefreshView(); }
    void DeleteConnActExecute();

    // The selected connection's row, or -1.
    int CurrentRow() const;
    void SetCurrentRow(int row);

    TLocConnModel* Connections;
    TLocResultModel* Results;
    QTableView* ConnGrid;
    QTableView* ResultGrid;
    QAction* RefreshAct;
    QAction* DeleteConnAct;
    QLineEdit* StatusEdit;
    QLineEdit* RequestsCountEdit;
    QLineEdit* ASyncRequestsEdit;
    QLineEdit* ResultsCountEdit;
    QLineEdit* ConnectTimeEdit;
    QLineEdit* LastRequestTimeEdit;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ShowCurrent();
};
