// The console's message box: captions, icons, button order, Enter and Esc, the close button,
// and the text's layout.

#include "ConsoleTestSupport.h"
#include "QtMessagePresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>

namespace {

using B = TMsgDlgBtn;

struct TBoxCase {
    TMsgDlgType Kind;
    TMsgDlgButtons Buttons;
    std::string Caption; // empty: the application title
    QMessageBox::Icon Icon;
    std::vector<std::string> Order;
    std::string Default;
    std::string Escape;
};

const TBoxCase kBoxCases[] = {
    {TMsgDlgType::mtError, {B::mbOK}, "Error", QMessageBox::Critical, {"OK"}, "OK", "OK"},
    {TMsgDlgType::mtConfirmation,
     {B::mbCancel, B::mbNo, B::mbYes},
     "Confirm",
     QMessageBox::Question,
     {"&Yes", "&No", "Cancel"},
     "&Yes",
     "Cancel"},
    {TMsgDlgType::mtInformation,
     {B::mbOK},
     "Information",
     QMessageBox::Information,
     {"OK"},
     "OK",
     "OK"},
    {TMsgDlgType::mtCustom, {B::mbOK}, "", QMessageBox::NoIcon, {"OK"}, "OK", "OK"},
    {TMsgDlgType::mtCustom,
     {B::mbNo, B::mbYes},
     "",
     QMessageBox::NoIcon,
     {"&Yes", "&No"},
     "&Yes",
     "&No"},
};

std::string Caption(const QAbstractButton* b) {
    return b ? b->text().toStdString() : "(none)";
}

TEST(QtMessageBox, CaptionsIconsOrderDefaultAndEscapeOfEveryCombination) {
    for (const TBoxCase& c : kBoxCases) {
        SCOPED_TRACE(c.Order.size() == 1 ? c.Caption + " OK" : c.Caption + " question");
        std::unique_ptr<QMessageBox> box =
            TQtMessagePresenter::BuildBox(MakeMessageRequest("text", c.Kind, c.Buttons));
        box->show();
        QCoreApplication::processEvents();
        EXPECT_EQ(box->windowTitle().toStdString(),
                  c.Caption.empty() ? ApplicationTitle() : c.Caption);
        EXPECT_EQ(box->icon(), c.Icon);
        // Left to right as they stand on the screen.
        const QList<QAbstractButton*> all = box->buttons();
        std::vector<QAbstractButton*> buttons(all.begin(), all.end());
        std::sort(buttons.begin(), buttons.end(), [](auto* a, auto* b) {
            return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x();
        });
        std::vector<std::string> order;
        for (auto* b : buttons)
            order.push_back(Caption(b));
        EXPECT_EQ(order, c.Order);
        EXPECT_EQ(Caption(box->defaultButton()), c.Default);
        EXPECT_EQ(Caption(box->escapeButton()), c.Escape);
        box->hide();
    }
}

TEST(QtMessageBox, EscCloseAndEnterGiveTheCancelAndDefaultButtons) {
    TQtMessagePresenter presenter;
    const TMessageRequest question = MakeMessageRequest(
        "Are you sure?", TMsgDlgType::mtConfirmation, {B::mbYes, B::mbNo, B::mbCancel});
    const TMessageRequest yesNo =
        MakeMessageRequest("Abort?", TMsgDlgType::mtCustom, {B::mbYes, B::mbNo});
    struct {
        const char* Name;
        const TMessageRequest* Request;
        std::function<void(QWidget*)> Answer;
        B Expected;
    } cases[] = {
        {"Esc", &question, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }, B::mbCancel},
        {"close button", &question, [](QWidget* w) { w->close(); }, B::mbCancel},
        {"Enter", &question, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }, B::mbYes},
        {"Esc without Cancel", &yesNo, [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); },
         B::mbNo},
        {"close without Cancel", &yesNo, [](QWidget* w) { w->close(); }, B::mbNo},
        {"No clicked", &question,
         [](QWidget* w) {
             for (auto* b : static_cast<QMessageBox*>(w)->buttons())
                 if (b->text() == QStringLiteral("&No"))
                     b->click();
         },
         B::mbNo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        WhenModal(c.Answer);
        EXPECT_EQ(presenter.Present(*c.Request), c.Expected);
    }
}

TEST(QtMessageBox, TextFoldsAmpersandsBreaksLinesAndReadsLeftToRight) {
    std::unique_ptr<QMessageBox> box = TQtMessagePresenter::BuildBox(MakeMessageRequest(
        "Tom && Jerry\r\n\xD8\xAE\xD8\xB7\xD8\xA7 91", TMsgDlgType::mtError, {B::mbOK}));
    const QString lrm(QChar(0x200E));
    EXPECT_EQ(box->text(), lrm + QStringLiteral("Tom & Jerry\n") + lrm +
                               QString::fromUtf8("\xD8\xAE\xD8\xB7\xD8\xA7 91"));
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->layoutDirection(), Qt::LeftToRight);
    // The Farsi line's paragraph reads left to right because of its leading mark.
    EXPECT_FALSE(box->text().split(QLatin1Char('\n'))[1].isRightToLeft());
}

} // namespace
