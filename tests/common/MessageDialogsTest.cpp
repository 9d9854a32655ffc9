#include "MessageDialogs.h"
#include "MessagePresenters.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using B = TMsgDlgBtn;

TEST(MessageDialogs, ButtonsStandInOrderWithTheirDefaultAndCancel) {
    struct Case {
        const char* name;
        TMsgDlgButtons buttons;
        std::vector<B> order;
        B defaultButton;
        B cancelButton;
    } cases[] = {
        {"OK", {B::mbOK}, {B::mbOK}, B::mbOK, B::mbOK},
        {"Yes No Cancel",
         {B::mbCancel, B::mbNo, B::mbYes},
         {B::mbYes, B::mbNo, B::mbCancel},
         B::mbYes,
         B::mbCancel},
        {"Yes No", {B::mbNo, B::mbYes}, {B::mbYes, B::mbNo}, B::mbYes, B::mbNo},
        {"OK Cancel", {B::mbCancel, B::mbOK}, {B::mbOK, B::mbCancel}, B::mbOK, B::mbCancel},
        {"all four",
         {B::mbOK, B::mbCancel, B::mbNo, B::mbYes},
         {B::mbYes, B::mbNo, B::mbOK, B::mbCancel},
         B::mbOK,
         B::mbCancel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TMessageRequest r = MakeMessageRequest("t", TMsgDlgType::mtConfirmation, c.buttons);
        EXPECT_EQ(r.Order, c.order);
        EXPECT_EQ(r.DefaultButton, c.defaultButton);
        EXPECT_EQ(r.CancelButton, c.cancelButton);
    }
    EXPECT_EQ(ButtonCaption(B::mbYes), "&Yes");
    EXPECT_EQ(ButtonCaption(B::mbNo), "&No");
    EXPECT_EQ(ButtonCaption(B::mbOK), "OK");
    EXPECT_EQ(ButtonCaption(B::mbCancel), "Cancel");
}

TEST(MessageDialogs, KindsGiveTheirCaptions) {
    SetApplicationFileName("ZEPHRAN-CONSOLE.EXE");
    EXPECT_EQ(KindCaption(TMsgDlgType::mtError), "Error");
    EXPECT_EQ(KindCaption(TMsgDlgType::mtInformation), "Information");
    EXPECT_EQ(KindCaption(TMsgDlgType::mtConfirmation), "Confirm");
    EXPECT_EQ(KindCaption(TMsgDlgType::mtCustom), "Zephran-console");
    SetApplicationFileName("zephran-admin");
    EXPECT_EQ(ApplicationTitle(), "zephran-admin");
    SetApplicationFileName("A.b.c");
    EXPECT_EQ(ApplicationTitle(), "A");
}

TEST(MessageDialogs, ShortFormIsAnErrorWithOneOk) {
    TRecordingMessagePresenter recorder;
    ShowMessageBox("Out of Memory.");
    ASSERT_EQ(recorder.Messages().size(), 1u);
    const TMessageRequest& m = recorder.Messages()[0];
    EXPECT_EQ(m.Text, "Out of Memory.");
    EXPECT_EQ(m.Kind, TMsgDlgType::mtError);
    EXPECT_EQ(m.Caption, "Error");
    EXPECT_EQ(m.Order, std::vector<B>{B::mbOK});
}

TEST(MessageDialogs, RecorderAnswersFromItsScriptThenWithTheDefault) {
    TRecordingMessagePresenter recorder;
    recorder.Answer(B::mbNo);
    const TMsgDlgButtons ync{B::mbYes, B::mbNo, B::mbCancel};
    EXPECT_EQ(ShowMessageDialog("q1", TMsgDlgType::mtConfirmation, ync), B::mbNo);
    EXPECT_EQ(ShowMessageDialog("q2", TMsgDlgType::mtConfirmation, ync), B::mbYes);
    EXPECT_EQ(recorder.Texts(), (std::vector<std::string>{"q1", "q2"}));
}

TEST(MessageDialogs, DisplayedTextFoldsAmpersandsAndLineBreaks) {
    EXPECT_EQ(DisplayedMessageText("R&&D"), "R&D");
    EXPECT_EQ(DisplayedMessageText("a&&&&b&c"), "a&&b&c");
    EXPECT_EQ(DisplayedMessageText("one\r\ntwo\rthree\nfour"), "one\ntwo\nthree\nfour");
}

TEST(MessageDialogs, StandardErrorPresenterWritesAndAnswersForTheUser) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    TStderrMessagePresenter presenter(out);
    IMessagePresenter* previous = SetMessagePresenter(&presenter);
    ShowMessageBox("Heading\r\nA&&B");
    EXPECT_EQ(
        ShowMessageDialog("Delete?", TMsgDlgType::mtConfirmation, {B::mbYes, B::mbNo, B::mbCancel}),
        B::mbYes);
    EXPECT_EQ(ShowMessageDialog("slow", TMsgDlgType::mtCustom, {B::mbYes, B::mbNo}), B::mbYes);
    EXPECT_EQ(ShowMessageDialog("note", TMsgDlgType::mtInformation, {B::mbOK}), B::mbOK);
    SetMessagePresenter(previous);
    std::rewind(out);
    char buf[256] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buf, n), "Heading\nA&B\nslow\nnote\n") << "confirmations are not written";
}

// Texts of a box may hold what a peer sent: the presenter shows its control characters escaped
// after the box's own folding of line ends and "&&".
TEST(MessageDialogs, StandardErrorPresenterEscapesControlCharacters) {
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {"user \x1b]0;owned\x07 not found", "user \\x1b]0;owned\\x07 not found\n"},
        {"clear\x1b[2J\x1b[H", "clear\\x1b[2J\\x1b[H\n"},
        {"line\r\nbreak\rand\nfeed", "line\nbreak\nand\nfeed\n"},
        {"R&&D\ttab", "R&D\ttab\n"},
        {std::string("nul\0bell\x07"
                     "del\x7f",
                     13),
         "nul\\x00bell\\x07del\\x7f\n"},
        {"c1 \xc2\x9b csi, \xc2\xa0 kept", "c1 \\u009b csi, \xc2\xa0 kept\n"},
        {"not utf-8 \xff", "not utf-8 \\xff\n"},
        {"\xd8\xb3\xd8\xa7\xd8\xb1\xd8\xa7", "\xd8\xb3\xd8\xa7\xd8\xb1\xd8\xa7\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.written);
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        TStderrMessagePresenter presenter(out);
        IMessagePresenter* previous = SetMessagePresenter(&presenter);
        ShowMessageBox(c.text);
        SetMessagePresenter(previous);
        std::rewind(out);
        char buf[256] = {};
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, out);
        std::fclose(out);
        EXPECT_EQ(std::string(buf, n), c.written);
    }
}

} // namespace
