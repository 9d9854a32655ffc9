#pragma once

// The one object through which the console reaches its server: the table of connected servers,
// the table of their databases, the handshakes before a server is admitted, and the single
// path of every request with its lock and its reload of a changed database list.

#include "PacketTransport.h"
#include "Protocol.h"
#include "Win1256.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

inline constexpr int kMaxServers = 100;
inline constexpr int kMaxDatabases = 250;
// What ExecuteRequest and the console requests answer: the exchange took place (the reply may
// still carry a server error), or the server is not connected or the exchange failed.
enum class TExchangeResult : std::uint16_t { Done = 10, Failed = 11 };
// How many "database list changed" answers in a row a request takes before it gives up.
inline constexpr int kMaxListReloads = 8;

// Texts from the server are 8-bit (Windows-1256) and kept as the bytes that came.
struct TServerEntry {
    std::uint8_t SecurityKind = 0;
    std::uint8_t ServerId = 0;
    std::uint16_t ListStamp = 0;
    TServerText CenterName; // at most 80
    TServerText CenterText; // at most 80
    TServerText ServerName; // at most 60
    std::uint8_t LoginTag = 0;
    std::uint8_t SecurityByte = 0;
    std::uint16_t SecurityWord = 0;
    std::uint8_t State = 0; // 1 = connected
    TServerAddress Address{};
    TConnection Connection; // the socket and its read-ahead
    std::uint16_t ServerTag = 0;
    std::uint32_t ConnectionId = 0;
};

struct TServerInfo {
    std::uint8_t SecurityKind = 0;
    TServerText CenterName;
    TServerText CenterText;
    TServerText ServerName;
    TConnection Connection; // handed over to the server table by AddServers
    std::uint16_t ServerTag = 0;
    std::uint32_t ConnectionId = 0;
    TServerAddress Address{};
    std::uint8_t LoginTag = 0;
    std::uint8_t SecurityByte = 0;
    std::uint16_t SecurityWord = 0;
};

struct TDatabaseEntry {
    std::uint8_t DatabaseId = 0;
    std::uint8_t ServerId = 0;
    std::uint16_t Handle = 0;
    std::uint16_t Number = 0;
    std::uint8_t Flags = 0;
    TServerText Text; // at most 60
    TServerText Name; // at most 60
};

struct TDatabaseListItem {
    std::uint16_t Handle = 0;
    std::uint16_t Number = 0;
    std::uint8_t Flags = 0;
    TServerText Name;
    TServerText Text;
};

// A set of server indexes 1..100.
using TServerSet = std::bitset<kMaxServers + 1>;
using TServerIdSet = std::bitset<104>;

class TRequestDispatcher final {
public:
    TRequestDispatcher() = default;
    ~TRequestDispatcher();
    TRequestDispatcher(const TRequestDispatcher&) = delete;
    TRequestDispatcher& operator=(const TRequestDispatcher&) = delete;

    bool Initialized = false;
    bool SocketsStarted = false;
    std::uint8_t ServerCount = 0;
    std::unique_ptr<std::array<TServerEntry, kMaxServers>> Servers;
    std::uint8_t DatabaseCount = 0;
    std::unique_ptr<std::array<TDatabaseEntry, kMaxDatabases>> Databases;
    std::bitset<256> UsedDatabaseIds;
    TServerIdSet UsedServerIds;
    std::recursive_mutex Lock;

    // 1-based access to the tables.
    TServerEntry& Server(int index) { return (*Servers)[static_cast<std::size_t>(index - 1)]; }
    TDatabaseEntry& Database(int index) {
        return (*Databases)[static_cast<std::size_t>(index - 1)];
    }

    bool GetServerSecurityInf(TConnection& connection, std::uint32_t connectionId,
                              std::uint16_t& errorCode, std::uint8_t& requiredMajor,
                              std::uint8_t& requiredMinor, bool& flag, std::uint8_t& securityKind,
                              std::uint8_t& securityByte, std::uint16_t& securityWord,
                              TServerText& centerName, TServerText& centerText,
                              TServerText& serverName);
    bool LoginToSpxServer(TConnection& connection, const TServerText& userName,
                          std::uint32_t connectionId, const std::string& scrambledPassword,
                          bool& accepted, std::uint16_t& busy, std::uint8_t& loginTag);
    // Takes over the connections of the servers it admits.
    void AddServers(const TServerSet& which, std::uint8_t count, TServerInfo* infos);
    bool LogoutServer(std::uint8_t serverIndex);
    void RemoveServers(const TServerSet& which);
    TExchangeResult ExecuteRequest(std::uint8_t serverIndex, TRequestRecord& request);

    // The database table.
    bool FetchDatabaseList(std::uint8_t serverIndex, std::vector<TDatabaseListItem>& items,
                           std::uint16_t& stamp);
    void RefreshServerDatabases(std::uint8_t serverIndex, std::uint8_t serverId);
    void AddDatabase(std::uint8_t serverId, const TDatabaseListItem& item);
    void RemoveDatabase(std::uint8_t databaseId);
    void RemoveServerDatabases(const TServerIdSet& removed);
    bool FindDatabaseByHandle(std::uint8_t serverIndex, std::uint16_t handle, std::uint16_t& number,
                              TServerText& text, TServerText& name);
    TExchangeResult GetDatabaseNames(std::uint8_t serverIndex, std::uint16_t number,
                                     TServerText& text, TServerText& name);
};

// The process's one dispatcher.
extern TRequestDispatcher* RequestDispatcher;

// Makes the dispatcher (and starts the socket library); false when its tables could not be
// had. Also points the link's report hook at the error log.
bool CreateRequestDispatcher();
// Closes the sockets of the servers still in the table (no logout is sent) and frees it all.
void FreeRequestDispatcher();

// The console counts as connected while the dispatcher holds a server.
inline bool IsConnected() {
    return RequestDispatcher != nullptr && RequestDispatcher->ServerCount != 0;
}
