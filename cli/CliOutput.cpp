#include "CliOutput.h"

#include "Win1256.h"

#include <iostream>

namespace {

std::string Pad(const std::string& text, std::size_t width) {
    const std::size_t length = Utf8Length(text);
    return length >= width ? text : text + std::string(width - length, ' ');
}

} // namespace

void PrintJson(const nlohmann::json& document) {
    std::cout << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.push_back(0);
            widths[i] = std::max(widths[i], Utf8Length(row[i]));
        }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? Pad(row[i], widths[i]) + "  " : row[i];
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::cout << line << '\n';
    }
}
