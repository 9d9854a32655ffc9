#pragma once

// Reading the files that hold secrets: the password file (its first line) and the credentials
// file (whole). Both the amount read and the wait are bounded, so that a file without end
// (/dev/zero), a huge file without a line break, or a FIFO that nobody writes to ends with a
// message instead of exhausting memory or hanging.

#include <chrono>
#include <cstddef>
#include <string>

// The longest password line, without its line end, and the largest credentials file.
inline constexpr std::size_t kPasswordLineLimit = 64 * 1024;
inline constexpr std::size_t kCredentialsFileLimit = 1024 * 1024;
// How long a file that is not a regular file (a FIFO, a pipe, a terminal) may take to arrive.
inline constexpr std::chrono::milliseconds kSecretFileWait{60000};

enum class TSecretFileStatus { Read, CannotOpen, TooLarge, TooSlow, ReadFailed };

struct TSecretFileRead {
    TSecretFileStatus Status = TSecretFileStatus::Read;
    // When read: the first line without its line end (CR LF or LF), or the whole file.
    std::string Text;
};

// Reads `path`: with `firstLineOnly` its first line, which may be up to `limit` bytes long
// without its line end (nothing after the line end is read); otherwise the whole file, of up to
// `limit` bytes. A regular file is read as it is; anything else is read without blocking and
// must end (or, for the first line, give its line end) within `wait`.
TSecretFileRead ReadSecretFile(const std::string& path, std::size_t limit, bool firstLineOnly,
                               std::chrono::milliseconds wait);

// The message for a read that did not succeed. `role` names the file ("password file",
// "credentials file"); the message names the file and, where it applies, the limit.
std::string SecretFileMessage(const std::string& role, const std::string& path,
                              TSecretFileStatus status, std::size_t limit, bool firstLineOnly,
                              std::chrono::milliseconds wait);
