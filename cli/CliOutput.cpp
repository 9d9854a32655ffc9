#include "CliOutput.h"

#include "CliContext.h"
#include "Win1256.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool failed = false;
int failure = 0; // errno of the first failed write

void Fail() {
    if (!failed) {
        failed = true;
        failure = errno != 0 ? errno : EIO;
    }
}

std::string Pad(const std::string& text, std::size_t width) {
    const std::size_t length = Utf8Length(text);
    return length >= width ? text : text + std::string(width - length, ' ');
}

// The length of the UTF-8 sequence that starts at `at`, 0 when the bytes are not UTF-8.
std::size_t SequenceLength(std::string_view s, std::size_t at) {
    const auto b = static_cast<unsigned char>(s[at]);
    std::size_t length = 0;
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF)
        length = 2;
    else if (b >= 0xE0 && b <= 0xEF)
        length = 3;
    else if (b >= 0xF0 && b <= 0xF4)
        length = 4;
    else
        return 0;
    if (at + length > s.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(s[at + i]) & 0xC0) != 0x80)
            return 0;
    const auto b1 = static_cast<unsigned char>(s[at + 1]);
    if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F) || (b == 0xF0 && b1 < 0x90) ||
        (b == 0xF4 && b1 > 0x8F))
        return 0; // overlong, surrogate or beyond U+10FFFF
    return length;
}

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static const char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.push_back(kHex[(value >> shift) & 0xF]);
}

} // namespace

void Out(std::string_view text) {
    if (failed || text.empty())
        return;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        Fail();
}

bool OutputFailed() {
    return failed;
}

bool FinishOutput() {
    if (!failed) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
            Fail();
    }
    if (!failed)
        return true;
    WriteMessage(std::string("Could not write the output: ") + std::strerror(failure));
    return false;
}

std::string EscapeControls(std::string_view s, bool keepLineFeeds) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t length = SequenceLength(s, i);
        if (length == 0) {
            AppendHex(out, "\\x", b, 2);
            ++i;
        } else if (length == 1) {
            if ((b < 0x20 && b != '\t' && !(keepLineFeeds && b == '\n')) || b == 0x7F)
                AppendHex(out, "\\x", b, 2);
            else
                out.push_back(static_cast<char>(b));
            ++i;
        } else {
            if (b == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F)
                AppendHex(out, "\\u", static_cast<unsigned char>(s[i + 1]), 4);
            else
                out.append(s.substr(i, length));
            i += length;
        }
    }
    return out;
}

void PrintJson(const nlohmann::json& document) {
    Out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    Out("\n");
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    std::vector<std::vector<std::string>> shown;
    shown.reserve(rows.size());
    for (const auto& row : rows) {
        std::vector<std::string>& cells = shown.emplace_back();
        for (std::size_t i = 0; i < row.size(); ++i) {
            cells.push_back(EscapeControls(row[i]));
            if (widths.size() <= i)
                widths.push_back(0);
            widths[i] = std::max(widths[i], Utf8Length(cells.back()));
        }
    }
    for (const auto& row : shown) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? Pad(row[i], widths[i]) + "  " : row[i];
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        line.push_back('\n');
        Out(line);
    }
}
