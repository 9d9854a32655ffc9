#pragma once

// The reference server for the benchmarks: started from the benchmark's own folder with a
// fixture, and the console's session with it (administrator password "admin").

#include "ConnectLogin.h"
#include "RequestDispatcher.h"

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// The folder of the running benchmark, with a trailing "/"; the programs it starts lie there.
inline std::string BenchBinDir() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "./";
    std::string dir(self, static_cast<std::size_t>(n));
    dir.resize(dir.find_last_of('/') + 1);
    return dir;
}

struct TBenchServer {
    pid_t Pid = -1;
    int Port = 0;
    explicit TBenchServer(const std::string& fixture) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        Pid = ::fork();
        if (Pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            const std::string program = BenchBinDir() + "zephran-testserver";
            ::execl(program.c_str(), program.c_str(), "--fixture", fixture.c_str(), "--port", "0",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line.push_back(c);
        ::close(out[0]);
        const auto colon = line.rfind(':');
        if (colon != std::string::npos)
            Port = std::atoi(line.c_str() + colon + 1);
    }
    ~TBenchServer() {
        if (Pid > 0) {
            ::kill(Pid, SIGTERM);
            ::waitpid(Pid, nullptr, 0);
        }
    }
    TBenchServer(const TBenchServer&) = delete;
    TBenchServer& operator=(const TBenchServer&) = delete;
};

inline bool Connect(const TBenchServer& server) {
    return ConnectAndLoginTcp({127, 0, 0, 1}, static_cast<std::uint16_t>(server.Port), "admin");
}

inline void Disconnect() {
    RequestDispatcher->LogoutServer(1);
    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
}
