#include "BrokerCommands.h"

#include "CliOutput.h"
#include "SecretFiles.h"

#include "BrokerText.h"
#include "HTTPSessions.h"
#include "HttpLogin.h"
#include "MessageDialogs.h"
#include "TarvRequester.h"
#include "Win1256.h"

#include <CLI/CLI.hpp>

#include <map>
#include <memory>

namespace {

struct TLogoutOptions {
    std::int32_t SessionId = 0;
    std::int32_t UserId = 0;
    std::string Server;
    std::string User;
};

// Every text printed by a broker command passes here first: a password the command sent that a
// broker echoes back is masked.
std::string Masked(std::string_view text) {
    return Requester.MaskSentPasswords(text);
}

// A text for a line of its own (not a table cell): masked, control characters escaped.
std::string Shown(std::string_view text) {
    return EscapeControls(Masked(text));
}

// A table row as printed: every cell masked (TTableLayout escapes them).
std::vector<std::string> MaskedCells(const std::vector<std::string>& cells) {
    std::vector<std::string> masked;
    masked.reserve(cells.size());
    for (const std::string& cell : cells)
        masked.push_back(Masked(cell));
    return masked;
}

// The server rows of the login dialog as the command line fills them: a row is ticked when
// the command line gives a password for its server.
class TCommandLineRows final : public IServerRowsView {
public:
    explicit TCommandLineRows(const std::vector<TServerCredential>& credentials) {
        for (const TServerCredential& c : credentials)
            passwords_.emplace(CutText(c.ServerName, 60), c.Password);
    }
    // The rows of the login logic that this view stands beside.
    void Attach(const std::vector<TBrokerServer>& rows) { rows_ = &rows; }
    bool RowTicked(std::size_t index) const override {
        return rows_ != nullptr && index < rows_->size() &&
               passwords_.count((*rows_)[index].ServerName) != 0;
    }
    std::string RowPassword(std::size_t index) const override {
        if (!RowTicked(index))
            return {};
        return passwords_.at((*rows_)[index].ServerName);
    }

private:
    const std::vector<TBrokerServer>* rows_ = nullptr;
    std::map<std::string, std::string> passwords_;
};

// Sets the module URL from --url; false (exit status set) when the URL is missing or empty.
bool PrepareURL(TCliContext& ctx, std::string& urlText) {
    if (!ctx.Url) {
        WriteMessage("The broker commands need --url URL.");
        ctx.ExitCode = kExitUsage;
        return false;
    }
    urlText = *ctx.Url;
    const std::optional<std::string> url = NormaliseBrokerURL(urlText);
    if (!url) {
        WriteMessage("Broker URL is not valid");
        ctx.ExitCode = kExitUsage;
        return false;
    }
    urlText = *url;
    Requester.ModuleURL = ModuleURLOf(*url);
    return true;
}

// The servers of --credentials, then those of --server with the administrator password.
std::optional<std::vector<TServerCredential>> GatherCredentials(TCliContext& ctx) {
    std::vector<TServerCredential> list;
    if (!ctx.CredentialsFile.empty()) {
        const TSecretFileRead read =
            ReadSecretFile(ctx.CredentialsFile, kCredentialsFileLimit, false, kSecretFileWait);
        if (read.Status != TSecretFileStatus::Read) {
            WriteMessage(SecretFileMessage("credentials file", ctx.CredentialsFile, read.Status,
                                           kCredentialsFileLimit, false, kSecretFileWait));
            return std::nullopt;
        }
        const std::string_view text = read.Text;
        int number = 0;
        for (std::size_t from = 0; from < text.size();) {
            std::size_t end = text.find('\n', from);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view line = text.substr(from, end - from);
            from = end + 1;
            ++number;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (line.empty())
                continue;
            const std::size_t tab = line.find('\t');
            if (tab == std::string_view::npos || tab == 0) {
                WriteMessage("Line " + std::to_string(number) + " of the credentials file " +
                             ctx.CredentialsFile + " is not NAME<TAB>PASSWORD.");
                return std::nullopt;
            }
            list.push_back({std::string(line.substr(0, tab)), std::string(line.substr(tab + 1))});
        }
    }
    for (const std::string& server : ctx.Servers)
        list.push_back({server, ctx.Password()});
    return list;
}

std::optional<std::vector<TServerCredential>> RequireCredentials(TCliContext& ctx) {
    auto list = GatherCredentials(ctx);
    if (!list) {
        ctx.ExitCode = kExitUsage;
        return std::nullopt;
    }
    if (list->empty()) {
        WriteMessage("Name the servers with --server NAME or --credentials FILE.");
        ctx.ExitCode = kExitUsage;
        return std::nullopt;
    }
    return list;
}

// The URL and the servers of a command that needs both; nothing (exit status set) when either
// is missing.
std::optional<std::vector<TServerCredential>> URLAndServers(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return std::nullopt;
    return RequireCredentials(ctx);
}

// The server list, printed one server at a time straight from the reply. A broker that lists no
// server gives an empty list (and the login dialog's notice on standard error).
void RunServers(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    if (!Requester.Request(kServerListQuery, false).Succeeded()) {
        WriteMessage("Broker not found, check the URL.");
        ctx.ExitCode = kExitFailure;
        return;
    }
    const pugi::xml_node root = Requester.Root();
    std::size_t count = 0;
    if (ctx.Json) {
        TJsonWriter json;
        json.BeginObject().Key("module_url").String(Masked(Requester.ModuleURL));
        json.Key("servers").BeginArray();
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            ++count;
            const TBrokerServer row = ServerRowOf(name, center);
            json.BeginObject()
                .Key("name")
                .String(Masked(row.ServerName))
                .Key("center_name")
                .String(Masked(row.ECenterName))
                .EndObject();
        });
        json.EndArray().EndObject().Finish();
    } else {
        TTableLayout table(MaskedCells({"NAME", "CENTER NAME"}));
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            ++count;
            const TBrokerServer row = ServerRowOf(name, center);
            table.Measure(MaskedCells({row.ServerName, row.ECenterName}));
        });
        Out("Servers at " + Shown(Requester.ModuleURL) + "\n");
        table.PrintHeader();
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            const TBrokerServer row = ServerRowOf(name, center);
            table.Print(MaskedCells({row.ServerName, row.ECenterName}));
        });
    }
    if (count == 0)
        ShowMessageDialog("No server is avail through this broker.", TMsgDlgType::mtInformation,
                          {TMsgDlgBtn::mbOK});
}

void RunCheck(TCliContext& ctx) {
    const auto credentials = URLAndServers(ctx);
    if (!credentials)
        return;
    // Every password is checked (and so known as sent) before anything is printed, so that a
    // server name that spells one is masked in every line alike.
    std::vector<bool> valid;
    valid.reserve(credentials->size());
    for (const TServerCredential& c : *credentials)
        valid.push_back(CheckServerPassword(c.ServerName, c.Password));
    bool allValid = true;
    if (ctx.Json) {
        TJsonWriter json;
        json.BeginObject().Key("results").BeginArray();
        for (std::size_t i = 0; i < credentials->size(); ++i) {
            allValid = allValid && valid[i];
            json.BeginObject()
                .Key("server")
                .String(Masked(CutText((*credentials)[i].ServerName, 60)))
                .Key("valid")
                .Bool(valid[i])
                .EndObject();
        }
        json.EndArray().EndObject().Finish();
    } else {
        TTableLayout table(MaskedCells({"SERVER", "PASSWORD"}));
        for (const TServerCredential& c : *credentials)
            table.Measure(MaskedCells({CutText(c.ServerName, 60), "invalid"}));
        table.PrintHeader();
        for (std::size_t i = 0; i < credentials->size(); ++i) {
            allValid = allValid && valid[i];
            table.Print(MaskedCells(
                {CutText((*credentials)[i].ServerName, 60), valid[i] ? "valid" : "invalid"}));
        }
    }
    ctx.ExitCode = allValid ? kExitSuccess : kExitFailure;
}

void WriteSession(TJsonWriter& json, pugi::xml_node session) {
    const THTTPSessionRow row = ReadSessionRow(session, false);
    json.BeginObject()
        .Key("session_id")
        .Number(row.SessionId)
        .Key("server_idx")
        .Number(row.ServerIdx)
        .Key("server_name")
        .String(Masked(row.ServerName))
        .Key("center_name")
        .String(Masked(row.ECenterName))
        .Key("user_id")
        .Number(row.UserId)
        .Key("user_name")
        .String(Masked(row.UserName))
        .Key("kind")
        .Number(row.KindNumber)
        .Key("kind_text")
        .String(Masked(row.Kind))
        .Key("last_access")
        .Real(row.LastAccessTime)
        .Key("last_access_text")
        .String(Masked(LastAccessTimeText(row.LastAccessTime)));
    json.Key("resources").BeginArray();
    ForEachResourceRow(session, [&json](const TDBResourceRow& r) {
        json.BeginObject()
            .Key("db_id")
            .Number(r.DBId)
            .Key("db_name")
            .String(Masked(r.DBName))
            .Key("app_file_id")
            .Number(r.AppFileId)
            .Key("app_file_handle")
            .Number(r.AppFileHandle)
            .Key("edit_file_id")
            .Number(r.EditFileId)
            .Key("edit_file_handle")
            .Number(r.EditFileHandle)
            .EndObject();
    });
    json.EndArray().EndObject();
}

std::vector<std::string> SessionCells(const THTTPSessionRow& row, std::size_t resources) {
    return MaskedCells({std::to_string(row.SessionId), ServerUserName(row), row.Kind,
                        row.ECenterName, LastAccessTimeText(row.LastAccessTime),
                        std::to_string(resources)});
}

std::vector<std::string> ResourceCells(const TDBResourceRow& r) {
    return MaskedCells({std::to_string(r.DBId), r.DBName, std::to_string(r.AppFileId),
                        std::to_string(r.EditFileId)});
}

// The session list, printed one session (and one resource) at a time straight from the reply.
void RunSessions(TCliContext& ctx) {
    const auto credentials = URLAndServers(ctx);
    if (!credentials)
        return;
    TSessionList servers;
    for (const TServerCredential& c : *credentials)
        servers.AddServer(c.ServerName, c.Password);
    if (!RequestSessionList(servers.Credentials)) {
        ctx.ExitCode = kExitFailure;
        return;
    }
    const pugi::xml_node root = Requester.Root();
    if (ctx.Json) {
        TJsonWriter json;
        json.BeginObject().Key("sessions").BeginArray();
        ForEachSessionElement(root,
                              [&json](pugi::xml_node session) { WriteSession(json, session); });
        json.EndArray().EndObject().Finish();
        return;
    }
    TTableLayout table(MaskedCells(
        {"SESSION", "USER NAME", "KIND", "CENTER NAME", "LAST REQUEST TIME", "RESOURCES"}));
    std::size_t count = 0;
    ForEachSessionElement(root, [&table, &count](pugi::xml_node session) {
        ++count;
        table.Measure(SessionCells(ReadSessionRow(session, false), ResourceCount(session)));
    });
    Out("Number of Sessions: " + std::to_string(count) + "\n");
    table.PrintHeader();
    ForEachSessionElement(root, [&table](pugi::xml_node session) {
        table.Print(SessionCells(ReadSessionRow(session, false), ResourceCount(session)));
    });
    ForEachSessionElement(root, [](pugi::xml_node session) {
        if (ResourceCount(session) == 0)
            return;
        const THTTPSessionRow row = ReadSessionRow(session, false);
        Out("\nSession " + std::to_string(row.SessionId) + " (" + Shown(ServerUserName(row)) +
            "): Database Active Resource List\n");
        TTableLayout resources(
            MaskedCells({"DB ID", "Database Name", "Append File ID", "Edit File ID"}));
        ForEachResourceRow(session, [&resources](const TDBResourceRow& r) {
            resources.Measure(ResourceCells(r));
        });
        resources.PrintHeader();
        ForEachResourceRow(
            session, [&resources](const TDBResourceRow& r) { resources.Print(ResourceCells(r)); });
    });
}

void RunLogout(TCliContext& ctx, const TLogoutOptions& options) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    std::string server = options.Server;
    if (server.empty() && ctx.Servers.size() == 1)
        server = ctx.Servers.front();
    if (server.empty()) {
        WriteMessage("broker logout needs --server NAME.");
        ctx.ExitCode = kExitUsage;
        return;
    }
    ctx.ExitCode =
        TSessionList::LogoutSession(options.SessionId, server, options.User, options.UserId)
            ? kExitSuccess
            : kExitFailure;
}

void RunReload(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    const auto credentials = GatherCredentials(ctx);
    if (!credentials) {
        ctx.ExitCode = kExitUsage;
        return;
    }
    TSessionList sessions;
    TCommandLineRows rows(*credentials);
    THTTPLoginLogic login(sessions, rows);
    rows.Attach(login.ServerRows);
    if (!ctx.IdPermutation.empty())
        login.IdPermutationOverride = ParseIdPermutation(ctx.IdPermutation);
    ctx.ExitCode = login.Reload(urlText) ? kExitSuccess : kExitFailure;
}

} // namespace

void AddBrokerCommands(CLI::App& app, TCliContext& ctx) {
    CLI::App* broker = app.add_subcommand("broker", "administer an HTTP broker (needs --url)");
    broker->require_subcommand(1);
    broker->fallthrough();

    CLI::App* servers = broker->add_subcommand("servers", "list the servers behind the broker");
    servers->fallthrough();
    servers->callback([&ctx] { RunServers(ctx); });

    CLI::App* check = broker->add_subcommand(
        "check", "check the administrator password of each --server / --credentials entry");
    check->fallthrough();
    check->callback([&ctx] { RunCheck(ctx); });

    CLI::App* sessions =
        broker->add_subcommand("sessions", "list the broker's sessions of the given servers");
    sessions->fallthrough();
    sessions->callback([&ctx] { RunSessions(ctx); });

    auto logoutOptions = std::make_shared<TLogoutOptions>();
    CLI::App* logout = broker->add_subcommand("logout", "log one session out");
    logout->fallthrough();
    logout->add_option("--session-id", logoutOptions->SessionId, "the session id")->required();
    logout->add_option("--user-id", logoutOptions->UserId, "the user id")->required();
    logout->add_option("--server", logoutOptions->Server, "the session's server name");
    logout->add_option("--user", logoutOptions->User, "the session's user name")->required();
    logout->callback([&ctx, logoutOptions] { RunLogout(ctx, *logoutOptions); });

    CLI::App* reload = broker->add_subcommand(
        "reload", "reload the broker; every listed server needs its password (--credentials)");
    reload->fallthrough();
    reload->callback([&ctx] { RunReload(ctx); });
}
