#include "MessageDialogs.h"
#include "ReplyBuffer.h"
#include "ServerErrors.h"
#include "StatePaths.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Sets environment variables for one test and puts back what was there before.
class TEnvironment {
public:
    ~TEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }
    void Set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

unsigned AccessBits(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return 01000;
    return static_cast<unsigned>(info.st_mode & 0777);
}

// A program folder with its TEMP folder, a home, a state folder and a runtime folder, all under
// one temporary folder; the test decides whether the program folder counts as writable.
class StateFolders : public ::testing::Test {
protected:
    void SetUp() override {
        DoneErrorLog();
        std::filesystem::create_directories(Program() + "TEMP");
        std::filesystem::create_directories(Runtime());
        SetProgramDirectory(Program());
        SetApplicationFileName("zephran-console");
        env_.Set("HOME", Home());
        env_.Set("XDG_STATE_HOME", root_.Path() + "state");
        env_.Set("XDG_RUNTIME_DIR", Runtime());
        env_.Set("TMPDIR", root_.Path() + "tmp");
    }
    void TearDown() override {
        DoneErrorLog();
        SetProgramFolderWritableForTesting(-1);
    }
    std::string Program() const { return root_.Path() + "program/"; }
    std::string Home() const { return root_.Path() + "home"; }
    std::string Runtime() const { return root_.Path() + "run"; }

    // A reply larger than the memory window: its spill file's name, and whether it spilled.
    std::string SpillOfLargeReply() {
        auto buffer = CreateReplyBuffer(kReplyWindowSize + 1);
        if (!buffer || !buffer->Spilled())
            return {};
        const std::string name = buffer->SpillFileName();
        EXPECT_TRUE(FileExists(name)) << name;
        buffer.reset();
        EXPECT_FALSE(FileExists(name)) << "the spill file is removed with its reply";
        return name;
    }

    TTempFolder root_;
    TEnvironment env_;
};

TEST_F(StateFolders, AWritableProgramFolderKeepsTheLogAndTheSpillFilesBesideTheProgram) {
    SetProgramFolderWritableForTesting(1);
    EXPECT_EQ(ErrorLogFolder(), Program());
    EXPECT_EQ(SpillFolder(), Program() + "TEMP/");

    InitErrorLog();
    LogError("Connect Failed");
    EXPECT_NE(ReadWholeFile(Program() + "TARVWEB.ERR").find("Connect Failed"), std::string::npos);
    EXPECT_EQ(SpillOfLargeReply(), Program() + "TEMP/RCVB1.T");
    EXPECT_FALSE(std::filesystem::exists(root_.Path() + "state"));
    EXPECT_FALSE(std::filesystem::exists(Runtime() + "/zephran"));
}

TEST_F(StateFolders, AReadOnlyProgramFolderLogsToTheStateFolderAndSpillsToThePrivateFolder) {
    SetProgramFolderWritableForTesting(0);
    const std::string state = root_.Path() + "state/zephran/";
    const std::string spill = Runtime() + "/zephran/";

    InitErrorLog();
    LogError("Connect Failed");
    EXPECT_NE(ReadWholeFile(state + "TARVWEB.ERR").find("zephran-console ("), std::string::npos);
    EXPECT_NE(ReadWholeFile(state + "TARVWEB.ERR").find("Connect Failed"), std::string::npos);
    EXPECT_FALSE(FileExists(Program() + "TARVWEB.ERR"));
    EXPECT_EQ(AccessBits(state), 0700u);
    EXPECT_EQ(AccessBits(root_.Path() + "state"), 0700u) << "missing parents are private too";

    EXPECT_EQ(SpillOfLargeReply(), spill + "RCVB1.T");
    EXPECT_EQ(AccessBits(spill), 0700u);
    EXPECT_TRUE(std::filesystem::is_empty(Program() + "TEMP"));
}

// Where the files go when the variables that name the folders are missing or unusable.
TEST_F(StateFolders, TheFoldersFollowTheEnvironment) {
    SetProgramFolderWritableForTesting(0);
    const std::string uid = std::to_string(::geteuid());
    struct TCase {
        const char* what;
        std::optional<std::string> stateHome, runtime;
        std::string logFolder, spillFolder; // under the test's root
    };
    const std::vector<TCase> cases{
        {"both named", root_.Path() + "s1", root_.Path() + "r1", "s1/zephran/", "r1/zephran/"},
        {"trailing slashes", root_.Path() + "s2//", root_.Path() + "r2/", "s2/zephran/",
         "r2/zephran/"},
        {"neither set", std::nullopt, std::nullopt, "home/.local/state/zephran/",
         "tmp/zephran-" + uid + "/"},
        {"relative ones are ignored", std::string("relative/state"), std::string("relative/run"),
         "home/.local/state/zephran/", "tmp/zephran-" + uid + "/"},
        {"empty ones are ignored", std::string(), std::string(), "home/.local/state/zephran/",
         "tmp/zephran-" + uid + "/"},
    };
    std::filesystem::create_directories(root_.Path() + "tmp");
    for (const TCase& c : cases) {
        TEnvironment env;
        env.Set("XDG_STATE_HOME", c.stateHome);
        env.Set("XDG_RUNTIME_DIR", c.runtime);
        EXPECT_EQ(ErrorLogFolder(), root_.Path() + c.logFolder) << c.what;
        EXPECT_EQ(SpillFolder(), root_.Path() + c.spillFolder) << c.what;
        EXPECT_EQ(AccessBits(root_.Path() + c.logFolder), 0700u) << c.what;
        EXPECT_EQ(AccessBits(root_.Path() + c.spillFolder), 0700u) << c.what;
    }
}

// A folder of the user's own that is there already is used with owner-only access, whatever
// access it had.
TEST_F(StateFolders, AFolderOfTheUsersOwnGetsOwnerOnlyAccess) {
    SetProgramFolderWritableForTesting(0);
    const std::string spill = Runtime() + "/zephran";
    for (const unsigned mode : {0777u, 0750u, 0500u, 0700u}) {
        std::filesystem::remove_all(spill);
        ASSERT_EQ(::mkdir(spill.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(spill.c_str(), static_cast<mode_t>(mode)), 0);
        EXPECT_EQ(SpillFolder(), spill + "/") << std::oct << mode;
        EXPECT_EQ(AccessBits(spill), 0700u) << std::oct << mode;
    }
}

// A private folder that is a link, not a folder, or someone else's is never used: the program
// keeps to its own folder, where writing fails the described way instead of leaking the data.
TEST_F(StateFolders, AFolderThatIsNotTheUsersOwnIsRefused) {
    SetProgramFolderWritableForTesting(0);
    const std::string spill = Runtime() + "/zephran";
    const std::string state = root_.Path() + "state/zephran";
    std::filesystem::create_directories(root_.Path() + "state");
    std::filesystem::create_directories(root_.Path() + "elsewhere");

    std::filesystem::create_directory_symlink(root_.Path() + "elsewhere", spill);
    std::filesystem::create_directory_symlink(root_.Path() + "elsewhere", state);
    EXPECT_EQ(SpillFolder(), Program() + "TEMP/") << "a link";
    EXPECT_EQ(ErrorLogFolder(), Program()) << "a link";
    EXPECT_TRUE(std::filesystem::is_empty(root_.Path() + "elsewhere"));
    std::filesystem::remove(spill);
    std::filesystem::remove(state);

    { std::ofstream(spill) << "a file"; }
    EXPECT_EQ(SpillFolder(), Program() + "TEMP/") << "a file";
    std::filesystem::remove(spill);

    ASSERT_EQ(::mkdir(spill.c_str(), 0700), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(spill.c_str(), 65534, 65534), 0);
        EXPECT_EQ(SpillFolder(), Program() + "TEMP/") << "someone else's folder";
    }
}

TEST_F(StateFolders, TheCheckAnswersForTheFolderInstalledToAndForAWritableFolder) {
    SetProgramFolderWritableForTesting(-1);
    EXPECT_TRUE(ProgramFolderWritable()) << "the test's own folder";
    SetProgramDirectory(ZEPHRAN_INSTALL_BINDIR);
    EXPECT_FALSE(ProgramFolderWritable()) << "not even for a user who may write it";
    SetProgramDirectory(root_.Path() + "missing/");
    EXPECT_FALSE(ProgramFolderWritable());
}

} // namespace
