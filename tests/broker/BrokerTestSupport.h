#pragma once

// Shared pieces of the broker tests: a scripted HTTP peer in the test's own process, the
// reference broker in-process, and a guard that puts the process-wide requester back.

#include "TarvRequester.h"
#include "TestBroker.h"

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Puts the requester back as the product has it after each test.
struct TRequesterGuard {
    TRequesterGuard() { Reset(); }
    ~TRequesterGuard() { Reset(); }
    static void Reset() {
        Requester.ResetWaitForTesting();
        Requester.SetProcessEventsHook({});
        Requester.SetActivateWindowHook({});
        Requester.ModuleURL.clear();
        Requester.ForgetSentPasswordsForTesting();
    }
};

struct TReceived {
    std::string Path;
    std::string Body;
    std::string Connection;
    bool HasContentType = false;
};

// An HTTP peer on a free loopback port whose answers a test scripts: status and body for
// each body received. A test may hold every answer back until it calls Release().
class TScriptedPeer {
public:
    using TScript = std::function<std::pair<int, std::string>(const std::string& body)>;

    explicit TScriptedPeer(TScript script) : script_(std::move(script)) {
        server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                received_.push_back({req.path, req.body, req.get_header_value("Connection"),
                                     req.has_header("Content-Type")});
                cv_.wait(lock, [this] { return !holding_; });
            }
            const auto [status, body] = script_(req.body);
            res.status = status;
            res.set_content(body, "text/xml");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 5000 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    ~TScriptedPeer() {
        Release();
        server_.stop();
        thread_.join();
    }

    std::string ModuleURL() const {
        return "HTTP://127.0.0.1:" + std::to_string(port_) + "/SCRIPTS/ZephWebMain.DLL";
    }

    void Hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            holding_ = false;
        }
        cv_.notify_all();
    }
    std::vector<TReceived> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    TScript script_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool holding_ = false;
    std::vector<TReceived> received_;
};

// The reference broker, in this process, with an installation given as JSON.
class TInProcessBroker {
public:
    explicit TInProcessBroker(const nlohmann::json& fixture)
        : broker_(testbroker::ParseFixture(fixture)) {
        broker_.SetLogPasswords(true); // the tests compare whole bodies, passwords included
        port_ = broker_.Start("127.0.0.1", 0);
    }
    std::string URL() const { return "127.0.0.1:" + std::to_string(port_) + "/web"; }
    std::string ModuleURL() const {
        return "HTTP://127.0.0.1:" + std::to_string(port_) + "/WEB/ZephWebMain.DLL";
    }
    testbroker::TestBroker& Broker() { return broker_; }
    std::vector<std::string> Bodies() const {
        std::vector<std::string> bodies;
        for (const auto& r : broker_.Requests())
            bodies.push_back(r.body);
        return bodies;
    }

private:
    testbroker::TestBroker broker_;
    int port_ = 0;
};

// A small installation shared by the logic tests.
inline nlohmann::json SmallInstallation() {
    return nlohmann::json::parse(R"({
      "id": 5,
      "servers": [
        {"name": "MAIN", "center": "Main Library", "password": "p&ss=1"},
        {"name": "ARCH", "center": "A&B Archive", "password": "arch"}
      ],
      "sessions": [
        {"id": 11, "server": "MAIN", "user_id": 3, "user": "ali", "kind": 0, "latime": 37622.5,
         "resources": [{"db_id": 1, "db_name": "BOOKS", "app_id": 2, "app_handle": 3,
                        "edit_id": 4, "edit_handle": 5}]},
        {"id": 12, "server": "MAIN", "user_id": 4, "user": "sara", "kind": 1, "latime": 37622},
        {"id": 21, "server": "ARCH", "user_id": 9, "user": "guest", "kind": 0, "latime": 37623.25}
      ]
    })");
}
