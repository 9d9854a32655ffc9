// A whole administration session against a hostile server: the handshake replies (security
// information, login), the database list of the admission, every console request with its
// decoder and the view rules over the decoded records, the error log loop, logout. The server
// is the fuzz input, played through a socket pair.

#include "ConsoleRequests.h"
#include "FuzzSupport.h"
#include "RequestDispatcher.h"
#include "ServerErrors.h"
#include "ViewRules.h"

#include <cstdlib>

namespace {

// Enough for a reply that spills (more than 350000 bytes), little more.
constexpr std::size_t kStreamLimit = 448 * 1024;

void Session(TConnection& socket, bool& handedOver) {
    std::uint8_t tag = 0;
    std::uint32_t connectionId = 0;
    if (!ReceiveRegistration(socket, tag, connectionId))
        return;
    TServerInfo info;
    std::uint16_t errorCode = 0;
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    bool flag = false;
    TRequestDispatcher& d = *RequestDispatcher;
    if (!d.GetServerSecurityInf(socket, connectionId, errorCode, major, minor, flag,
                                info.SecurityKind, info.SecurityByte, info.SecurityWord,
                                info.CenterName, info.CenterText, info.ServerName))
        return;
    if (info.CenterName.size() > 80 || info.CenterText.size() > 80 || info.ServerName.size() > 60)
        std::abort();
    bool accepted = false;
    std::uint16_t busy = 0;
    if (!d.LoginToSpxServer(socket, TServerText::Ascii("ADMINISTRATOR"), connectionId,
                            ScramblePassword("secret"), accepted, busy, info.LoginTag) ||
        !accepted)
        return;
    info.Connection = std::move(socket);
    info.ConnectionId = connectionId;
    TServerSet one;
    one.set(1);
    handedOver = true;
    d.AddServers(one, 1, &info);
    if (d.DatabaseCount > kMaxDatabases)
        std::abort();

    TLocConnList locals;
    if (GetLocalConnList(1, locals) == TExchangeResult::Done) {
        for (const TLocConnInfo& c : locals) {
            if (c.Results.size() > kMaxResults || c.UserName.size() > 30)
                std::abort();
            LocalConnStatusText(c);
            DecodeServerDateTime(c.ConnectTime);
            for (const TLocConnResult& res : c.Results) {
                ResultDatabaseName(1, res.DBHandle);
                LifetimeText(res.Lifetime);
            }
        }
    }
    ReleaseLocalConnList(locals);
    TWebConnList webs;
    if (GetWebConnList(1, webs) == TExchangeResult::Done)
        for (const TWebConnInfo& w : webs)
            DecodeServerDateTime(w.LastAccessTime);
    TDBList dbs;
    if (GetDBList(1, dbs) == TExchangeResult::Done) {
        for (const TDBInfo& db : dbs) {
            if (db.ChildIds.size() > kMaxChildren || db.Results.size() > kMaxResults ||
                db.Path.size() > 80)
                std::abort();
            ChildhoodText(db.IsParent, db.ChildCount);
            if (ChildListText(1, db.ChildIds).size() > 250)
                std::abort();
            OpenStateText(db.IsOpen);
        }
    }
    ReleaseDBList(dbs);
    TServerStatusBlock status;
    if (GetServerStatus(1, status) == TExchangeResult::Done)
        ServerStatusLines(status);
    TServerText log;
    ReadWholeServerErrorLog(1, log, 64 * 1024);
    if (log.size() > 2 * (64 * 1024 + 2 * kLogChunkSize))
        std::abort();
    DeleteLocalConn(1, TServerText("JOHN"), 42);
    DeleteWebConn(1, 7);
    ClearServerErrorLog(1);
    d.LogoutServer(1);
    d.RemoveServers(one);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInitProcess();
    if (RequestDispatcher == nullptr && !CreateRequestDispatcher())
        std::abort();
    ReportProc = nullptr; // no error log in the fuzz runs
    const int descriptors = OpenDescriptorCount();
    {
        TStreamPeer peer(ExpandStream(data, size, kStreamLimit));
        bool handedOver = false;
        TConnection connection(peer.ClientSocket());
        Session(connection, handedOver);
        // Whatever the session left open is closed here, as the connect dialog and the
        // dispatcher's end do.
        TRequestDispatcher& d = *RequestDispatcher;
        if (!handedOver)
            CloseConnection(connection);
        else if (d.ServerCount != 0)
            CloseConnection(d.Server(1).Connection);
        if (d.ServerCount != 0) {
            TServerSet one;
            one.set(1);
            d.RemoveServers(one);
        }
    }
    CheckNoSpillFileLeft();
    if (OpenDescriptorCount() != descriptors || RequestDispatcher->DatabaseCount != 0)
        std::abort();
    return 0;
}
