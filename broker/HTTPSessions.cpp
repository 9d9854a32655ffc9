#include "HTTPSessions.h"

#include "BrokerProtocol.h"
#include "BrokerText.h"
#include "BusyCursor.h"
#include "MessageDialogs.h"
#include "TarvRequester.h"

#include <array>
#include <cstring>
#include <iterator>

namespace {

using R = TTarvRequester;

} // namespace

std::string KindText(std::int32_t kind) {
    switch (kind) {
    case kSearchSessionKind:
        return "Search";
    case kEditSessionKind:
        return "Edit";
    default:
        return "Unknown";
    }
}

std::string ServerUserName(const THTTPSessionRow& row) {
    if (row.ServerName.empty())
        return {};
    return CutText(row.ServerName + "/" + row.UserName, kServerUserNameLength);
}

std::string LastAccessTimeText(TDateTime value) {
    const auto parts = DecodeDateTime(value);
    if (!parts)
        return {};
    if (parts->Hour == 0 && parts->Minute == 0 && parts->Second == 0 && parts->Millisecond == 0)
        return FormatDisplayDate(value);
    return FormatDisplayDateTime(value);
}

std::string SessionListQuery(const std::vector<TServerCredential>& credentials) {
    std::string query = "_RQ=GetSessionList&_COUNT=" + std::to_string(credentials.size());
    std::size_t k = 1;
    for (const TServerCredential& c : credentials) {
        const std::string n = std::to_string(k++);
        query += "&_SNAME" + n + "=" + c.ServerName + "&_PASSWORD" + n + "=" + c.Password;
    }
    return query;
}

namespace {

// The first child element of each name is the one a path of that name selects; one pass over
// the children finds them all, in place of one search per field.
template <std::size_t N>
void FirstChildren(pugi::xml_node parent, const char* const (&names)[N],
                   std::array<pugi::xml_node, N>& found) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        // Only elements have names: text and comment nodes answer "" and match nothing.
        const char* name = child.name();
        if (name[0] == '\0' || child.type() != pugi::node_element)
            continue;
        for (std::size_t i = 0; i < N; ++i) {
            if (!found[i] && name[0] == names[i][0] && std::strcmp(name, names[i]) == 0) {
                found[i] = child;
                break;
            }
        }
    }
}

constexpr const char* kSessionFields[] = {"ssnid", "sidx",    "sname", "ecname",
                                          "usrid", "usrname", "kind",  "latime"};
constexpr const char* kResourceFields[] = {"dbid",    "dbname", "appid",
                                           "apphndl", "edtid",  "edthndl"};

} // namespace

std::vector<std::string> SessionListPasswords(const std::vector<TServerCredential>& credentials) {
    std::vector<std::string> passwords;
    passwords.reserve(credentials.size());
    for (const TServerCredential& c : credentials)
        passwords.push_back(c.Password);
    return passwords;
}

bool RequestSessionList(const std::vector<TServerCredential>& credentials) {
    return Requester.Request(SessionListQuery(credentials), true, SessionListPasswords(credentials))
        .Succeeded();
}

void ForEachSessionElement(pugi::xml_node root, const std::function<void(pugi::xml_node)>& visit) {
    R::ForEachNode(root, "_DATA/session", visit);
}

THTTPSessionRow ReadSessionRow(pugi::xml_node session, bool withResources) {
    std::array<pugi::xml_node, std::size(kSessionFields)> f{};
    FirstChildren(session, kSessionFields, f);
    THTTPSessionRow row;
    row.SessionId = R::NodeInt(f[0]);
    row.ServerIdx = R::NodeInt(f[1]);
    row.ServerName = R::NodeTextCut(f[2], kServerNameLength);
    row.ECenterName = R::NodeTextCut(f[3], kCenterNameLength);
    row.UserId = R::NodeInt(f[4]);
    row.UserName = R::NodeTextCut(f[5], kUserNameLength);
    row.KindNumber = R::NodeInt(f[6]);
    row.Kind = KindText(row.KindNumber);
    row.LastAccessTime = R::NodeFloat(f[7]);
    if (withResources) {
        row.DBResourceList.reserve(ResourceCount(session));
        ForEachResourceRow(session,
                           [&row](const TDBResourceRow& r) { row.DBResourceList.push_back(r); });
    }
    return row;
}

void ForEachResourceRow(pugi::xml_node session,
                        const std::function<void(const TDBResourceRow&)>& visit) {
    for (pugi::xml_node d = session.child("dbres"); d; d = d.next_sibling("dbres")) {
        if (d.type() != pugi::node_element)
            continue;
        std::array<pugi::xml_node, std::size(kResourceFields)> r{};
        FirstChildren(d, kResourceFields, r);
        TDBResourceRow res;
        res.DBId = R::NodeInt(r[0]);
        res.DBName = R::NodeTextCut(r[1], kDBNameLength);
        res.AppFileId = R::NodeInt(r[2]);
        res.AppFileHandle = R::NodeInt(r[3]);
        res.EditFileId = R::NodeInt(r[4]);
        res.EditFileHandle = R::NodeInt(r[5]);
        visit(res);
    }
}

std::size_t ResourceCount(pugi::xml_node session) {
    std::size_t count = 0;
    for (pugi::xml_node d = session.child("dbres"); d; d = d.next_sibling("dbres"))
        if (d.type() == pugi::node_element)
            ++count;
    return count;
}

void VisitSessionRows(pugi::xml_node root,
                      const std::function<void(const THTTPSessionRow&)>& visit) {
    ForEachSessionElement(root, [&visit](pugi::xml_node s) { visit(ReadSessionRow(s)); });
}

std::vector<THTTPSessionRow> BuildSessionRows(pugi::xml_node root) {
    std::vector<THTTPSessionRow> rows;
    ForEachSessionElement(root, [&rows](pugi::xml_node s) { rows.push_back(ReadSessionRow(s)); });
    return rows;
}

void TSessionList::AddServer(const std::string& serverName, const std::string& password) {
    Credentials.push_back(
        {CutText(serverName, kServerNameLength), CutText(password, kPasswordLength)});
}

bool TSessionList::RefreshSessions() {
    TBusyCursor busy;
    if (!RequestSessionList(Credentials))
        return false;
    Sessions = BuildSessionRows(Requester.Root());
    Current = Sessions.empty() ? -1 : 0;
    return true;
}

bool TSessionList::LogoutSession(std::int32_t sessionId, const std::string& serverName,
                                 const std::string& userName, std::int32_t userId) {
    const std::string query = "_RQ=Logout&_SESSIONID=" + std::to_string(sessionId) +
                              "&_UID=" + std::to_string(userId) + "&_SNAME=" + serverName +
                              "&_UNAME=" + userName;
    return Requester.Request(query, false).Succeeded();
}

const THTTPSessionRow* TSessionList::CurrentSession() const {
    if (Current < 0 || static_cast<std::size_t>(Current) >= Sessions.size())
        return nullptr;
    return &Sessions[static_cast<std::size_t>(Current)];
}

bool TSessionList::DelSessionActExecute() {
    const THTTPSessionRow* row = CurrentSession();
    if (row == nullptr)
        return false;
    if (ShowMessageDialog("Are you sure about deleting session?", TMsgDlgType::mtConfirmation,
                          {TMsgDlgBtn::mbYes, TMsgDlgBtn::mbNo, TMsgDlgBtn::mbCancel}) !=
        TMsgDlgBtn::mbYes)
        return false;
    // Copies: the wait processes events, and the table may change under a nested refresh.
    const std::int32_t userId = row->UserId;
    const std::string userName = row->UserName;
    const std::string serverName = row->ServerName;
    const std::int32_t sessionId = row->SessionId;
    if (!LogoutSession(sessionId, serverName, userName, userId))
        return false;
    // Remove the row that was logged out, wherever it now stands.
    for (std::size_t i = 0; i < Sessions.size(); ++i) {
        const THTTPSessionRow& r = Sessions[i];
        if (r.SessionId == sessionId && r.UserId == userId && r.ServerName == serverName &&
            r.UserName == userName) {
            Sessions.erase(Sessions.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (Sessions.empty())
        Current = -1;
    else if (static_cast<std::size_t>(Current) >= Sessions.size())
        Current = static_cast<int>(Sessions.size()) - 1;
    return true;
}
