#include "BrokerCommands.h"

#include "CliOutput.h"

#include "BrokerText.h"
#include "HttpLogin.h"
#include "TarvRequester.h"
#include "Win1256.h"

#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <map>
#include <memory>

namespace {

struct TLogoutOptions {
    std::int32_t SessionId = 0;
    std::int32_t UserId = 0;
    std::string Server;
    std::string User;
};

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
        std::ifstream in(ctx.CredentialsFile);
        if (!in) {
            WriteMessage("The credentials file " + ctx.CredentialsFile + " cannot be read.");
            return std::nullopt;
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            const std::size_t tab = line.find('\t');
            if (tab == std::string::npos || tab == 0) {
                WriteMessage("Line " + std::to_string(number) + " of the credentials file " +
                             ctx.CredentialsFile + " is not NAME<TAB>PASSWORD.");
                return std::nullopt;
            }
            list.push_back({line.substr(0, tab), line.substr(tab + 1)});
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

void RunServers(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    TSessionList sessions;
    TCommandLineRows rows({});
    THTTPLoginLogic login(sessions, rows);
    rows.Attach(login.ServerRows);
    if (!login.Connect(urlText)) {
        ctx.ExitCode = kExitFailure;
        return;
    }
    if (ctx.Json) {
        nlohmann::json servers = nlohmann::json::array();
        for (const TBrokerServer& s : login.ServerRows)
            servers.push_back({{"name", s.ServerName}, {"center_name", s.ECenterName}});
        PrintJson({{"module_url", Requester.ModuleURL}, {"servers", servers}});
        return;
    }
    std::cout << "Servers at " << Requester.ModuleURL << '\n';
    std::vector<std::vector<std::string>> table{{"NAME", "CENTER NAME"}};
    for (const TBrokerServer& s : login.ServerRows)
        table.push_back({s.ServerName, s.ECenterName});
    PrintTable(table);
}

void RunCheck(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    const auto credentials = RequireCredentials(ctx);
    if (!credentials)
        return;
    nlohmann::json results = nlohmann::json::array();
    std::vector<std::vector<std::string>> table{{"SERVER", "PASSWORD"}};
    bool allValid = true;
    for (const TServerCredential& c : *credentials) {
        const bool valid = CheckServerPassword(c.ServerName, c.Password);
        allValid = allValid && valid;
        const std::string name = CutText(c.ServerName, 60);
        results.push_back({{"server", name}, {"valid", valid}});
        table.push_back({name, valid ? "valid" : "invalid"});
    }
    if (ctx.Json)
        PrintJson({{"results", results}});
    else
        PrintTable(table);
    ctx.ExitCode = allValid ? kExitSuccess : kExitFailure;
}

void RunSessions(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    const auto credentials = RequireCredentials(ctx);
    if (!credentials)
        return;
    TSessionList sessions;
    for (const TServerCredential& c : *credentials)
        sessions.AddServer(c.ServerName, c.Password);
    if (!sessions.RefreshSessions()) {
        ctx.ExitCode = kExitFailure;
        return;
    }
    if (ctx.Json) {
        nlohmann::json list = nlohmann::json::array();
        for (const THTTPSessionRow& row : sessions.Sessions)
            list.push_back(SessionRowJson(row));
        PrintJson({{"sessions", list}});
        return;
    }
    std::cout << "Number of Sessions: " << sessions.SessionCountText() << '\n';
    std::vector<std::vector<std::string>> table{
        {"SESSION", "USER NAME", "KIND", "CENTER NAME", "LAST REQUEST TIME", "RESOURCES"}};
    for (const THTTPSessionRow& row : sessions.Sessions) {
        table.push_back({std::to_string(row.SessionId), ServerUserName(row), row.Kind,
                         row.ECenterName, LastAccessTimeText(row.LastAccessTime),
                         std::to_string(row.DBResourceList.size())});
    }
    PrintTable(table);
    for (const THTTPSessionRow& row : sessions.Sessions) {
        if (row.DBResourceList.empty())
            continue;
        std::cout << "\nSession " << row.SessionId << " (" << ServerUserName(row)
                  << "): Database Active Resource List\n";
        std::vector<std::vector<std::string>> resources{
            {"DB ID", "Database Name", "Append File ID", "Edit File ID"}};
        for (const TDBResourceRow& r : row.DBResourceList)
            resources.push_back({std::to_string(r.DBId), r.DBName, std::to_string(r.AppFileId),
                                 std::to_string(r.EditFileId)});
        PrintTable(resources);
    }
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

nlohmann::json SessionRowJson(const THTTPSessionRow& row) {
    nlohmann::json resources = nlohmann::json::array();
    for (const TDBResourceRow& r : row.DBResourceList)
        resources.push_back({{"db_id", r.DBId},
                             {"db_name", r.DBName},
                             {"app_file_id", r.AppFileId},
                             {"app_file_handle", r.AppFileHandle},
                             {"edit_file_id", r.EditFileId},
                             {"edit_file_handle", r.EditFileHandle}});
    return {{"session_id", row.SessionId},
            {"server_idx", row.ServerIdx},
            {"server_name", row.ServerName},
            {"center_name", row.ECenterName},
            {"user_id", row.UserId},
            {"user_name", row.UserName},
            {"kind", row.KindNumber},
            {"kind_text", row.Kind},
            {"last_access", row.LastAccessTime},
            {"last_access_text", LastAccessTimeText(row.LastAccessTime)},
            {"resources", resources}};
}

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
