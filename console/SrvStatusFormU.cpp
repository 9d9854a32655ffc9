#include "SrvStatusFormU.h"

#include "RequestRunner.h"
#include "ViewRules.h"
#include "ViewSupport.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A scroll area that asks for the whole size of what it holds, so that the window opens with
// nothing to scroll when the screen has room for it (a plain one asks for at most a few
// dozen lines).
class TWholeScrollArea final : public QScrollArea {
public:
    QSize sizeHint() const override {
        const int frame = 2 * frameWidth();
        return widget() != nullptr ? widget()->sizeHint() + QSize(frame, frame)
                                   : QScrollArea::sizeHint();
    }
};

} // namespace

TServerStatusForm::TServerStatusForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ServerStatusForm"));
    setWindowTitle(QStringLiteral("Server Status"));

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);

    // Without a frame and with the window's spacing, the groups stand where they would stand
    // in the window itself.
    GroupsArea = new TWholeScrollArea;
    GroupsArea->setObjectName(QStringLiteral("GroupsArea"));
    GroupsArea->setFrameShape(QFrame::NoFrame);
    GroupsArea->setWidgetResizable(true);
    // Reachable from the keyboard: arrows, Page Up and Page Down, Home and End scroll it.
    GroupsArea->setFocusPolicy(Qt::StrongFocus);
    auto* groups = new QWidget;
    groups->setObjectName(QStringLiteral("Groups"));
    auto* groupsLayout = new QVBoxLayout(groups);
    groupsLayout->setContentsMargins(0, 0, 0, 0);
    groupsLayout->setSpacing(layout->spacing());

    // The values are laid out in columns by their own blanks, so they take a fixed-pitch font.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    // The value columns of all four groups line up under each other.
    const std::vector<TStatusLine> lines = ServerStatusLines(TServerStatusBlock{});
    int captionWidth = 0;
    for (const TStatusLine& line : lines)
        captionWidth =
            std::max(captionWidth, fontMetrics().horizontalAdvance(Utf8Text(line.Caption)));
    QGroupBox* group = nullptr;
    QGridLayout* grid = nullptr;
    int row = 0;
    for (const TStatusLine& line : lines) {
        if (group == nullptr || group->title() != Utf8Text(line.Group)) {
            group = new QGroupBox(Utf8Text(line.Group));
            grid = new QGridLayout(group);
            grid->setColumnMinimumWidth(0, captionWidth);
            grid->setColumnStretch(2, 1);
            grid->setHorizontalSpacing(24);
            groupsLayout->addWidget(group);
            row = 0;
        }
        auto* caption = new QLabel(Utf8Text(line.Caption));
        auto* value = new QLabel;
        value->setFont(fixed);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setObjectName(QStringLiteral("Value%1").arg(ValueLabels.size()));
        // Room for the widest value, "Defined = 65535, Currently Open = 65535".
        value->setMinimumWidth(
            QFontMetrics(fixed).horizontalAdvance(QString(40, QLatin1Char('0'))));
        grid->addWidget(caption, row, 0);
        grid->addWidget(value, row, 1);
        ++row;
        CaptionLabels.push_back(caption);
        ValueLabels.push_back(value);
    }
    groupsLayout->addStretch();
    GroupsArea->setWidget(groups);
    layout->addWidget(GroupsArea, 1);
    resize(sizeHint());
}

void TServerStatusForm::FitInto(const QRect& available) {
    // The frame that the window system draws around the window counts against the screen.
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room = available.size() - frame;
    QSize size = this->size();
    if (size.height() > room.height()) {
        size.setHeight(room.height());
        // The vertical scroll bar takes its width beside the groups rather than from them.
        size.rwidth() += GroupsArea->verticalScrollBar()->sizeHint().width();
    }
    size = size.boundedTo(room).expandedTo(minimumSizeHint());
    if (size != this->size())
        resize(size);
}

bool TServerStatusForm::RefreshView() {
    TServerStatusBlock block{};
    if (RunConsoleRequest([&block] { return GetServerStatus(1, block); }) != kExchangeDone)
        return false;
    const std::vector<TStatusLine> lines = ServerStatusLines(block);
    for (std::size_t i = 0; i < lines.size() && i < ValueLabels.size(); ++i)
        ValueLabels[i]->setText(Utf8Text(lines[i].Value));
    return true;
}

void TServerStatusForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    QScreen* target = screen();
    if (target != nullptr)
        FitInto(target->availableGeometry());
    CenterOnScreen(this);
    GroupsArea->setFocus();
}
