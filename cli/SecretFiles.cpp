#include "SecretFiles.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Closes the descriptor on every path.
class TDescriptor {
public:
    explicit TDescriptor(int fd) : fd_(fd) {}
    ~TDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

std::string SizeText(std::size_t bytes) {
    constexpr std::size_t kKiB = 1024;
    if (bytes >= kKiB * kKiB && bytes % (kKiB * kKiB) == 0)
        return std::to_string(bytes / (kKiB * kKiB)) + " MiB";
    if (bytes >= kKiB && bytes % kKiB == 0)
        return std::to_string(bytes / kKiB) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string WaitText(std::chrono::milliseconds wait) {
    const auto ms = wait.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
    return std::to_string(ms) + (ms == 1 ? " millisecond" : " milliseconds");
}

} // namespace

TSecretFileRead ReadSecretFile(const std::string& path, std::size_t limit, bool firstLineOnly,
                               std::chrono::milliseconds wait) {
    TSecretFileRead result;
    // Without blocking: opening a FIFO for reading would otherwise wait for a writer.
    const TDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0 || S_ISDIR(info.st_mode)) {
        result.Status = TSecretFileStatus::CannotOpen;
        return result;
    }
    const bool fifo = S_ISFIFO(info.st_mode);
    const bool regular = S_ISREG(info.st_mode);
    // One byte beyond the limit tells a file that is too large; for a line, a CR before the LF
    // may follow a line of the full length.
    const std::size_t cap = limit + (firstLineOnly ? 2 : 1);
    const Clock::time_point deadline = Clock::now() + wait;
    std::string& text = result.Text;
    std::size_t searched = 0; // bytes already searched for a line end
    char buffer[8192];
    for (;;) {
        if (firstLineOnly && text.find('\n', searched) != std::string::npos)
            break;
        searched = text.size();
        if (text.size() >= cap)
            break;
        const std::size_t want = std::min(sizeof buffer, cap - text.size());
        const ssize_t n = ::read(fd.Get(), buffer, want);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        // A FIFO reads as ended while it has no writer; before anything arrived, that may only
        // mean that the writer has not opened it yet, so wait for it as for data.
        const bool mayEnd = n == 0 && (!fifo || !text.empty());
        if (mayEnd)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return {TSecretFileStatus::ReadFailed, {}};
        }
        if (regular)
            break; // a regular file that reads nothing has ended
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return {TSecretFileStatus::TooSlow, {}};
        }
        pollfd p{fd.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return {TSecretFileStatus::ReadFailed, {}};
        }
        if (ready == 0) {
            return {TSecretFileStatus::TooSlow, {}};
        }
        if (n == 0 && (p.revents & POLLHUP) != 0 && (p.revents & POLLIN) == 0)
            break; // a writer came and went without writing: the file is empty
    }
    bool tooLarge = false;
    if (firstLineOnly) {
        const std::size_t end = text.find('\n');
        // Without a line end in all that was read, the line goes on beyond the limit.
        tooLarge = end == std::string::npos && text.size() >= cap;
        if (end != std::string::npos)
            text.resize(end);
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
    }
    if (tooLarge || text.size() > limit) {
        result.Status = TSecretFileStatus::TooLarge;
        result.Text.clear();
    }
    return result;
}

std::string SecretFileMessage(const std::string& role, const std::string& path,
                              TSecretFileStatus status, std::size_t limit, bool firstLineOnly,
                              std::chrono::milliseconds wait) {
    switch (status) {
    case TSecretFileStatus::Read:
        return {};
    case TSecretFileStatus::TooLarge:
        if (firstLineOnly)
            return "The first line of the " + role + " " + path + " is longer than " +
                   SizeText(limit) + ".";
        return "The " + role + " " + path + " is larger than " + SizeText(limit) + ".";
    case TSecretFileStatus::TooSlow:
        if (firstLineOnly)
            return "The " + role + " " + path + " did not give its first line within " +
                   WaitText(wait) + ".";
        return "The " + role + " " + path + " did not end within " + WaitText(wait) + ".";
    case TSecretFileStatus::CannotOpen:
    case TSecretFileStatus::ReadFailed:
        break;
    }
    return "The " + role + " " + path + " cannot be read.";
}
