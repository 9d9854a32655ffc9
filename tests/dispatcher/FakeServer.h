#pragma once

// A server whose replies the test writes: it registers the client as connection 77 and then
// answers every request through the test's handler, recording what it received.

#include "ScriptedPeer.h"

#include <functional>
#include <mutex>

struct TReceived {
    TWireHeader Header;
    Bytes Data;
};

class TFakeServer {
public:
    using THandler = std::function<Bytes(const TWireHeader&, const Bytes&)>;
    explicit TFakeServer(THandler handler)
        : handler_(std::move(handler)), peer_([this](TPeerConnection& c) { Serve(c); }, 4) {}

    std::uint16_t Port() const { return peer_.Port(); }
    std::vector<TReceived> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::vector<std::uint16_t> Codes() {
        std::vector<std::uint16_t> codes;
        for (const auto& r : Received())
            codes.push_back(r.Header.RequestCode);
        return codes;
    }

private:
    void Serve(TPeerConnection& c) {
        c.Write(MakeRegistration(77, 5));
        for (;;) {
            const std::vector<Bytes> packets = c.ReadRequestPackets(5000);
            if (packets.empty())
                return;
            const TWireHeader h = ParseHeader(packets[0]);
            Bytes data;
            for (const Bytes& p : packets)
                data.insert(data.end(), p.begin() + 26, p.end());
            data.resize(h.DataLength);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({h, data});
            }
            const Bytes reply = handler_(h, data);
            if (reply.empty() || !c.Write(reply))
                return;
        }
    }

    THandler handler_;
    std::mutex mutex_;
    std::vector<TReceived> received_;
    TScriptedPeer peer_;
};

// Replies that a correct server gives.
inline Bytes SecurityReply(const std::string& center = "Central Library",
                           const std::string& server = "MAIN") {
    Bytes d;
    PutShortString(d, center);
    PutShortString(d, "Centre text");
    PutShortString(d, server);
    PutByte(d, 2);
    PutByte(d, 3);
    PutWord(d, 0x0405);
    TWireHeader h;
    h.RequestCode = 20;
    return MakeReply(h, d);
}

inline Bytes LoginReply(bool accepted, std::uint16_t busy = 0, std::uint8_t tag = 9) {
    TWireHeader h;
    h.RequestCode = 18;
    h.Value = static_cast<std::uint16_t>((tag << 8) | (accepted ? 1 : 0));
    h.Param = busy;
    return MakeReply(h, {});
}

struct TListedDb {
    std::uint16_t Handle;
    std::uint16_t Number;
    std::string Name;
};

inline Bytes DatabaseListReply(const std::vector<TListedDb>& dbs, std::uint16_t stamp,
                               std::uint16_t announced = 0xFFFF) {
    Bytes d;
    for (const auto& db : dbs) {
        PutWord(d, db.Handle);
        PutWord(d, db.Number);
        PutByte(d, 0x11);
        PutShortString(d, "text of " + db.Name);
        PutShortString(d, db.Name);
    }
    TWireHeader h;
    h.RequestCode = 1;
    h.Value = announced == 0xFFFF ? static_cast<std::uint16_t>(dbs.size()) : announced;
    h.Param = stamp;
    return MakeReply(h, d);
}

inline Bytes EmptyReply(std::uint16_t value = 0) {
    TWireHeader h;
    h.Value = value;
    return MakeReply(h, {});
}

inline Bytes ServerErrorReply(std::uint16_t number) {
    TWireHeader h;
    h.ReplyCode = 1;
    h.Value = number;
    return MakeReply(h, {});
}
