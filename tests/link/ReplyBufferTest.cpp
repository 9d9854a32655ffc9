#include "ReplyBuffer.h"

#include "MessagePresenters.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A program directory of its own with a TEMP folder, and the reports collected.
class ReplyBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetProgramDirectory(folder_.Path());
        std::filesystem::create_directory(folder_.Path() + "TEMP");
        ReportProc = [this](const std::string& m) { reports_.push_back(m); };
    }
    void TearDown() override {
        ReportProc = nullptr;
        SetAllocationLimitForTesting(-1);
    }
    std::string TempName(int n) const {
        return folder_.Path() + "TEMP/RCVB" + std::to_string(n) + ".T";
    }

    // A buffer filled as the packet receiver fills it: chunk by chunk in index order, then
    // flushed. Byte k holds k mod 251.
    std::unique_ptr<TReplyBuffer> Filled(std::int32_t total) {
        auto buffer = CreateReplyBuffer(total);
        if (!buffer)
            return buffer;
        std::uint8_t chunk[kChunkSize];
        for (std::int32_t index = 0; std::int64_t{index} * kChunkSize < total; ++index) {
            for (int i = 0; i < kChunkSize; ++i)
                chunk[i] = static_cast<std::uint8_t>((index * kChunkSize + i) % 251);
            buffer->StoreChunk(static_cast<std::uint16_t>(index), chunk);
        }
        buffer->FlushWindow();
        return buffer;
    }

    TTempFolder folder_;
    std::vector<std::string> reports_;
};

TEST_F(ReplyBufferTest, KeepsUpTo350000BytesInMemoryAndSpillsBeyond) {
    auto small = CreateReplyBuffer(350000);
    ASSERT_TRUE(small);
    EXPECT_FALSE(small->Spilled());
    EXPECT_FALSE(FileExists(TempName(1)));

    auto large = CreateReplyBuffer(350001);
    ASSERT_TRUE(large);
    EXPECT_TRUE(large->Spilled());
    EXPECT_EQ(large->SpillFileName(), TempName(1));
    EXPECT_TRUE(FileExists(TempName(1)));
    EXPECT_EQ(large->Size(), 350001);

    struct stat st {};
    ASSERT_EQ(::stat(TempName(1).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a spill file is for its owner only";

    large.reset();
    EXPECT_FALSE(FileExists(TempName(1))) << "destroying the buffer removes its file";
    EXPECT_TRUE(reports_.empty());
}

TEST_F(ReplyBufferTest, SpillFilePassesOverNamesThatExist) {
    std::ofstream(TempName(1)) << "one";
    std::ofstream(TempName(2)) << "two";
    auto buffer = CreateReplyBuffer(400000);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->SpillFileName(), TempName(3));
    EXPECT_EQ(ReadWholeFile(TempName(1)), "one");
    EXPECT_EQ(ReadWholeFile(TempName(2)), "two");
}

TEST_F(ReplyBufferTest, SpillFileNeverFollowsALink) {
    const std::string target = folder_.Path() + "precious";
    std::ofstream(target) << "keep";
    std::filesystem::create_symlink(target, TempName(1));
    auto buffer = Filled(400000);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->SpillFileName(), TempName(2));
    EXPECT_EQ(ReadWholeFile(target), "keep");
}

TEST_F(ReplyBufferTest, MissingTempFolderFailsEverySpilledReply) {
    std::filesystem::remove(folder_.Path() + "TEMP");
    EXPECT_EQ(MakeTempFileName("RCVB"), "");
    EXPECT_FALSE(CreateReplyBuffer(350001));
    EXPECT_EQ(reports_, std::vector<std::string>{"Could not make receive temporary file"});
    EXPECT_TRUE(CreateReplyBuffer(1000)) << "small replies never touch the disk";
}

TEST_F(ReplyBufferTest, AllNamesTakenFails) {
    for (int n = 1; n <= 255; ++n)
        std::ofstream(TempName(n)) << n;
    EXPECT_EQ(MakeTempFileName("RCVB"), "");
    EXPECT_FALSE(CreateReplyBuffer(350001));
    EXPECT_EQ(reports_, std::vector<std::string>{"Could not make receive temporary file"});
}

TEST_F(ReplyBufferTest, TooManyOpenFilesIsShownAndGivesNoName) {
    TRecordingMessagePresenter recorder;
    // One box first: the sanitizers' type checks of the presenter call need files of their own
    // the first time, and must not meet the tight limit below.
    ShowMessageBox("ready");
    recorder.Clear();
    // Lower the limit to the lowest free descriptor, so that the probe's open fails.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::string name = MakeTempFileName("RCVB");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(name, "");
    EXPECT_EQ(recorder.Texts(), std::vector<std::string>{"Too many open file!"});
}

TEST_F(ReplyBufferTest, NoMemoryForTheWindowIsReported) {
    SetAllocationLimitForTesting(1000);
    EXPECT_FALSE(CreateReplyBuffer(1001));
    EXPECT_EQ(reports_, std::vector<std::string>{"Could not Allocate Memory for Receive Buffer"});
    EXPECT_TRUE(CreateReplyBuffer(1000));
}

TEST_F(ReplyBufferTest, AMillionBytesReadBackInPiecesOf1000) {
    constexpr std::int32_t kTotal = 1000000;
    auto buffer = Filled(kTotal);
    ASSERT_TRUE(buffer);
    ASSERT_TRUE(buffer->Spilled());
    EXPECT_EQ(std::filesystem::file_size(buffer->SpillFileName()), std::uintmax_t{kTotal});
    std::int32_t cursor = 1;
    std::uint8_t piece[1000];
    for (std::int32_t at = 0; at < kTotal; at += 1000) {
        std::fill(std::begin(piece), std::end(piece), 0xEE);
        ReadBytes(buffer.get(), cursor, piece, 1000);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(piece[i], (at + i) % 251) << "at byte " << at + i;
    }
    EXPECT_EQ(cursor, kTotal + 1);
    // And backwards, which moves the window back.
    std::int32_t back = 1;
    std::uint8_t b = 0;
    ReadByte(buffer.get(), back, b);
    EXPECT_EQ(b, 0);
}

TEST_F(ReplyBufferTest, ReadsAtTheEdgeOfTheData) {
    for (const std::int32_t total : {100, 400000}) {
        SCOPED_TRACE(total);
        auto buffer = Filled(total);
        ASSERT_TRUE(buffer);
        std::uint8_t last[4] = {1, 2, 3, 4};
        EXPECT_TRUE(buffer->Read(total - 3, 4, last)) << "a range ending at the last byte";
        EXPECT_EQ(last[3], (total - 1) % 251);

        std::uint8_t over[5] = {9, 9, 9, 9, 9};
        std::int32_t cursor = total - 3;
        ReadBytes(buffer.get(), cursor, over, 5);
        EXPECT_EQ(over[0], 9) << "one byte too long leaves the destination unchanged";
        EXPECT_EQ(cursor, total + 2) << "and still advances the cursor";

        std::int32_t value = 77;
        cursor = total - 2;
        ReadLong(buffer.get(), cursor, value);
        EXPECT_EQ(value, 77);
        EXPECT_EQ(cursor, total + 2);
        EXPECT_FALSE(buffer->Read(0, 1, over)) << "position 0 is before the data";
    }
}

TEST_F(ReplyBufferTest, TypedReadersAreLittleEndianAndNeedNoBuffer) {
    auto buffer = CreateReplyBuffer(7);
    const std::uint8_t chunk[kChunkSize] = {0x34, 0x12, 0x78, 0x56, 0x34, 0xF2, 0xAB};
    buffer->StoreChunk(0, chunk);
    std::int32_t cursor = 1;
    std::uint16_t w = 0;
    std::int32_t l = 0;
    std::uint8_t b = 0;
    ReadWord(buffer.get(), cursor, w);
    ReadLong(buffer.get(), cursor, l);
    ReadByte(buffer.get(), cursor, b);
    EXPECT_EQ(w, 0x1234);
    EXPECT_EQ(l, static_cast<std::int32_t>(0xF2345678));
    EXPECT_EQ(b, 0xAB);
    EXPECT_EQ(cursor, 8);

    // A reply without data reads as past the end everywhere.
    cursor = 1;
    w = 5;
    ReadWord(nullptr, cursor, w);
    EXPECT_EQ(w, 5);
    EXPECT_EQ(cursor, 3);
}

TEST_F(ReplyBufferTest, AReaderTellsWhenItReadPastTheEnd) {
    const std::uint8_t chunk[kChunkSize] = {3, 'A', 'B', 'C', 5, 'D', 0x34, 0x12};
    struct Case {
        const char* name;
        std::int32_t total;
        std::function<void(TReplyReader&)> reads;
        bool shortAfter;
        std::int32_t cursorAfter;
    } cases[] = {
        {"all there", 8,
         [](TReplyReader& r) {
             std::string s;
             std::uint8_t b = 0;
             std::uint16_t w = 0;
             EXPECT_TRUE(r.ShortString(s, 80));
             EXPECT_TRUE(r.Byte(b));
             EXPECT_TRUE(r.Char(reinterpret_cast<char&>(b)));
             EXPECT_TRUE(r.Word(w));
             EXPECT_EQ(w, 0x1234);
         },
         false, 9},
        {"a string's cut characters missing", 6,
         [](TReplyReader& r) {
             std::string s;
             EXPECT_TRUE(r.ShortString(s, 3));
             std::string t;
             EXPECT_FALSE(r.ShortString(t, 0)) << "five characters where one is left";
             EXPECT_EQ(t, "");
         },
         true, 11},
        {"a long that runs past the end", 8,
         [](TReplyReader& r) {
             r.Skip(6);
             std::int32_t l = 77;
             EXPECT_FALSE(r.Long(l));
             EXPECT_EQ(l, 77);
         },
         true, 11},
        {"stepping over more than there is", 8, [](TReplyReader& r) { r.Skip(9); }, true, 10},
        {"stepping to the very end", 8, [](TReplyReader& r) { r.Skip(8); }, false, 9},
        {"no buffer at all", 0,
         [](TReplyReader& r) {
             std::uint8_t bytes[2] = {9, 9};
             EXPECT_FALSE(r.Bytes(bytes, 2));
             EXPECT_EQ(bytes[0], 9);
         },
         true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto buffer = c.total > 0 ? CreateReplyBuffer(c.total) : nullptr;
        if (buffer)
            buffer->StoreChunk(0, chunk);
        TReplyReader reader(buffer.get());
        c.reads(reader);
        EXPECT_EQ(reader.Short(), c.shortAfter);
        EXPECT_EQ(reader.Cursor(), c.cursorAfter);
        reports_.clear();
        EXPECT_EQ(reader.ReportIfShort(368), c.shortAfter);
        EXPECT_EQ(reports_.size(), c.shortAfter ? 1u : 0u);
    }
}

TEST_F(ReplyBufferTest, ShortStringsAreCutButSteppedOverWhole) {
    struct Case {
        std::uint8_t length;
        std::uint8_t maxLen;
        std::size_t kept;
    } cases[] = {{70, 60, 60}, {0, 60, 0}, {30, 30, 30}, {255, 80, 80}, {12, 255, 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.length));
        std::uint8_t chunk[kChunkSize] = {};
        chunk[0] = c.length;
        for (int i = 0; i < c.length; ++i)
            chunk[1 + i] = static_cast<std::uint8_t>('A' + i % 26);
        chunk[1 + c.length] = 0x5A;
        auto buffer = CreateReplyBuffer(c.length + 2);
        buffer->StoreChunk(0, chunk);
        std::string s = "previous";
        std::int32_t cursor = 1;
        ReadShortString(buffer.get(), cursor, s, c.maxLen);
        EXPECT_EQ(s.size(), c.kept);
        EXPECT_EQ(s, std::string(reinterpret_cast<const char*>(chunk + 1), c.kept));
        EXPECT_EQ(cursor, 2 + c.length);
        std::uint8_t next = 0;
        ReadByte(buffer.get(), cursor, next);
        EXPECT_EQ(next, 0x5A) << "the field after the string is read from its start";
    }
}

TEST_F(ReplyBufferTest, GetMemOrNilRefusesEmptyAndNegativeSizes) {
    EXPECT_FALSE(GetMemOrNil(0));
    EXPECT_FALSE(GetMemOrNil(-1));
    EXPECT_TRUE(GetMemOrNil(1));
}

TEST_F(ReplyBufferTest, ChunksBeyondTheDataAreIgnored) {
    auto buffer = CreateReplyBuffer(600);
    std::uint8_t chunk[kChunkSize];
    std::fill(std::begin(chunk), std::end(chunk), 0x11);
    buffer->StoreChunk(1, chunk); // bytes 508..599
    buffer->StoreChunk(2, chunk); // starts past the end: nothing
    buffer->StoreChunk(65535, chunk);
    std::uint8_t b = 0;
    std::int32_t cursor = 600;
    ReadByte(buffer.get(), cursor, b);
    EXPECT_EQ(b, 0x11);
}

} // namespace
