#include "ProbeRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

extern char** environ;

namespace {

// A probe's answer is a few hundred bytes; anything much larger is not one.
constexpr std::size_t kResultLimit = 64 * 1024;

constexpr const char* kStoppingText = "The exporter is stopping.";

TProbeResult Failure(const std::string& text) {
    TProbeResult result;
    result.Error = text;
    result.LogError = text;
    return result;
}

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() { Close(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1 << 30));
}

} // namespace

void TRunningProbes::Collect(pid_t pid) {
    // Waited for without collecting it: until it is collected, its number is not given to
    // another process, and Stop may still kill it harmlessly.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pids_.erase(pid);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void TRunningProbes::Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const pid_t pid : pids_)
        ::kill(pid, SIGKILL);
}

bool TRunningProbes::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

TProbeRemains::~TProbeRemains() {
    if (Pid > 0 && Running != nullptr) {
        Running->Collect(Pid);
    } else if (Pid > 0) {
        int status = 0;
        while (::waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // Removed only once the probe is gone, even when it was killed with files still open.
    std::error_code ignored;
    if (!Folder.empty())
        std::filesystem::remove_all(Folder, ignored);
}

TProbeResult RunProbeProcess(const TProbeLaunch& launch,
                             std::chrono::steady_clock::time_point deadline,
                             TProbeRemains& remains) {
    // A folder of the probe's own for its spilled replies.
    std::string folder = launch.WorkDirectory + "probe.XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr)
        return Failure(std::string("The probe's work folder could not be made: ") +
                       std::strerror(errno));
    folder += "/";
    remains.Folder = folder;
    std::error_code ignored;
    std::filesystem::create_directory(folder + "TEMP", ignored);
    int input[2] = {-1, -1}, output[2] = {-1, -1};
    // Close-on-exec, so that a probe started at the same time by another thread does not hold
    // this probe's pipes open.
    if (::pipe2(input, O_CLOEXEC) != 0)
        return Failure(std::string("The probe could not be started: ") + std::strerror(errno));
    TFd inRead(input[0]), inWrite(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0)
        return Failure(std::string("The probe could not be started: ") + std::strerror(errno));
    TFd outRead(output[0]), outWrite(output[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.Get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // The exporter blocks its stop signals to take them in one place; a probe takes them as
    // any program does, and ends.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

    std::vector<std::string> args = {
        launch.Program,   "--probe-target",          launch.Target, "--work-directory", folder,
        "--probe-parent", std::to_string(::getpid())};
    if (launch.CollectConnections)
        args.emplace_back("--probe-connections");
    if (launch.English)
        args.emplace_back("--english");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int spawned = 0;
    const auto spawn = [&]() -> pid_t {
        pid_t child = -1;
        // The running program itself, even when its file was replaced by an upgrade meanwhile.
        spawned =
            ::posix_spawn(&child, "/proc/self/exe", &actions, &attributes, argv.data(), environ);
        return spawned == 0 ? child : -1;
    };
    const pid_t pid = launch.Running ? launch.Running->Start(spawn) : spawn();
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pid <= 0 && spawned == 0)
        return Failure(kStoppingText);
    if (pid <= 0)
        return Failure(std::string("The probe could not be started: ") + std::strerror(spawned));
    remains.Pid = pid;
    remains.Running = launch.Running;
    inRead.Close();
    outWrite.Close();

    // The password goes over the pipe; it is smaller than a pipe's buffer (the credentials
    // file allows no longer one), so this does not wait on the probe. SIGPIPE is ignored in the
    // exporter: a probe that died gives EPIPE.
    const std::string& password = launch.Password;
    std::size_t written = 0;
    while (written < password.size()) {
        const ssize_t n =
            ::write(inWrite.Get(), password.data() + written, password.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    inWrite.Close();

    std::string text;
    bool timedOut = false, tooLarge = false;
    for (;;) {
        const int wait = MillisecondsLeft(deadline);
        if (wait == 0) {
            timedOut = true;
            break;
        }
        pollfd fd{outRead.Get(), POLLIN, 0};
        const int ready = ::poll(&fd, 1, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0) {
            timedOut = true;
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(outRead.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > kResultLimit) {
            tooLarge = true;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    outRead.Close();
    // Killed at once, its connection closed with it; waited for by `remains`, after the answer.
    if (timedOut || tooLarge)
        ::kill(pid, SIGKILL);
    if (timedOut)
        return Failure("The server did not answer within " + launch.TimeText + " seconds.");
    if (tooLarge)
        return Failure("The probe's answer was too large.");
    if (auto result = DecodeProbeResult(text))
        return *result;
    if (launch.Running && launch.Running->Stopping())
        return Failure(kStoppingText);
    return Failure("The probe ended without an answer.");
}
