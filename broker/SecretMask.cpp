#include "SecretMask.h"

#include <algorithm>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The length of the UTF-8 character at `at` and its code point; a byte that does not start a
// well-formed character counts as a character of its own without a code point (-1).
std::size_t CharacterAt(std::string_view s, std::size_t at, long& codePoint) {
    const auto b = static_cast<unsigned char>(s[at]);
    if (b < 0x80) {
        codePoint = b;
        return 1;
    }
    std::size_t length = 0;
    long value = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        value = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        value = b & 0x07;
    }
    if (length == 0 || at + length > s.size()) {
        codePoint = -1;
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto c = static_cast<unsigned char>(s[at + i]);
        if ((c & 0xC0) != 0x80) {
            codePoint = -1;
            return 1;
        }
        value = (value << 6) | (c & 0x3F);
    }
    const long minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        codePoint = -1;
        return 1;
    }
    codePoint = value;
    return length;
}

// The end of a character reference to `codePoint` at `at` ("&amp;", "&#38;", "&#x26;"), or 0.
std::size_t ReferenceEnd(std::string_view text, std::size_t at, long codePoint) {
    if (at >= text.size() || text[at] != '&')
        return 0;
    static constexpr std::pair<long, std::string_view> kNamed[] = {
        {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&apos;"}};
    for (const auto& [cp, name] : kNamed)
        if (cp == codePoint && text.substr(at, name.size()) == name)
            return at + name.size();
    if (at + 1 >= text.size() || text[at + 1] != '#')
        return 0;
    std::size_t p = at + 2;
    const bool hex = p < text.size() && (text[p] == 'x' || text[p] == 'X');
    if (hex)
        ++p;
    const std::size_t digitsBegin = p;
    long value = 0;
    while (p < text.size() && p - digitsBegin < 10) {
        const int d =
            hex ? HexValue(text[p]) : (text[p] >= '0' && text[p] <= '9' ? text[p] - '0' : -1);
        if (d < 0)
            break;
        value = value * (hex ? 16 : 10) + d;
        ++p;
    }
    if (p == digitsBegin || p >= text.size() || text[p] != ';' || value != codePoint)
        return 0;
    return p + 1;
}

// The longest form of one character: a reference is at most "&#x" with ten digits and ";".
constexpr std::size_t kLongestCharacterForm = 14;

} // namespace

void TSecretMask::Add(std::string_view secret) {
    if (secret.empty())
        return;
    if (std::find(secrets_.begin(), secrets_.end(), secret) != secrets_.end())
        return;
    secrets_.emplace_back(secret);
    const auto first = static_cast<unsigned char>(secret.front());
    firstBytes_[first] = true;
    firstBytes_[static_cast<unsigned char>('%')] = true;
    firstBytes_[static_cast<unsigned char>('&')] = true;
    if (first == ' ')
        firstBytes_[static_cast<unsigned char>('+')] = true;
    longestForm_ = std::max(longestForm_, secret.size() * kLongestCharacterForm);
}

void TSecretMask::Clear() {
    secrets_.clear();
    firstBytes_.fill(false);
    longestForm_ = 0;
}

std::size_t TSecretMask::MatchEnd(std::string_view text, std::size_t at, std::string_view secret) {
    // reach[k]: the positions in the text where a spelling of the secret's first k bytes can end.
    std::vector<std::vector<std::size_t>> reach(secret.size() + 1);
    reach[0].push_back(at);
    const auto add = [&reach](std::size_t k, std::size_t p) {
        if (std::find(reach[k].begin(), reach[k].end(), p) == reach[k].end())
            reach[k].push_back(p);
    };
    std::size_t characterEnd = 0;
    long codePoint = -1;
    for (std::size_t k = 0; k < secret.size(); ++k) {
        const bool characterStart = k >= characterEnd;
        if (characterStart)
            characterEnd = k + CharacterAt(secret, k, codePoint);
        const char b = secret[k];
        for (const std::size_t p : reach[k]) {
            if (p >= text.size())
                continue;
            if (text[p] == b)
                add(k + 1, p + 1);
            if (b == ' ' && text[p] == '+')
                add(k + 1, p + 1);
            if (text[p] == '%' && p + 2 < text.size()) {
                const int high = HexValue(text[p + 1]);
                const int low = HexValue(text[p + 2]);
                if (high >= 0 && low >= 0 && static_cast<char>(high * 16 + low) == b)
                    add(k + 1, p + 3);
            }
            if (characterStart && codePoint >= 0)
                if (const std::size_t end = ReferenceEnd(text, p, codePoint))
                    add(characterEnd, end);
        }
    }
    const std::vector<std::size_t>& ends = reach[secret.size()];
    return ends.empty() ? at : *std::max_element(ends.begin(), ends.end());
}

std::vector<std::pair<std::size_t, std::size_t>> TSecretMask::Find(std::string_view text) const {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    if (secrets_.empty())
        return ranges;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i;
        if (firstBytes_[static_cast<unsigned char>(text[i])])
            for (const std::string& secret : secrets_)
                end = std::max(end, MatchEnd(text, i, secret));
        if (end > i) {
            ranges.emplace_back(i, end);
            i = end;
        } else {
            ++i;
        }
    }
    return ranges;
}

std::string TSecretMask::Apply(std::string_view text) const {
    const auto ranges = Find(text);
    if (ranges.empty())
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (const auto& [begin, end] : ranges) {
        out.append(text.substr(from, begin - from));
        out.append(kMask);
        from = end;
    }
    out.append(text.substr(from));
    return out;
}
