#pragma once

// The logic of the broker login dialog, without widgets. The window supplies the URL box's
// text and, through IServerRowsView, its check boxes and password boxes; these functions
// supply the values, send the queries and show the messages in their order.

#include "HTTPSessions.h"
#include "IdPermutation.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct TBrokerServer {
    std::string ServerName;  // at most 60 characters
    std::string ECenterName; // at most 80 characters
};

// The controls of the server rows, matched with ServerRows by position.
class IServerRowsView {
public:
    virtual ~IServerRowsView() = default;
    // Every row's controls are destroyed.
    virtual void RowsCleared() {}
    // A row's controls are created: a check box captioned `caption` (the whole centre name,
    // ampersands doubled), not ticked, and an empty password box, both at `top`.
    virtual void RowAdded(const TBrokerServer& /*row*/, const std::string& /*caption*/,
                          int /*top*/) {}
    virtual bool RowTicked(std::size_t index) const = 0;
    virtual std::string RowPassword(std::size_t index) const = 0;
};

// Step 1 of the URL rules: letters a to z upper-cased, blanks and control characters trimmed.
std::string TrimmedBrokerURL(const std::string& text);
// The normalised broker URL: trimmed and upper case, "HTTP://" in front unless it starts so,
// "/" at the end. Nothing when the trimmed text is empty.
std::optional<std::string> NormaliseBrokerURL(const std::string& text);
// The module URL of a normalised broker URL.
std::string ModuleURLOf(const std::string& brokerURL);

// The server-list query.
inline constexpr const char* kServerListQuery = "_RQ=GetServerList&_SERVICEKIND=LOCAL";

// The "_DATA/srv" elements of a server-list reply, one at a time in document order, as their
// server name and their centre name with the entity references left in it resolved (both whole).
void VisitServerElements(
    pugi::xml_node root,
    const std::function<void(const std::string& name, const std::string& center)>& visit);
// The row of one server: its name cut to 60 characters and its centre name to 80.
TBrokerServer ServerRowOf(const std::string& name, const std::string& center);

// The password-check query for one server (name cut to 60 characters, password to 30),
// through RequestQuiet: true exactly when the broker answered 0. Nothing is shown.
bool CheckServerPassword(const std::string& serverName, const std::string& password);

// Writes the configuration value "BrokerURL"; a store that refuses is not reported.
void SaveBrokerURL(const std::string& url);

class THTTPLoginLogic final {
public:
    THTTPLoginLogic(TSessionList& sessions, IServerRowsView& view)
        : sessions_(sessions), view_(view) {}

    // The rows' controls stand this far apart, the first one this far down.
    static constexpr int kServerRowStep = 20;

    std::vector<TBrokerServer> ServerRows;
    int NextRowTop = kServerRowStep;
    // When set, the reload uses this table instead of the configured one.
    std::optional<TIdPermutation> IdPermutationOverride;

    // Enabling rules of the actions.
    static bool ConnectEnabled(const std::string& urlText);
    bool DisplaySessionsEnabled() const;

    // Normalises the URL box text in place and sets the requester's module URL; shows
    // "Broker URL is not valid" and answers false when the text is empty.
    bool NormaliseURL(std::string& urlText);

    // Connect: normalise, load the server list, save the URL on success. True when the list
    // was loaded.
    bool Connect(std::string& urlText);
    void ClearServerList();
    void AddServerRow(const std::string& serverName, const std::string& centerName);
    bool LoadServerList();

    // The password check of one row (password cut to 30 characters); nothing is shown.
    bool CheckPassword(std::size_t row, const std::string& password);
    // Every row ticked with a valid password; the first failure is shown.
    bool CheckAllPasswords();

    // Display sessions: checks the ticked rows' passwords, hands them to the sessions view and
    // loads it. True when the sessions view should now be shown.
    bool DisplaySessions();

    // Reload: connects first when there are no rows, checks every password, then reloads the
    // broker. True when the broker reloaded.
    bool Reload(std::string& urlText);
    bool ReloadBroker();

    TIdPermutation PermutationInForce() const;

private:
    void ShowInvalidPassword(std::size_t row);

    TSessionList& sessions_;
    IServerRowsView& view_;
};
