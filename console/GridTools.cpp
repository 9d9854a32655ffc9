#include "GridTools.h"

#include "ConfigStore.h"
#include "DateTime.h"
#include "GridModel.h"
#include "MessageDialogs.h"
#include "ViewSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>

// ---- sorting and filtering

TGridProxy::TGridProxy(QAbstractItemModel* source, QObject* parent)
    : QSortFilterProxyModel(parent) {
    setSourceModel(source);
    setSortRole(kGridSortRole);
    setDynamicSortFilter(true);
    SetCollationLocale(QLocale());
}

void TGridProxy::SetCollationLocale(const QLocale& locale) {
    collator_ = QCollator(locale);
    collator_.setCaseSensitivity(Qt::CaseInsensitive);
    collator_.setNumericMode(true);
    if (sortColumn() >= 0)
        invalidate();
}

void TGridProxy::SetFilterText(const QString& text) {
    if (text == filter_)
        return;
    filter_ = text;
    invalidateRowsFilter();
}

bool TGridProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const QVariant l = left.data(kGridSortRole);
    const QVariant r = right.data(kGridSortRole);
    if (l.typeId() == QMetaType::QString && r.typeId() == QMetaType::QString) {
        const int order = collator_.compare(l.toString(), r.toString());
        // Texts the collation takes as equal still have one order.
        return order != 0 ? order < 0 : l.toString() < r.toString();
    }
    return QSortFilterProxyModel::lessThan(left, right);
}

bool TGridProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (filter_.isEmpty())
        return true;
    const QAbstractItemModel* source = sourceModel();
    const int columns = source->columnCount(sourceParent);
    for (int column = 0; column < columns; ++column)
        if (source->index(sourceRow, column, sourceParent)
                .data(Qt::DisplayRole)
                .toString()
                .contains(filter_, Qt::CaseInsensitive))
            return true;
    return false;
}

QAbstractItemModel* GridSourceModel(const QTableView* grid) {
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(grid->model());
    return proxy != nullptr ? proxy->sourceModel() : grid->model();
}

int GridSourceRow(const QTableView* grid, int shownRow) {
    QAbstractItemModel* model = grid->model();
    if (shownRow < 0 || shownRow >= model->rowCount())
        return -1;
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(model);
    return proxy != nullptr ? proxy->mapToSource(proxy->index(shownRow, 0)).row() : shownRow;
}

// ---- copy and export

namespace {

const char* const kJsonProperty = "zephranGridJson";
const char* const kFilterProperty = "zephranGridFilter";
const char* const kCountProperty = "zephranGridCount";

struct TGridJsonHolder : QObject {
    TGridJson Json;
};

// The rows to copy: the selected ones in the order shown, or every row shown.
std::vector<int> ShownRows(const QTableView* grid, bool selectedOnly) {
    std::vector<int> rows;
    const int count = grid->model()->rowCount();
    const QItemSelectionModel* selection = grid->selectionModel();
    if (selectedOnly && selection != nullptr && selection->hasSelection()) {
        for (const QModelIndex& index : selection->selectedRows())
            rows.push_back(index.row());
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    rows.reserve(static_cast<std::size_t>(count));
    for (int row = 0; row < count; ++row)
        rows.push_back(row);
    return rows;
}

QString HeaderText(const QAbstractItemModel* model, int column) {
    return model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
}

// A cell of tab-separated text stays one cell: its tabs and line breaks become spaces.
QString TabCell(QString text) {
    for (QChar& c : text)
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    return text;
}

QString CsvCell(QString text) {
    // A spreadsheet runs a cell that begins so as a formula: an apostrophe keeps it text.
    if (!text.isEmpty()) {
        const QChar first = text.front();
        if (first == QLatin1Char('=') || first == QLatin1Char('+') || first == QLatin1Char('-') ||
            first == QLatin1Char('@') || first == QLatin1Char('\t') || first == QLatin1Char('\r'))
            text.prepend(QLatin1Char('\''));
    }
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) ||
        text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        text.prepend(QLatin1Char('"'));
        text.append(QLatin1Char('"'));
    }
    return text;
}

void ExportAs(QTableView* grid) {
    QWidget* window = grid->window();
    QString filter;
    const QString path = QFileDialog::getSaveFileName(
        window, QStringLiteral("Export"), QString(),
        QStringLiteral("CSV files (*.csv);;JSON files (*.json)"), &filter);
    if (path.isEmpty())
        return;
    QString target = path;
    if (QFileInfo(target).suffix().isEmpty())
        target += filter.startsWith(QLatin1String("JSON")) ? QStringLiteral(".json")
                                                           : QStringLiteral(".csv");
    ExportGrid(grid, target);
}

QAction* AddGridAction(QTableView* grid, const char* name, const char* text,
                       QKeySequence::StandardKey key) {
    auto* action = new QAction(QString::fromLatin1(text), grid);
    action->setObjectName(QString::fromLatin1(name));
    if (key != QKeySequence::UnknownKey)
        action->setShortcut(key);
    action->setShortcutContext(Qt::WidgetShortcut);
    grid->addAction(action);
    return action;
}

} // namespace

namespace {

// The header row and the rows given of a grid as text: each cell made by `cell`, the cells of a
// row joined by `separator`, every row ended by `lineEnd`.
QString GridText(const QTableView* grid, const std::vector<int>& rows, QChar separator,
                 const QString& lineEnd, QString (*cell)(QString text)) {
    const QAbstractItemModel* model = grid->model();
    const int columns = model->columnCount();
    QString text;
    const auto addLine = [&](const auto& cellText) {
        for (int column = 0; column < columns; ++column) {
            if (column > 0)
                text += separator;
            text += cell(cellText(column));
        }
        text += lineEnd;
    };
    addLine([model](int column) { return HeaderText(model, column); });
    for (int row : rows)
        addLine([model, row](int column) { return model->index(row, column).data().toString(); });
    return text;
}

} // namespace

QString GridSelectionText(const QTableView* grid) {
    return GridText(grid, ShownRows(grid, true), QLatin1Char('\t'), QStringLiteral("\n"), TabCell);
}

void CopyGridSelection(const QTableView* grid) {
    QApplication::clipboard()->setText(GridSelectionText(grid));
}

QByteArray GridCsv(const QTableView* grid) {
    return GridText(grid, ShownRows(grid, false), QLatin1Char(','), QStringLiteral("\r\n"), CsvCell)
        .toUtf8();
}

QByteArray GridJsonText(const QTableView* grid) {
    const auto* holder = grid->property(kJsonProperty).value<QObject*>();
    const auto* json = dynamic_cast<const TGridJsonHolder*>(holder);
    TJsonText out;
    out.BeginObject().Key(json != nullptr && json->Json.ListKey != nullptr ? json->Json.ListKey
                                                                           : "rows");
    out.BeginArray();
    for (int row : ShownRows(grid, false)) {
        const int sourceRow = GridSourceRow(grid, row);
        if (json != nullptr && json->Json.Row) {
            json->Json.Row(out, sourceRow);
            continue;
        }
        // A grid without a record of its own: its cells under their titles.
        const QAbstractItemModel* model = grid->model();
        out.BeginObject();
        for (int column = 0; column < model->columnCount(); ++column)
            out.Key(HeaderText(model, column).toUtf8().constData())
                .String(model->index(row, column).data().toString());
        out.EndObject();
    }
    out.EndArray().EndObject();
    QByteArray text = out.Text();
    text += '\n';
    return text;
}

bool ExportGrid(const QTableView* grid, const QString& path) {
    const bool json =
        QFileInfo(path).suffix().compare(QLatin1String("json"), Qt::CaseInsensitive) == 0;
    return WriteWholeFileOrSay(path, json ? GridJsonText(grid) : GridCsv(grid));
}

void MakeGridTools(QTableView* grid, TGridJson json) {
    grid->setSortingEnabled(true);
    grid->horizontalHeader()->setSortIndicatorShown(true);
    grid->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    grid->horizontalHeader()->setSectionsClickable(true);
    if (grid->selectionMode() != QAbstractItemView::NoSelection)
        grid->setSelectionMode(QAbstractItemView::ExtendedSelection);
    grid->setContextMenuPolicy(Qt::ActionsContextMenu);

    auto* holder = new TGridJsonHolder;
    holder->setParent(grid);
    holder->Json = std::move(json);
    grid->setProperty(kJsonProperty, QVariant::fromValue(static_cast<QObject*>(holder)));

    QAction* copy = AddGridAction(grid, "CopyAct", "&Copy", QKeySequence::Copy);
    QObject::connect(copy, &QAction::triggered, grid, [grid] { CopyGridSelection(grid); });
    QAction* all = AddGridAction(grid, "SelectAllAct", "Select &All", QKeySequence::SelectAll);
    QObject::connect(all, &QAction::triggered, grid, [grid] {
        if (grid->selectionMode() != QAbstractItemView::NoSelection)
            grid->selectAll();
    });
    QAction* exportAct = AddGridAction(grid, "ExportAct", "&Export...", QKeySequence::UnknownKey);
    QObject::connect(exportAct, &QAction::triggered, grid, [grid] { ExportAs(grid); });
}

// ---- the filter field

namespace {

// Esc in the filter field clears a text; on an empty field it goes on to the window.
class TFilterKeys final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* edit = qobject_cast<QLineEdit*>(watched);
        if (edit != nullptr &&
            (event->type() == QEvent::ShortcutOverride || event->type() == QEvent::KeyPress)) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier &&
                !edit->text().isEmpty()) {
                if (event->type() == QEvent::KeyPress)
                    edit->clear();
                event->accept();
                return event->type() == QEvent::KeyPress;
            }
        }
        return false;
    }
};

} // namespace

QWidget* GridWithFilter(QWidget* window, QTableView* grid) {
    auto* panel = new QWidget;
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(MakeGridFilter(window, grid));
    layout->addWidget(grid, 1);
    return panel;
}

QWidget* MakeGridFilter(QWidget* window, QTableView* grid) {
    auto* proxy = qobject_cast<TGridProxy*>(grid->model());
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* edit = new QLineEdit;
    edit->setObjectName(grid->objectName() + QStringLiteral("Filter"));
    edit->setPlaceholderText(QStringLiteral("Filter"));
    edit->setClearButtonEnabled(true);
    edit->installEventFilter(new TFilterKeys(edit));
    auto* count = new QLabel;
    count->setObjectName(grid->objectName() + QStringLiteral("Count"));
    layout->addWidget(edit, 1);
    layout->addWidget(count);
    grid->setProperty(kFilterProperty, QVariant::fromValue(static_cast<QObject*>(edit)));
    grid->setProperty(kCountProperty, QVariant::fromValue(static_cast<QObject*>(count)));

    auto* find = new QAction(QStringLiteral("&Find"), window);
    find->setObjectName(grid->objectName() + QStringLiteral("FindAct"));
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    window->addAction(find);
    QObject::connect(find, &QAction::triggered, edit, [edit] {
        edit->setFocus(Qt::ShortcutFocusReason);
        edit->selectAll();
    });

    const auto updateCount = [proxy, count] {
        if (proxy == nullptr)
            return;
        count->setText(QStringLiteral("%1 of %2")
                           .arg(proxy->rowCount())
                           .arg(proxy->sourceModel()->rowCount()));
    };
    if (proxy != nullptr) {
        QObject::connect(edit, &QLineEdit::textChanged, proxy,
                         [proxy](const QString& text) { proxy->SetFilterText(text); });
        QObject::connect(proxy, &QAbstractItemModel::modelReset, count, updateCount);
        QObject::connect(proxy, &QAbstractItemModel::layoutChanged, count, updateCount);
        QObject::connect(proxy, &QAbstractItemModel::rowsInserted, count, updateCount);
        QObject::connect(proxy, &QAbstractItemModel::rowsRemoved, count, updateCount);
        QObject::connect(proxy->sourceModel(), &QAbstractItemModel::rowsRemoved, count,
                         updateCount);
        QObject::connect(proxy->sourceModel(), &QAbstractItemModel::modelReset, count, updateCount);
    }
    updateCount();
    return row;
}

QLineEdit* GridFilterEdit(const QTableView* grid) {
    return qobject_cast<QLineEdit*>(grid->property(kFilterProperty).value<QObject*>());
}

QLabel* GridCountLabel(const QTableView* grid) {
    return qobject_cast<QLabel*>(grid->property(kCountProperty).value<QObject*>());
}

void SetStandardShortcut(QAction* action, QKeySequence::StandardKey key) {
    action->setShortcut(key);
    const QString tip = action->toolTip();
    const QString keys = action->shortcut().toString(QKeySequence::NativeText);
    if (!keys.isEmpty() && !tip.endsWith(QLatin1Char(')')))
        action->setToolTip(tip + QStringLiteral(" (") + keys + QLatin1Char(')'));
}

// ---- the remembered layout

namespace {

// "LocConnForm/ColumnWidths" for a window's first grid, "LocConnForm/ResultGridColumnWidths"
// for the others.
std::string LayoutName(const QWidget* window, const char* what, const QWidget* grid = nullptr) {
    std::string name = window->objectName().toStdString() + "/";
    if (grid != nullptr)
        name += grid->objectName().toStdString();
    return name + what;
}

std::vector<int> ReadNumbers(const std::string& name) {
    std::vector<int> numbers;
    const IConfigStore* store = CurrentConfigStore();
    if (store == nullptr)
        return numbers;
    const TConfigValue value = store->Read(name);
    if (value.Kind != TConfigValueKind::String)
        return numbers;
    for (const QString& part : QString::fromStdString(value.Text).split(QLatin1Char(','))) {
        bool ok = false;
        const int number = part.trimmed().toInt(&ok);
        if (!ok)
            return {};
        numbers.push_back(number);
    }
    return numbers;
}

void WriteNumbers(const std::string& name, const std::vector<int>& numbers) {
    IConfigStore* store = CurrentConfigStore();
    if (store == nullptr)
        return;
    std::string text;
    for (int number : numbers) {
        if (!text.empty())
            text += ',';
        text += std::to_string(number);
    }
    store->WriteString(name, text);
}

// The title bar of a place must lie on a screen for the place to count.
bool OnSomeScreen(const QRect& place) {
    const QRect title(place.topLeft(), QSize(std::min(place.width(), 120), 24));
    for (const QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().intersected(title).width() >= 40)
            return true;
    return false;
}

class TLayoutKeeper final : public QObject {
public:
    TLayoutKeeper(QWidget* window, std::vector<QTableView*> grids, QSplitter* splitter)
        : QObject(window), window_(window), splitter_(splitter) {
        for (QTableView* grid : grids)
            grids_.emplace_back(grid);
        Restore();
        window->installEventFilter(this);
        connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { Save(); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Hide)
            Save();
        return false;
    }

private:
    void Restore() {
        for (std::size_t i = 0; i < grids_.size(); ++i) {
            QTableView* grid = grids_[i];
            const QWidget* named = i == 0 ? nullptr : grid;
            QHeaderView* header = grid->horizontalHeader();
            const std::vector<int> widths = ReadNumbers(LayoutName(window_, "ColumnWidths", named));
            if (static_cast<int>(widths.size()) == header->count())
                for (int column = 0; column < header->count(); ++column)
                    if (widths[static_cast<std::size_t>(column)] > 0 &&
                        header->sectionResizeMode(column) == QHeaderView::Interactive &&
                        !(header->stretchLastSection() && column == header->count() - 1))
                        header->resizeSection(column, widths[static_cast<std::size_t>(column)]);
            const std::vector<int> sort = ReadNumbers(LayoutName(window_, "Sort", named));
            if (sort.size() == 2 && sort[0] >= 0 && sort[0] < header->count() &&
                grid->isSortingEnabled())
                grid->sortByColumn(sort[0],
                                   sort[1] != 0 ? Qt::DescendingOrder : Qt::AscendingOrder);
        }
        if (splitter_ != nullptr) {
            const std::vector<int> sizes = ReadNumbers(LayoutName(window_, "Splitter"));
            if (static_cast<int>(sizes.size()) == splitter_->count() &&
                std::all_of(sizes.begin(), sizes.end(), [](int size) { return size >= 0; }))
                splitter_->setSizes(QList<int>(sizes.begin(), sizes.end()));
        }
        const std::vector<int> place = ReadNumbers(LayoutName(window_, "Geometry"));
        if (place.size() == 4 && place[2] > 0 && place[3] > 0) {
            const QRect rect(place[0], place[1], place[2], place[3]);
            if (OnSomeScreen(rect)) {
                window_->resize(rect.size());
                window_->move(rect.topLeft());
                window_->setProperty("zephranPlaced", true);
            } else {
                window_->resize(rect.size());
            }
        }
    }

    void Save() {
        if (window_ == nullptr)
            return;
        for (std::size_t i = 0; i < grids_.size(); ++i) {
            QTableView* grid = grids_[i];
            if (grid == nullptr)
                continue;
            const QWidget* named = i == 0 ? nullptr : grid;
            QHeaderView* header = grid->horizontalHeader();
            std::vector<int> widths;
            for (int column = 0; column < header->count(); ++column)
                widths.push_back(header->sectionSize(column));
            WriteNumbers(LayoutName(window_, "ColumnWidths", named), widths);
            if (grid->isSortingEnabled())
                WriteNumbers(LayoutName(window_, "Sort", named),
                             {header->sortIndicatorSection(),
                              header->sortIndicatorOrder() == Qt::DescendingOrder ? 1 : 0});
        }
        if (splitter_ != nullptr) {
            const QList<int> sizes = splitter_->sizes();
            WriteNumbers(LayoutName(window_, "Splitter"),
                         std::vector<int>(sizes.begin(), sizes.end()));
        }
        // The place of the frame, as move() takes it.
        const QPoint place = window_->pos();
        const QRect normal =
            window_->normalGeometry().isValid() ? window_->normalGeometry() : window_->geometry();
        WriteNumbers(LayoutName(window_, "Geometry"),
                     {place.x(), place.y(), normal.width(), normal.height()});
    }

    QPointer<QWidget> window_;
    std::vector<QPointer<QTableView>> grids_;
    QPointer<QSplitter> splitter_;
};

} // namespace

void KeepLayout(QWidget* window, std::vector<QTableView*> grids, QSplitter* splitter) {
    new TLayoutKeeper(window, std::move(grids), splitter);
}

// ---- JSON text

void TJsonText::Separate() {
    if (!first_)
        text_ += ',';
    first_ = false;
}

TJsonText& TJsonText::Open(char bracket) {
    Separate();
    text_ += bracket;
    first_ = true;
    return *this;
}

TJsonText& TJsonText::Close(char bracket) {
    text_ += bracket;
    first_ = false;
    return *this;
}

TJsonText& TJsonText::BeginObject() {
    return Open('{');
}

TJsonText& TJsonText::EndObject() {
    return Close('}');
}

TJsonText& TJsonText::BeginArray() {
    return Open('[');
}

TJsonText& TJsonText::EndArray() {
    return Close(']');
}

TJsonText& TJsonText::Key(const char* key) {
    String(QString::fromUtf8(key));
    text_ += ':';
    first_ = true;
    return *this;
}

TJsonText& TJsonText::String(const QString& value) {
    Separate();
    QString escaped;
    escaped.reserve(value.size() + 2);
    escaped += QLatin1Char('"');
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        switch (u) {
        case u'"':
            escaped += QLatin1String("\\\"");
            break;
        case u'\\':
            escaped += QLatin1String("\\\\");
            break;
        case u'\n':
            escaped += QLatin1String("\\n");
            break;
        case u'\r':
            escaped += QLatin1String("\\r");
            break;
        case u'\t':
            escaped += QLatin1String("\\t");
            break;
        default:
            if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
                escaped +=
                    QStringLiteral("\\u%1").arg(static_cast<unsigned>(u), 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    escaped += QLatin1Char('"');
    text_ += escaped.toUtf8();
    return *this;
}

TJsonText& TJsonText::Utf8(const std::string& value) {
    return String(QString::fromStdString(value));
}

TJsonText& TJsonText::Raw(const QByteArray& value) {
    Separate();
    text_ += value;
    return *this;
}

TJsonText& TJsonText::Number(long long value) {
    return Raw(QByteArray::number(value));
}

TJsonText& TJsonText::Real(double value) {
    if (!std::isfinite(value))
        return Null();
    return Raw(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
}

TJsonText& TJsonText::Bool(bool value) {
    return Raw(value ? QByteArrayLiteral("true") : QByteArrayLiteral("false"));
}

TJsonText& TJsonText::Null() {
    return Raw(QByteArrayLiteral("null"));
}

TJsonText& TJsonText::Time(double value) {
    const std::string text = FormatIsoDateTime(value);
    return text.empty() ? Null() : Utf8(text);
}
