#include "SrvStatusFormU.h"

#include "ViewRules.h"
#include "ViewSupport.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

TServerStatusForm::TServerStatusForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("ServerStatusForm"));
    setWindowTitle(QStringLiteral("Server Status"));

    auto* bar = MakeIconToolBar(this);
    RefreshAct =
        AddIconAction(bar, "RefreshAct", "Refresh", "view-refresh", QStyle::SP_BrowserReload);
    connect(RefreshAct, &QAction::triggered, this, [this] { RefreshActExecute(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(bar);

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
            layout->addWidget(group);
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
    layout->addStretch();
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool TServerStatusForm::RefreshView() {
    TServerStatusBlock block{};
    if (GetServerStatus(1, block) != kExchangeDone)
        return false;
    const std::vector<TStatusLine> lines = ServerStatusLines(block);
    for (std::size_t i = 0; i < lines.size() && i < ValueLabels.size(); ++i)
        ValueLabels[i]->setText(Utf8Text(lines[i].Value));
    return true;
}

void TServerStatusForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CenterOnScreen(this);
}
