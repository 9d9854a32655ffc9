#pragma once

// What every command of zephran-admin shares: the global options as parsed, the
// administrator password (asked for once, when a command first needs it), and the exit status
// the command leaves behind.
//
// Commands are CLI11 subcommands whose callbacks run after the whole command line has been
// parsed (options may come before or after the command). A callback does its work, writes its
// output, and sets ExitCode: 0 success, 1 the operation failed (the reason has been written),
// 2 the command line was not valid.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct TCliContext {
    // Global options, as given on the command line.
    std::string Tcp;                  // --tcp HOST[:PORT]
    std::string Spx;                  // --spx NET:NODE:SOCKET
    std::string PasswordFile;         // --password-file FILE
    bool Json = false;                // --json
    bool English = false;             // --english
    std::optional<std::string> Url;   // --url URL
    std::string CredentialsFile;      // --credentials FILE
    std::vector<std::string> Servers; // --server NAME, repeatable
    std::string IdPermutation;        // --id-permutation LIST (already validated)
    double Timeout = 0;               // --timeout SECONDS, 0 for no limit

    // Arguments of the server commands.
    std::int32_t KillSecurityNum = 0; // kill-local SECURITY_NUM
    std::string KillUserName;         // kill-local USER_NAME
    std::int32_t KillUserId = 0;      // kill-web USER_ID
    double WatchSeconds = 0;          // status --watch SECONDS, 0 without it

    int ExitCode = kExitSuccess;

    // The administrator password: the first line of --password-file, else the environment
    // variable ZEPHRAN_PASSWORD, else asked for without echo when standard input is a
    // terminal, else empty. Resolved on first use; never printed. A password file that cannot
    // be read, whose first line is longer than 64 KiB, or that does not arrive in time is
    // reported and ends the command as an invalid command line (CLI::RuntimeError with exit
    // status 2, thrown out of the command's callback).
    const std::string& Password();

    // For tests and callers that already hold the password.
    void SetPassword(std::string password) { password_ = std::move(password); }

private:
    std::optional<std::string> password_;
};

// Adds the global options of the command line to `app`, bound to `ctx`. Once the whole line
// has been parsed and before the command runs, --timeout arms the command's time limit.
void AddGlobalOptions(CLI::App& app, TCliContext& ctx);

// Checks of the commands' arguments that the commands themselves do not make: a user name that
// no server's user can have. Called once every command has been added.
void AddArgumentChecks(CLI::App& app);

// The longest user name a server keeps, in bytes of Windows-1256.
inline constexpr std::size_t kMaxServerUserName = 30;

// The seconds of a --timeout or status --watch value: a positive decimal number; nothing when
// it is not one.
std::optional<double> ParseSeconds(const std::string& text);
// "The command did not finish within 5 seconds."
std::string TimeLimitMessage(double seconds);

// Writes a message to standard error as the console's message box would show it.
void WriteMessage(const std::string& text);
