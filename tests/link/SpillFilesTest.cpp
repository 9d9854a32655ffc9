// The names of the spill files, and what becomes of the open ones when the program is ended
// from outside (a signal or the time limit, through RemoveOpenSpillFiles).

#include "ReplyBuffer.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class SpillFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(folder_.Path() + "TEMP");
        ReportProc = [this](const std::string& m) { reports_.push_back(m); };
    }
    void TearDown() override { ReportProc = nullptr; }
    std::string TempName(int n) const {
        return folder_.Path() + "TEMP/RCVB" + std::to_string(n) + ".T";
    }

    TTempFolder folder_;
    std::vector<std::string> reports_;
};

TEST_F(SpillFilesTest, TheLastNameIsStillUsedWhenAllOthersAreTaken) {
    for (int n = 1; n <= 254; ++n)
        std::ofstream(TempName(n)) << "taken " << n;
    auto buffer = CreateReplyBuffer(350001);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE(buffer->Spilled());
    EXPECT_EQ(buffer->SpillFileName(), TempName(255));
    EXPECT_TRUE(FileExists(TempName(255)));
    buffer.reset();
    EXPECT_FALSE(FileExists(TempName(255)));
    for (int n = 1; n <= 254; ++n)
        EXPECT_EQ(ReadWholeFile(TempName(n)), "taken " + std::to_string(n));
    EXPECT_TRUE(reports_.empty());
}

// RemoveOpenSpillFiles is for a program that ends at once: it is checked in a child process
// of its own, which reports each finding on standard error and exits with 0 when all hold.
TEST_F(SpillFilesTest, AtTheEndEveryOpenSpillFileIsRemovedAndNoOtherFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int failures = 0;
            const auto check = [&failures](bool holds, const char* what) {
                if (!holds) {
                    std::fprintf(stderr, "not so: %s\n", what);
                    ++failures;
                }
            };
            auto first = CreateReplyBuffer(350001);
            auto second = CreateReplyBuffer(400000);
            auto inMemory = CreateReplyBuffer(1000);
            check(first && second && inMemory, "the buffers were made");
            std::ofstream(TempName(3)) << "another program's";

            RemoveOpenSpillFiles();
            check(!FileExists(TempName(1)) && !FileExists(TempName(2)),
                  "the open spill files are gone");
            check(FileExists(TempName(3)), "a file that was not ours is still there");

            // A name that another program takes after the removal stays when the buffer goes.
            std::ofstream(TempName(1)) << "taken after the end began";
            first.reset();
            check(FileExists(TempName(1)), "the name taken meanwhile is kept");

            check(!CreateReplyBuffer(350001), "no spill file is made once the end began");
            check(std::distance(std::filesystem::directory_iterator(folder_.Path() + "TEMP"),
                                std::filesystem::directory_iterator{}) == 2,
                  "nothing new in TEMP");
            check(CreateReplyBuffer(1000) != nullptr, "replies kept in memory still work");
            std::fflush(stderr);
            std::_Exit(failures);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
