#include "RequestDispatcher.h"

#include "MessageDialogs.h"
#include "ServerErrors.h"

#include <new>

TRequestDispatcher* RequestDispatcher = nullptr;

namespace {

std::string Cut(const std::string& s, std::size_t capacity) {
    return s.size() > capacity ? s.substr(0, capacity) : s;
}

TServerText Cut(const TServerText& s, std::size_t capacity) {
    return TServerText(Cut(s.Bytes, capacity));
}

template <typename T> std::unique_ptr<T> NewOrNil() {
    if (!CanAllocate(static_cast<std::int64_t>(sizeof(T))))
        return nullptr;
    return std::unique_ptr<T>(new (std::nothrow) T());
}

} // namespace

bool CreateRequestDispatcher() {
    // The link reports its failures to the error log from now on.
    ReportProc = [](const std::string& message) { LogError(message); };
    auto* d = new TRequestDispatcher();
    d->Servers = NewOrNil<std::array<TServerEntry, kMaxServers>>();
    if (!d->Servers) {
        LogError("No Memory for TheRDServerList");
    } else {
        d->Databases = NewOrNil<std::array<TDatabaseEntry, kMaxDatabases>>();
        if (!d->Databases) {
            LogError("No Memory for TheRDDBList");
        } else {
            d->Initialized = true;
            d->SocketsStarted = StartSockets();
        }
    }
    RequestDispatcher = d;
    return d->Initialized;
}

void FreeRequestDispatcher() {
    delete RequestDispatcher;
    RequestDispatcher = nullptr;
}

TRequestDispatcher::~TRequestDispatcher() {
    if (SocketsStarted && Servers) {
        for (int i = 1; i <= ServerCount; ++i) {
            TServerEntry& e = Server(i);
            if (e.State == 1)
                CloseConnection(e.Connection);
        }
    }
    if (SocketsStarted)
        CleanupSockets();
}

bool TRequestDispatcher::GetServerSecurityInf(TConnection& connection, std::uint32_t connectionId,
                                              std::uint16_t& errorCode, std::uint8_t& requiredMajor,
                                              std::uint8_t& requiredMinor, bool& flag,
                                              std::uint8_t& securityKind,
                                              std::uint8_t& securityByte,
                                              std::uint16_t& securityWord, TServerText& centerName,
                                              TServerText& centerText, TServerText& serverName) {
    errorCode = 0;
    requiredMajor = 0;
    requiredMinor = 0;
    flag = false;
    if (!connection.IsOpen()) {
        Report("SPX Connection ID is zero while GetServerSecurityInf.");
        return false;
    }
    TRequestRecord r;
    r.Code = RequestCode::kSecurityInfo;
    r.Value = static_cast<std::uint16_t>((connectionId % 65536) ^ kSecurityMask);
    if (!ExchangeRequest(connection, connectionId, r))
        return false;
    if (r.ReplyCode != 0) {
        if (r.Value == ReplyValue::kVersionRefused) {
            errorCode = ReplyValue::kVersionRefused;
            const auto version = static_cast<std::uint16_t>(r.Param & 0xFFFF);
            requiredMajor = static_cast<std::uint8_t>(version >> 8);
            requiredMinor = static_cast<std::uint8_t>(version & 0xFF);
        } else {
            Report("r_ReplyCode <> 0 while GetServerSecurityInf.");
        }
        return false;
    }
    if (!r.Data) {
        // A correct server always sends its names; without them there is nothing to admit.
        Report("No data in reply while GetServerSecurityInf.");
        return false;
    }
    flag = r.Value != 0;
    TReplyReader reader(r.Data.get());
    reader.ShortString(centerName.Bytes, 80);
    reader.ShortString(centerText.Bytes, 80);
    reader.ShortString(serverName.Bytes, 60);
    reader.Byte(securityKind);
    reader.Byte(securityByte);
    reader.Word(securityWord);
    reader.ReportIfShort(RequestCode::kSecurityInfo);
    return true;
}

bool TRequestDispatcher::LoginToSpxServer(TConnection& connection, const TServerText& userName,
                                          std::uint32_t connectionId,
                                          const std::string& scrambledPassword, bool& accepted,
                                          std::uint16_t& busy, std::uint8_t& loginTag) {
    accepted = false;
    busy = 0;
    if (!connection.IsOpen()) {
        Report("SPX Connection ID is zero while LoginToSpxServer.");
        return false;
    }
    const std::string user = Cut(userName.Bytes, 255);
    const std::string password = Cut(scrambledPassword, 255);
    std::vector<std::uint8_t> block;
    block.push_back(static_cast<std::uint8_t>(user.size()));
    block.insert(block.end(), user.begin(), user.end());
    block.push_back(static_cast<std::uint8_t>(password.size()));
    block.insert(block.end(), password.begin(), password.end());
    if (!CanAllocate(static_cast<std::int64_t>(block.size())))
        return false;
    TRequestRecord r;
    r.Code = RequestCode::kLogin;
    r.Payload = std::make_unique<TRequestPayload>(std::move(block));
    if (!ExchangeRequest(connection, connectionId, r)) {
        Report("TarvDBMS_SpxRequester returned Error in LoginToSPXServer.");
        return false;
    }
    accepted = (r.Value & 0xFF) != 0;
    loginTag = static_cast<std::uint8_t>(r.Value >> 8);
    busy = static_cast<std::uint16_t>(r.Param & 0xFFFF);
    return true;
}

void TRequestDispatcher::AddServers(const TServerSet& which, std::uint8_t count,
                                    TServerInfo* infos) {
    for (int b = 1; b <= count; ++b) {
        if (!which.test(static_cast<std::size_t>(b)) || ServerCount >= kMaxServers)
            continue;
        ++ServerCount;
        TServerEntry& e = Server(ServerCount);
        e = TServerEntry{};
        TServerInfo& info = infos[b - 1];
        e.SecurityKind = info.SecurityKind;
        e.CenterName = Cut(info.CenterName, 80);
        e.CenterText = Cut(info.CenterText, 80);
        e.ServerName = Cut(info.ServerName, 60);
        e.LoginTag = info.LoginTag;
        e.SecurityByte = info.SecurityByte;
        e.SecurityWord = info.SecurityWord;
        e.Address = info.Address;
        e.Connection = std::move(info.Connection);
        e.ServerTag = info.ServerTag;
        e.ConnectionId = info.ConnectionId;
        for (std::uint8_t id = 1; id <= kMaxServers; ++id) {
            if (!UsedServerIds.test(id)) {
                e.ServerId = id;
                break;
            }
        }
        e.ListStamp = 0;
        e.State = 1;
        UsedServerIds.set(e.ServerId);
        RefreshServerDatabases(ServerCount, e.ServerId);
    }
}

bool TRequestDispatcher::LogoutServer(std::uint8_t serverIndex) {
    if (serverIndex == 0 || serverIndex > ServerCount)
        return false;
    TServerEntry& e = Server(serverIndex);
    if (e.State != 1 || !e.Connection.IsOpen())
        return false;
    TRequestRecord r;
    r.Code = RequestCode::kLogout;
    const bool ok = ExchangeRequest(e.Connection, e.ConnectionId, r);
    // The entry stays until it is removed, but its socket is gone.
    CloseConnection(e.Connection);
    return ok;
}

void TRequestDispatcher::RemoveServers(const TServerSet& which) {
    std::vector<TServerEntry> kept;
    TServerIdSet removed;
    for (int b = 1; b <= ServerCount; ++b) {
        if (which.test(static_cast<std::size_t>(b)))
            removed.set(Server(b).ServerId);
        else
            kept.push_back(std::move(Server(b)));
    }
    ServerCount = static_cast<std::uint8_t>(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
        (*Servers)[i] = std::move(kept[i]);
    for (std::size_t i = kept.size(); i < kMaxServers; ++i)
        (*Servers)[i] = TServerEntry{};
    UsedServerIds &= ~removed;
    RemoveServerDatabases(removed);
}

TExchangeResult TRequestDispatcher::ExecuteRequest(std::uint8_t serverIndex,
                                                   TRequestRecord& request) {
    if (serverIndex == 0 || serverIndex > ServerCount || Server(serverIndex).State != 1) {
        request.Payload.reset();
        return TExchangeResult::Failed;
    }
    const std::uint16_t code = request.Code;
    const std::uint16_t value = request.Value;
    const std::int32_t param = request.Param;
    const std::uint16_t param2 = request.Param2;
    for (int attempt = 0;; ++attempt) {
        bool ok;
        bool changed;
        {
            std::lock_guard<std::recursive_mutex> lock(Lock);
            TServerEntry& e = Server(serverIndex);
            request.Code = code;
            request.Value = value;
            request.Param = param;
            request.Param2 = param2;
            request.Data.reset();
            request.ReplyCode = e.ListStamp;
            ok = ExchangeRequest(e.Connection, e.ConnectionId, request);
            changed = ok && request.ReplyCode != 0 && request.Value == ReplyValue::kListChanged;
            if (changed)
                request.Data.reset();
        }
        if (!ok)
            return TExchangeResult::Failed;
        if (!changed)
            return TExchangeResult::Done;
        if (attempt + 1 >= kMaxListReloads) {
            // A server that keeps saying its list changed would hold the console forever.
            request.Payload.reset();
            Report("Database list changed " + std::to_string(kMaxListReloads) +
                   " times in a row while executing request " + std::to_string(code) + ".");
            return TExchangeResult::Failed;
        }
        RefreshServerDatabases(serverIndex, Server(serverIndex).ServerId);
    }
}

bool TRequestDispatcher::FetchDatabaseList(std::uint8_t serverIndex,
                                           std::vector<TDatabaseListItem>& items,
                                           std::uint16_t& stamp) {
    items.clear();
    if (serverIndex == 0 || serverIndex > ServerCount)
        return false;
    TServerEntry& e = Server(serverIndex);
    if (e.State != 1 || !e.Connection.IsOpen())
        return false;
    TRequestRecord r;
    bool ok;
    std::uint16_t count = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(Lock);
        r.Code = RequestCode::kDatabaseList;
        ok = ExchangeRequest(e.Connection, e.ConnectionId, r);
        if (ok) {
            stamp = static_cast<std::uint16_t>(r.Param & 0xFFFF);
            count = std::min<std::uint16_t>(r.Value, kMaxDatabases);
        }
    }
    if (ok && count > 0 &&
        CanAllocate(static_cast<std::int64_t>(count * sizeof(TDatabaseListItem)))) {
        items.resize(count);
        TReplyReader reader(r.Data.get());
        for (TDatabaseListItem& item : items) {
            reader.Word(item.Handle);
            reader.Word(item.Number);
            reader.Byte(item.Flags);
            reader.ShortString(item.Text.Bytes, 60);
            reader.ShortString(item.Name.Bytes, 60);
        }
        reader.ReportIfShort(RequestCode::kDatabaseList);
    }
    return ok;
}

void TRequestDispatcher::RefreshServerDatabases(std::uint8_t serverIndex, std::uint8_t serverId) {
    std::vector<TDatabaseListItem> items;
    std::uint16_t stamp = 0;
    if (FetchDatabaseList(serverIndex, items, stamp)) {
        Server(serverIndex).ListStamp = stamp;
    } else if (serverIndex >= 1 && serverIndex <= ServerCount) {
        // Whatever the server's stamp is, it is not this one: the next request meets "list
        // changed" and the list is fetched again.
        Server(serverIndex).ListStamp = static_cast<std::uint16_t>(~Server(serverIndex).ListStamp);
    }
    std::bitset<256> stale;
    for (int i = 1; i <= DatabaseCount; ++i)
        if (Database(i).ServerId == serverId)
            stale.set(Database(i).DatabaseId);
    for (const TDatabaseListItem& item : items) {
        int found = 0;
        for (int i = 1; i <= DatabaseCount; ++i) {
            if (Database(i).ServerId == serverId && Database(i).Number == item.Number) {
                found = i;
                break;
            }
        }
        if (found == 0) {
            AddDatabase(serverId, item);
            continue;
        }
        TDatabaseEntry copy = Database(found);
        copy.Handle = item.Handle;
        copy.Flags = item.Flags;
        copy.Text = Cut(item.Text, 60);
        copy.Name = Cut(item.Name, 60);
        for (int i = found; i < DatabaseCount; ++i)
            Database(i) = std::move(Database(i + 1));
        Database(DatabaseCount) = std::move(copy);
        stale.reset(Database(DatabaseCount).DatabaseId);
    }
    for (int id = 1; id <= kMaxDatabases; ++id)
        if (stale.test(static_cast<std::size_t>(id)))
            RemoveDatabase(static_cast<std::uint8_t>(id));
}

void TRequestDispatcher::AddDatabase(std::uint8_t serverId, const TDatabaseListItem& item) {
    if (DatabaseCount >= kMaxDatabases) {
        ShowMessageBox("Too many databases are defined in local servers.");
        return;
    }
    ++DatabaseCount;
    TDatabaseEntry& e = Database(DatabaseCount);
    e = TDatabaseEntry{};
    for (std::uint8_t id = 1; id <= kMaxDatabases; ++id) {
        if (!UsedDatabaseIds.test(id)) {
            e.DatabaseId = id;
            break;
        }
    }
    e.ServerId = serverId;
    e.Handle = item.Handle;
    e.Number = item.Number;
    e.Flags = item.Flags;
    e.Text = Cut(item.Text, 60);
    e.Name = Cut(item.Name, 60);
    UsedDatabaseIds.set(e.DatabaseId);
}

void TRequestDispatcher::RemoveDatabase(std::uint8_t databaseId) {
    for (int i = 1; i <= DatabaseCount; ++i) {
        if (Database(i).DatabaseId != databaseId)
            continue;
        UsedDatabaseIds.reset(databaseId);
        for (int j = i; j < DatabaseCount; ++j)
            Database(j) = std::move(Database(j + 1));
        Database(DatabaseCount) = TDatabaseEntry{};
        --DatabaseCount;
        return;
    }
}

void TRequestDispatcher::RemoveServerDatabases(const TServerIdSet& removed) {
    std::vector<TDatabaseEntry> kept;
    for (int i = 1; i <= DatabaseCount; ++i)
        if (!removed.test(Database(i).ServerId))
            kept.push_back(Database(i));
    UsedDatabaseIds.reset();
    for (std::size_t i = 0; i < kMaxDatabases; ++i)
        (*Databases)[i] = i < kept.size() ? kept[i] : TDatabaseEntry{};
    DatabaseCount = static_cast<std::uint8_t>(kept.size());
    for (const TDatabaseEntry& e : kept)
        UsedDatabaseIds.set(e.DatabaseId);
}

bool TRequestDispatcher::FindDatabaseByHandle(std::uint8_t serverIndex, std::uint16_t handle,
                                              std::uint16_t& number, TServerText& text,
                                              TServerText& name) {
    if (serverIndex == 0 || serverIndex > ServerCount)
        return false;
    const std::uint8_t serverId = Server(serverIndex).ServerId;
    bool found = false;
    for (int i = 1; i <= DatabaseCount; ++i) {
        const TDatabaseEntry& e = Database(i);
        if (e.ServerId == serverId && e.Handle == handle) {
            number = e.Number;
            text = e.Text;
            name = e.Name;
            found = true;
        }
    }
    return found;
}

TExchangeResult TRequestDispatcher::GetDatabaseNames(std::uint8_t serverIndex, std::uint16_t number,
                                                     TServerText& text, TServerText& name) {
    text.clear();
    name.clear();
    if (serverIndex == 0 || serverIndex > ServerCount)
        return TExchangeResult::Failed;
    const std::uint8_t serverId = Server(serverIndex).ServerId;
    for (int i = 1; i <= DatabaseCount; ++i) {
        const TDatabaseEntry& e = Database(i);
        if (e.ServerId == serverId && e.Number == number) {
            text = e.Text;
            name = e.Name;
            return TExchangeResult::Done;
        }
    }
    return TExchangeResult::Failed;
}
