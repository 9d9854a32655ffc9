// The administrator password never reaches a file, standard output or standard error, in
// clear or scrambled: zephran-admin runs server and broker commands (successful and failing
// ones) from a copy of its own in a folder of the test, with HOME and the configuration folder
// there too, and every file written and every output is searched for both forms.

#include "PacketTransport.h"
#include "Processes.h"
#include "SecretFiles.h"
#include "TempFolder.h"
#include "Win1256.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string kBin = ZEPHRAN_BIN_DIR;
const std::string kPassword = "Zq7#kP2vLx9!mW&r";

TEST(Secrets, PasswordIsInNoFileAndNoOutput) {
    TTempFolder root;
    const fs::path program = fs::path(root.Path()) / "bin" / "zephran-admin";
    fs::create_directories(program.parent_path() / "TEMP");
    fs::copy_file(kBin + "/zephran-admin", program);
    fs::create_directories(fs::path(root.Path()) / "home" / ".config");
    // Inputs of the test itself: the only files that may hold the password.
    const fs::path inputs = fs::path(root.Path()) / "inputs";
    fs::create_directories(inputs);
    const std::string passwordFile = (inputs / "password").string();
    std::ofstream(passwordFile) << kPassword << "\n";
    const std::string wrongFile = (inputs / "wrong").string();
    std::ofstream(wrongFile) << kPassword << "x\n";
    const std::string credentials = (inputs / "credentials").string();
    std::ofstream(credentials) << "CENTRAL\t" << kPassword << "\nMEDLIB\t" << kPassword << "\n";

    const nlohmann::json server = {
        {"administrator_password", kPassword},
        {"local_connections", {{{"user_name", "JOHN"}, {"security_num", 42}}}},
        {"web_connections", {{{"user_name", "web"}, {"user_id", 9}}}},
        {"error_log", "one line\r\nanother line\r\n"},
        {"behaviour",
         {{"huge_replies", {{{"code", 372}, {"bytes", 400000}}}},
          {"close_mid_reply", {{{"code", 373}, {"after_bytes", 300}}}}}}};
    std::ofstream(inputs / "server.json") << server.dump();
    const nlohmann::json broker = {
        {"id", 1246093},
        {"servers",
         {{{"name", "CENTRAL"}, {"center", "Centre"}, {"password", kPassword}},
          {{"name", "MEDLIB"}, {"center", "Medical"}, {"password", kPassword}}}},
        {"sessions",
         {{{"id", 1001},
           {"server", "CENTRAL"},
           {"user_id", 12},
           {"user", "m.rezaei"},
           {"kind", 0},
           {"latime", 45612.40625}}}}};
    std::ofstream(inputs / "broker.json") << broker.dump();

    TPeerProcess testServer(kBin + "/zephran-testserver",
                            {"--fixture", (inputs / "server.json").string(), "--port", "0"});
    TPeerProcess testBroker(kBin + "/zephran-testbroker",
                            {"--fixture", (inputs / "broker.json").string(), "--port", "0"});
    ASSERT_TRUE(testServer.Running());
    ASSERT_TRUE(testBroker.Running());
    const std::string tcp = "127.0.0.1:" + std::to_string(testServer.Port());
    const std::string url = "127.0.0.1:" + std::to_string(testBroker.Port()) + "/web";

    const std::map<std::string, std::string> home = {
        {"HOME", root.Path() + "home"}, {"XDG_CONFIG_HOME", root.Path() + "home/.config"}};
    auto withPassword = home;
    withPassword["ZEPHRAN_PASSWORD"] = kPassword;

    struct TRun {
        std::vector<std::string> Args;
        bool ByEnvironment;
        int Exit;
    };
    const std::vector<TRun> runs = {
        {{"--tcp", tcp, "info"}, true, 0},
        {{"--tcp", tcp, "--json", "locals"}, true, 0},
        {{"--tcp", tcp, "--password-file", passwordFile, "webs"}, false, 0},
        {{"--tcp", tcp, "--password-file", passwordFile, "databases"}, false, 0}, // spills
        {{"--tcp", tcp, "status"}, true, 1},                                      // cut off
        {{"--tcp", tcp, "error-log"}, true, 0},
        {{"--tcp", tcp, "kill-web", "9"}, true, 0},
        {{"--tcp", tcp, "--password-file", wrongFile, "info"}, false, 1},
        {{"broker", "servers", "--url", url}, true, 0},
        {{"broker", "check", "--url", url, "--server", "CENTRAL"}, true, 0},
        {{"broker", "check", "--url", url, "--server", "MEDLIB", "--password-file", wrongFile},
         false,
         1},
        {{"broker", "sessions", "--url", url, "--server", "CENTRAL", "--json"}, true, 0},
        {{"broker", "reload", "--url", url, "--credentials", credentials}, false, 0},
    };
    const std::string scrambled = ScramblePassword(EncodeWin1256(kPassword).Bytes);
    ASSERT_EQ(scrambled.size(), kPassword.size());
    const auto holdsSecret = [&](const std::string& text) {
        return text.find(kPassword) != std::string::npos ||
               text.find(scrambled) != std::string::npos;
    };
    for (const TRun& run : runs) {
        std::string line;
        for (const std::string& a : run.Args)
            line += a + " ";
        SCOPED_TRACE(line);
        EXPECT_FALSE(holdsSecret(line)) << "the command line carries no password";
        const TCommandResult r =
            RunCommand(program.string(), run.Args, run.ByEnvironment ? withPassword : home);
        EXPECT_EQ(r.ExitCode, run.Exit) << r.Err;
        EXPECT_FALSE(holdsSecret(r.Out)) << r.Out;
        EXPECT_FALSE(holdsSecret(r.Err)) << r.Err;
    }

    // Every file the runs wrote: the program's folder (error log, TEMP), HOME and the
    // configuration folder.
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root.Path())) {
        if (!entry.is_regular_file() || entry.path().parent_path() == inputs ||
            entry.path() == program)
            continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        EXPECT_FALSE(holdsSecret(ReadWholeFile(entry.path().string())));
    }
    EXPECT_TRUE(fs::exists(program.parent_path() / "TARVWEB.ERR")) << "the failures were logged";
    EXPECT_GE(files, 1);
    EXPECT_TRUE(fs::is_empty(program.parent_path() / "TEMP")) << "no spill file stays";
}

// The files that hold secrets are read with a bound on their size and on the wait: the reading
// itself, on files, devices and FIFOs.
TEST(SecretFiles, ReadingIsBoundedInSizeAndWait) {
    TTempFolder folder;
    constexpr std::size_t kLimit = 16;
    const std::string a16(16, 'a');
    const std::string a17(17, 'a');
    using S = TSecretFileStatus;
    const struct {
        const char* name;
        std::string content; // written to a file of the test; empty with a path below
        std::string path;    // a file of the system instead
        bool firstLine;
        std::size_t limit;
        S status;
        std::string text;
    } cases[] = {
        {"first line", "pw\nsecond\n", "", true, kLimit, S::Read, "pw"},
        {"first line ending in CR LF", "pw\r\nx", "", true, kLimit, S::Read, "pw"},
        {"one line without its end", "pw", "", true, kLimit, S::Read, "pw"},
        {"empty file", "", "", true, kLimit, S::Read, ""},
        {"line of the limit", a16 + "\nmore", "", true, kLimit, S::Read, a16},
        {"line of the limit with CR LF", a16 + "\r\n", "", true, kLimit, S::Read, a16},
        {"line of the limit without its end", a16, "", true, kLimit, S::Read, a16},
        {"line beyond the limit", a17 + "\n", "", true, kLimit, S::TooLarge, ""},
        {"long file without a line end", std::string(100000, 'a'), "", true, kLimit, S::TooLarge,
         ""},
        {"whole file of the limit", a16, "", false, kLimit, S::Read, a16},
        {"whole file beyond the limit", a17, "", false, kLimit, S::TooLarge, ""},
        {"endless device, first line", "", "/dev/zero", true, kPasswordLineLimit, S::TooLarge, ""},
        {"endless device, whole", "", "/dev/zero", false, kCredentialsFileLimit, S::TooLarge, ""},
        {"empty device", "", "/dev/null", true, kPasswordLineLimit, S::Read, ""},
        {"missing file", "", "/nonexistent/password", true, kLimit, S::CannotOpen, ""},
        {"folder", "", "/tmp", false, kLimit, S::CannotOpen, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = c.path;
        if (path.empty()) {
            path = folder.Path() + "file" + std::to_string(n++);
            std::ofstream(path, std::ios::binary) << c.content;
        }
        const TSecretFileRead read =
            ReadSecretFile(path, c.limit, c.firstLine, std::chrono::milliseconds(5000));
        EXPECT_EQ(read.Status, c.status);
        EXPECT_EQ(read.Text, c.text);
    }
}

TEST(SecretFiles, FifosAreWaitedForWithABound) {
    TTempFolder folder;
    const std::string fifo = folder.Path() + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    using S = TSecretFileStatus;
    const struct {
        const char* name;
        bool writer;         // a writer opens the FIFO at all
        std::string written; // what it writes, 30 ms after opening
        bool closes;         // it closes the FIFO after writing; else it holds it open
        bool firstLine;
        S status;
        std::string text;
    } cases[] = {
        {"nobody writes", false, "", false, true, S::TooSlow, ""},
        {"a line, the writer stays", true, "secret\nrest", false, true, S::Read, "secret"},
        {"a whole file", true, "A\tb\nC\td\n", true, false, S::Read, "A\tb\nC\td\n"},
        {"a line without its end, the writer stays", true, "secr", false, true, S::TooSlow, ""},
        {"the writer closes without writing", true, "", true, true, S::Read, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<bool> done{false};
        std::thread writer;
        if (c.writer) {
            writer = std::thread([&] {
                const int fd = ::open(fifo.c_str(), O_WRONLY); // waits for the reader
                if (fd < 0)
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                if (!c.written.empty())
                    (void)!::write(fd, c.written.data(), c.written.size());
                while (!c.closes && !done)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                ::close(fd);
            });
        }
        const TSecretFileRead read =
            ReadSecretFile(fifo, kPasswordLineLimit, c.firstLine, std::chrono::milliseconds(400));
        done = true;
        if (writer.joinable())
            writer.join();
        EXPECT_EQ(read.Status, c.status);
        EXPECT_EQ(read.Text, c.text);
    }
}

TEST(SecretFiles, MessagesNameTheFileAndTheLimit) {
    const auto wait = std::chrono::milliseconds(60000);
    using S = TSecretFileStatus;
    EXPECT_EQ(SecretFileMessage("password file", "/p", S::TooLarge, kPasswordLineLimit, true, wait),
              "The first line of the password file /p is longer than 64 KiB.");
    EXPECT_EQ(SecretFileMessage("credentials file", "/c", S::TooLarge, kCredentialsFileLimit, false,
                                wait),
              "The credentials file /c is larger than 1 MiB.");
    EXPECT_EQ(SecretFileMessage("password file", "/p", S::TooSlow, kPasswordLineLimit, true, wait),
              "The password file /p did not give its first line within 60 seconds.");
    EXPECT_EQ(
        SecretFileMessage("credentials file", "/c", S::TooSlow, kCredentialsFileLimit, false, wait),
        "The credentials file /c did not end within 60 seconds.");
    EXPECT_EQ(SecretFileMessage("password file", "/p", S::CannotOpen, 1, true, wait),
              "The password file /p cannot be read.");
}

// zephran-admin with password and credentials files that are endless, too large, or just
// within the limits: the first two are invalid command lines (exit 2, nothing sent), the last
// ones are used.
TEST(SecretFiles, AdminRefusesFilesBeyondTheLimits) {
    TTempFolder folder;
    const std::string dir = folder.Path();
    const std::string password = "Zq7#kP2vLx9!mW&r";
    const nlohmann::json broker = {
        {"servers", {{{"name", "CENTRAL"}, {"center", "Centre"}, {"password", password}}}}};
    std::ofstream(dir + "broker.json") << broker.dump();
    TPeerProcess testBroker(kBin + "/zephran-testbroker",
                            {"--fixture", dir + "broker.json", "--port", "0"});
    ASSERT_TRUE(testBroker.Running());
    const std::string url = "127.0.0.1:" + std::to_string(testBroker.Port()) + "/web";

    // A line of exactly 64 KiB is the password; one byte more is too long.
    std::ofstream(dir + "long-line") << std::string(kPasswordLineLimit, 'p') << "\n";
    std::ofstream(dir + "too-long-line") << std::string(kPasswordLineLimit + 1, 'p');
    std::ofstream(dir + "password") << password << "\r\nnot this line\n";
    // Credentials: valid lines up to exactly 1 MiB, and one byte more.
    std::string credentials = "CENTRAL\t" + password + "\n";
    while (credentials.size() < kCredentialsFileLimit)
        credentials += "\n";
    credentials.resize(kCredentialsFileLimit);
    std::ofstream(dir + "credentials", std::ios::binary) << credentials;
    std::ofstream(dir + "too-many-credentials", std::ios::binary) << credentials << "\n";

    const std::string fifo = dir + "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        std::string err;
        bool fifoWriter = false; // the password arrives through the FIFO
    } cases[] = {
        {"endless password file",
         {"broker", "check", "--url", url, "--server", "CENTRAL", "--password-file", "/dev/zero"},
         2,
         "The first line of the password file /dev/zero is longer than 64 KiB.\n"},
        {"password line beyond the limit",
         {"broker", "check", "--url", url, "--server", "CENTRAL", "--password-file",
          dir + "too-long-line"},
         2,
         "The first line of the password file " + dir + "too-long-line is longer than 64 KiB.\n"},
        {"password line of the limit",
         {"broker", "check", "--url", url, "--server", "CENTRAL", "--password-file",
          dir + "long-line"},
         1,
         ""},
        {"password file",
         {"broker", "check", "--url", url, "--server", "CENTRAL", "--password-file",
          dir + "password"},
         0,
         ""},
        {"password through a FIFO",
         {"broker", "check", "--url", url, "--server", "CENTRAL", "--password-file", fifo},
         0,
         "",
         true},
        {"endless credentials file",
         {"broker", "sessions", "--url", url, "--credentials", "/dev/zero"},
         2,
         "The credentials file /dev/zero is larger than 1 MiB.\n"},
        {"credentials beyond the limit",
         {"broker", "check", "--url", url, "--credentials", dir + "too-many-credentials"},
         2,
         "The credentials file " + dir + "too-many-credentials is larger than 1 MiB.\n"},
        {"credentials of the limit",
         {"broker", "check", "--url", url, "--credentials", dir + "credentials"},
         0,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread writer;
        if (c.fifoWriter)
            writer = std::thread([&] { std::ofstream(fifo) << password << "\n"; });
        const TCommandResult r = RunCommand(kBin + "/zephran-admin", c.args, {}, 60);
        if (writer.joinable())
            writer.join();
        EXPECT_EQ(r.ExitCode, c.exit) << r.Err;
        if (c.exit != 1) {
            EXPECT_EQ(r.Err, c.err);
        }
        if (c.exit == 2) {
            EXPECT_EQ(r.Out, "");
        }
    }
}

} // namespace
