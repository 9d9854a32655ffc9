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

void TJsonListWriter::Add(const nlohmann::json& record) {
    std::string out = started_ ? ",\n    " : "{\n  " + nlohmann::json(key_).dump() + ": [\n    ";
    started_ = true;
    for (char c : record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)) {
        out.push_back(c);
        if (c == '\n')
            out += "    ";
    }
    Out(out);
}

void TJsonListWriter::Finish() {
    Out(started_ ? "\n  ]\n}\n" : "{\n  " + nlohmann::json(key_).dump() + ": []\n}\n");
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
