#include "ServerErrors.h"

#include "MessagePresenters.h"
#include "ReplyBuffer.h"
#include "ServerErrorTexts.h"
#include "TempFolder.h"
#include "Win1256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace {

const std::string kFarsiTail = " هنگام اجراي درخواست در \"سرور\"";

class ServerErrorBoxes : public ::testing::Test {
protected:
    void TearDown() override { UseFarsiMessages = true; }
    TRecordingMessagePresenter recorder_;
};

TEST_F(ServerErrorBoxes, HeadingAndTextInBothLanguages) {
    struct Case {
        std::uint16_t number;
        bool farsi;
        std::string text;
    } cases[] = {
        {0, true, "خطاي شماره0" + kFarsiTail},
        {222, true, "خطاي شماره222" + kFarsiTail},
        {1, true, "خطاي شماره1" + kFarsiTail + "\r\n" + ServerErrorMessages[0].Farsi},
        {92, true, "خطاي شماره92" + kFarsiTail + "\r\nکلمه عبور اشتباه است."},
        {221, true, "خطاي شماره221" + kFarsiTail + "\r\n" + ServerErrorMessages[220].Farsi},
        {0, false, "Server Error Number 0"},
        {222, false, "Server Error Number 222"},
        {1, false, "Server Error Number 1\r\nServer out of memory."},
        {119, false,
         "Server Error Number 119\r\nAccess denied. You need another user name and password."},
        {221, false, "Server Error Number 221\r\nUsers Repository Information file not found."},
        {65535, false, "Server Error Number 65535"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.number) + (c.farsi ? " fa" : " en"));
        recorder_.Clear();
        UseFarsiMessages = c.farsi;
        ShowServerError(c.number);
        ASSERT_EQ(recorder_.Messages().size(), 1u);
        EXPECT_EQ(recorder_.Messages()[0].Text, c.text);
        EXPECT_EQ(recorder_.Messages()[0].Kind, TMsgDlgType::mtError);
    }
}

TEST_F(ServerErrorBoxes, Number65000ShowsNothing) {
    for (const bool farsi : {true, false}) {
        UseFarsiMessages = farsi;
        ShowServerError(65000);
    }
    EXPECT_TRUE(recorder_.Messages().empty());
}

TEST_F(ServerErrorBoxes, ClientInternalErrorAndOutOfMemory) {
    ShowClientInternalError(265);
    ShowOutOfMemory();
    EXPECT_EQ(
        recorder_.Texts(),
        (std::vector<std::string>{"Client Internal Error Number 265 (Request Execution Aborted).",
                                  "Out of Memory."}));
}

TEST(ServerErrorTable, EveryTextFitsTheBoxAndTheCodePage) {
    std::size_t longestEnglish = 0;
    std::size_t longestFarsi = 0;
    for (int n = 1; n <= kServerErrorCount; ++n) {
        SCOPED_TRACE(n);
        const TServerErrorText& e = ServerErrorMessages[n - 1];
        ASSERT_NE(e.English, nullptr);
        ASSERT_NE(e.Farsi, nullptr);
        EXPECT_GT(Utf8Length(e.Farsi), 0u);
        longestEnglish = std::max(longestEnglish, Utf8Length(e.English));
        longestFarsi = std::max(longestFarsi, Utf8Length(e.Farsi));
        bool lossless = false;
        EncodeWin1256(e.Farsi, &lossless);
        EXPECT_TRUE(lossless) << "every Farsi text is Windows-1256 text";
        EXPECT_EQ(std::string(e.Farsi).find("ی"), std::string::npos) << "Arabic yeh, not Farsi yeh";
        UseFarsiMessages = true;
        EXPECT_LE(Utf8Length(ServerErrorText(static_cast<std::uint16_t>(n))), 255u);
        UseFarsiMessages = false;
        EXPECT_LE(Utf8Length(ServerErrorText(static_cast<std::uint16_t>(n))), 255u);
    }
    UseFarsiMessages = true;
    EXPECT_EQ(longestEnglish, 156u);
    EXPECT_LE(longestFarsi, 146u);
}

TEST(ServerErrorTable, RowsWithTheirOwnForm) {
    EXPECT_STREQ(ServerErrorMessages[4].Farsi,
                 "عدم تطابق درخواست با نسخه سرور (RequestVersionMismatch).");
    EXPECT_STREQ(ServerErrorMessages[6].Farsi, "درخواست مفهوم نيست (UnknownCommand)");
    EXPECT_STREQ(ServerErrorMessages[7].Farsi, "فايل اصلي پايگاه (MASTER.DAT) يافت نشد.");
    EXPECT_STREQ(ServerErrorMessages[9].Farsi, "فايل يافت نشد.");
    EXPECT_STREQ(ServerErrorMessages[161].Farsi,
                 "براي اتصال به اين سرور احتياج به مرورگر با نسخه بالاتر داريد.");
    for (const int n : {43, 183})
        EXPECT_NE(std::string(ServerErrorMessages[n - 1].Farsi).find("\u200E???"),
                  std::string::npos)
            << n;
    const std::string row140 = ServerErrorMessages[139].Farsi;
    EXPECT_EQ(row140.substr(row140.size() - 2), ". ");
    EXPECT_STREQ(ServerErrorMessages[59].English,
                 "\"Append file convert\" defintion file not found.");
}

class ErrorLog : public ::testing::Test {
protected:
    void SetUp() override {
        DoneErrorLog();
        SetProgramDirectory(folder_.Path());
        SetApplicationFileName("zephran-console");
    }
    void TearDown() override { DoneErrorLog(); }
    std::string LogPath() const { return folder_.Path() + "TARVWEB.ERR"; }
    TTempFolder folder_;
};

TEST_F(ErrorLog, NothingIsWrittenBeforeItIsInitialised) {
    LogError("lost");
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(ErrorLog, InitCreatesTheFileOnceAndKeepsItsEntries) {
    InitErrorLog();
    ASSERT_TRUE(FileExists(LogPath()));
    EXPECT_EQ(ReadWholeFile(LogPath()), "");
    LogError("first");
    const std::string after = ReadWholeFile(LogPath());
    DoneErrorLog();
    InitErrorLog();
    EXPECT_EQ(ReadWholeFile(LogPath()), after);
}

TEST_F(ErrorLog, EachEntryIsTwoLines) {
    InitErrorLog();
    LogError("Connect Failed");
    LogError("Recv Error: 104");
    const std::string log = ReadWholeFile(LogPath());
    const std::regex entry(R"(zephran-console \(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\):\r\n)");
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < log.size()) {
        const std::size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(log.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(std::regex_match(lines[0] + "\r\n", entry)) << lines[0];
    EXPECT_EQ(lines[1], "Connect Failed");
    EXPECT_TRUE(std::regex_match(lines[2] + "\r\n", entry)) << lines[2];
    EXPECT_EQ(lines[3], "Recv Error: 104");
}

TEST_F(ErrorLog, ADeletedLogIsNotMadeAgain) {
    InitErrorLog();
    std::remove(LogPath().c_str());
    LogError("gone");
    EXPECT_FALSE(FileExists(LogPath()));
}

} // namespace
