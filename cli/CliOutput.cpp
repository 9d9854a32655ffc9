#include "CliOutput.h"

#include "CliContext.h"
#include "Win1256.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

bool failed = false;
int failure = 0; // errno of the first failed write

void Fail() {
    if (!failed) {
        failed = true;
        failure = errno != 0 ? errno : EIO;
    }
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

bool FlushOutput() {
    if (!failed) {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
            Fail();
    }
    return !failed;
}

bool FinishOutput() {
    if (FlushOutput())
        return true;
    WriteMessage(std::string("Could not write the output: ") + std::strerror(failure));
    return false;
}

void PrintJson(const nlohmann::json& document) {
    Out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    Out("\n");
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    TTableLayout layout;
    for (const auto& row : rows)
        layout.Measure(row);
    for (const auto& row : rows)
        layout.Print(row);
}

void AppendJsonString(std::string& out, std::string_view s) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t length = Utf8SequenceLength(s, i);
        if (length == 0) {
            out += "\xef\xbf\xbd"; // U+FFFD
            ++i;
            continue;
        }
        if (length > 1) {
            const auto next = static_cast<unsigned char>(s[i + 1]);
            if (b == 0xC2 && next <= 0x9F) { // a C1 control, which a terminal may act on
                out += "\\u00";
                out.push_back(kHex[next >> 4]);
                out.push_back(kHex[next & 0xF]);
            } else {
                out.append(s.substr(i, length));
            }
            i += length;
            continue;
        }
        switch (b) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20 || b == 0x7F) {
                out += "\\u00";
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 0xF]);
            } else {
                out.push_back(static_cast<char>(b));
            }
        }
        ++i;
    }
    out.push_back('"');
}

namespace {

constexpr std::size_t kJsonPiece = 64 * 1024;

} // namespace

void TJsonWriter::BeforeValue() {
    if (keyed_) {
        keyed_ = false;
        return;
    }
    if (levels_.empty())
        return;
    TLevel& level = levels_.back();
    if (!level.Empty)
        pending_.push_back(',');
    level.Empty = false;
    if (compact_)
        return;
    pending_.push_back('\n');
    pending_.append(2 * levels_.size(), ' ');
}

void TJsonWriter::Flush() {
    if (pending_.size() >= kJsonPiece) {
        Out(pending_);
        pending_.clear();
    }
}

TJsonWriter& TJsonWriter::Key(std::string_view key) {
    BeforeValue();
    AppendJsonString(pending_, key);
    pending_ += compact_ ? ":" : ": ";
    keyed_ = true;
    return *this;
}

TJsonWriter& TJsonWriter::BeginObject() {
    BeforeValue();
    pending_.push_back('{');
    levels_.push_back({false, true});
    return *this;
}

TJsonWriter& TJsonWriter::BeginArray() {
    BeforeValue();
    pending_.push_back('[');
    levels_.push_back({true, true});
    return *this;
}

void TJsonWriter::Close(char bracket) {
    const bool empty = levels_.back().Empty;
    levels_.pop_back();
    if (!empty && !compact_) {
        pending_.push_back('\n');
        pending_.append(2 * levels_.size(), ' ');
    }
    pending_.push_back(bracket);
    Flush();
}

TJsonWriter& TJsonWriter::EndObject() {
    Close('}');
    return *this;
}

TJsonWriter& TJsonWriter::EndArray() {
    Close(']');
    return *this;
}

TJsonWriter& TJsonWriter::String(std::string_view utf8) {
    BeforeValue();
    AppendJsonString(pending_, utf8);
    Flush();
    return *this;
}

TJsonWriter& TJsonWriter::Number(std::int64_t value) {
    BeforeValue();
    pending_ += std::to_string(value);
    return *this;
}

TJsonWriter& TJsonWriter::Real(double value) {
    BeforeValue();
    pending_ += nlohmann::json(value).dump();
    return *this;
}

TJsonWriter& TJsonWriter::Bool(bool value) {
    BeforeValue();
    pending_ += value ? "true" : "false";
    return *this;
}

TJsonWriter& TJsonWriter::Raw(std::string_view json) {
    BeforeValue();
    pending_.append(json);
    return *this;
}

TJsonWriter& TJsonWriter::Null() {
    BeforeValue();
    pending_ += "null";
    return *this;
}

void TJsonWriter::Finish() {
    pending_.push_back('\n');
    Out(pending_);
    pending_.clear();
}

TTableLayout::TTableLayout(std::vector<std::string> header) : header_(std::move(header)) {
    Measure(header_);
}

void TTableLayout::Measure(const std::vector<std::string>& cells) {
    if (widths_.size() < cells.size())
        widths_.resize(cells.size(), 0);
    // The last cell of a row is not padded, so its width does not count.
    for (std::size_t i = 0; i + 1 < cells.size(); ++i)
        widths_[i] = std::max(widths_[i], Utf8Length(EscapeControls(cells[i])));
}

void TTableLayout::Print(const std::vector<std::string>& cells) const {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::string cell = EscapeControls(cells[i]);
        line += cell;
        if (i + 1 < cells.size()) {
            const std::size_t width = i < widths_.size() ? widths_[i] : 0;
            const std::size_t length = Utf8Length(cell);
            line.append((length < width ? width - length : 0) + 2, ' ');
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    line.push_back('\n');
    Out(line);
}
