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
#include <nlohmann/json.hpp>

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

// A JSON string value of a text, masked.
std::string JsonText(std::string_view text) {
    std::string out;
    AppendJsonString(out, Masked(text));
    return out;
}

std::string JsonNumber(double value) {
    return nlohmann::json(value).dump();
}

// One JSON object written as text, in the layout PrintJson gives (two blanks per level), at
// `indent` blanks, with the members in the order they are added.
class TJsonObject {
public:
    explicit TJsonObject(std::size_t indent) : indent_(indent) {}
    TJsonObject& Member(std::string_view key, const std::string& json) {
        text_ += first_ ? "{\n" : ",\n";
        first_ = false;
        text_.append(indent_ + 2, ' ');
        text_ += '"';
        text_ += key;
        text_ += "\": ";
        text_ += json;
        return *this;
    }
    TJsonObject& Text(std::string_view key, std::string_view text) {
        return Member(key, JsonText(text));
    }
    TJsonObject& Int(std::string_view key, std::int64_t value) {
        return Member(key, std::to_string(value));
    }
    // Ends the object and hands its text over.
    std::string Close() {
        if (first_)
            return "{}";
        text_ += '\n';
        text_.append(indent_, ' ');
        text_ += '}';
        return std::move(text_);
    }

private:
    std::size_t indent_;
    std::string text_;
    bool first_ = true;
};

// A JSON list written one element at a time, at `indent` blanks.
class TJsonList {
public:
    explicit TJsonList(std::size_t indent) : indent_(indent) {}
    // The text that comes before the element.
    std::string Next() {
        std::string text = first_ ? "[\n" : ",\n";
        first_ = false;
        text.append(indent_ + 2, ' ');
        return text;
    }
    std::string Close() const {
        if (first_)
            return "[]";
        return "\n" + std::string(indent_, ' ') + "]";
    }

private:
    std::size_t indent_;
    bool first_ = true;
};

// An aligned table written one row at a time, in PrintTable's layout: a first pass over the
// rows measures the columns, a second writes them. Cells are masked and escaped.
class TStreamedTable {
public:
    explicit TStreamedTable(std::vector<std::string> header) : header_(std::move(header)) {
        Measure(header_);
    }
    void Measure(const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (widths_.size() <= i)
                widths_.push_back(0);
            // The last column is not padded, so its width is never needed.
            if (i + 1 < cells.size())
                widths_[i] = std::max(widths_[i], Utf8Length(Cell(cells[i])));
        }
    }
    void WriteHeader() const { Write(header_); }
    void Write(const std::vector<std::string>& cells) const {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string cell = Cell(cells[i]);
            line += cell;
            if (i + 1 < cells.size()) {
                const std::size_t length = Utf8Length(cell);
                if (length < widths_[i])
                    line.append(widths_[i] - length, ' ');
                line += "  ";
            }
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        line.push_back('\n');
        Out(line);
    }

private:
    static std::string Cell(const std::string& text) { return EscapeControls(Masked(text)); }

    std::vector<std::string> header_;
    std::vector<std::size_t> widths_;
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
        std::string text =
            "{\n  \"module_url\": " + JsonText(Requester.ModuleURL) + ",\n  \"servers\": ";
        TJsonList list(2);
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            ++count;
            const TBrokerServer row = ServerRowOf(name, center);
            text += list.Next();
            text += TJsonObject(4)
                        .Text("name", row.ServerName)
                        .Text("center_name", row.ECenterName)
                        .Close();
            Out(text);
            text.clear();
        });
        Out(text + list.Close() + "\n}\n");
    } else {
        TStreamedTable table({"NAME", "CENTER NAME"});
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            ++count;
            const TBrokerServer row = ServerRowOf(name, center);
            table.Measure({row.ServerName, row.ECenterName});
        });
        Out("Servers at " + Shown(Requester.ModuleURL) + "\n");
        table.WriteHeader();
        VisitServerElements(root, [&](const std::string& name, const std::string& center) {
            const TBrokerServer row = ServerRowOf(name, center);
            table.Write({row.ServerName, row.ECenterName});
        });
    }
    if (count == 0)
        ShowMessageDialog("No server is avail through this broker.", TMsgDlgType::mtInformation,
                          {TMsgDlgBtn::mbOK});
}

void RunCheck(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    const auto credentials = RequireCredentials(ctx);
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
        std::string text = "{\n  \"results\": ";
        TJsonList list(2);
        for (std::size_t i = 0; i < credentials->size(); ++i) {
            allValid = allValid && valid[i];
            text += list.Next();
            text += TJsonObject(4)
                        .Text("server", CutText((*credentials)[i].ServerName, 60))
                        .Member("valid", valid[i] ? "true" : "false")
                        .Close();
            Out(text);
            text.clear();
        }
        Out(text + list.Close() + "\n}\n");
    } else {
        TStreamedTable table({"SERVER", "PASSWORD"});
        for (const TServerCredential& c : *credentials)
            table.Measure({CutText(c.ServerName, 60), "invalid"});
        table.WriteHeader();
        for (std::size_t i = 0; i < credentials->size(); ++i) {
            allValid = allValid && valid[i];
            table.Write(
                {CutText((*credentials)[i].ServerName, 60), valid[i] ? "valid" : "invalid"});
        }
    }
    ctx.ExitCode = allValid ? kExitSuccess : kExitFailure;
}

std::string SessionJson(pugi::xml_node session) {
    const THTTPSessionRow row = ReadSessionRow(session, false);
    TJsonObject object(4);
    object.Int("session_id", row.SessionId)
        .Int("server_idx", row.ServerIdx)
        .Text("server_name", row.ServerName)
        .Text("center_name", row.ECenterName)
        .Int("user_id", row.UserId)
        .Text("user_name", row.UserName)
        .Int("kind", row.KindNumber)
        .Text("kind_text", row.Kind)
        .Member("last_access", JsonNumber(row.LastAccessTime))
        .Text("last_access_text", LastAccessTimeText(row.LastAccessTime));
    std::string resources;
    TJsonList list(6);
    ForEachResourceRow(session, [&resources, &list](const TDBResourceRow& r) {
        resources += list.Next();
        resources += TJsonObject(8)
                         .Int("db_id", r.DBId)
                         .Text("db_name", r.DBName)
                         .Int("app_file_id", r.AppFileId)
                         .Int("app_file_handle", r.AppFileHandle)
                         .Int("edit_file_id", r.EditFileId)
                         .Int("edit_file_handle", r.EditFileHandle)
                         .Close();
    });
    resources += list.Close();
    return object.Member("resources", resources).Close();
}

std::vector<std::string> SessionCells(const THTTPSessionRow& row, std::size_t resources) {
    return {
        std::to_string(row.SessionId),          ServerUserName(row),      row.Kind, row.ECenterName,
        LastAccessTimeText(row.LastAccessTime), std::to_string(resources)};
}

std::vector<std::string> ResourceCells(const TDBResourceRow& r) {
    return {std::to_string(r.DBId), r.DBName, std::to_string(r.AppFileId),
            std::to_string(r.EditFileId)};
}

// The session list, printed one session (and one resource) at a time straight from the reply.
void RunSessions(TCliContext& ctx) {
    std::string urlText;
    if (!PrepareURL(ctx, urlText))
        return;
    const auto credentials = RequireCredentials(ctx);
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
        std::string text = "{\n  \"sessions\": ";
        TJsonList list(2);
        ForEachSessionElement(root, [&text, &list](pugi::xml_node session) {
            text += list.Next();
            text += SessionJson(session);
            Out(text);
            text.clear();
        });
        Out(text + list.Close() + "\n}\n");
        return;
    }
    TStreamedTable table(
        {"SESSION", "USER NAME", "KIND", "CENTER NAME", "LAST REQUEST TIME", "RESOURCES"});
    std::size_t count = 0;
    ForEachSessionElement(root, [&table, &count](pugi::xml_node session) {
        ++count;
        table.Measure(SessionCells(ReadSessionRow(session, false), ResourceCount(session)));
    });
    Out("Number of Sessions: " + std::to_string(count) + "\n");
    table.WriteHeader();
    ForEachSessionElement(root, [&table](pugi::xml_node session) {
        table.Write(SessionCells(ReadSessionRow(session, false), ResourceCount(session)));
    });
    ForEachSessionElement(root, [](pugi::xml_node session) {
        if (ResourceCount(session) == 0)
            return;
        const THTTPSessionRow row = ReadSessionRow(session, false);
        Out("\nSession " + std::to_string(row.SessionId) + " (" + Shown(ServerUserName(row)) +
            "): Database Active Resource List\n");
        TStreamedTable resources({"DB ID", "Database Name", "Append File ID", "Edit File ID"});
        ForEachResourceRow(session, [&resources](const TDBResourceRow& r) {
            resources.Measure(ResourceCells(r));
        });
        resources.WriteHeader();
        ForEachResourceRow(
            session, [&resources](const TDBResourceRow& r) { resources.Write(ResourceCells(r)); });
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
