#include "CliContext.h"

#include "ExitGuard.h"
#include "IdPermutation.h"
#include "MessageDialogs.h"
#include "SecretFiles.h"
#include "Win1256.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace {

std::string FirstLineOf(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// The terminal without echo for as long as it lives; its mode comes back on every way out,
// the end of the program by a signal or the time limit included (ExitGuard keeps it).
class TQuietTerminal {
public:
    TQuietTerminal() {
        termios saved{};
        if (::tcgetattr(STDIN_FILENO, &saved) != 0)
            return;
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        changed_ = ExitGuard::ChangeTerminal(STDIN_FILENO, saved, quiet);
    }
    ~TQuietTerminal() {
        if (changed_)
            ExitGuard::RestoreTerminal();
    }
    TQuietTerminal(const TQuietTerminal&) = delete;
    TQuietTerminal& operator=(const TQuietTerminal&) = delete;

private:
    bool changed_ = false;
};

std::string AskPassword() {
    // The time the user takes to answer does not count against the command's limit.
    const ExitGuard::TTimeLimitPause pause;
    std::fputs("Administrator password: ", stderr);
    std::fflush(stderr);
    std::string password;
    {
        const TQuietTerminal quiet;
        password = FirstLineOf(std::cin);
    }
    std::fputc('\n', stderr);
    return password;
}

} // namespace

const std::string& TCliContext::Password() {
    if (password_)
        return *password_;
    if (!PasswordFile.empty()) {
        // Read with a bound on its size and on the wait; a file that cannot give the password
        // makes the command line invalid: the command stops here, before anything is sent.
        TSecretFileRead read =
            ReadSecretFile(PasswordFile, kPasswordLineLimit, true, kSecretFileWait);
        if (read.Status != TSecretFileStatus::Read) {
            WriteMessage(SecretFileMessage("password file", PasswordFile, read.Status,
                                           kPasswordLineLimit, true, kSecretFileWait));
            throw CLI::RuntimeError(kExitUsage);
        }
        password_ = std::move(read.Text);
    } else if (const char* env = std::getenv("ZEPHRAN_PASSWORD")) {
        password_ = std::string(env);
    } else if (::isatty(STDIN_FILENO) != 0) {
        password_ = AskPassword();
    } else {
        password_ = std::string();
    }
    return *password_;
}

std::optional<double> ParseSeconds(const std::string& text) {
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, seconds);
    if (text.empty() || error != std::errc() || at != end || !std::isfinite(seconds) ||
        !(seconds > 0))
        return std::nullopt;
    return seconds;
}

std::string TimeLimitMessage(double seconds) {
    char number[32];
    const auto [end, error] = std::to_chars(number, number + sizeof number, seconds);
    const std::string shown = error == std::errc() ? std::string(number, end) : "the given";
    return "The command did not finish within " + shown + (seconds == 1 ? " second." : " seconds.");
}

void WriteMessage(const std::string& text) {
    ShowMessageDialog(text, TMsgDlgType::mtError, {TMsgDlgBtn::mbOK});
}

void AddGlobalOptions(CLI::App& app, TCliContext& ctx) {
    app.add_option("--tcp", ctx.Tcp, "the server over TCP: HOST[:PORT], PORT defaults to 4545")
        ->type_name("HOST[:PORT]");
    app.add_option("--spx", ctx.Spx, "the server over SPX: NET:NODE:SOCKET in hexadecimal")
        ->type_name("NET:NODE:SOCKET");
    app.add_option("--password-file", ctx.PasswordFile,
                   "the administrator password is the first line of FILE")
        ->type_name("FILE")
        ->check(CLI::Validator(CLI::ExistingFile).description(""));
    app.add_flag("--json", ctx.Json, "print the result as one JSON document");
    app.add_flag("--english", ctx.English, "show server errors with their English texts");
    app.add_option("--url", ctx.Url, "broker commands: the broker URL")->type_name("URL");
    app.add_option("--credentials", ctx.CredentialsFile,
                   "broker commands: one server per line, NAME<TAB>PASSWORD")
        ->type_name("FILE")
        ->check(CLI::Validator(CLI::ExistingFile).description(""));
    app.add_option("--server", ctx.Servers,
                   "broker commands: a server name, repeatable; its password is the "
                   "administrator password")
        ->type_name("NAME")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option_function<std::string>(
           "--timeout",
           [&ctx](const std::string& value) {
               const std::optional<double> seconds = ParseSeconds(value);
               if (!seconds)
                   throw CLI::ValidationError("--timeout", "the time limit must be a positive "
                                                           "number of seconds, not \"" +
                                                               value + "\"");
               ctx.Timeout = *seconds;
           },
           "a limit for the whole command, from connect to logout (or for all its broker "
           "queries); when it passes, the connection is closed, any spill file removed, a "
           "message names the limit and the exit status is 1")
        ->type_name("SECONDS");
    // Armed once the command line is known to be valid, just before the command runs.
    app.parse_complete_callback([&ctx] {
        if (ctx.Timeout > 0)
            ExitGuard::ArmTimeLimit(ctx.Timeout, TimeLimitMessage(ctx.Timeout));
    });
    app.add_option("--id-permutation", ctx.IdPermutation,
                   "broker reload: the 31 bit positions of the identity permutation, comma "
                   "separated")
        ->type_name("LIST")
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                std::string problem;
                if (ParseIdPermutation(value, &problem))
                    return {};
                return "not a permutation of the bit positions 0 to 30 other than the "
                       "identity (" +
                       problem + ")";
            },
            "", "IdPermutation"));
}

void AddArgumentChecks(CLI::App& app) {
    CLI::Option* userName = nullptr;
    try {
        userName = app.get_subcommand("kill-local")->get_option_no_throw("USER_NAME");
    } catch (const CLI::OptionNotFound&) {
    }
    if (userName == nullptr)
        return;
    userName->check(CLI::Validator(
        [](std::string& value) -> std::string {
            bool lossless = true;
            const TServerText encoded = EncodeWin1256(value, &lossless);
            if (!lossless)
                return "a server's user name is in the Arabic-script code page (Windows-1256), "
                       "which has no room for some of its characters";
            if (encoded.size() > kMaxServerUserName)
                return "a server's user name has at most " + std::to_string(kMaxServerUserName) +
                       " bytes in the Arabic-script code page (Windows-1256), this one has " +
                       std::to_string(encoded.size());
            return {};
        },
        "", "ServerUserName"));
}
