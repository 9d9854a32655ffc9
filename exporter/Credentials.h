#pragma once

// The exporter's credentials file: one line per target, the target as the scrape configuration
// writes it, a tab, the administrator password; a line whose target is "*" serves every target
// without a line of its own. The file holds passwords, so it must be a regular file that nobody
// but its owner and group can read or write.

#include <map>
#include <optional>
#include <string>

inline constexpr std::size_t kCredentialsFileLimit = 1024 * 1024;
// Far more than a login can carry; a longer line is a mistake, not a password.
inline constexpr std::size_t kLongestPassword = 4096;

class TCredentials {
public:
    // Reads and checks the file; on failure `message` says why and nothing is kept.
    bool Load(const std::string& path, std::string& message);
    // Parses the text of a file already read; `message` names the first bad line.
    bool Parse(const std::string& text, std::string& message);
    // The password for the target as written in the probe's request.
    std::optional<std::string> PasswordFor(const std::string& target) const;
    // Whether a "*" line gives a password to every target without a line of its own.
    bool HasFallback() const { return fallback_.has_value(); }

private:
    std::map<std::string, std::string> byTarget_;
    std::optional<std::string> fallback_;
};
