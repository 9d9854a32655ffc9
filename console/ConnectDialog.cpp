#include "ConnectDialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* AddField(QGridLayout* grid, const char* caption, const char* name) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(name));
    auto* label = new QLabel(QString::fromLatin1(caption));
    label->setBuddy(edit);
    const int row = grid->count() / 2;
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

// A group whose captions line up with those of the other group.
QGridLayout* AddGroup(QVBoxLayout* layout, const char* title) {
    auto* group = new QGroupBox(QString::fromLatin1(title));
    auto* grid = new QGridLayout(group);
    grid->setColumnMinimumWidth(0, 110);
    grid->setColumnMinimumWidth(1, 150);
    layout->addWidget(group);
    return grid;
}

} // namespace

TConnectDialog::TConnectDialog(QWidget* parent, const char* objectName, const char* title,
                               const char* addressTitle, std::initializer_list<TField> fields)
    : TCenteredDialog(parent) {
    setObjectName(QString::fromLatin1(objectName));
    setWindowTitle(QString::fromLatin1(title));

    auto* layout = new QVBoxLayout(this);
    QGridLayout* addressGrid = AddGroup(layout, addressTitle);
    for (const TField& field : fields)
        addressFields_.push_back(AddField(addressGrid, field.Caption, field.Name));
    PasswordEdit =
        AddField(AddGroup(layout, "Administrator Password"), "&Password", "PasswordEdit");
    PasswordEdit->setMaxLength(30);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PasswordEdit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

    OKBtn = new QPushButton(QStringLiteral("Connect"));
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton(QStringLiteral("Cancel"));
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    connect(OKBtn, &QPushButton::clicked, this, &TConnectDialog::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TConnectDialog::OKBtnClick() {
    if (ConnectAndLogin())
        accept();
    else
        setResult(0);
}
