#include "GridView.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLayout>
#include <QToolBar>
#include <QVBoxLayout>

QAction* AddRefreshButton(QToolBar* bar, std::function<void()> run) {
    QAction* action =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    SetStandardShortcut(action, QKeySequence::Refresh);
    QObject::connect(action, &QAction::triggered, bar, std::move(run));
    return action;
}

QAction* AddDeleteButton(QToolBar* bar, const char* objectName, const char* toolTip,
                         std::function<void()> run, QAction* before) {
    auto* action = new QAction(ThemeIcon("edit-delete", QStyle::SP_TrashIcon), QString(), bar);
    action->setObjectName(QString::fromLatin1(objectName));
    action->setToolTip(QString::fromLatin1(toolTip));
    bar->insertAction(before, action);
    SetStandardShortcut(action, QKeySequence::Delete);
    QObject::connect(action, &QAction::triggered, bar, std::move(run));
    return action;
}

QLabel* MakeGridHeading(const char* text) {
    auto* heading = new QLabel(QString::fromLatin1(text));
    heading->setAlignment(Qt::AlignCenter);
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    return heading;
}

QWidget* MakeDetailsPane(QLayout* details, QLabel* heading, QTableView* grid) {
    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    if (details != nullptr)
        layout->addLayout(details);
    layout->addWidget(heading);
    layout->addWidget(grid, 1);
    return pane;
}

TGridView::TGridView(QWidget* parent, const char* objectName, const char* title)
    : TCenteredDialog(parent) {
    setObjectName(QString::fromLatin1(objectName));
    setWindowTitle(QString::fromLatin1(title));
    ToolBar = MakeIconToolBar(this);
    RefreshAct = AddRefreshButton(ToolBar, [this] { RefreshActExecute(); });
    AutoRefresh = AddAutoRefresh(this, ToolBar, [this](bool automatic) { return Load(automatic); });
}

QAction* TGridView::AddDeleteAction(const char* objectName, const char* toolTip,
                                    std::function<void()> run) {
    // The delete action stands beside Refresh, before the Auto Refresh control.
    const QList<QAction*> actions = ToolBar->actions();
    const qsizetype refresh = actions.indexOf(RefreshAct);
    return AddDeleteButton(ToolBar, objectName, toolTip, std::move(run),
                           refresh + 1 < actions.size() ? actions[refresh + 1] : nullptr);
}

void TGridView::SetMainGrid(QTableView* grid) {
    mainGrid_ = grid;
    connect(grid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { ShowCurrent(); });
}

void TGridView::SetBody(QWidget* body) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(ToolBar);
    layout->addWidget(body, 1);
    StatusLine = AddStatusLine(layout, AutoRefresh);
}

int TGridView::CurrentRow() const {
    return CurrentGridRow(mainGrid_);
}

void TGridView::SetCurrentRow(int row) {
    SetCurrentGridRow(mainGrid_, row);
    ShowCurrent();
}

void TGridView::AfterReload(const TGridPlace& place, bool keepPlace) {
    if (keepPlace) {
        RestoreGridPlace(mainGrid_, place);
        ShowCurrent();
    } else {
        SetCurrentRow(0);
    }
}
