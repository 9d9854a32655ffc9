#include "QtMessagePresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QVariant>

namespace {

constexpr char kButtonProperty[] = "zephranButton";

// A left-to-right mark at the start of a line makes the line read left to right even when its
// first letter is Farsi.
constexpr QChar kLeftToRightMark(0x200E);

QMessageBox::Icon IconOf(TMsgDlgType kind) {
    switch (kind) {
    case TMsgDlgType::mtError:
        return QMessageBox::Critical;
    case TMsgDlgType::mtInformation:
        return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation:
        return QMessageBox::Question;
    case TMsgDlgType::mtCustom:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

QString TQtMessagePresenter::BoxText(const std::string& text) {
    const QStringList lines =
        QString::fromStdString(DisplayedMessageText(text)).split(QLatin1Char('\n'));
    QStringList marked;
    marked.reserve(lines.size());
    for (const QString& line : lines)
        marked.append(kLeftToRightMark + line);
    return marked.join(QLatin1Char('\n'));
}

std::unique_ptr<QMessageBox> TQtMessagePresenter::BuildBox(const TMessageRequest& request) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QString::fromStdString(request.Caption));
    box->setIcon(IconOf(request.Kind));
    box->setTextFormat(Qt::PlainText);
    box->setText(BoxText(request.Text));
    box->setLayoutDirection(Qt::LeftToRight);
    // Every button takes the same role, so that the platform's button layout keeps them in
    // the order they are added.
    for (TMsgDlgBtn b : request.Order) {
        QPushButton* button =
            box->addButton(QString::fromStdString(ButtonCaption(b)), QMessageBox::ActionRole);
        button->setProperty(kButtonProperty, static_cast<int>(b));
        if (b == request.DefaultButton)
            box->setDefaultButton(button);
        if (b == request.CancelButton)
            box->setEscapeButton(button);
    }
    return box;
}

TMsgDlgBtn TQtMessagePresenter::ButtonOf(const QAbstractButton* button, TMsgDlgBtn otherwise) {
    if (button == nullptr)
        return otherwise;
    const QVariant value = button->property(kButtonProperty);
    return value.isValid() ? static_cast<TMsgDlgBtn>(value.toInt()) : otherwise;
}

TMsgDlgBtn TQtMessagePresenter::Present(const TMessageRequest& request) {
    std::unique_ptr<QMessageBox> box = BuildBox(request);
    box->exec();
    // The window's close button presses the escape button, which is the request's cancel
    // button; a box closed any other way counts as that button as well.
    return ButtonOf(box->clickedButton(), request.CancelButton);
}
