#pragma once

// The logic of the HTTP sessions view, without widgets: the servers to query with their
// passwords, the session rows with their database resources, the current row, the refresh
// and the deletion (logout) of a session. The window shows these rows; the command-line tool
// prints them.

#include "DateTime.h"

#include <pugixml.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TServerCredential {
    std::string ServerName; // at most 60 characters
    std::string Password;   // at most 30 characters
};

struct TDBResourceRow {
    std::int32_t DBId = 0;
    std::string DBName; // at most 60 characters
    std::int32_t AppFileId = 0;
    std::int32_t AppFileHandle = 0;
    std::int32_t EditFileId = 0;
    std::int32_t EditFileHandle = 0;
};

struct THTTPSessionRow {
    std::int32_t SessionId = 0;
    std::int32_t ServerIdx = 0;
    std::string ServerName;  // at most 60 characters
    std::string ECenterName; // at most 80 characters
    std::int32_t UserId = 0;
    std::string UserName;        // at most 30 characters
    std::int32_t KindNumber = 0; // the number the broker gave
    std::string Kind;            // KindText of it, at most 20 characters
    TDateTime LastAccessTime = 0.0;
    std::vector<TDBResourceRow> DBResourceList;
};

// "Search" for 0, "Edit" for 1, "Unknown" for any other number.
std::string KindText(std::int32_t kind);

// The grid's text for a session: server name, "/" and user name (at most 60 characters);
// empty when the row has no server name.
std::string ServerUserName(const THTTPSessionRow& row);

// The "Last Request Time" text: "yyyy/mm/dd hh:nn:ss", the time left out when it is exactly
// midnight; empty for a day count outside the calendar.
std::string LastAccessTimeText(TDateTime value);

// The session-list query for a list of servers.
std::string SessionListQuery(const std::vector<TServerCredential>& credentials);

// The passwords of a list of servers, as the session-list query carries them.
std::vector<std::string> SessionListPasswords(const std::vector<TServerCredential>& credentials);

// Sends the session-list query for a list of servers through Request, parse errors shown; true
// when the broker answered 0 and the reply is in the requester's document.
bool RequestSessionList(const std::vector<TServerCredential>& credentials);

// The "_DATA/session" elements below a reply's root, one at a time in document order.
void ForEachSessionElement(pugi::xml_node root, const std::function<void(pugi::xml_node)>& visit);
// The session row of one "session" element, with its resource rows when `withResources` is set
// (without them, DBResourceList stays empty).
THTTPSessionRow ReadSessionRow(pugi::xml_node session, bool withResources = true);
// The resource rows of one "session" element (its "dbres" children), one at a time.
void ForEachResourceRow(pugi::xml_node session,
                        const std::function<void(const TDBResourceRow&)>& visit);
std::size_t ResourceCount(pugi::xml_node session);

// The session rows of a reply, each with its resources, one at a time in document order: for a
// caller that only passes them on, no list of them all is held.
void VisitSessionRows(pugi::xml_node root,
                      const std::function<void(const THTTPSessionRow&)>& visit);

// The session rows of a reply: one per "_DATA/session" element below the root, in document
// order, each with its "dbres" elements.
std::vector<THTTPSessionRow> BuildSessionRows(pugi::xml_node root);

class TSessionList final {
public:
    std::vector<TServerCredential> Credentials;
    std::vector<THTTPSessionRow> Sessions; // the session table
    int Current = -1;                      // index of the current session row, -1 when empty

    void ClearServers() { Credentials.clear(); }
    // Appends one server, its name cut to 60 characters and its password to 30.
    void AddServer(const std::string& serverName, const std::string& password);

    // Loads the sessions of the servers in Credentials (parse errors shown). On failure the
    // rows stay as they were and only the requester's messages have been shown.
    bool RefreshSessions();

    // Sends the logout query through Request; true exactly when the broker answered 0.
    static bool LogoutSession(std::int32_t sessionId, const std::string& serverName,
                              const std::string& userName, std::int32_t userId);

    // Deletes the current session: asks "Are you sure about deleting session?", logs the
    // session out and removes its row. Does nothing without a current row. True when a row
    // was removed.
    bool DelSessionActExecute();

    // The caption of the session count label.
    std::string SessionCountText() const { return std::to_string(Sessions.size()); }

    const THTTPSessionRow* CurrentSession() const;
};
