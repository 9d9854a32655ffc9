#include "HttpLogin.h"

#include "BrokerProtocol.h"
#include "BrokerText.h"
#include "BusyCursor.h"
#include "ConfigStore.h"
#include "MessageDialogs.h"
#include "TarvRequester.h"

namespace {

void ErrorBox(const std::string& text) {
    ShowMessageDialog(text, TMsgDlgType::mtError, {TMsgDlgBtn::mbOK});
}

void InformationBox(const std::string& text) {
    ShowMessageDialog(text, TMsgDlgType::mtInformation, {TMsgDlgBtn::mbOK});
}

constexpr const char* kModuleFileName = "ZephWebMain.DLL";
constexpr std::string_view kHttpScheme = "HTTP://";

} // namespace

std::string TrimmedBrokerURL(const std::string& text) {
    return TrimBlanks(UpperCaseAscii(text));
}

std::optional<std::string> NormaliseBrokerURL(const std::string& text) {
    std::string url = TrimmedBrokerURL(text);
    if (url.empty())
        return std::nullopt;
    if (!std::string_view(url).starts_with(kHttpScheme))
        url.insert(0, kHttpScheme);
    if (url.back() != '/')
        url.push_back('/');
    return url;
}

std::string ModuleURLOf(const std::string& brokerURL) {
    return brokerURL + kModuleFileName;
}

void VisitServerElements(
    pugi::xml_node root,
    const std::function<void(const std::string& name, const std::string& center)>& visit) {
    TTarvRequester::ForEachNode(root, "_DATA/srv", [&visit](pugi::xml_node srv) {
        visit(TTarvRequester::ReadNodeText(srv, "name"),
              UnescapeXML(TTarvRequester::ReadNodeText(srv, "ecenter")));
    });
}

TBrokerServer ServerRowOf(const std::string& name, const std::string& center) {
    return {CutText(name, kServerNameLength), CutText(center, kCenterNameLength)};
}

bool CheckServerPassword(const std::string& serverName, const std::string& password) {
    const std::string sent = CutText(password, kPasswordLength);
    const std::string query = "_RQ=CheckPassword&_SNAME=" + CutText(serverName, kServerNameLength) +
                              "&_UNAME=administrator&_PASSWORD=" + sent;
    return Requester.RequestQuiet(query, {sent}).Succeeded();
}

void SaveBrokerURL(const std::string& url) {
    if (IConfigStore* store = CurrentConfigStore())
        store->WriteString("BrokerURL", url);
}

bool THTTPLoginLogic::ConnectEnabled(const std::string& urlText) {
    return !TrimBlanks(urlText).empty();
}

bool THTTPLoginLogic::DisplaySessionsEnabled() const {
    for (std::size_t i = 0; i < ServerRows.size(); ++i)
        if (view_.RowTicked(i))
            return true;
    return false;
}

bool THTTPLoginLogic::NormaliseURL(std::string& urlText) {
    const std::optional<std::string> url = NormaliseBrokerURL(urlText);
    if (!url) {
        ErrorBox("Broker URL is not valid");
        return false;
    }
    urlText = *url;
    Requester.ModuleURL = ModuleURLOf(*url);
    return true;
}

bool THTTPLoginLogic::Connect(std::string& urlText) {
    if (!NormaliseURL(urlText))
        return false;
    TBusyCursor busy;
    const bool loaded = LoadServerList();
    if (!loaded)
        ErrorBox("Broker not found, check the URL.");
    else
        SaveBrokerURL(urlText);
    return loaded;
}

void THTTPLoginLogic::ClearServerList() {
    view_.RowsCleared();
    ServerRows.clear();
    NextRowTop = kServerRowStep;
}

void THTTPLoginLogic::AddServerRow(const std::string& serverName, const std::string& centerName) {
    ServerRows.push_back(ServerRowOf(serverName, centerName));
    // The caption shows the broker's text: a password it echoes there is masked.
    view_.RowAdded(ServerRows.back(), EscapeAmpersands(Requester.MaskSentPasswords(centerName)),
                   NextRowTop);
    NextRowTop += kServerRowStep;
}

bool THTTPLoginLogic::LoadServerList() {
    ClearServerList();
    if (!Requester.Request(kServerListQuery, false).Succeeded())
        return false;
    std::size_t count = 0;
    VisitServerElements(Requester.Root(),
                        [this, &count](const std::string& name, const std::string& center) {
                            ++count;
                            AddServerRow(name, center);
                        });
    if (count == 0) {
        InformationBox("No server is avail through this broker.");
        return false;
    }
    return true;
}

bool THTTPLoginLogic::CheckPassword(std::size_t row, const std::string& password) {
    if (row >= ServerRows.size())
        return false;
    return CheckServerPassword(ServerRows[row].ServerName, password);
}

void THTTPLoginLogic::ShowInvalidPassword(std::size_t row) {
    ErrorBox("Invalid password for:\r" +
             EscapeAmpersands(Requester.MaskSentPasswords(ServerRows[row].ECenterName)));
}

bool THTTPLoginLogic::CheckAllPasswords() {
    // The rows may be rebuilt while a check waits; stop at the current count.
    for (std::size_t i = 0; i < ServerRows.size(); ++i) {
        if (!view_.RowTicked(i)) {
            ErrorBox("You have to enter passwords of all servers before reloading the broker.");
            return false;
        }
        if (!CheckPassword(i, view_.RowPassword(i))) {
            if (i < ServerRows.size())
                ShowInvalidPassword(i);
            return false;
        }
    }
    return true;
}

bool THTTPLoginLogic::DisplaySessions() {
    for (std::size_t i = 0; i < ServerRows.size(); ++i) {
        if (view_.RowTicked(i) && !CheckPassword(i, view_.RowPassword(i))) {
            if (i < ServerRows.size())
                ShowInvalidPassword(i);
            return false;
        }
    }
    sessions_.ClearServers();
    for (std::size_t i = 0; i < ServerRows.size(); ++i)
        if (view_.RowTicked(i))
            sessions_.AddServer(ServerRows[i].ServerName, view_.RowPassword(i));
    return sessions_.RefreshSessions();
}

bool THTTPLoginLogic::Reload(std::string& urlText) {
    if (TrimmedBrokerURL(urlText).empty()) {
        ErrorBox("Broker URL is not valid");
        return false;
    }
    if (ServerRows.empty())
        Connect(urlText);
    if (!NormaliseURL(urlText))
        return false;
    if (!CheckAllPasswords())
        return false;
    TBusyCursor busy;
    const bool reloaded = ReloadBroker();
    busy.Restore();
    if (reloaded)
        InformationBox("HTTP broker reloaded successfully.");
    return reloaded;
}

TIdPermutation THTTPLoginLogic::PermutationInForce() const {
    return IdPermutationOverride ? *IdPermutationOverride : IdPermutation();
}

bool THTTPLoginLogic::ReloadBroker() {
    if (!Requester.Request(kIdentityQuery, false).Succeeded()) {
        ErrorBox("Broker not found, check the URL.");
        return false;
    }
    const std::int32_t identity = TTarvRequester::ReadNodeInt(Requester.Root(), "_DATA/ID");
    const std::uint32_t response = TransformId(identity, PermutationInForce());
    if (!Requester.Request(kReloadQuery + std::to_string(response), false).Succeeded()) {
        ErrorBox("Could not reload broker.");
        return false;
    }
    Requester.Request(kIdentityQuery, false);
    return true;
}
