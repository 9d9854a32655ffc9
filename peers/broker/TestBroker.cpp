#include "TestBroker.h"

#include "IdPermutation.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <set>

namespace testbroker {

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string XmlEscape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

// A scalar of the fixture as element text: numbers as JSON writes them, texts as they are.
std::string ScalarText(const nlohmann::json& v) {
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_null())
        return {};
    return v.dump();
}

void Element(std::string& out, const char* name, const std::string& escapedText) {
    out += '<';
    out += name;
    out += '>';
    out += escapedText;
    out += "</";
    out += name;
    out += '>';
}

void OptionalElement(std::string& out, const char* name, const nlohmann::json& object,
                     const char* key) {
    const auto it = object.find(key);
    if (it != object.end())
        Element(out, name, XmlEscape(ScalarText(*it)));
}

std::string Envelope(int error, const std::optional<std::string>& errorText,
                     const std::string& data) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ZephReply>";
    Element(out, "_ERRNUM", std::to_string(error));
    if (errorText)
        Element(out, "_ERRSTR", XmlEscape(*errorText));
    if (!data.empty())
        out += "<_DATA>" + data + "</_DATA>";
    out += "</ZephReply>\n";
    return out;
}

std::string ErrorAnswer(int error, const std::string& text) {
    return Envelope(error, text, {});
}

const std::set<std::string> kFixedKeys = {"_CLTVER", "_RQ",        "_MAINRQ",   "_SERVICEKIND",
                                          "_SNAME",  "_UNAME",     "_PASSWORD", "_ID",
                                          "_COUNT",  "_SESSIONID", "_UID"};

bool IsBrokerKey(const std::string& key) {
    if (kFixedKeys.count(key) != 0)
        return true;
    for (const char* prefix : {"_SNAME", "_PASSWORD"}) {
        const std::string p = prefix;
        if (key.size() > p.size() && key.compare(0, p.size(), p) == 0 &&
            std::all_of(key.begin() + static_cast<std::ptrdiff_t>(p.size()), key.end(),
                        [](char c) { return c >= '0' && c <= '9'; }))
            return true;
    }
    return false;
}

bool IsPasswordKey(const std::string& key) {
    const std::string p = "_PASSWORD";
    return key.compare(0, p.size(), p) == 0 && IsBrokerKey(key);
}

std::size_t LoggedSize(const ReceivedRequest& r) {
    return r.path.size() + r.body.size() + r.connection.size() +
           (r.contentType ? r.contentType->size() : 0);
}

std::string Value(const std::vector<std::pair<std::string, std::string>>& query,
                  const std::string& key, bool* present = nullptr) {
    for (const auto& [k, v] : query)
        if (k == key) {
            if (present != nullptr)
                *present = true;
            return v;
        }
    if (present != nullptr)
        *present = false;
    return {};
}

const char* kHtmlPage = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n"
                        "<html><head><title>500 Internal Server Error</title>\n"
                        "<meta http-equiv=\"Content-Type\" content=\"text/html\">\n"
                        "</head><body><h1>Internal Server Error</h1>\n"
                        "<p>The server encountered an internal error.<br>\n"
                        "</body></html>\n";

int ParseInt(const std::string& s, bool& ok) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(s, &used, 10);
        ok = used == s.size() && v >= INT32_MIN && v <= INT32_MAX;
        return ok ? static_cast<int>(v) : 0;
    } catch (const std::exception&) {
        ok = false;
        return 0;
    }
}

} // namespace

std::vector<std::pair<std::string, std::string>> SplitQuery(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t amp = body.find('&', pos);
        if (amp == std::string::npos)
            amp = body.size();
        const std::string piece = body.substr(pos, amp - pos);
        const std::size_t eq = piece.find('=');
        const std::string key = eq == std::string::npos ? std::string{} : piece.substr(0, eq);
        if (eq != std::string::npos && IsBrokerKey(key))
            out.emplace_back(key, piece.substr(eq + 1));
        else if (!out.empty())
            out.back().second += "&" + piece;
        else
            out.emplace_back(key, eq == std::string::npos ? piece : piece.substr(eq + 1));
        pos = amp + 1;
    }
    return out;
}

std::string MaskPasswords(const std::string& body) {
    // The same walk as SplitQuery's: a piece that starts no pair continues the value before it.
    std::string out;
    bool anyPair = false;
    bool inPassword = false;  // the current value is a password's
    bool maskWritten = false; // and its mask is already out
    std::size_t pos = 0;
    while (pos <= body.size()) {
        std::size_t amp = body.find('&', pos);
        if (amp == std::string::npos)
            amp = body.size();
        const std::string piece = body.substr(pos, amp - pos);
        const std::size_t eq = piece.find('=');
        const std::string key = eq == std::string::npos ? std::string{} : piece.substr(0, eq);
        if ((eq != std::string::npos && IsBrokerKey(key)) || !anyPair) {
            if (anyPair)
                out += '&';
            anyPair = true;
            inPassword = IsPasswordKey(key);
            if (inPassword) {
                out += key + '=';
                maskWritten = eq + 1 < piece.size();
                if (maskWritten)
                    out += kMaskedPassword;
            } else {
                out += piece;
            }
        } else if (!inPassword) {
            out += '&' + piece;
        } else if (!maskWritten) {
            out += kMaskedPassword; // the value began with "&"
            maskWritten = true;
        }
        pos = amp + 1;
    }
    return out;
}

std::vector<Behaviour> ParseBehaviours(const nlohmann::json& list) {
    std::vector<Behaviour> out;
    if (!list.is_array())
        throw FixtureError("\"behaviours\" must be a list");
    for (const auto& b : list) {
        Behaviour beh;
        beh.query = b.value("query", std::string("*"));
        if (b.contains("error"))
            beh.error = b.at("error").get<int>();
        if (b.contains("error_text"))
            beh.errorText = b.at("error_text").get<std::string>();
        beh.answer = b.value("answer", std::string());
        beh.body = b.value("body", std::string());
        beh.status = b.value("status", 200);
        beh.delayMs = b.value("delay_ms", 0);
        beh.times = b.value("times", -1);
        static const std::set<std::string> answers = {"",      "html",    "malformed",
                                                      "empty", "no-data", "body"};
        if (answers.count(beh.answer) == 0)
            throw FixtureError("unknown answer \"" + beh.answer + "\"");
        if (beh.status < 100 || beh.status > 599)
            throw FixtureError("status " + std::to_string(beh.status) + " is not an HTTP status");
        out.push_back(std::move(beh));
    }
    return out;
}

Installation ParseFixture(const nlohmann::json& f) {
    try {
        Installation inst;
        inst.id = f.value("id", 0);
        if (f.contains("id_permutation")) {
            const auto list = f.at("id_permutation").get<std::vector<int>>();
            std::string text;
            for (int v : list) {
                if (!text.empty())
                    text += ',';
                text += std::to_string(v);
            }
            std::string problem;
            const auto table = ParseIdPermutation(text, &problem);
            if (!table)
                throw FixtureError("\"id_permutation\": " + problem);
            inst.permutation = *table;
        } else {
            inst.permutation = kDefaultIdPermutation;
        }
        for (const auto& s : f.value("servers", nlohmann::json::array()))
            inst.servers.push_back({s.at("name").get<std::string>(),
                                    s.value("center", std::string()),
                                    s.value("password", std::string())});
        for (const auto& s : f.value("sessions", nlohmann::json::array())) {
            if (!s.is_object())
                throw FixtureError("a session must be an object");
            Session session;
            session.values = s;
            session.values.erase("resources");
            if (s.contains("resources"))
                session.resources = s.at("resources");
            inst.sessions.push_back(std::move(session));
        }
        if (f.contains("behaviours"))
            inst.behaviours = ParseBehaviours(f.at("behaviours"));
        return inst;
    } catch (const nlohmann::json::exception& e) {
        throw FixtureError(e.what());
    }
}

TestBroker::TestBroker(Installation installation) : inst_(std::move(installation)) {}

TestBroker::~TestBroker() {
    Stop();
}

bool TestBroker::Bind(const std::string& host, int port) {
    server_ = std::make_unique<httplib::Server>();
    server_->set_payload_max_length(kMaxRequestBody);
    // An answer goes out as headers and body: without this, a client that keeps its
    // connection waits for a delayed acknowledgement before every body.
    server_->set_tcp_nodelay(true);
    server_->Post(
        ".*", [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); });
    server_->Get("/_test/requests", [this](const httplib::Request&, httplib::Response& res) {
        nlohmann::json list = nlohmann::json::array();
        for (const ReceivedRequest& r : Requests()) {
            nlohmann::json item = {{"path", r.path},
                                   {"body", r.body},
                                   {"body_size", r.bodySize},
                                   {"connection", r.connection}};
            item["content_type"] =
                r.contentType ? nlohmann::json(*r.contentType) : nlohmann::json(nullptr);
            list.push_back(std::move(item));
        }
        res.set_content(list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace),
                        "application/json");
    });
    if (port == 0) {
        port_ = server_->bind_to_any_port(host);
        return port_ > 0;
    }
    port_ = port;
    return server_->bind_to_port(host, port);
}

int TestBroker::Start(const std::string& host, int port) {
    if (!Bind(host, port))
        return 0;
    thread_ = std::thread([this] { Serve(); });
    // Stop() only reaches a server that is already running.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port_;
}

void TestBroker::Serve() {
    server_->listen_after_bind();
}

void TestBroker::Stop() {
    if (server_)
        server_->stop();
    if (thread_.joinable())
        thread_.join();
}

void TestBroker::Handle(const httplib::Request& req, httplib::Response& res) {
    const std::string path = Lower(req.path);
    if (path == "/_test/behaviours") {
        try {
            SetBehaviours(ParseBehaviours(nlohmann::json::parse(req.body)));
            res.set_content("{}", "application/json");
        } catch (const std::exception& e) {
            res.status = 400;
            res.set_content(e.what(), "text/plain");
        }
        return;
    }
    if (path == "/_test/reset") {
        ClearRequests();
        res.set_content("{}", "application/json");
        return;
    }
    const std::string suffix = "/zephwebmain.dll";
    if (path.size() < suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
        res.status = 404;
        res.set_content("Not Found", "text/plain");
        return;
    }
    {
        ReceivedRequest r;
        r.path = req.path;
        r.bodySize = req.body.size();
        r.connection = req.get_header_value("Connection");
        if (req.has_header("Content-Type"))
            r.contentType = req.get_header_value("Content-Type");
        const std::string cut = req.body.substr(0, kMaxLoggedBody);
        std::lock_guard<std::mutex> lock(mutex_);
        r.body = logPasswords_ ? cut : MaskPasswords(cut);
        Record(std::move(r));
    }
    const auto [status, body] = Answer(req.body);
    res.status = status;
    res.set_content(body, "text/xml; charset=utf-8");
}

std::pair<int, std::string> TestBroker::Answer(const std::string& body) {
    const auto query = SplitQuery(body);
    std::string name = Value(query, "_RQ");
    if (name.empty())
        name = Value(query, "_MAINRQ");

    std::optional<Behaviour> behaviour;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = inst_.behaviours.begin(); it != inst_.behaviours.end(); ++it) {
            if (it->query != "*" && it->query != name)
                continue;
            behaviour = *it;
            if (it->times > 0 && --it->times == 0)
                inst_.behaviours.erase(it);
            break;
        }
    }
    if (behaviour && behaviour->delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(behaviour->delayMs));
    const int status = behaviour ? behaviour->status : 200;
    if (behaviour) {
        if (behaviour->answer == "html")
            return {status, kHtmlPage};
        if (behaviour->answer == "malformed")
            return {status, "<?xml version=\"1.0\"?>\n<ZephReply><_ERRNUM>0</_ERRNUM><_DATA>\n"};
        if (behaviour->answer == "empty")
            return {status, std::string()};
        if (behaviour->answer == "no-data")
            return {status, Envelope(0, std::nullopt, {})};
        if (behaviour->answer == "body")
            return {status, behaviour->body};
        if (behaviour->error)
            return {status, Envelope(*behaviour->error, behaviour->errorText, {})};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return {status, AnswerLocked(query, name)};
}

std::string TestBroker::AnswerLocked(const std::vector<std::pair<std::string, std::string>>& q,
                                     const std::string& name) {
    bool present = false;
    Value(q, "_CLTVER", &present);
    if (!present)
        return ErrorAnswer(2, "Client version missing.");

    auto findServer = [this](const std::string& serverName) -> const Server* {
        for (const Server& s : inst_.servers)
            if (s.name == serverName)
                return &s;
        return nullptr;
    };
    auto serverIndex = [this](const std::string& serverName) {
        for (std::size_t i = 0; i < inst_.servers.size(); ++i)
            if (inst_.servers[i].name == serverName)
                return static_cast<int>(i + 1);
        return 0;
    };

    if (name == "GetServerList") {
        std::string data;
        for (const Server& s : inst_.servers) {
            data += "<srv>";
            Element(data, "name", XmlEscape(s.name));
            // Centre names travel escaped twice; the console resolves the second level.
            Element(data, "ecenter", XmlEscape(XmlEscape(s.center)));
            data += "</srv>";
        }
        return Envelope(0, std::nullopt, data);
    }
    if (name == "CheckPassword") {
        const Server* s = findServer(Value(q, "_SNAME"));
        if (s == nullptr)
            return ErrorAnswer(11, "Server not found: " + Value(q, "_SNAME"));
        if (Lower(Value(q, "_UNAME")) != "administrator" || Value(q, "_PASSWORD") != s->password)
            return ErrorAnswer(10, "Invalid user name or password.");
        return Envelope(0, std::nullopt, {});
    }
    if (name == "GetId")
        return Envelope(0, std::nullopt, "<ID>" + std::to_string(inst_.id) + "</ID>");
    if (name == "Reload") {
        bool ok = false;
        const long long response = [&] {
            try {
                std::size_t used = 0;
                const std::string text = Value(q, "_ID");
                const long long v = std::stoll(text, &used, 10);
                ok = used == text.size();
                return v;
            } catch (const std::exception&) {
                return -1LL;
            }
        }();
        if (!ok || response != static_cast<long long>(TransformId(inst_.id, inst_.permutation)))
            return ErrorAnswer(13, "Invalid reload id.");
        ++reloads_;
        return Envelope(0, std::nullopt, {});
    }
    if (name == "GetSessionList") {
        bool ok = false;
        const int count = ParseInt(Value(q, "_COUNT"), ok);
        if (!ok || count < 0)
            return ErrorAnswer(14, "Invalid server count.");
        std::set<std::string> names;
        for (int k = 1; k <= count; ++k) {
            const std::string n = std::to_string(k);
            const Server* s = findServer(Value(q, "_SNAME" + n));
            if (s == nullptr)
                return ErrorAnswer(11, "Server not found: " + Value(q, "_SNAME" + n));
            if (Value(q, "_PASSWORD" + n) != s->password)
                return ErrorAnswer(10, "Invalid password for server " + s->name + ".");
            names.insert(s->name);
        }
        std::string data;
        for (const Session& s : inst_.sessions) {
            const std::string server =
                s.values.contains("server") ? ScalarText(s.values.at("server")) : std::string();
            if (names.count(server) == 0)
                continue;
            data += "<session>";
            OptionalElement(data, "ssnid", s.values, "id");
            Element(data, "sidx", std::to_string(serverIndex(server)));
            Element(data, "sname", XmlEscape(server));
            if (s.values.contains("center"))
                OptionalElement(data, "ecname", s.values, "center");
            else if (const Server* srv = findServer(server))
                Element(data, "ecname", XmlEscape(srv->center));
            OptionalElement(data, "usrid", s.values, "user_id");
            OptionalElement(data, "usrname", s.values, "user");
            OptionalElement(data, "kind", s.values, "kind");
            OptionalElement(data, "latime", s.values, "latime");
            for (const auto& r : s.resources) {
                data += "<dbres>";
                OptionalElement(data, "dbid", r, "db_id");
                OptionalElement(data, "dbname", r, "db_name");
                OptionalElement(data, "appid", r, "app_id");
                OptionalElement(data, "apphndl", r, "app_handle");
                OptionalElement(data, "edtid", r, "edit_id");
                OptionalElement(data, "edthndl", r, "edit_handle");
                data += "</dbres>";
            }
            data += "</session>";
        }
        return Envelope(0, std::nullopt, data);
    }
    if (name == "Logout") {
        const std::string id = Value(q, "_SESSIONID");
        const std::string uid = Value(q, "_UID");
        const std::string server = Value(q, "_SNAME");
        const std::string user = Value(q, "_UNAME");
        for (auto it = inst_.sessions.begin(); it != inst_.sessions.end(); ++it) {
            const auto& v = it->values;
            auto field = [&v](const char* key) {
                return v.contains(key) ? ScalarText(v.at(key)) : std::string();
            };
            if (field("id") == id && field("user_id") == uid && field("server") == server &&
                field("user") == user) {
                inst_.sessions.erase(it);
                return Envelope(0, std::nullopt, {});
            }
        }
        return ErrorAnswer(12, "Session not found.");
    }
    return ErrorAnswer(1, "Unknown request.");
}

void TestBroker::Record(ReceivedRequest request) {
    loggedBytes_ += LoggedSize(request);
    requests_.push_back(std::move(request));
    TrimLog();
}

void TestBroker::TrimLog() {
    while (!requests_.empty() &&
           (requests_.size() > maxLoggedRequests_ || loggedBytes_ > maxLoggedBytes_)) {
        loggedBytes_ -= LoggedSize(requests_.front());
        requests_.pop_front();
    }
}

std::vector<ReceivedRequest> TestBroker::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

void TestBroker::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    loggedBytes_ = 0;
}

void TestBroker::SetLogPasswords(bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    logPasswords_ = keep;
}

void TestBroker::SetRequestLogLimits(std::size_t requests, std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    maxLoggedRequests_ = requests;
    maxLoggedBytes_ = bytes;
    TrimLog();
}

void TestBroker::SetBehaviours(std::vector<Behaviour> behaviours) {
    std::lock_guard<std::mutex> lock(mutex_);
    inst_.behaviours = std::move(behaviours);
}

std::size_t TestBroker::SessionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inst_.sessions.size();
}

int TestBroker::ReloadCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reloads_;
}

} // namespace testbroker
