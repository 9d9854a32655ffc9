#include "Processes.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args,
                        std::vector<std::string>& storage) {
    storage.clear();
    storage.push_back(program);
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return argv;
}

std::string ReadAll(int fd) {
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

} // namespace

TPeerProcess::TPeerProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (::pipe(out) != 0)
        return;
    std::vector<std::string> storage;
    std::vector<char*> argv = Argv(program, args, storage);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.size() < 200 && ::poll(&p, 1, 10000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    ::close(out[0]);
    const auto colon = line.rfind(':');
    if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos)
        port_ = std::atoi(line.c_str() + colon + 1);
}

TPeerProcess::~TPeerProcess() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
}

TCommandResult RunCommand(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& environment,
                          int timeoutSeconds) {
    TCommandResult result;
    char outName[] = "/tmp/zephran-out-XXXXXX";
    char errName[] = "/tmp/zephran-err-XXXXXX";
    const int outFd = ::mkstemp(outName);
    const int errFd = ::mkstemp(errName);
    std::vector<std::string> storage;
    std::vector<char*> argv = Argv(program, args, storage);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [name, value] : environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::dup2(outFd, STDOUT_FILENO);
        ::dup2(errFd, STDERR_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    bool ended = false;
    for (int i = 0; i < timeoutSeconds * 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        result.ExitCode = WEXITSTATUS(status);
    }
    ::lseek(outFd, 0, SEEK_SET);
    ::lseek(errFd, 0, SEEK_SET);
    result.Out = ReadAll(outFd);
    result.Err = ReadAll(errFd);
    ::close(outFd);
    ::close(errFd);
    ::unlink(outName);
    ::unlink(errName);
    return result;
}
