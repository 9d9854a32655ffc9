#pragma once

// The table model behind every grid of the console. A view describes its grid with a table of
// columns (title, alignment, display text, sort value, tool tip), one entry a column, and the
// model holds the rows themselves: a grid that shows the detail rows of another grid's current
// row holds its own copy of them, never a pointer into the other model.

#include <QAbstractTableModel>
#include <QVariant>

#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

// The role under which a cell gives the value it sorts by.
inline constexpr int kGridSortRole = Qt::UserRole;
// The role under which every cell of a row gives the row's key: what tells the row apart from
// the others across reloads (invalid when the grid has no key).
inline constexpr int kGridKeyRole = Qt::UserRole + 1;

// Numbers stand to the right of their cell.
inline constexpr Qt::Alignment kGridNumberAlignment = Qt::AlignRight | Qt::AlignVCenter;

// One column of a grid. The tables name their fields: {.Header = ..., .Display = ...}.
template <typename Row> struct TGridColumn {
    const char* Header;
    QVariant (*Display)(const Row& row);
    Qt::Alignment Alignment = {};                  // none: the grid's own
    QVariant (*Sort)(const Row& row) = nullptr;    // none: the display value
    QVariant (*ToolTip)(const Row& row) = nullptr; // none: no tool tip
    int Width = 0; // at 96 dots per inch, for the views that set it; 0: the grid's own
};

template <typename Member> struct TGridMember;
template <typename Row, typename Field> struct TGridMember<Field Row::*> {
    using TRow = Row;
    using TField = Field;
};

// The value of a column that shows one field of its row as it is: .Display = GridField<&T::X>.
template <auto Field> QVariant GridField(const typename TGridMember<decltype(Field)>::TRow& row) {
    using TField = typename TGridMember<decltype(Field)>::TField;
    if constexpr (std::is_integral_v<TField> && sizeof(TField) < sizeof(int))
        return static_cast<int>(row.*Field);
    else
        return QVariant::fromValue(row.*Field);
}

// The position of the column titled `header` in a column table, worked out while compiling:
// a title that no column or more than one column has does not compile.
template <typename Row, std::size_t N>
consteval int GridColumn(const TGridColumn<Row> (&columns)[N], std::string_view header) {
    int found = -1;
    for (std::size_t i = 0; i < N; ++i)
        if (std::string_view(columns[i].Header) == header) {
            if (found >= 0)
                throw "two columns with one title";
            found = static_cast<int>(i);
        }
    if (found < 0)
        throw "no column with that title";
    return found;
}

template <typename Row> class TGridModel final : public QAbstractTableModel {
public:
    // The columns are a table with static storage: the model keeps a view of it.
    template <std::size_t N>
    TGridModel(const TGridColumn<Row> (&columns)[N], QObject* parent)
        : QAbstractTableModel(parent), columns_(columns) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(rows_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(columns_.size());
    }

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override {
        if (!index.isValid() || index.model() != this || index.row() >= rowCount() ||
            index.column() >= columnCount())
            return {};
        const TGridColumn<Row>& column = columns_[static_cast<std::size_t>(index.column())];
        const Row& row = rows_[static_cast<std::size_t>(index.row())];
        switch (role) {
        case Qt::DisplayRole:
            return column.Display(row);
        case Qt::ToolTipRole:
            return column.ToolTip != nullptr ? column.ToolTip(row) : QVariant();
        case Qt::TextAlignmentRole:
            return column.Alignment != Qt::Alignment() ? QVariant::fromValue(column.Alignment)
                                                       : QVariant();
        case kGridSortRole:
            return column.Sort != nullptr ? column.Sort(row) : column.Display(row);
        case kGridKeyRole:
            return key_ != nullptr ? key_(row) : QVariant();
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < columnCount())
            return QString::fromLatin1(columns_[static_cast<std::size_t>(section)].Header);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    // What tells a row apart from the others across reloads, given under kGridKeyRole.
    void SetKey(QVariant (*key)(const Row& row)) { key_ = key; }

    void Reset(std::vector<Row> rows) {
        beginResetModel();
        rows_ = std::move(rows);
        endResetModel();
    }
    void Clear() { Reset({}); }
    // Removes one row; a row out of range is ignored.
    void Remove(int row) {
        if (row < 0 || row >= rowCount())
            return;
        beginRemoveRows({}, row, row);
        rows_.erase(rows_.begin() + row);
        endRemoveRows();
    }

    const std::vector<Row>& Rows() const { return rows_; }
    // The row at `row`, or nothing out of range.
    const Row* RowAt(int row) const {
        return row >= 0 && row < rowCount() ? &rows_[static_cast<std::size_t>(row)] : nullptr;
    }

private:
    std::span<const TGridColumn<Row>> columns_;
    std::vector<Row> rows_;
    QVariant (*key_)(const Row& row) = nullptr;
};
