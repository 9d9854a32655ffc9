#include "WaitWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TWaitWindow::TWaitWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("WaitWindow"));
    setWindowTitle(QStringLiteral("Please Wait"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    TextLB = new QLabel(QStringLiteral("Waiting for the server's answer..."));
    TextLB->setObjectName(QStringLiteral("TextLB"));
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    // Enter presses Cancel as well as Esc does: it is the only thing the window offers.
    CancelBtn->setDefault(true);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(CancelBtn);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 18, 24, 14);
    layout->setSpacing(14);
    layout->addWidget(TextLB);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
