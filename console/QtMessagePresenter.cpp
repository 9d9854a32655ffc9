#include "QtMessagePresenter.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QVariant>

namespace {

constexpr char kButtonProperty[] = "zephranButton";

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

#if defined(Q_OS_WIN)
// Answers Ctrl+C in a box with the copy of BoxCopyText.
class TBoxCopy final : public QObject {
public:
    TBoxCopy(QMessageBox* box, QString copy) : QObject(box), copy_(std::move(copy)) {}

    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() != QEvent::KeyPress ||
            !static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy))
            return false;
        QGuiApplication::clipboard()->setText(copy_);
        return true;
    }

private:
    QString copy_;
};
#endif

} // namespace

QStringList TQtMessagePresenter::BoxLines(const std::string& text) {
    return QString::fromStdString(DisplayedMessageText(text)).split(QLatin1Char('\n'));
}

QString TQtMessagePresenter::BoxText(const std::string& text) {
    QString html;
    for (const QString& line : BoxLines(text)) {
        // The paragraph rule: the first strong letter decides; a line without one reads left
        // to right. Blanks are kept as they are and the margins of a paragraph are none, so
        // that the lines stand as plain text lines would.
        html += line.isRightToLeft() ? QStringLiteral("<p dir=\"rtl\" style=\"")
                                     : QStringLiteral("<p dir=\"ltr\" style=\"");
        if (line.isEmpty()) {
            // An empty paragraph is kept only when it says so.
            html += QStringLiteral("-qt-paragraph-type:empty; margin:0\"><br /></p>");
            continue;
        }
        html += QStringLiteral("margin:0; white-space:pre-wrap\">");
        html += line.toHtmlEscaped();
        html += QStringLiteral("</p>");
    }
    return html;
}

std::unique_ptr<QMessageBox> TQtMessagePresenter::BuildBox(const TMessageRequest& request) {
    auto box = std::make_unique<QMessageBox>();
    box->setWindowTitle(QString::fromStdString(request.Caption));
    box->setIcon(IconOf(request.Kind));
    box->setTextFormat(Qt::RichText);
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
#if defined(Q_OS_WIN)
    // The platform's own copy takes the label's text, which is markup here.
    box->installEventFilter(new TBoxCopy(box.get(), BoxCopyText(*box, request.Text)));
#endif
    return box;
}

QString TQtMessagePresenter::BoxCopyText(const QMessageBox& box, const std::string& text) {
    const QString separator = QStringLiteral("---------------------------\n");
    QString copy = separator + box.windowTitle() + QLatin1Char('\n') + separator +
                   BoxLines(text).join(QLatin1Char('\n')) + QLatin1Char('\n') + separator;
    for (const QAbstractButton* button : box.buttons())
        copy += button->text() + QStringLiteral("   ");
    return copy + QLatin1Char('\n') + separator;
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
