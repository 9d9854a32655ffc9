#include "ExitGuard.h"

#include "ReplyBuffer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace ExitGuard {

#if defined(_WIN32)

bool OpenStandardDescriptors() {
    return true;
}
bool EndOnSignals(std::initializer_list<int>) {
    return true;
}
bool ArmTimeLimit(double, std::string) {
    return false;
}
void DisarmTimeLimit() {}
TTimeLimitPause::TTimeLimitPause() = default;
TTimeLimitPause::~TTimeLimitPause() = default;
TSignalCatch::TSignalCatch(std::initializer_list<int>) {}
TSignalCatch::~TSignalCatch() = default;
int TSignalCatch::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::this_thread::sleep_until(deadline);
    return 0;
}

#else

namespace {

using TClock = std::chrono::steady_clock;

struct TState {
    std::mutex Lock; // guards everything below; held for good once the program is ending
    bool Started = false;
    int WakeRead = -1;

    bool Armed = false;
    int Pauses = 0;
    TClock::time_point Deadline{};
    TClock::duration Remaining{}; // while paused
    std::string Message;

    bool TerminalKept = false;
    int TerminalFd = -1;
    termios TerminalMode{};

    std::vector<int> Catching; // the signals a TSignalCatch keeps
    int Caught = 0;            // the one it kept, 0 for none yet
    std::condition_variable SignalCaught;
};

// Never destroyed: the watching thread may still use it while the program returns from main.
TState& State() {
    static TState* state = new TState;
    return *state;
}

// The pipe's writing end, for the signal handler; -1 until the thread runs.
std::atomic<int> g_wakeWrite{-1};

extern "C" void OnEndSignal(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    const int fd = g_wakeWrite.load();
    if (fd >= 0)
        while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
        }
    errno = saved;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Ends the program from the watching thread. The lock is kept, so that no terminal change and
// (through RemoveOpenSpillFiles) no spill file can come after.
[[noreturn]] void End(int status, const std::string& message) {
    TState& s = State();
    s.Lock.lock();
    if (s.TerminalKept) {
        ::tcsetattr(s.TerminalFd, TCSANOW, &s.TerminalMode);
        WriteAll(STDERR_FILENO, "\n"); // the prompt's line was left open
    }
    RemoveOpenSpillFiles();
    if (!message.empty())
        WriteAll(STDERR_FILENO, message + "\n");
    ::_exit(status);
}

// Milliseconds until the deadline, -1 for none; ends the program when it has passed.
int WaitTime() {
    TState& s = State();
    std::string message;
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (!s.Armed || s.Pauses > 0)
            return -1;
        const auto left = s.Deadline - TClock::now();
        if (left > TClock::duration::zero()) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            return static_cast<int>(std::min<long long>(ms, INT_MAX));
        }
        message = s.Message;
    }
    End(1, message);
}

// True when a TSignalCatch takes the signal.
bool Catch(int signal) {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    if (s.Caught != 0 ||
        std::find(s.Catching.begin(), s.Catching.end(), signal) == s.Catching.end())
        return false;
    s.Caught = signal;
    s.SignalCaught.notify_all();
    return true;
}

void Watch(int wakeRead) {
    for (;;) {
        pollfd p{wakeRead, POLLIN, 0};
        const int ready = ::poll(&p, 1, WaitTime());
        if (ready <= 0)
            continue; // the deadline, or an interrupted wait: WaitTime looks again
        unsigned char bytes[64];
        const ssize_t n = ::read(wakeRead, bytes, sizeof bytes);
        // 0 only wakes the thread to look at the deadline again; a signal ends the program
        // unless a TSignalCatch takes it.
        for (ssize_t i = 0; i < n; ++i)
            if (bytes[i] != 0 && !Catch(bytes[i]))
                End(128 + bytes[i], {});
    }
}

// Starts the watching thread once; the caller holds the lock.
bool StartLocked(TState& s) {
    if (s.Started)
        return true;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    try {
        std::thread(Watch, fds[0]).detach();
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    s.WakeRead = fds[0];
    g_wakeWrite.store(fds[1]);
    s.Started = true;
    return true;
}

void Wake() {
    const unsigned char zero = 0;
    const int fd = g_wakeWrite.load();
    if (fd >= 0)
        while (::write(fd, &zero, 1) < 0 && errno == EINTR) {
        }
}

} // namespace

bool OpenStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, since the ones below it are open.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened < 0)
            return false;
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            ::close(opened);
            if (!moved)
                return false;
        }
    }
    return true;
}

bool EndOnSignals(std::initializer_list<int> signals) {
    TState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (!StartLocked(s))
            return false;
    }
    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    bool all = true;
    for (int signal : signals) {
        // A signal that the program was started with ignored (nohup, a background job of a
        // script) stays ignored, as whoever started it asked.
        struct sigaction before {};
        if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        all = ::sigaction(signal, &action, nullptr) == 0 && all;
    }
    return all;
}

bool ArmTimeLimit(double seconds, std::string message) {
    if (!(seconds > 0))
        return false;
    TState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (!StartLocked(s))
            return false;
        const auto limit = std::chrono::duration_cast<TClock::duration>(
            std::chrono::duration<double>(std::min(seconds, kLongestWaitSeconds)));
        s.Armed = true;
        s.Message = std::move(message);
        s.Remaining = limit;
        s.Deadline = TClock::now() + limit;
    }
    Wake();
    return true;
}

void DisarmTimeLimit() {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Armed = false;
}

TTimeLimitPause::TTimeLimitPause() {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    if (s.Pauses++ == 0)
        s.Remaining = std::max(s.Deadline - TClock::now(), TClock::duration::zero());
}

TTimeLimitPause::~TTimeLimitPause() {
    TState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.Lock);
        if (--s.Pauses == 0)
            s.Deadline = TClock::now() + s.Remaining;
    }
    Wake();
}

TSignalCatch::TSignalCatch(std::initializer_list<int> signals) {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Catching.assign(signals.begin(), signals.end());
    s.Caught = 0;
}

TSignalCatch::~TSignalCatch() {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    s.Catching.clear();
    s.Caught = 0;
}

int TSignalCatch::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    TState& s = State();
    std::unique_lock<std::mutex> lock(s.Lock);
    s.SignalCaught.wait_until(lock, deadline, [&s] { return s.Caught != 0; });
    return s.Caught;
}

bool ChangeTerminal(int fd, const termios& saved, const termios& changed) {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    // Kept before it is changed: an end in between puts back a mode that was never left.
    s.TerminalKept = true;
    s.TerminalFd = fd;
    s.TerminalMode = saved;
    if (::tcsetattr(fd, TCSAFLUSH, &changed) == 0)
        return true;
    s.TerminalKept = false;
    return false;
}

void RestoreTerminal() {
    TState& s = State();
    std::lock_guard<std::mutex> lock(s.Lock);
    if (!s.TerminalKept)
        return;
    ::tcsetattr(s.TerminalFd, TCSANOW, &s.TerminalMode);
    s.TerminalKept = false;
}

#endif

} // namespace ExitGuard
