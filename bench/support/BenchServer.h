#pragma once

// The reference server for the benchmarks: started from the benchmark's own folder with a
// fixture, and the console's session with it (administrator password "admin").

#include "ConnectLogin.h"
#include "RequestDispatcher.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// A program of the benchmark's folder, started with `args`, that prints the address it listens
// on ("...:PORT") as its first line; stopped with SIGTERM at the end. A quiet one's standard
// error goes nowhere, so that nothing it logs comes amid the figures.
struct TBenchProcess {
    pid_t Pid = -1;
    int Port = 0;
    TBenchProcess(const std::string& name, const std::vector<std::string>& args,
                  bool quiet = false) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        const std::string program = BenchBinDir() + name;
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        Pid = ::fork();
        if (Pid == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            if (quiet) {
                const int null = ::open("/dev/null", O_WRONLY);
                ::dup2(null, STDERR_FILENO);
            }
            ::execv(program.c_str(), argv.data());
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
    ~TBenchProcess() {
        if (Pid > 0) {
            ::kill(Pid, SIGTERM);
            ::waitpid(Pid, nullptr, 0);
        }
    }
    TBenchProcess(const TBenchProcess&) = delete;
    TBenchProcess& operator=(const TBenchProcess&) = delete;
};

struct TBenchServer : TBenchProcess {
    explicit TBenchServer(const std::string& fixture)
        : TBenchProcess("zephran-testserver", {"--fixture", fixture, "--port", "0"}) {}
};

// zephran-admin COMMAND [--json] against the server on `port`, started with its output thrown
// away and the password from the environment; its process.
inline pid_t StartAdmin(int port, const char* command, bool json = false) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::setenv("ZEPHRAN_PASSWORD", "admin", 1);
        const std::string program = BenchBinDir() + "zephran-admin";
        const std::string target = "127.0.0.1:" + std::to_string(port);
        ::execl(program.c_str(), program.c_str(), "--tcp", target.c_str(), command,
                json ? "--json" : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

inline bool Connect(const TBenchServer& server) {
    return ConnectAndLoginTcp({127, 0, 0, 1}, static_cast<std::uint16_t>(server.Port), "admin");
}

inline void Disconnect() {
    RequestDispatcher->LogoutServer(1);
    TServerSet one;
    one.set(1);
    RequestDispatcher->RemoveServers(one);
}
