#include "CliContext.h"

#include "IdPermutation.h"
#include "MessageDialogs.h"
#include "SecretFiles.h"

#include <CLI/CLI.hpp>

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

std::string AskPassword() {
    std::fputs("Administrator password: ", stderr);
    std::fflush(stderr);
    termios saved{};
    const bool haveTerminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (haveTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const std::string password = FirstLineOf(std::cin);
    if (haveTerminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
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
