// The table model behind the console's grids, on a small row type of its own: what each role
// gives, the column positions worked out from the titles, resets and removals, and the rows a
// detail grid keeps when the rows it was filled from go away.

#include "GridModel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct TFruit {
    QString Name;
    int Weight = 0;
    QString Note;
};

QVariant FruitNote(const TFruit& f) {
    return f.Note;
}

constexpr TGridColumn<TFruit> kFruitColumns[] = {
    {.Header = "Name", .Display = GridField<&TFruit::Name>},
    {.Header = "Weight",
     .Display = [](const TFruit& f) -> QVariant {
         return QString::number(f.Weight) + QStringLiteral(" g");
     },
     .Alignment = kGridNumberAlignment,
     .Sort = GridField<&TFruit::Weight>},
    {.Header = "Note", .Display = FruitNote, .ToolTip = FruitNote},
};

struct TFruitColumn {
    enum : int {
        Name = GridColumn(kFruitColumns, "Name"),
        Weight = GridColumn(kFruitColumns, "Weight"),
        Note = GridColumn(kFruitColumns, "Note"),
    };
};
static_assert(TFruitColumn::Name == 0 && TFruitColumn::Weight == 1 && TFruitColumn::Note == 2);

std::vector<TFruit> Basket() {
    return {{QStringLiteral("apple"), 150, QStringLiteral("red")},
            {QStringLiteral("fig"), 40, {}},
            {QStringLiteral("melon"), 1200, QStringLiteral("ripe in August")}};
}

class GridModelTest : public ::testing::Test {
protected:
    std::unique_ptr<TGridModel<TFruit>> Model() {
        auto model = std::make_unique<TGridModel<TFruit>>(kFruitColumns, nullptr);
        new QAbstractItemModelTester(
            model.get(), QAbstractItemModelTester::FailureReportingMode::Fatal, model.get());
        return model;
    }
    static std::string Text(const QAbstractItemModel& m, int row, int column,
                            int role = Qt::DisplayRole) {
        return m.data(m.index(row, column), role).toString().toStdString();
    }
};

TEST_F(GridModelTest, EachRoleComesFromItsColumn) {
    auto model = Model();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->columnCount(), 3);
    model->Reset(Basket());
    ASSERT_EQ(model->rowCount(), 3);

    const struct {
        const char* Name;
        int Row;
        int Column;
        int Role;
        QVariant Expected; // invalid: the model gives nothing
    } cases[] = {
        {"display text", 0, TFruitColumn::Name, Qt::DisplayRole, QStringLiteral("apple")},
        {"display made from a number", 2, TFruitColumn::Weight, Qt::DisplayRole,
         QStringLiteral("1200 g")},
        {"sort value of its own", 2, TFruitColumn::Weight, kGridSortRole, 1200},
        {"sort value defaults to the text", 1, TFruitColumn::Name, kGridSortRole,
         QStringLiteral("fig")},
        {"tool tip", 2, TFruitColumn::Note, Qt::ToolTipRole, QStringLiteral("ripe in August")},
        {"no tool tip", 0, TFruitColumn::Name, Qt::ToolTipRole, QVariant()},
        {"alignment", 0, TFruitColumn::Weight, Qt::TextAlignmentRole,
         QVariant::fromValue(kGridNumberAlignment)},
        {"the grid's own alignment", 0, TFruitColumn::Name, Qt::TextAlignmentRole, QVariant()},
        {"a role no column fills", 0, TFruitColumn::Name, Qt::DecorationRole, QVariant()},
        {"a row past the end", 3, TFruitColumn::Name, Qt::DisplayRole, QVariant()},
        {"a column past the end", 0, 3, Qt::DisplayRole, QVariant()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        // An index of the model itself where it has the cell, an invalid one elsewhere.
        const QModelIndex index = model->index(c.Row, c.Column);
        const QVariant value = model->data(index, c.Role);
        EXPECT_EQ(value.isValid(), c.Expected.isValid());
        if (c.Expected.isValid()) {
            EXPECT_EQ(value, c.Expected);
        }
    }

    const char* titles[] = {"Name", "Weight", "Note"};
    for (int column = 0; column < 3; ++column)
        EXPECT_EQ(model->headerData(column, Qt::Horizontal).toString().toStdString(),
                  titles[column]);
    EXPECT_NE(model->headerData(3, Qt::Horizontal).toString().toStdString(), "Note");
    EXPECT_FALSE(model->headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
}

TEST_F(GridModelTest, RemovingAndResettingKeepTheOtherRows) {
    auto model = Model();
    model->Reset(Basket());
    QSignalSpy removed(model.get(), &QAbstractItemModel::rowsRemoved);
    for (int outside : {-1, 3, 100}) {
        model->Remove(outside);
        EXPECT_EQ(model->rowCount(), 3);
        EXPECT_EQ(model->RowAt(outside), nullptr);
    }
    EXPECT_EQ(removed.count(), 0);
    model->Remove(1);
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(removed.count(), 1);
    EXPECT_EQ(Text(*model, 0, TFruitColumn::Name), "apple");
    EXPECT_EQ(Text(*model, 1, TFruitColumn::Name), "melon");
    ASSERT_NE(model->RowAt(1), nullptr);
    EXPECT_EQ(model->RowAt(1)->Weight, 1200);
    model->Clear();
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(model->RowAt(0), nullptr);
}

TEST_F(GridModelTest, ADetailGridKeepsItsRowsWhenTheRowsItCameFromGo) {
    // The outer rows own vectors of detail rows, as a connection owns its results.
    struct TBasket {
        std::vector<TFruit> Fruits;
    };
    constexpr static TGridColumn<TBasket> kBasketColumns[] = {
        {.Header = "Count",
         .Display = [](const TBasket& b) -> QVariant { return int(b.Fruits.size()); }},
    };
    TGridModel<TBasket> baskets(kBasketColumns, nullptr);
    auto fruits = Model();
    const std::vector<TFruit> plums{{QStringLiteral("plum"), 30, {}}};
    const std::vector<TFruit> kiwis{{QStringLiteral("kiwi"), 70, {}}};
    baskets.Reset({TBasket{Basket()}, TBasket{plums}});
    fruits->Reset(baskets.RowAt(0)->Fruits);

    // The outer rows are replaced, then removed: the detail grid still has its own rows.
    baskets.Reset({TBasket{kiwis}});
    baskets.Remove(0);
    ASSERT_EQ(fruits->rowCount(), 3);
    EXPECT_EQ(Text(*fruits, 2, TFruitColumn::Name), "melon");
    EXPECT_EQ(Text(*fruits, 2, TFruitColumn::Note, Qt::ToolTipRole), "ripe in August");
}

} // namespace
