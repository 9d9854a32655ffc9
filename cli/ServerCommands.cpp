#include "ServerCommands.h"

#include "CliOutput.h"
#include "ServerErrors.h"
#include "ServerSession.h"
#include "commands/Commands.h"

#include <CLI/CLI.hpp>

#include <new>
#include <optional>

namespace {

// A server command: `work` runs inside one session once the login has been accepted.
CLI::App* AddCommand(CLI::App& app, TCliContext& ctx, const char* name, const char* help,
                     bool (*work)(TCliContext&)) {
    CLI::App* command = app.add_subcommand(name, help);
    command->callback([&ctx, work] {
        RunSession(ctx, [&] {
            // Memory that runs out while the output is made fails the command, not the session.
            try {
                return work(ctx);
            } catch (const std::bad_alloc&) {
                ShowOutOfMemory();
                return false;
            }
        });
    });
    return command;
}

} // namespace

void AddServerCommands(CLI::App& app, TCliContext& ctx) {
    AddCommand(app, ctx, "info", "the server's names and its database table", Info);
    AddCommand(app, ctx, "locals", "the local connections with their results", Locals);
    AddCommand(app, ctx, "webs", "the web connections", Webs);
    AddCommand(app, ctx, "databases", "the databases with their children and results", Databases);

    CLI::App* status = AddCommand(app, ctx, "status", "the server's counters", Status);
    status
        ->add_option_function<std::string>(
            "--watch",
            [&ctx](const std::string& value) {
                const std::optional<double> seconds = ParseSeconds(value);
                if (!seconds)
                    throw CLI::ValidationError("--watch", "the interval must be a positive "
                                                          "number of seconds, not \"" +
                                                              value + "\"");
                ctx.WatchSeconds = *seconds;
            },
            "ask again every SECONDS until interrupted (SIGINT or SIGTERM), one line a sample: "
            "the time, requests per second, clients, results held and databases open; with "
            "--json one JSON object a line")
        ->type_name("SECONDS");

    AddCommand(app, ctx, "error-log", "the whole server error log", ErrorLog);
    AddCommand(app, ctx, "clear-error-log", "clear the server's error log", ClearErrorLog);

    CLI::App* killLocal =
        AddCommand(app, ctx, "kill-local", "delete a local connection", KillLocal);
    killLocal->add_option("SECURITY_NUM", ctx.KillSecurityNum, "the connection's security number")
        ->required();
    killLocal->add_option("USER_NAME", ctx.KillUserName, "the connection's user name")->required();

    CLI::App* killWeb = AddCommand(app, ctx, "kill-web", "delete a web connection", KillWeb);
    killWeb->add_option("USER_ID", ctx.KillUserId, "the connection's user id")->required();
}
