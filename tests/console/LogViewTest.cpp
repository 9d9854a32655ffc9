// The error log view's find, selection by character, context menu and Save As, through its
// keys and mouse against the reference server, and the text area alone.

#include "ConsoleTestSupport.h"
#include "ErrLogFormU.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

class LogViewTest : public ConsoleTest {
protected:
    TErrorLogForm& Open(const std::vector<std::string>& lines) {
        json fixture = SmallInstallation();
        fixture["error_log"] = {{"lines", lines}, {"line_end", "crlf"}};
        StartServer(fixture);
        MakeMainForm();
        EXPECT_TRUE(ConnectTcp(server_->Port(), "secret"));
        TErrorLogForm& view = *form_->ErrorLogForm;
        view.resize(600, 300);
        view.show();
        view.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&view));
        EXPECT_TRUE(view.RefreshView());
        view.LogMemo->setFocus();
        return view;
    }
};

TEST(LogViewAloneTest, FindMarksEveryMatchAndGoesRoundBothWays) {
    TLogView log;
    log.SetPlainText(QStringLiteral("Error one\nerror two\nno fault\nERROR three"));
    struct {
        const char* Find;
        qsizetype Count;
    } counts[] = {{"error", 3}, {"o", 6}, {"three", 1}, {"missing", 0}, {"", 0}};
    for (const auto& c : counts) {
        SCOPED_TRACE(c.Find);
        log.SetFindText(QString::fromLatin1(c.Find));
        EXPECT_EQ(log.MatchCount(), c.Count);
    }
    log.SetFindText(QStringLiteral("error"));
    std::vector<qsizetype> forward;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(log.FindNext());
        forward.push_back(log.Selection().first);
    }
    EXPECT_EQ(forward, (std::vector<qsizetype>{0, 10, 29, 0}));
    EXPECT_EQ(log.SelectedText().toStdString(), "Error");
    std::vector<qsizetype> back;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(log.FindPrevious());
        back.push_back(log.CurrentMatch());
    }
    EXPECT_EQ(back, (std::vector<qsizetype>{2, 1, 0}));
    // A new text keeps the find and marks it again.
    log.SetPlainText(QStringLiteral("error"));
    EXPECT_EQ(log.MatchCount(), 1);
    EXPECT_EQ(log.CurrentMatch(), -1);
    log.SetFindText(QStringLiteral("missing"));
    EXPECT_FALSE(log.FindNext());
    EXPECT_FALSE(log.FindPrevious());
}

TEST_F(LogViewTest, FindFromTheKeysShowsTheCountAndTheMatchInView) {
    std::vector<std::string> lines;
    for (int i = 0; i < 300; ++i)
        lines.push_back(i % 100 == 50 ? "line " + std::to_string(i) + " DISK FULL"
                                      : "line " + std::to_string(i));
    TErrorLogForm& view = Open(lines);
    QTest::keyClick(view.LogMemo, Qt::Key_F, Qt::ControlModifier);
    EXPECT_TRUE(view.FindBar->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), view.FindEdit);
    QTest::keyClicks(view.FindEdit, QStringLiteral("disk full"));
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "3 matches");

    QTest::keyClick(view.FindEdit, Qt::Key_F3);
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "1 of 3");
    EXPECT_EQ(view.LogMemo->SelectedText().toStdString(), "DISK FULL");
    QTest::keyClick(view.FindEdit, Qt::Key_F3);
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "2 of 3");
    // The line of the match is in view.
    const int line = view.LogMemo->LineOf(view.LogMemo->Cursor());
    EXPECT_EQ(line, 150);
    const int top = view.LogMemo->TopLine();
    EXPECT_LE(top, line);
    EXPECT_LT(line, top + view.LogMemo->verticalScrollBar()->pageStep());
    QTest::keyClick(view.FindEdit, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "1 of 3");
    QTest::keyClick(view.FindEdit, Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "3 of 3");

    view.FindEdit->setText(QStringLiteral("nowhere"));
    EXPECT_EQ(view.MatchCountLbl->text().toStdString(), "No matches");

    // Esc closes the find bar, not the window; the log has the focus again.
    QTest::keyClick(view.FindEdit, Qt::Key_Escape);
    EXPECT_FALSE(view.FindBar->isVisible());
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(QApplication::focusWidget(), view.LogMemo);
    view.hide();
}

TEST_F(LogViewTest, TextIsSelectedByCharacterWithKeysAndMouse) {
    TErrorLogForm& view = Open({"2024/01/02 disk full", "second entry", "newest entry"});
    TLogView* log = view.LogMemo;

    // Shift+arrows select characters, across a line end too.
    QTest::keyClick(log, Qt::Key_Home, Qt::ControlModifier);
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(log, Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(log->SelectedText().toStdString(), "2024");
    QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(log->SelectedText().toStdString(), "2024/01/02 disk full\nseco");
    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), "2024/01/02 disk full\nseco");

    // Ctrl+End goes to the newest entries.
    QTest::keyClick(log, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(log->Cursor(), log->toPlainText().size());
    EXPECT_TRUE(log->SelectedText().isEmpty());

    // A double click takes a word; a drag and a Shift+click take what lies between.
    const int height = log->fontMetrics().lineSpacing();
    const int left = log->fontMetrics().horizontalAdvance(QLatin1Char(' '));
    const auto at = [&](int line, const QString& before) {
        return QPoint(left + log->fontMetrics().horizontalAdvance(before) + 1,
                      line * height + height / 2);
    };
    QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, at(1, QStringLiteral("sec")));
    EXPECT_EQ(log->SelectedText().toStdString(), "second");
    QTest::mousePress(log->viewport(), Qt::LeftButton, {}, at(0, QStringLiteral("2024/01/02 ")));
    QTest::mouseMove(log->viewport(), at(0, QStringLiteral("2024/01/02 disk")));
    QTest::mouseRelease(log->viewport(), Qt::LeftButton, {},
                        at(0, QStringLiteral("2024/01/02 disk")));
    EXPECT_EQ(log->SelectedText().toStdString(), "disk");
    QTest::mouseClick(log->viewport(), Qt::LeftButton, Qt::ShiftModifier,
                      at(2, QStringLiteral("newest")));
    EXPECT_EQ(log->SelectedText().toStdString(), "disk full\nsecond entry\nnewest");

    // The context menu.
    Texts menu;
    for (QAction* action : log->actions())
        menu.push_back(action->text().toStdString());
    EXPECT_EQ(menu, (Texts{"&Copy", "Select &All", "&Find...", "&Save As..."}));
    view.hide();
}

TEST_F(LogViewTest, SaveAsWritesTheLogAsShownInUtf8) {
    TErrorLogForm& view = Open({"first", "کتابخانه مرکزي", "last"});
    const std::string path = folder_.Path() + "log.txt";
    ASSERT_TRUE(view.SaveAs(QString::fromStdString(path)));
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
#if defined(_WIN32)
    const std::string end = "\r\n";
#else
    const std::string end = "\n";
#endif
    EXPECT_EQ(file.readAll().toStdString(), "first" + end + "کتابخانه مرکزي" + end + "last" + end);

    // A file that cannot be written is told.
    boxes_.Clear();
    EXPECT_FALSE(view.SaveAs(QString::fromStdString(folder_.Path() + "none/log.txt")));
    ASSERT_EQ(boxes_.Texts().size(), 1u);
    EXPECT_EQ(boxes_.Texts()[0].rfind("Cannot write the file ", 0), 0u);
    view.hide();
}

} // namespace
