#pragma once

// The passwords that went to the broker, and their masking in texts shown to the user. A broker
// may echo a request back (in an error text, or in an HTML page that the parse-error box quotes),
// and it may echo it in any encoding: raw, percent-encoded (with "+" for a blank), or with XML
// and HTML character references. Every such form of a password, and any mixture of them, is
// replaced by "********".

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TSecretMask final {
public:
    static constexpr std::string_view kMask = "********";

    // Remembers one password (empty ones are ignored: they cannot be told apart in a text).
    void Add(std::string_view secret);
    void Clear();
    bool Empty() const { return secrets_.empty(); }
    // The longest text one password can take in any of the forms matched.
    std::size_t LongestForm() const { return longestForm_; }

    // The byte ranges [first, second) of `text` that spell a password, left to right and not
    // overlapping; at each position the longest spelling wins.
    std::vector<std::pair<std::size_t, std::size_t>> Find(std::string_view text) const;
    // The text with every such range replaced by kMask.
    std::string Apply(std::string_view text) const;

private:
    // The end of the longest spelling of `secret` that starts at `at`, or `at` when none does.
    static std::size_t MatchEnd(std::string_view text, std::size_t at, std::string_view secret);

    std::vector<std::string> secrets_;
    std::array<bool, 256> firstBytes_{};
    std::size_t longestForm_ = 0;
};
