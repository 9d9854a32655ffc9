// The administrator password never reaches a file, standard output or standard error, in
// clear or scrambled: zephran-admin runs server and broker commands (successful and failing
// ones) from a copy of its own in a folder of the test, with HOME and the configuration folder
// there too, and every file written and every output is searched for both forms.

#include "PacketTransport.h"
#include "Processes.h"
#include "TempFolder.h"
#include "Win1256.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

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
    const std::string scrambled = ScramblePassword(EncodeWin1256(kPassword));
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

} // namespace
