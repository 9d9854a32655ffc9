// zephran-testbroker --fixture FILE [--host 127.0.0.1] [--port N] [--log-passwords]
//
// Serves the broker queries from the fixture until it is interrupted or terminated. The first
// line it prints is "listening on HOST:PORT"; port 0 picks a free port.

#include "TestBroker.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <pthread.h>
#include <thread>

int main(int argc, char** argv) {
    CLI::App app{"zephran-testbroker: the reference HTTP broker"};
    std::string fixturePath;
    std::string host = "127.0.0.1";
    int port = 0;
    bool logPasswords = false;
    app.add_option("--fixture", fixturePath, "the JSON fixture of the installation")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--host", host, "the address to listen on");
    app.add_option("--port", port, "the port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535));
    app.add_flag("--log-passwords", logPasswords,
                 "keep passwords in the request log as they came (masked otherwise)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    testbroker::Installation installation;
    try {
        std::ifstream in(fixturePath);
        installation = testbroker::ParseFixture(nlohmann::json::parse(in));
    } catch (const std::exception& e) {
        std::cerr << "zephran-testbroker: fixture " << fixturePath << ": " << e.what() << '\n';
        return 2;
    }

    // The signals are taken by one thread that stops the server; every other thread,
    // including the server's workers, inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    testbroker::TestBroker broker(std::move(installation));
    broker.SetLogPasswords(logPasswords);
    if (!broker.Bind(host, port)) {
        std::cerr << "zephran-testbroker: cannot listen on " << host << ':' << port << '\n';
        return 1;
    }
    std::cout << "listening on " << host << ':' << broker.Port() << std::endl;

    std::thread waiter([&broker, signals] {
        int received = 0;
        sigwait(&signals, &received);
        broker.Stop();
    });
    broker.Serve();
    // Serving ended by itself: release the waiter.
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
    return 0;
}
