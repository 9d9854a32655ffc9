// zephran-testserver: a reference database server for tests, benchmarks and the demo. It
// speaks the server protocol over TCP and serves the installation described by a JSON fixture.

#include "Fixture.h"
#include "Service.h"
#include "Session.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <list>
#include <memory>
#include <thread>

namespace {

using namespace testserver;

int g_wake_pipe[2] = {-1, -1};

void OnSignal(int) {
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_wake_pipe[1], &c, 1);
}

struct Client {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
};

int OpenListener(const std::string& host, std::uint16_t port, std::string& bound) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        std::cerr << "zephran-testserver: cannot resolve host " << host << "\n";
        return -1;
    }
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::cerr << "zephran-testserver: socket: " << std::strerror(errno) << "\n";
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0) {
        std::cerr << "zephran-testserver: cannot listen on " << host << ":" << port << ": "
                  << std::strerror(errno) << "\n";
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    bound = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
    return fd;
}

// Joins the threads of clients that have left and closes their sockets.
void Reap(std::list<std::unique_ptr<Client>>& clients) {
    for (auto it = clients.begin(); it != clients.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            ::close((*it)->fd);
            it = clients.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reference database server for tests, benchmarks and the demo"};
    std::string fixture_path, host = "127.0.0.1", log_path;
    std::uint16_t port = 0;
    std::size_t max_clients = 256;
    double idle_timeout_s = 30;
    app.add_option("--fixture", fixture_path, "JSON fixture describing the installation")
        ->required();
    app.add_option("--host", host, "address to listen on")->capture_default_str();
    app.add_option("--port", port, "port to listen on; 0 picks a free one")->capture_default_str();
    app.add_option("--log", log_path, "write one line per request received to this file");
    app.add_option("--max-clients", max_clients, "connections served at the same time")
        ->capture_default_str()
        ->check(CLI::Range(1, 4096));
    app.add_option("--idle-timeout", idle_timeout_s,
                   "seconds a client may stay silent before logging in, or stop inside a request "
                   "or its reply, before it is closed; 0 never closes one")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    bool moving_counters = false;
    app.add_flag("--moving-counters", moving_counters,
                 "let the request counters grow while the server runs, at the fixture's "
                 "status.growth_per_minute or, without it, 2400, 180, 480 and 2 a minute");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    Fixture fixture;
    try {
        fixture = LoadFixture(fixture_path);
    } catch (const FixtureError& e) {
        std::cerr << "zephran-testserver: fixture " << fixture_path << ": " << e.what() << "\n";
        return 1;
    }
    RequestLog log;
    if (!log_path.empty() && !log.Open(log_path)) {
        std::cerr << "zephran-testserver: cannot write the request log " << log_path << "\n";
        return 1;
    }

    if (::pipe2(g_wake_pipe, O_CLOEXEC) != 0) {
        std::cerr << "zephran-testserver: pipe: " << std::strerror(errno) << "\n";
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sa.sa_flags = SA_RESTART;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::string bound;
    const int listener = OpenListener(host, port, bound);
    if (listener < 0)
        return 1;
    std::cout << "listening on " << bound << std::endl;

    SessionLimits limits;
    limits.idle_timeout = std::chrono::milliseconds(std::llround(idle_timeout_s * 1000));
    Service service(std::move(fixture));
    if (moving_counters)
        service.MoveCounters();
    std::list<std::unique_ptr<Client>> clients;

    // Client threads leave the stop signals to this thread.
    sigset_t stop_signals;
    ::sigemptyset(&stop_signals);
    ::sigaddset(&stop_signals, SIGTERM);
    ::sigaddset(&stop_signals, SIGINT);

    for (;;) {
        pollfd fds[2] = {{listener, POLLIN, 0}, {g_wake_pipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, 200);
        Reap(clients);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (fds[1].revents)
            break;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        if (clients.size() >= max_clients) {
            const std::string line = "zephran-testserver: " + std::to_string(max_clients) +
                                     " clients are connected; refusing another\n";
            std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto client = std::make_unique<Client>();
        client->fd = fd;
        Client* raw = client.get();
        const std::uint32_t id = service.NewConnectionId();
        sigset_t saved;
        ::pthread_sigmask(SIG_BLOCK, &stop_signals, &saved);
        raw->thread = std::thread([raw, id, &service, &log, limits] {
            RunSession(raw->fd, id, service, log, limits);
            // The place is free before the client sees the end: one that connects again at
            // once is not refused for a slot that is only waiting to be reaped.
            raw->done = true;
            ::shutdown(raw->fd, SHUT_RDWR);
        });
        ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        clients.push_back(std::move(client));
    }

    ::close(listener);
    service.Stop();
    for (auto& c : clients)
        ::shutdown(c->fd, SHUT_RDWR);
    for (auto& c : clients) {
        c->thread.join();
        ::close(c->fd);
    }
    return 0;
}
