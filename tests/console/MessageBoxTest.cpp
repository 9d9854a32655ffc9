// The console's message box: captions, icons, button order, Enter and Esc, the close button,
// and the direction each line of the text is laid out in.

#include "ConsoleTestSupport.h"
#include "QtMessagePresenter.h"
#include "ServerErrorTexts.h"

#include <QAbstractButton>
#include <QAbstractTextDocumentLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
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

// One line of a box as it is laid out: its characters and its direction.
struct TShownLine {
    std::string Text;
    Qt::LayoutDirection Direction;
};

// The lines of a shown box's label as its text document lays them out; empty when the label
// draws no document.
std::vector<TShownLine> ShownLines(const QMessageBox& box) {
    std::vector<TShownLine> lines;
    const auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    const QTextDocument* doc = label ? label->findChild<QTextDocument*>() : nullptr;
    if (doc == nullptr)
        return lines;
    doc->documentLayout()->documentSize(); // lays the document out
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        const QTextLayout* layout = block.layout();
        Qt::LayoutDirection direction = layout->textOption().textDirection();
        // Where the first and the last character stand on the first laid-out line tells the
        // direction the reader meets them in.
        if (layout->lineCount() > 0 && block.length() > 1) {
            const QTextLine line = layout->lineAt(0);
            const qreal first = line.cursorToX(0);
            const qreal last = line.cursorToX(line.textLength());
            if ((first < last) != (direction == Qt::LeftToRight))
                ADD_FAILURE() << "line " << block.text().toStdString() << " drawn against its "
                              << "direction";
        }
        lines.push_back({block.text().toStdString(), direction});
    }
    return lines;
}

TEST(QtMessageBox, EachLineIsLaidOutInTheDirectionOfItsFirstStrongLetter) {
    constexpr auto L = Qt::LeftToRight;
    constexpr auto R = Qt::RightToLeft;
    const std::string farsiHeading = "خطاي شماره5 هنگام اجراي درخواست در \"سرور\"";
    struct {
        const char* Name;
        std::string Text;
        std::vector<TShownLine> Lines;
    } cases[] = {
        {"Farsi server error with a Latin tag inside",
         ServerErrorText(5),
         {{farsiHeading, R}, {"عدم تطابق درخواست با نسخه سرور (RequestVersionMismatch).", R}}},
        {"Farsi text with its trailing blank and a marked placeholder",
         "خطا در فهرست. \r\nحجم فايل (\u200E??? بايت) بيشتر است.",
         {{"خطا در فهرست. ", R}, {"حجم فايل (\u200E??? بايت) بيشتر است.", R}}},
        {"English server error",
         "Server Error Number 5\r\nRequest version mismatch.",
         {{"Server Error Number 5", L}, {"Request version mismatch.", L}}},
        {"English client internal error",
         "Client Internal Error Number 265 (Request Execution Aborted).",
         {{"Client Internal Error Number 265 (Request Execution Aborted).", L}}},
        {"English line first, Farsi name after it, Farsi line after",
         "Center  A&&B <b>x</b>: کتابخانه\r\rسرور MAIN\n",
         {{"Center  A&B <b>x</b>: کتابخانه", L}, {"", L}, {"سرور MAIN", R}, {"", L}}},
        {"a line of digits and signs only", "91 - ???", {{"91 - ???", L}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::unique_ptr<QMessageBox> box = TQtMessagePresenter::BuildBox(
            MakeMessageRequest(c.Text, TMsgDlgType::mtError, {B::mbOK}));
        box->show();
        QCoreApplication::processEvents();
        // The box itself, its icon and its buttons stay left to right.
        EXPECT_EQ(box->layoutDirection(), Qt::LeftToRight);
        const std::vector<TShownLine> shown = ShownLines(*box);
        ASSERT_EQ(shown.size(), c.Lines.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            SCOPED_TRACE(i);
            // Character for character the line of the text: nothing added, nothing folded.
            EXPECT_EQ(shown[i].Text, c.Lines[i].Text);
            EXPECT_EQ(shown[i].Direction, c.Lines[i].Direction);
        }
        box->hide();
    }
}

TEST(QtMessageBox, EveryFarsiServerErrorReadsRightToLeftOnBothLines) {
    ASSERT_TRUE(UseFarsiMessages);
    for (std::uint16_t number = 1; number <= kServerErrorCount; ++number) {
        SCOPED_TRACE(number);
        std::unique_ptr<QMessageBox> box = TQtMessagePresenter::BuildBox(
            MakeMessageRequest(ServerErrorText(number), TMsgDlgType::mtError, {B::mbOK}));
        box->show();
        QCoreApplication::processEvents();
        const std::vector<TShownLine> shown = ShownLines(*box);
        box->hide();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0].Direction, Qt::RightToLeft);
        EXPECT_EQ(shown[1].Direction, Qt::RightToLeft);
        EXPECT_EQ(shown[1].Text, ServerErrorMessages[number - 1].Farsi);
    }
}

TEST(QtMessageBox, ACopyOfTheBoxHoldsItsLinesNotItsMarkup) {
    std::unique_ptr<QMessageBox> box = TQtMessagePresenter::BuildBox(MakeMessageRequest(
        "A && <B>\r\nسرور MAIN", TMsgDlgType::mtConfirmation, {B::mbYes, B::mbNo}));
    const std::string separator = "---------------------------\n";
    EXPECT_EQ(TQtMessagePresenter::BoxCopyText(*box, "A && <B>\r\nسرور MAIN").toStdString(),
              separator + "Confirm\n" + separator + "A & <B>\nسرور MAIN\n" + separator +
                  "&Yes   &No   \n" + separator);
}

} // namespace
