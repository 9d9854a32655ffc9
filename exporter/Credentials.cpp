#include "Credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Reads the whole regular file open on `fd`, up to the limit.
bool ReadAll(int fd, std::string& text, std::string& failure) {
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            failure = std::strerror(errno);
            return false;
        }
        if (n == 0)
            return true;
        if (text.size() + static_cast<std::size_t>(n) > kCredentialsFileLimit) {
            failure = "it is larger than " + std::to_string(kCredentialsFileLimit) + " bytes";
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

bool TCredentials::Load(const std::string& path, std::string& message) {
    const std::string head = "The credentials file " + path + " ";
    // O_NONBLOCK: a FIFO put in the file's place must not hang the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        message = head + "cannot be opened: " + std::strerror(errno) + ".";
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        message = head + "is not a regular file.";
        return false;
    }
    if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        ::close(fd);
        message = head + "holds passwords but others may read or write it; make it private " +
                  "(chmod o-rwx) and start again.";
        return false;
    }
    std::string text, failure;
    const bool read = ReadAll(fd, text, failure);
    ::close(fd);
    if (!read) {
        message = head + "cannot be read: " + failure + ".";
        return false;
    }
    std::string parseMessage;
    if (!Parse(text, parseMessage)) {
        message = head + parseMessage;
        return false;
    }
    return true;
}

bool TCredentials::Parse(const std::string& text, std::string& message) {
    std::map<std::string, std::string> byTarget;
    std::optional<std::string> fallback;
    std::size_t from = 0;
    for (int lineNumber = 1; from < text.size(); ++lineNumber) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t tab = line.find('\t');
        // The password is never quoted back: only the line's number is named.
        if (tab == std::string::npos || tab == 0) {
            message = "has no target and tab at line " + std::to_string(lineNumber) + ".";
            return false;
        }
        const std::string target = line.substr(0, tab);
        std::string password = line.substr(tab + 1);
        if (password.size() > kLongestPassword) {
            message = "has a password longer than " + std::to_string(kLongestPassword) +
                      " bytes at line " + std::to_string(lineNumber) + ".";
            return false;
        }
        if (target == "*") {
            if (fallback) {
                message = "has a second \"*\" line at line " + std::to_string(lineNumber) + ".";
                return false;
            }
            fallback = std::move(password);
        } else if (!byTarget.emplace(target, std::move(password)).second) {
            message =
                "names the same target twice, again at line " + std::to_string(lineNumber) + ".";
            return false;
        }
    }
    byTarget_ = std::move(byTarget);
    fallback_ = std::move(fallback);
    return true;
}

std::optional<std::string> TCredentials::PasswordFor(const std::string& target) const {
    const auto it = byTarget_.find(target);
    if (it != byTarget_.end())
        return it->second;
    return fallback_;
}
